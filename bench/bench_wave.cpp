// The wave output path: how closely the virtual device keeps real time over a
// minute of playback, and what one refill of a device buffer costs beside the
// copy it cannot do without.
//
//   bench_wave --benchmark_filter=Refill|Memcpy   (seconds)
//   bench_wave --benchmark_filter=Pacing          (one minute of real time;
//                                                  SV_BENCH_PACING_SECONDS shortens it)
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <svwin/wavedevice.h>

#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "tests/test_access.h"

namespace {

using Clock = std::chrono::steady_clock;

const DWORD kBuf = 640;  // 40 ms of 16-bit mono at 8 kHz, as the library plays
const UINT kHdr = sizeof(WAVEHDR);

struct PacingRun {
    HWAVEOUT h = nullptr;
    size_t target = 0;
    std::vector<Clock::time_point> done;
    std::atomic<size_t> count{0};
};

// Notes when each buffer came back and queues it again until `target`
// buffers have been written; runs on the device thread.
void CALLBACK PacingProc(HDRVR hdrvr, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
{
    HWAVEOUT hwo = reinterpret_cast<HWAVEOUT>(hdrvr);
    if (msg != WOM_DONE)
        return;
    PacingRun* run = reinterpret_cast<PacingRun*>(instance);
    const Clock::time_point now = Clock::now();
    const size_t i = run->count.load(std::memory_order_relaxed);
    if (i < run->done.size())
        run->done[i] = now;
    run->count.store(i + 1, std::memory_order_release);
    if (i + 10 < run->target)
        waveOutWrite(hwo, reinterpret_cast<LPWAVEHDR>(param1), kHdr);
}

// Ten 40 ms buffers kept queued on the virtual device in real time, as the
// library keeps them, for a minute. The error is how far the last buffer's
// completion lies from the audio's own duration; lateness is each buffer's
// completion against its ideal time (start + its cumulative duration).
void BM_VirtualPacing(benchmark::State& state)
{
    double seconds = 60;
    if (const char* s = getenv("SV_BENCH_PACING_SECONDS"))
        seconds = std::max(1.0, atof(s));
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetSpeed(1);
    const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    std::vector<std::vector<BYTE>> data(10, std::vector<BYTE>(kBuf, 0));
    WAVEHDR hdrs[10] = {};

    for (auto _ : state) {
        PacingRun run;
        run.target = static_cast<size_t>(seconds * 25);
        run.done.resize(run.target);
        if (waveOutOpen(&run.h, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&PacingProc),
                        reinterpret_cast<DWORD_PTR>(&run), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
            state.SkipWithError("virtual device did not open");
            return;
        }
        for (int i = 0; i < 10; ++i) {
            hdrs[i] = WAVEHDR{};
            hdrs[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
            hdrs[i].dwBufferLength = kBuf;
            waveOutPrepareHeader(run.h, &hdrs[i], kHdr);
        }
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < 10; ++i)
            waveOutWrite(run.h, &hdrs[i], kHdr);
        const Clock::time_point limit =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds + 30));
        while (run.count.load(std::memory_order_acquire) < run.target && Clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const Clock::time_point end = Clock::now();
        waveOutReset(run.h);
        waveOutClose(run.h);
        if (run.count.load() < run.target) {
            state.SkipWithError("the device fell silent");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());

        using Ms = std::chrono::duration<double, std::milli>;
        const double audioMs = static_cast<double>(run.target) * 40.0;
        const double lastMs = Ms(run.done.back() - start).count();
        double maxLate = 0, sumLate = 0;
        for (size_t k = 0; k < run.target; ++k) {
            const double late = Ms(run.done[k] - start).count() - static_cast<double>(k + 1) * 40.0;
            maxLate = std::max(maxLate, late);
            sumLate += late;
        }
        state.counters["audio_s"] = audioMs / 1000.0;
        state.counters["drift_ms"] = lastMs - audioMs;
        state.counters["pacing_error_pct"] = 100.0 * std::abs(lastMs - audioMs) / audioMs;
        state.counters["late_max_ms"] = maxLate;
        state.counters["late_mean_ms"] = sumLate / static_cast<double>(run.target);
    }
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
}
BENCHMARK(BM_VirtualPacing)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// What a refill cannot do without: one copy of the buffer. Timed the same way
// as the refill, so the two compare.
void BM_Memcpy640(benchmark::State& state)
{
    std::vector<BYTE> src(kBuf, 0x5A), dst(kBuf);
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        memcpy(dst.data(), src.data(), kBuf);
        benchmark::ClobberMemory();
        const Clock::time_point t1 = Clock::now();
        benchmark::DoNotOptimize(dst.data());
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBuf);
}
BENCHMARK(BM_Memcpy640)->UseManualTime();

// One refill as the callback thread runs it (CAudio::WaveOutWrite): the
// frames that fill the 640-byte buffer are read from the frame buffer, copied
// in and the buffer is queued on the device. The test device holds another
// buffer in its transfer, as a playing device does, and is not recording calls.
void BM_Refill(benchmark::State& state)
{
    const int frameBytes = static_cast<int>(state.range(0));
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
    CAudioFrameBuffer fb;
    fb.AllocRing(0x100000);
    fb.SetPlayMode(0, 0);
    CAudio audio;
    audio.SetFrameBuffer(&fb);
    if (audio.WaveOutOpen(3) != 1) {
        state.SkipWithError("open failed");
        return;
    }
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);  // stops the call record
    const HWAVEOUT h = Inside(audio).m_hWaveOut;
    std::vector<BYTE> frame(static_cast<size_t>(frameBytes), 0x5A);
    WAVEHDR* hdr = &Inside(audio).m_WaveHdrOut[0];
    WAVEHDR* playing = &Inside(audio).m_WaveHdrOut[9];
    for (auto _ : state) {
        // Untimed: take the buffers back without refilling them, then keep
        // one in the device's hands and queue the frames for the refill.
        Inside(audio).m_cOutState.store(1);
        waveOutReset(h);
        Inside(audio).m_cOutState.store(0);
        waveOutWrite(h, playing, kHdr);
        for (int n = 0; n < static_cast<int>(kBuf); n += frameBytes)
            fb.PushFrame(frame.data(), frameBytes);

        const Clock::time_point t0 = Clock::now();
        audio.WaveOutWrite(hdr);
        const Clock::time_point t1 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    audio.WaveOutClose();
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
}
BENCHMARK(BM_Refill)->Arg(320)->Arg(640)->UseManualTime();

}  // namespace
