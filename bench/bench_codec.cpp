// Codec costs, each beside its baseline in the same run:
//   AMR: opencore's Decoder_Interface_Decode alone, AmrDll's AMR_Decode_Frame,
//        and a whole payload through CAudioFrameBuffer::DecodePayload (with the
//        ReadFrame that takes it out again), on the same frames. Goal: payload
//        decoding at most 1.05 times opencore alone.
//   Voice: a plain IMA ADPCM decoder (the tests' reference decoder),
//        HI_VOICE_DecodeFrame, the adapter, and a payload through
//        DecodePayload, per 160-sample frame. Goal: at least 20,000 times
//        real time (about 1 us per frame).
// "x_realtime" is seconds of audio decoded per second of processor time. On a
// shared machine, run with --benchmark_repetitions=N and compare the "min"
// aggregates: the least-disturbed run is the truest cost.
#include <opencore-amrnb/interf_dec.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio/audioframebuffer.h"
#include "codec/g726adecoder.h"
#include "hi_voice.h"
#include "test_codec_amr_frames.h"
#include "test_codec_signals.h"
#include "test_codec_voice_frames.h"

namespace {

using codectest::kFrameSamples;
typedef std::vector<unsigned char> Bytes;

const double kFrameSeconds = 0.02;

std::vector<Bytes> AmrFrames(int mode)
{
    return codectest::AmrEncodeFrames(codectest::SyntheticSpeech(5 * codectest::kRate), mode).frames;
}

std::vector<Bytes> VoiceFrames()
{
    return codectest::VoiceEncode(codectest::SyntheticSpeech(5 * codectest::kRate), {kFrameSamples}).frames;
}

void SetCounters(benchmark::State& state)
{
    state.SetItemsProcessed(state.iterations());
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrameSeconds, benchmark::Counter::kIsRate);
}

std::unique_ptr<CAudioFrameBuffer> FileBuffer()
{
    std::unique_ptr<CAudioFrameBuffer> fb(new CAudioFrameBuffer);
    fb->SetPlayMode(0, 0);
    fb->AllocRing(0x100000);
    return fb;
}

double Min(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

// ---- AMR ----

void BM_Amr_Opencore(benchmark::State& state)
{
    const std::vector<Bytes> frames = AmrFrames(static_cast<int>(state.range(0)));
    void* decoder = Decoder_Interface_init();
    short pcm[kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        Decoder_Interface_Decode(decoder, frames[i].data(), pcm, 0);
        benchmark::DoNotOptimize(pcm);
        i = (i + 1) % frames.size();
    }
    Decoder_Interface_exit(decoder);
    SetCounters(state);
}

void BM_Amr_AmrDll(benchmark::State& state)
{
    const std::vector<Bytes> frames = AmrFrames(static_cast<int>(state.range(0)));
    AMR_HANDLE decoder = 0;
    AMR_Decode_Init(&decoder);
    unsigned char pcm[2 * kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        AMR_Decode_Frame(decoder, frames[i].data(), pcm, 0);
        benchmark::DoNotOptimize(pcm);
        i = (i + 1) % frames.size();
    }
    AMR_Decode_Exit(&decoder);
    SetCounters(state);
}

void BM_Amr_DecodePayload(benchmark::State& state)
{
    const std::vector<Bytes> frames = AmrFrames(static_cast<int>(state.range(0)));
    std::unique_ptr<CAudioFrameBuffer> fb = FileBuffer();
    std::vector<unsigned char> out(CAudioFrameBuffer::kDecodeBufferBytes);
    size_t i = 0;
    int64_t pts = 0;
    for (auto _ : state) {
        fb->DecodePayload(frames[i].data(), static_cast<int>(frames[i].size()), 1, pts += 20, 1);
        int length = static_cast<int>(out.size());
        fb->ReadFrame(out.data(), &length, nullptr, nullptr);
        benchmark::DoNotOptimize(out.data());
        i = (i + 1) % frames.size();
    }
    SetCounters(state);
}

BENCHMARK(BM_Amr_Opencore)->Arg(7)->Arg(0)->ComputeStatistics("min", Min);
BENCHMARK(BM_Amr_AmrDll)->Arg(7)->Arg(0)->ComputeStatistics("min", Min);
BENCHMARK(BM_Amr_DecodePayload)->Arg(7)->Arg(0)->ComputeStatistics("min", Min);

// ---- Voice codec ----

void BM_Voice_PlainIma(benchmark::State& state)
{
    const std::vector<Bytes> frames = VoiceFrames();
    short pcm[HI_VOICE_MAX_SAMPLES];
    size_t i = 0;
    for (auto _ : state) {
        codectest::PlainImaDecode(frames[i].data(), pcm);
        benchmark::DoNotOptimize(pcm);
        i = (i + 1) % frames.size();
    }
    SetCounters(state);
}

void BM_Voice_Library(benchmark::State& state)
{
    const std::vector<Bytes> frames = VoiceFrames();
    alignas(8) unsigned char decoder[HI_VOICE_STATE_BYTES];
    HI_VOICE_DecReset(decoder, HI_VOICE_CODEC_IMA_ADPCM);
    short pcm[HI_VOICE_MAX_SAMPLES];
    size_t i = 0;
    for (auto _ : state) {
        short len = 0;
        HI_VOICE_DecodeFrame(decoder, frames[i].data(), pcm, &len);
        benchmark::DoNotOptimize(pcm);
        i = (i + 1) % frames.size();
    }
    SetCounters(state);
}

void BM_Voice_Adapter(benchmark::State& state)
{
    const std::vector<Bytes> frames = VoiceFrames();
    CG726ADecoder decoder(3);
    std::vector<unsigned char> out(CAudioFrameBuffer::kDecodeBufferBytes);
    size_t i = 0;
    for (auto _ : state) {
        int outLen = 0;
        decoder.DecodeFrame(frames[i].data(), static_cast<int>(frames[i].size()), out.data(), &outLen);
        benchmark::DoNotOptimize(out.data());
        i = (i + 1) % frames.size();
    }
    SetCounters(state);
}

void BM_Voice_DecodePayload(benchmark::State& state)
{
    const std::vector<Bytes> frames = VoiceFrames();
    std::unique_ptr<CAudioFrameBuffer> fb = FileBuffer();
    std::vector<unsigned char> out(CAudioFrameBuffer::kDecodeBufferBytes);
    size_t i = 0;
    int64_t pts = 0;
    for (auto _ : state) {
        fb->DecodePayload(frames[i].data(), static_cast<int>(frames[i].size()), 2, pts += 20, 1);
        int length = static_cast<int>(out.size());
        fb->ReadFrame(out.data(), &length, nullptr, nullptr);
        benchmark::DoNotOptimize(out.data());
        i = (i + 1) % frames.size();
    }
    SetCounters(state);
}

BENCHMARK(BM_Voice_PlainIma)->ComputeStatistics("min", Min);
BENCHMARK(BM_Voice_Library)->ComputeStatistics("min", Min);
BENCHMARK(BM_Voice_Adapter)->ComputeStatistics("min", Min);
BENCHMARK(BM_Voice_DecodePayload)->ComputeStatistics("min", Min);

} // namespace
