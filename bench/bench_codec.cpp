// Codec costs, each beside its baseline in the same run:
//   AMR: opencore's Decoder_Interface_Decode alone, AmrDll's AMR_Decode_Frame,
//        and a whole payload through CAudioFrameBuffer::DecodePayload (with the
//        ReadFrame that takes it out again), on the same frames. Goal: payload
//        decoding at most 1.05 times opencore alone.
//   Voice: a plain IMA ADPCM decoder, HI_VOICE_DecodeFrame, the adapter, and a
//        payload through DecodePayload, per 160-sample frame. Goal: at least
//        20,000 times real time (about 1 us per frame).
// "x_realtime" is seconds of audio decoded per second of processor time. On a
// shared machine, run with --benchmark_repetitions=N and compare the "min"
// aggregates: the least-disturbed run is the truest cost.
#include <opencore-amrnb/interf_dec.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "AmrDll.h"
#include "audio/audioframebuffer.h"
#include "codec/g726adecoder.h"
#include "hi_voice.h"
#include "test_codec_signals.h"

namespace {

using codectest::kFrameSamples;
typedef std::vector<unsigned char> Bytes;

const double kFrameSeconds = 0.02;

std::vector<Bytes> AmrFrames(int mode)
{
    const std::vector<short> pcm = codectest::SyntheticSpeech(5 * codectest::kRate);
    AMR_HANDLE encoder = 0;
    AMR_Encode_Init(&encoder);
    std::vector<Bytes> frames;
    for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
        Bytes frame(AMR_MAX_FRAME_BYTES);
        frame.resize(AMR_Encode_Frame(encoder, pcm.data() + at, frame.data(), mode));
        frames.push_back(frame);
    }
    AMR_Encode_Exit(&encoder);
    return frames;
}

std::vector<Bytes> VoiceFrames()
{
    const std::vector<short> pcm = codectest::SyntheticSpeech(5 * codectest::kRate);
    unsigned char state[HI_VOICE_STATE_BYTES];
    HI_VOICE_EncReset(state, HI_VOICE_CODEC_IMA_ADPCM);
    std::vector<Bytes> frames;
    for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
        Bytes frame(HI_VOICE_MAX_FRAME_BYTES);
        int bytes = 0;
        HI_VOICE_EncodeFrame(state, pcm.data() + at, kFrameSamples, frame.data(), &bytes);
        frame.resize(bytes);
        frames.push_back(frame);
    }
    return frames;
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

// A plain IMA ADPCM decoder as a textbook would write it: the yardstick for
// the library's table-driven one.
void PlainImaDecode(const unsigned char* frame, short* out)
{
    static const int kStep[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static const int kAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    const int n = frame[2] | (frame[3] << 8);
    int predictor = static_cast<int16_t>(frame[4] | (frame[5] << 8));
    int index = frame[6];
    for (int i = 0; i < n; ++i) {
        const int code = (frame[8 + i / 2] >> ((i & 1) * 4)) & 0x0F;
        const int step = kStep[index];
        int diff = step >> 3;
        if (code & 4)
            diff += step;
        if (code & 2)
            diff += step >> 1;
        if (code & 1)
            diff += step >> 2;
        predictor += (code & 8) ? -diff : diff;
        predictor = predictor > 32767 ? 32767 : (predictor < -32768 ? -32768 : predictor);
        index += kAdjust[code & 7];
        index = index < 0 ? 0 : (index > 88 ? 88 : index);
        out[i] = static_cast<short>(predictor);
    }
}

void BM_Voice_PlainIma(benchmark::State& state)
{
    const std::vector<Bytes> frames = VoiceFrames();
    short pcm[HI_VOICE_MAX_SAMPLES];
    size_t i = 0;
    for (auto _ : state) {
        PlainImaDecode(frames[i].data(), pcm);
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
