#include "pacer.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "stream.h"

namespace svwave {

namespace {

using Clock = std::chrono::steady_clock;

class Pacer {
public:
    void At(const std::shared_ptr<WaveStream>& stream, Clock::time_point when)
    {
        when = RoundUp(when);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_started) {
            // Lives as long as the process, as the streams may.
            std::thread([this] { Run(); }).detach();
            m_started = true;
        }
        auto found = m_entries.find(stream.get());
        if (found != m_entries.end()) {
            if (found->second.due->first <= when)
                return;
            m_due.erase(found->second.due);
            m_entries.erase(found);
        }
        const bool first = m_due.empty() || when < m_due.begin()->first;
        auto due = m_due.emplace(when, stream.get());
        m_entries.emplace(stream.get(), Entry{stream, due});
        if (first)
            m_cv.notify_one();
    }

    void Stop(const WaveStream* stream)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_entries.find(stream);
        if (found == m_entries.end())
            return;
        m_due.erase(found->second.due);
        m_entries.erase(found);
    }

private:
    typedef std::multimap<Clock::time_point, const WaveStream*> DueMap;
    struct Entry {
        std::shared_ptr<WaveStream> stream;
        DueMap::iterator due;
    };

    static Clock::time_point RoundUp(Clock::time_point when)
    {
        const Clock::duration tick = kPaceTick;
        const Clock::duration since = when.time_since_epoch();
        const Clock::duration rest = since % tick;
        return rest == Clock::duration::zero() ? when : when + (tick - rest);
    }

    void Run()
    {
        MarkDeviceThread();
        std::vector<std::shared_ptr<WaveStream>> due;
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_due.empty()) {
                m_cv.wait(lock);
                continue;
            }
            const Clock::time_point next = m_due.begin()->first;
            const Clock::time_point now = Clock::now();
            if (next > now) {
                m_cv.wait_until(lock, next);
                continue;
            }
            // Every stream due by now, earliest first; each is stepped with
            // no lock of the pacer held.
            while (!m_due.empty() && m_due.begin()->first <= now) {
                auto found = m_entries.find(m_due.begin()->second);
                due.push_back(std::move(found->second.stream));
                m_entries.erase(found);
                m_due.erase(m_due.begin());
            }
            lock.unlock();
            for (std::shared_ptr<WaveStream>& stream : due)
                stream->PaceStep();
            // The last hold on a closed stream may go here, away from the lock.
            due.clear();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_started = false;
    DueMap m_due;
    std::unordered_map<const WaveStream*, Entry> m_entries;
};

// Never destroyed: open streams outlive static destruction at exit.
Pacer& ThePacer()
{
    static Pacer* pacer = new Pacer;
    return *pacer;
}

}  // namespace

void PaceAt(const std::shared_ptr<WaveStream>& stream, Clock::time_point when)
{
    ThePacer().At(stream, when);
}

void StopPacing(const WaveStream* stream)
{
    ThePacer().Stop(stream);
}

}  // namespace svwave
