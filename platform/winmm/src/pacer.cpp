#include "pacer.h"

#include <stdint.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "stream.h"

namespace svwave {

namespace {

using Clock = std::chrono::steady_clock;

// The streams due, in a heap by time, and every stream the pacer knows with
// the step it is due for: a heap entry whose number is not its stream's any
// more was overtaken by an earlier one (or the stream was forgotten) and is
// passed over. Once a stream has been seen, a step costs no allocation.
class Pacer {
public:
    void At(const std::shared_ptr<WaveStream>& stream, Clock::time_point when)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_started) {
            // Lives as long as the process, as the streams may.
            std::thread([this] { Run(); }).detach();
            m_started = true;
        }
        Entry& entry = m_entries[stream.get()];
        if (entry.stream == nullptr)
            entry.stream = stream;
        if (entry.scheduled && entry.when <= when)
            return;
        entry.scheduled = true;
        entry.when = when;
        entry.number = ++m_numbers;
        const bool first = m_due.empty() || when < m_due.front().when;
        m_due.push_back(Due{when, entry.number, stream.get()});
        std::push_heap(m_due.begin(), m_due.end(), Later);
        if (first)
            m_cv.notify_one();
    }

    void Stop(const WaveStream* stream)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.erase(stream);
    }

private:
    struct Entry {
        std::shared_ptr<WaveStream> stream;
        bool scheduled = false;
        Clock::time_point when;
        uint64_t number = 0;
    };
    struct Due {
        Clock::time_point when;
        uint64_t number;
        const WaveStream* stream;
    };

    static bool Later(const Due& a, const Due& b) { return a.when > b.when; }

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
            const Clock::time_point next = m_due.front().when;
            const Clock::time_point now = Clock::now();
            if (next > now) {
                m_cv.wait_until(lock, next);
                continue;
            }
            // Every stream due by now, earliest first; each is stepped with
            // no lock of the pacer held.
            while (!m_due.empty() && m_due.front().when <= now) {
                const Due top = m_due.front();
                std::pop_heap(m_due.begin(), m_due.end(), Later);
                m_due.pop_back();
                auto found = m_entries.find(top.stream);
                if (found == m_entries.end() || !found->second.scheduled || found->second.number != top.number)
                    continue;
                found->second.scheduled = false;
                due.push_back(found->second.stream);
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
    uint64_t m_numbers = 0;
    std::vector<Due> m_due;
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
