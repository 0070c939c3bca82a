// How many live AMR streams the machine plays at once in real time without an
// underrun. Each stream is its own decoder object on its own virtual device at
// real-time pace, fed one 20 ms frame at a time at the stream's pace (the
// streams' phases spread over the 20 ms), as from that many recorders; two
// host threads share the feeding. A bounded run: every row plays 11 s (about
// a minute in all).
//
// Counters:
//   underruns        times a stream's queue was seen empty after it started
//                    (checked at every feed, so at least every 20 ms)
//   late_ms_max      how far behind its due time the latest frame was fed
//   queue_max        the deepest queue seen (it grows when devices fall
//                    behind; past 68 frames a live stream drops 60)
//   cpu_util         processor time over wall time, per core (2 = both full)
//   feed_us_per_s    host threads: decoding and queueing, per stream-second
//   device_us_per_s  device threads: pacing, waking, refilling, per
//                    stream-second
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <svwin/wavedevice.h>

#include "AmrDll.h"
#include "sonavex.h"
#include "test_codec_signals.h"

namespace {

typedef std::vector<unsigned char> Bytes;
using Clock = std::chrono::steady_clock;

const int kFeeders = 2;
const auto kFrame = std::chrono::milliseconds(20);
const auto kRun = std::chrono::seconds(10);
const auto kWarmUp = std::chrono::seconds(1);

double CpuSeconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

const std::vector<Bytes>& Frames()
{
    static const std::vector<Bytes> frames = [] {
        const std::vector<short> pcm = codectest::SyntheticSpeech(4 * codectest::kRate);
        std::vector<Bytes> out;
        AMR_HANDLE encoder = 0;
        AMR_Encode_Init(&encoder);
        for (size_t at = 0; at + 160 <= pcm.size(); at += 160) {
            Bytes frame(AMR_MAX_FRAME_BYTES);
            frame.resize(static_cast<size_t>(AMR_Encode_Frame(encoder, pcm.data() + at, frame.data(), 7)));
            out.push_back(frame);
        }
        AMR_Encode_Exit(&encoder);
        return out;
    }();
    return frames;
}

struct StreamState {
    SV_DECODER handle = nullptr;
    Clock::time_point start;
    int64_t fed = 0;
};

struct FeederResult {
    int underruns = 0;
    int queueMax = 0;
    double lateMax = 0;
    double cpu = 0;
};

// Feeds streams [first, last) until `end`, each frame when it is due.
FeederResult Feed(std::vector<StreamState>& streams, size_t first, size_t last, Clock::time_point end,
                  Clock::time_point countFrom)
{
    const std::vector<Bytes>& frames = Frames();
    FeederResult r;
    const double c0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    while (Clock::now() < end) {
        Clock::time_point nextDue = end;
        for (size_t i = first; i < last; ++i) {
            StreamState& s = streams[i];
            for (;;) {
                const Clock::time_point due = s.start + kFrame * s.fed;
                const Clock::time_point now = Clock::now();
                if (due > now) {
                    nextDue = std::min(nextDue, due);
                    break;
                }
                // Past its pre-buffer of 8 frames, a live stream whose queue
                // is found empty has run dry.
                const int queued = SV_AudioDecGetFrames(s.handle);
                if (s.fed > 8 && now >= countFrom && queued == 0)
                    ++r.underruns;
                r.queueMax = std::max(r.queueMax, queued);
                if (now >= countFrom)
                    r.lateMax = std::max(r.lateMax, std::chrono::duration<double, std::milli>(now - due).count());
                const Bytes& f = frames[static_cast<size_t>(s.fed) % frames.size()];
                SV_InputAudioBuffer(s.handle, f.data(), static_cast<int32_t>(f.size()), SV_PAYLOAD_AMR, s.fed * 20,
                                    1);
                ++s.fed;
            }
        }
        std::this_thread::sleep_until(nextDue);
    }
    r.cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
    return r;
}

void BM_ConcurrentStreams(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(state.range(0));
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetRecordPath(nullptr);
    SvWaveVirtualSetSpeed(1.0);
    Frames();
    for (auto _ : state) {
        std::vector<StreamState> streams(n);
        for (StreamState& s : streams) {
            s.handle = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
            if (s.handle == nullptr) {
                state.SkipWithError("open failed");
                break;
            }
        }
        const Clock::time_point t0 = Clock::now() + std::chrono::milliseconds(50);
        for (size_t i = 0; i < n; ++i)
            streams[i].start = t0 + kFrame * static_cast<int64_t>(i) / static_cast<int64_t>(n);
        const Clock::time_point countFrom = t0 + kWarmUp;
        const Clock::time_point end = countFrom + kRun;

        const double p0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        std::vector<FeederResult> results(kFeeders);
        std::vector<std::thread> feeders;
        for (int k = 0; k < kFeeders; ++k)
            feeders.emplace_back([&, k] {
                results[static_cast<size_t>(k)] =
                    Feed(streams, n * static_cast<size_t>(k) / kFeeders, n * static_cast<size_t>(k + 1) / kFeeders,
                         end, countFrom);
            });
        for (std::thread& t : feeders)
            t.join();
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
        state.SetIterationTime(wall);
        for (StreamState& s : streams)
            SV_CloseSonavex(s.handle);

        int underruns = 0;
        int queueMax = 0;
        double late = 0;
        double feed = 0;
        for (const FeederResult& r : results) {
            underruns += r.underruns;
            queueMax = std::max(queueMax, r.queueMax);
            late = std::max(late, r.lateMax);
            feed += r.cpu;
        }
        const double streamSeconds = wall * static_cast<double>(n);
        state.counters["underruns"] = underruns;
        state.counters["late_ms_max"] = late;
        state.counters["queue_max"] = queueMax;
        state.counters["cpu_util"] = process / wall;
        state.counters["feed_us_per_s"] = 1e6 * feed / streamSeconds;
        state.counters["device_us_per_s"] = 1e6 * (process - feed) / streamSeconds;
    }
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
}

} // namespace

BENCHMARK(BM_ConcurrentStreams)
    ->Name("LiveAmrStreams")
    ->ArgName("streams")
    ->Arg(250)
    ->Arg(500)
    ->Arg(750)
    ->Arg(875)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
