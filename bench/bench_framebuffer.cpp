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

// The three ways of moving a frame that the benches compare: the baseline,
// the queue's push and read, and the push with the refill's split read.
enum Path { kBaseline, kPushAndRead, kPushAndSplit };

class Paths {
public:
    explicit Paths(int size) : m_size(size), m_src(size, 0x5A), m_mid(size), m_dst(size), m_rest(size)
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        m_fb->SetPlayMode(0, 0);  // file playback: no pre-buffer
        m_ok = m_fb->AllocRing(0x100000) == 1;
    }
    ~Paths() { pthread_mutex_destroy(&m_mutex); }
    bool Ok() const { return m_ok; }

    // One frame down `path`.
    void Move(Path path)
    {
        const size_t size = static_cast<size_t>(m_size);
        int length = m_size;
        switch (path) {
        case kBaseline:
            pthread_mutex_lock(&m_mutex);
            memcpy(m_mid.data(), m_src.data(), size);
            pthread_mutex_unlock(&m_mutex);
            pthread_mutex_lock(&m_mutex);
            memcpy(m_dst.data(), m_mid.data(), size);
            pthread_mutex_unlock(&m_mutex);
            break;
        case kPushAndRead:
            m_fb->PushFrame(m_src.data(), m_size);
            benchmark::DoNotOptimize(m_fb->ReadFrame(m_dst.data(), &length, nullptr, nullptr));
            break;
        case kPushAndSplit:
            m_fb->PushFrame(m_src.data(), m_size);
            benchmark::DoNotOptimize(m_fb->ReadFrameSplit(m_dst.data(), m_size, m_rest.data(), &length));
            break;
        }
        benchmark::DoNotOptimize(m_dst.data());
        benchmark::ClobberMemory();
    }

    // Nanoseconds per frame of `batch` frames down `path`.
    double Time(Path path, int batch)
    {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < batch; ++i)
            Move(path);
        return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() / batch;
    }

private:
    const int m_size;
    std::vector<unsigned char> m_src, m_mid, m_dst, m_rest;
    pthread_mutex_t m_mutex;
    std::unique_ptr<CAudioFrameBuffer> m_fb = std::make_unique<CAudioFrameBuffer>();
    bool m_ok = false;
};

void BM_Path(benchmark::State& state, Path path)
{
    Paths paths(static_cast<int>(state.range(0)));
    if (!paths.Ok()) {
        state.SkipWithError("ring allocation failed");
        return;
    }
    for (auto _ : state)
        paths.Move(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Baseline(benchmark::State& state) { BM_Path(state, kBaseline); }
void BM_PushAndRead(benchmark::State& state) { BM_Path(state, kPushAndRead); }

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
            base.push_back(paths.Time(kBaseline, kBatch));
            push.push_back(paths.Time(kPushAndRead, kBatch));
            split.push_back(paths.Time(kPushAndSplit, kBatch));
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
