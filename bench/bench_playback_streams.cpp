// How many live AMR streams the machine plays at once in real time without an
// underrun, against what decoding alone would allow. Each stream is its own
// decoder object on its own virtual device at real-time pace, fed one 20 ms
// frame at a time at the stream's pace (the streams' phases spread over the
// 20 ms), as from that many recorders; host threads share the feeding (one
// up to 256 streams, two above), each waking every 10 ms to feed every frame
// that has come due, as a host that reads its sockets in a loop does.
//
// RawDecode measures opencore's decoder on the same frames in this process:
// its time per frame gives the raw capacity, the streams that decoding alone
// would carry on every core of the machine. Each row measures it again just
// before it plays (the machine's speed drifts with what else runs on it). The
// rows then play, each for 11 s (two minutes in all; a row that falls far
// behind takes longer):
//   LiveAmrStreams/streams:64            a fixed small load
//   LiveAmrStreams/permille_of_raw:N     N/1000 of the raw capacity
// and Sustained sums up: the most streams played with 0 underruns, as a
// fraction of the raw capacity, and the processor time per stream there
// against the raw decoder's.
//
// Counters of each row:
//   streams, x_raw_capacity   the load, and as a fraction of raw capacity
//   underruns        times a stream's queue was seen empty after it started
//                    (checked at every feed, so at least every 20 ms)
//   late_ms_max      how far behind its due time the latest frame was fed
//   queue_max        the deepest queue seen (it grows when devices fall
//                    behind; past 68 frames a live stream drops 60)
//   feed_us_per_s    host threads: decoding and queueing, per stream-second
//   device_us_per_s  every other thread (the devices' pacing and refills),
//                    per stream-second
//   cpu_x_raw        the whole process's processor time per stream-second
//                    over the raw decoder's per second of audio
//   cpu_cores, csw_per_s, preempt_per_s, sys_csw_per_s, steal, others_cores,
//   load             see process_counters.h
#include <opencore-amrnb/interf_dec.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "live_streams.h"
#include "process_counters.h"
#include "sonavex.h"

namespace {

using benchlive::Bytes;
using Clock = std::chrono::steady_clock;

const size_t kStreamsPerFeeder = 256;
const size_t kMaxFeeders = 2;
const auto kFrame = std::chrono::milliseconds(20);
const auto kFeedTick = std::chrono::milliseconds(10);
const auto kRun = std::chrono::seconds(10);
const auto kWarmUp = std::chrono::seconds(1);
const double kFramesPerSecond = 50;

const std::vector<Bytes>& Frames()
{
    static const std::vector<Bytes> frames = benchlive::AmrFrames(4);
    return frames;
}

// Processor seconds opencore takes per frame on the bench's frames: the best
// of five turns of a tenth of a second, as a capacity is what the machine can
// do when nothing else holds it back.
double MeasureRawFrameSeconds()
{
    const std::vector<Bytes>& frames = Frames();
    short pcm[benchlive::kAmrFrameSamples];
    void* decoder = Decoder_Interface_init();
    double best = 0;
    for (int turn = 0; turn < 5; ++turn) {
        size_t decoded = 0;
        const double t0 = benchlive::CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        double spent = 0;
        while (spent < 0.1) {
            for (const Bytes& f : frames) {
                Decoder_Interface_Decode(decoder, f.data(), pcm, 0);
                benchmark::DoNotOptimize(pcm);
            }
            decoded += frames.size();
            spent = benchlive::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        }
        const double perFrame = spent / static_cast<double>(decoded);
        if (turn == 0 || perFrame < best)
            best = perFrame;
    }
    Decoder_Interface_exit(decoder);
    return best;
}

// The same, measured once per process: what the rows' sizes go by.
double RawFrameSeconds()
{
    static const double seconds = MeasureRawFrameSeconds();
    return seconds;
}

// Real-time streams that decoding alone would carry on every core.
double RawCapacity()
{
    return benchcounters::Cores() / (kFramesPerSecond * RawFrameSeconds());
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

// Feeds streams [first, last), whose starts rise with their index and lie
// within one frame, until `end`: each tick, every frame that has come due,
// in the order they came due.
FeederResult Feed(std::vector<StreamState>& streams, size_t first, size_t last, Clock::time_point end,
                  Clock::time_point countFrom)
{
    const std::vector<Bytes>& frames = Frames();
    FeederResult r;
    const double c0 = benchlive::CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    size_t at = first;
    Clock::time_point wake = streams[first].start;
    while (wake < end) {
        std::this_thread::sleep_until(wake);
        const Clock::time_point now = Clock::now();
        for (;;) {
            StreamState& s = streams[at];
            const Clock::time_point due = s.start + kFrame * s.fed;
            if (due > now)
                break;
            // Past its pre-buffer of 8 frames, a live stream whose queue is
            // found empty has run dry.
            const int queued = SV_AudioDecGetFrames(s.handle);
            if (s.fed > 8 && now >= countFrom && queued == 0)
                ++r.underruns;
            r.queueMax = std::max(r.queueMax, queued);
            if (now >= countFrom)
                r.lateMax = std::max(r.lateMax, std::chrono::duration<double, std::milli>(now - due).count());
            const Bytes& f = frames[static_cast<size_t>(s.fed) % frames.size()];
            SV_InputAudioBuffer(s.handle, f.data(), static_cast<int32_t>(f.size()), SV_PAYLOAD_AMR, s.fed * 20, 1);
            ++s.fed;
            at = at + 1 == last ? first : at + 1;
        }
        wake = std::max(wake + kFeedTick, streams[at].start + kFrame * streams[at].fed);
    }
    r.cpu = benchlive::CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
    return r;
}

struct RowResult {
    size_t streams = 0;
    int underruns = 0;
    double cpuPerStream = 0;  // processor seconds per stream-second
    double raw = 0;           // the raw decoder's processor seconds per second of audio, just before
};

std::vector<RowResult>& Rows()
{
    static std::vector<RowResult> rows;
    return rows;
}

void PlayStreams(benchmark::State& state, size_t n)
{
    benchlive::UseRealTimeVirtualDevice();
    Frames();
    RawFrameSeconds();
    const double rawPerSecond = kFramesPerSecond * MeasureRawFrameSeconds();
    const size_t feeders = std::min(kMaxFeeders, (n + kStreamsPerFeeder - 1) / kStreamsPerFeeder);
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

        const benchcounters::ProcessSample before = benchcounters::ProcessSample::Now();
        std::vector<FeederResult> results(feeders);
        std::vector<std::thread> threads;
        for (size_t k = 0; k < feeders; ++k)
            threads.emplace_back(
                [&, k] { results[k] = Feed(streams, n * k / feeders, n * (k + 1) / feeders, end, countFrom); });
        for (std::thread& t : threads)
            t.join();
        const benchcounters::ProcessDelta d =
            benchcounters::ProcessDelta::Between(before, benchcounters::ProcessSample::Now());
        state.SetIterationTime(d.wall);
        for (StreamState& s : streams)
            SV_CloseSonavex(s.handle);

        RowResult row;
        row.streams = n;
        row.raw = rawPerSecond;
        int queueMax = 0;
        double late = 0;
        double feed = 0;
        for (const FeederResult& r : results) {
            row.underruns += r.underruns;
            queueMax = std::max(queueMax, r.queueMax);
            late = std::max(late, r.lateMax);
            feed += r.cpu;
        }
        const double streamSeconds = d.wall * static_cast<double>(n);
        row.cpuPerStream = d.process / streamSeconds;
        Rows().push_back(row);
        state.counters["streams"] = static_cast<double>(n);
        state.counters["x_raw_capacity"] = static_cast<double>(n) / RawCapacity();
        state.counters["underruns"] = row.underruns;
        state.counters["late_ms_max"] = late;
        state.counters["queue_max"] = queueMax;
        state.counters["feed_us_per_s"] = 1e6 * feed / streamSeconds;
        state.counters["device_us_per_s"] = 1e6 * (d.process - feed) / streamSeconds;
        state.counters["cpu_x_raw"] = row.cpuPerStream / rawPerSecond;
        state.counters["raw_us_per_s"] = 1e6 * rawPerSecond;
        benchcounters::AddProcessCounters(state, d);
    }
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
}

void BM_RawDecode(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(RawFrameSeconds());
    state.counters["frame_us"] = 1e6 * RawFrameSeconds();
    state.counters["raw_us_per_s"] = 1e6 * kFramesPerSecond * RawFrameSeconds();
    state.counters["raw_capacity"] = RawCapacity();
    state.counters["cores"] = benchcounters::Cores();
}

void BM_FixedStreams(benchmark::State& state)
{
    PlayStreams(state, static_cast<size_t>(state.range(0)));
}

void BM_ShareOfRaw(benchmark::State& state)
{
    PlayStreams(state, static_cast<size_t>(RawCapacity() * static_cast<double>(state.range(0)) / 1000.0));
}

// The rows played so far in this run: the largest load with no underrun, and
// what every row that had none cost.
void BM_Sustained(benchmark::State& state)
{
    RowResult best;
    for (auto _ : state) {
        for (const RowResult& row : Rows())
            if (row.underruns == 0 && row.streams > best.streams)
                best = row;
    }
    state.counters["raw_capacity"] = RawCapacity();
    state.counters["sustained_streams"] = static_cast<double>(best.streams);
    state.counters["sustained_x_raw_capacity"] = static_cast<double>(best.streams) / RawCapacity();
    state.counters["cpu_x_raw_there"] = best.raw > 0 ? best.cpuPerStream / best.raw : 0;
}

}  // namespace

BENCHMARK(BM_RawDecode)->Name("RawDecode")->Iterations(1);
BENCHMARK(BM_FixedStreams)
    ->Name("LiveAmrStreams")
    ->ArgName("streams")
    ->Arg(64)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ShareOfRaw)
    ->Name("LiveAmrStreams")
    ->ArgName("permille_of_raw")
    ->Arg(300)
    ->Arg(500)
    ->Arg(700)
    ->Arg(800)
    ->Arg(900)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Sustained)->Name("Sustained")->Iterations(1);
