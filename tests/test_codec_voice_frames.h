// Voice-codec streams for the tests and benchmarks: frames made and decoded by
// the codec library itself, and a plain IMA ADPCM decoder written straight
// from the reference algorithm, to compare the library with sample by sample
// and to time it against. It keeps its own step table: a reference that took
// the library's would agree with a wrong entry.
//
// No gtest here, the benchmarks use it too: callers check `result`.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "hi_voice.h"

namespace codectest {

typedef std::vector<unsigned char> VoiceFrame;

struct VoiceFrames {
    int result = HI_VOICE_OK;  // the first result of the library's other than HI_VOICE_OK
    std::vector<VoiceFrame> frames;
};

// Encodes `pcm` on one encoder state in frames of the (positive) `sizes`, in
// turn, until it runs out; the last frame takes what is left. An empty `pcm`
// makes one empty frame.
inline VoiceFrames VoiceEncode(const std::vector<short>& pcm, const std::vector<int>& sizes)
{
    VoiceFrames out;
    auto check = [&out](int result) {
        if (out.result == HI_VOICE_OK)
            out.result = result;
    };
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES] = {};
    check(HI_VOICE_EncReset(state, HI_VOICE_CODEC_IMA_ADPCM));
    size_t at = 0;
    do {
        const int n = static_cast<int>(std::min<size_t>(sizes[out.frames.size() % sizes.size()], pcm.size() - at));
        VoiceFrame frame(HI_VOICE_MAX_FRAME_BYTES);
        int bytes = 0;
        check(HI_VOICE_EncodeFrame(state, pcm.data() + at, n, frame.data(), &bytes));
        frame.resize(static_cast<size_t>(bytes));
        out.frames.push_back(frame);
        at += static_cast<size_t>(n);
    } while (at < pcm.size());
    return out;
}

struct VoicePcm {
    int result = HI_VOICE_OK;  // as above
    std::vector<short> pcm;
};

// The library's decode of `frames`, back to back on one decoder state.
inline VoicePcm VoiceDecode(const std::vector<VoiceFrame>& frames)
{
    VoicePcm out;
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES] = {};
    out.result = HI_VOICE_DecReset(state, HI_VOICE_CODEC_IMA_ADPCM);
    for (const VoiceFrame& frame : frames) {
        short pcm[HI_VOICE_MAX_SAMPLES];
        short n = 0;
        const int result = HI_VOICE_DecodeFrame(state, frame.data(), pcm, &n);
        if (out.result == HI_VOICE_OK)
            out.result = result;
        out.pcm.insert(out.pcm.end(), pcm, pcm + n);
    }
    return out;
}

// Decodes the codes of `frame` (header included, checked for nothing) as plain
// IMA ADPCM into `out`, which has room for the frame's sample count; returns
// that count.
inline int PlainImaDecode(const unsigned char* frame, short* out)
{
    static const int kStep[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static const int kAdjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
    const int n = frame[2] | (frame[3] << 8);
    int predictor = static_cast<int16_t>(frame[4] | (frame[5] << 8));
    int index = frame[6];
    for (int i = 0; i < n; ++i) {
        const unsigned char byte = frame[8 + i / 2];
        const int code = (i % 2 == 0) ? (byte & 0x0F) : (byte >> 4);
        const int step = kStep[index];
        int diff = step >> 3;
        if (code & 4)
            diff += step;
        if (code & 2)
            diff += step >> 1;
        if (code & 1)
            diff += step >> 2;
        predictor += (code & 8) ? -diff : diff;
        if (predictor > 32767)
            predictor = 32767;
        if (predictor < -32768)
            predictor = -32768;
        index += kAdjust[code];
        if (index < 0)
            index = 0;
        if (index > 88)
            index = 88;
        out[i] = static_cast<short>(predictor);
    }
    return n;
}

inline std::vector<short> PlainImaDecode(const VoiceFrame& frame)
{
    std::vector<short> out(static_cast<size_t>(frame[2] | (frame[3] << 8)));
    PlainImaDecode(frame.data(), out.data());
    return out;
}

} // namespace codectest
