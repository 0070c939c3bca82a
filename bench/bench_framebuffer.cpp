// One frame through the queue (queue it, read it back) against what it cannot
// do without: two copies of the frame and two uncontended recursive-lock
// round trips. No debug-output sink is attached, as in a host without one.
//
//   Baseline, PushAndRead   each on its own, as Google Benchmark times them
//   VsBaseline/<bytes>      the two, and the refill's read (ReadFrameSplit into
//                           a device buffer), timed in turns in one run:
//                           x_baseline and split_x_baseline are the ratios of
//                           each path's best turn to the baseline's (goal: at
//                           most 1.5), *_median the medians of the turns'
//                           ratios; beside them what the machine did
//                           meanwhile (process_counters.h).
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio/audioframebuffer.h"
#include "process_counters.h"

namespace {

void BM_Baseline(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> src(size, 0x5A), mid(size), dst(size);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        memcpy(mid.data(), src.data(), size);
        pthread_mutex_unlock(&mutex);
        pthread_mutex_lock(&mutex);
        memcpy(dst.data(), mid.data(), size);
        pthread_mutex_unlock(&mutex);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    pthread_mutex_destroy(&mutex);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_PushAndRead(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    auto fb = std::make_unique<CAudioFrameBuffer>();
    fb->SetPlayMode(0, 0);  // file playback: no pre-buffer
    if (fb->AllocRing(0x100000) != 1) {
        state.SkipWithError("ring allocation failed");
        return;
    }
    std::vector<unsigned char> src(size, 0x5A), dst(size);
    for (auto _ : state) {
        fb->PushFrame(src.data(), size);
        int length = size;
        benchmark::DoNotOptimize(fb->ReadFrame(dst.data(), &length, nullptr, nullptr));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The three paths of BM_Baseline, BM_PushAndRead and the refill's split read,
// each `rounds` times in turn, `batch` frames a turn.
class Paths {
public:
    explicit Paths(int size) : m_size(size), m_src(size, 0x5A), m_mid(size), m_dst(size), m_rest(size)
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        m_fb->SetPlayMode(0, 0);
        m_ok = m_fb->AllocRing(0x100000) == 1;
    }
    ~Paths() { pthread_mutex_destroy(&m_mutex); }
    bool Ok() const { return m_ok; }

    // Nanoseconds per frame of `batch` frames down path 0, 1 or 2.
    double Time(int path, int batch)
    {
        const auto t0 = std::chrono::steady_clock::now();
        const size_t size = static_cast<size_t>(m_size);
        for (int i = 0; i < batch; ++i) {
            if (path == 0) {
                pthread_mutex_lock(&m_mutex);
                memcpy(m_mid.data(), m_src.data(), size);
                pthread_mutex_unlock(&m_mutex);
                pthread_mutex_lock(&m_mutex);
                memcpy(m_dst.data(), m_mid.data(), size);
                pthread_mutex_unlock(&m_mutex);
            } else if (path == 1) {
                m_fb->PushFrame(m_src.data(), m_size);
                int length = m_size;
                benchmark::DoNotOptimize(m_fb->ReadFrame(m_dst.data(), &length, nullptr, nullptr));
            } else {
                m_fb->PushFrame(m_src.data(), m_size);
                int length = m_size;
                benchmark::DoNotOptimize(m_fb->ReadFrameSplit(m_dst.data(), m_size, m_rest.data(), &length));
            }
            benchmark::DoNotOptimize(m_dst.data());
            benchmark::ClobberMemory();
        }
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / batch;
    }

private:
    const int m_size;
    std::vector<unsigned char> m_src, m_mid, m_dst, m_rest;
    pthread_mutex_t m_mutex;
    std::unique_ptr<CAudioFrameBuffer> m_fb = std::make_unique<CAudioFrameBuffer>();
    bool m_ok = false;
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Best(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

void BM_VsBaseline(benchmark::State& state)
{
    const int kRounds = 31;
    const int kBatch = 20000;
    Paths paths(static_cast<int>(state.range(0)));
    if (!paths.Ok()) {
        state.SkipWithError("ring allocation failed");
        return;
    }
    std::vector<double> base, push, split, ratio, splitRatio;
    const benchcounters::ProcessSample before = benchcounters::ProcessSample::Now();
    for (auto _ : state) {
        for (int r = 0; r < kRounds; ++r) {
            base.push_back(paths.Time(0, kBatch));
            push.push_back(paths.Time(1, kBatch));
            split.push_back(paths.Time(2, kBatch));
            ratio.push_back(push.back() / base.back());
            splitRatio.push_back(split.back() / base.back());
        }
    }
    benchcounters::AddProcessCounters(state,
                                      benchcounters::ProcessDelta::Between(before, benchcounters::ProcessSample::Now()));
    state.counters["baseline_ns"] = Best(base);
    state.counters["push_read_ns"] = Best(push);
    state.counters["push_split_ns"] = Best(split);
    state.counters["x_baseline"] = Best(push) / Best(base);
    state.counters["split_x_baseline"] = Best(split) / Best(base);
    state.counters["x_baseline_median"] = Median(ratio);
    state.counters["split_x_baseline_median"] = Median(splitRatio);
}

BENCHMARK(BM_Baseline)->Arg(640)->Arg(320);
BENCHMARK(BM_PushAndRead)->Arg(640)->Arg(320);
BENCHMARK(BM_VsBaseline)->Name("VsBaseline")->Arg(640)->Arg(320)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
