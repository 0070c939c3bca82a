// One frame through the queue (queue it, read it back) against what it cannot
// do without: two copies of the frame and two uncontended recursive-lock
// round trips. No debug-output sink is attached, as in a host without one.
#include <pthread.h>
#include <string.h>

#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio/audioframebuffer.h"

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

BENCHMARK(BM_Baseline)->Arg(640)->Arg(320);
BENCHMARK(BM_PushAndRead)->Arg(640)->Arg(320);

}  // namespace
