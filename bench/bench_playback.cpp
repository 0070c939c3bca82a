// Playback end to end, in processor time per second of audio, beside the raw
// decoder on the same frames in the same run.
//
//   Raw/*        the codec alone: opencore's Decoder_Interface_Decode for AMR,
//                HI_VOICE_DecodeFrame for the voice codec.
//   EndToEnd/*   20 s of audio fed through SV_InputAudioBuffer, as a file
//                player keeps its queue topped up, into a decoder on the
//                virtual device, played to the end; then the same decoder and
//                device idle for as long. Counters, in microseconds of
//                processor time per second of audio:
//                  raw_us          the raw decoder on the same frames
//                  feed_us         the host thread inside SV_InputAudioBuffer
//                                  (decoding and queueing)
//                  device_us       the device thread while playing: pacing,
//                                  waking, the stand-in's queue and callbacks,
//                                  and the library's refills
//                  device_idle_us  the same with nothing to play; the refills
//                                  that carry frames cost less than the noise
//                                  between the two (count instructions with
//                                  valgrind --tool=callgrind to see them)
//                  whole_us        every thread of the process while playing
//                and feed_x_raw, whole_x_raw, and what the machine did
//                meanwhile (cpu_cores, csw_per_s, steal, ...: see
//                process_counters.h). Goal: the library's path (feeding plus
//                refills) at most 1.1 times the raw decoder for AMR.
//
// The device runs at 100 times real time, so that it sleeps between buffers as
// it does in real use. (At speed 0 it completes every buffer at once, frames or
// none, and its thread never rests, so its cost says nothing about the
// library's.)
#include <opencore-amrnb/interf_dec.h>
#include <time.h>

#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <svwin/wavedevice.h>

#include "process_counters.h"
#include "sonavex.h"
#include "test_codec_amr_frames.h"
#include "test_codec_signals.h"
#include "test_codec_voice_frames.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const int kAudioSeconds = 20;
const int kAmrSamples = 160;
const int kVoiceSamples = 320;

double CpuSeconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Stream {
    std::vector<Bytes> frames;
    int type = 0;
    int samplesPerFrame = 0;
    double AudioSeconds() const
    {
        return static_cast<double>(frames.size()) * samplesPerFrame / codectest::kRate;
    }
};

const Stream& Amr()
{
    static const Stream stream = {
        codectest::AmrEncodeFrames(codectest::SyntheticSpeech(kAudioSeconds * codectest::kRate), 7).frames,
        SV_PAYLOAD_AMR, kAmrSamples};
    return stream;
}

const Stream& Voice()
{
    static const Stream stream = {
        codectest::VoiceEncode(codectest::SyntheticSpeech(kAudioSeconds * codectest::kRate), {kVoiceSamples}).frames,
        SV_PAYLOAD_VOICE, kVoiceSamples};
    return stream;
}

// The raw decoder's processor time for the whole stream.
double RawCost(const Stream& s)
{
    const double t0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    if (s.type == SV_PAYLOAD_AMR) {
        short pcm[kAmrSamples];
        void* decoder = Decoder_Interface_init();
        for (const Bytes& f : s.frames) {
            Decoder_Interface_Decode(decoder, f.data(), pcm, 0);
            benchmark::DoNotOptimize(pcm);
        }
        Decoder_Interface_exit(decoder);
    } else {
        short pcm[HI_VOICE_MAX_SAMPLES];
        alignas(8) unsigned char st[HI_VOICE_STATE_BYTES];
        HI_VOICE_DecReset(st, 3);
        for (const Bytes& f : s.frames) {
            short n = 0;
            HI_VOICE_DecodeFrame(st, f.data(), pcm, &n);
            benchmark::DoNotOptimize(pcm);
        }
    }
    return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - t0;
}

void BM_Raw(benchmark::State& state, const Stream& s)
{
    double cpu = 0;
    double audio = 0;
    for (auto _ : state) {
        cpu += RawCost(s);
        audio += s.AudioSeconds();
    }
    state.counters["raw_us"] = 1e6 * cpu / audio;
}

struct Costs {
    double process = 0;  // every thread, open to close
    double host = 0;     // the calling thread, open to close
    double feed = 0;     // the calling thread inside SV_InputAudioBuffer batches
};

// Opens a decoder on the virtual device, feeds `s` the way a file player does
// (or nothing, for `idleFor`), lets the device play the queue out and closes.
Costs Play(const Stream& s, double speed, bool feed, std::chrono::steady_clock::duration idleFor,
           std::chrono::steady_clock::duration* wall)
{
    // Wall time of one device buffer (40 ms of audio) at this speed.
    const auto buffer = std::chrono::microseconds(static_cast<int64_t>(40000 / speed));
    const int topUp = 40;
    Costs c;
    const auto start = std::chrono::steady_clock::now();
    const double p0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double h0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_20, SV_FILE_PLAYBACK);
    if (h == nullptr)
        return c;
    if (feed) {
        size_t i = 0;
        while (i < s.frames.size()) {
            if (SV_AudioDecGetFrames(h) >= topUp) {
                std::this_thread::sleep_for(buffer * 10);
                continue;
            }
            const double f0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            for (; i < s.frames.size() && SV_AudioDecGetFrames(h) < topUp; ++i) {
                const Bytes& f = s.frames[i];
                SV_InputAudioBuffer(h, f.data(), static_cast<int32_t>(f.size()), s.type,
                                    static_cast<int64_t>(i) * s.samplesPerFrame / 8, 1);
            }
            c.feed += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - f0;
        }
        while (SV_AudioDecGetFrames(h) > 0)
            std::this_thread::sleep_for(buffer);
    } else {
        std::this_thread::sleep_until(start + idleFor);
    }
    SV_CloseSonavex(h);
    c.host = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - h0;
    c.process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - p0;
    if (wall != nullptr)
        *wall = std::chrono::steady_clock::now() - start;
    return c;
}

// Each iteration: the raw decoder on the stream; the stream played end to
// end; then the same decoder and device left idle for as long, which is what
// the device costs by itself.
void BM_EndToEnd(benchmark::State& state, const Stream& s)
{
    const double speed = static_cast<double>(state.range(0));
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetRecordPath(nullptr);
    SvWaveVirtualSetSpeed(speed);
    double raw = 0;
    double audio = 0;
    Costs played;
    Costs idle;
    const benchcounters::ProcessSample before = benchcounters::ProcessSample::Now();
    for (auto _ : state) {
        raw += RawCost(s);
        std::chrono::steady_clock::duration wall{};
        const Costs p = Play(s, speed, true, {}, &wall);
        const Costs i = Play(s, speed, false, wall, nullptr);
        played.process += p.process;
        played.host += p.host;
        played.feed += p.feed;
        idle.process += i.process;
        idle.host += i.host;
        audio += s.AudioSeconds();
    }
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    benchcounters::AddProcessCounters(state,
                                      benchcounters::ProcessDelta::Between(before, benchcounters::ProcessSample::Now()));

    auto perAudioSecond = [&](double seconds) { return 1e6 * seconds / audio; };
    state.counters["raw_us"] = perAudioSecond(raw);
    state.counters["feed_us"] = perAudioSecond(played.feed);
    state.counters["device_us"] = perAudioSecond(played.process - played.host);
    state.counters["device_idle_us"] = perAudioSecond(idle.process - idle.host);
    state.counters["whole_us"] = perAudioSecond(played.process);
    state.counters["feed_x_raw"] = played.feed / raw;
    state.counters["whole_x_raw"] = played.process / raw;
}

void BM_RawAmr(benchmark::State& state) { BM_Raw(state, Amr()); }
void BM_RawVoice(benchmark::State& state) { BM_Raw(state, Voice()); }
void BM_EndToEndAmr(benchmark::State& state) { BM_EndToEnd(state, Amr()); }
void BM_EndToEndVoice(benchmark::State& state) { BM_EndToEnd(state, Voice()); }

} // namespace

BENCHMARK(BM_RawAmr)->Name("Raw/Amr")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawVoice)->Name("Raw/Voice")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EndToEndAmr)
    ->Name("EndToEnd/Amr")
    ->ArgName("speed")
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK(BM_EndToEndVoice)
    ->Name("EndToEnd/Voice")
    ->ArgName("speed")
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
