// The voice codec: 4-bit IMA ADPCM at 8 kHz in self-contained frames (see
// docs/voice-frame-format.md). Everything a call needs is in the caller's
// 16-byte state and the frame itself; the tables are compile-time constants.
#include "hi_voice.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace {

// The standard IMA ADPCM step sizes and step-index adjustments.
constexpr int16_t kStepSize[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,   253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,   876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493,  10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr int kIndexAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
constexpr int kMaxStepIndex = 88;

// The decoder's inner loop is a dependency chain through the step index. To
// keep it short, every (step index, code) pair is resolved ahead of time into
// the signed predictor change and the table row of the next step index, so a
// sample costs two loads, an add and a clamp.
struct ImaTables {
    int32_t delta[89 * 16];
    uint16_t nextRow[89 * 16]; // next step index * 16
};

constexpr int Reconstruct(int step, int code)
{
    // The reference reconstruction, with its truncating shifts, so that any
    // IMA ADPCM encoder's codes decode as they were meant.
    int diff = step >> 3;
    if (code & 4)
        diff += step;
    if (code & 2)
        diff += step >> 1;
    if (code & 1)
        diff += step >> 2;
    return (code & 8) ? -diff : diff;
}

constexpr ImaTables MakeTables()
{
    ImaTables t{};
    for (int index = 0; index <= kMaxStepIndex; ++index) {
        for (int code = 0; code < 16; ++code) {
            int next = index + kIndexAdjust[code & 7];
            next = next < 0 ? 0 : (next > kMaxStepIndex ? kMaxStepIndex : next);
            t.delta[index * 16 + code] = Reconstruct(kStepSize[index], code);
            t.nextRow[index * 16 + code] = static_cast<uint16_t>(next * 16);
        }
    }
    return t;
}

constexpr ImaTables kTables = MakeTables();

// Layout of the 16-byte state. It may be unaligned, so fields go through
// memcpy. The magic tells a reset state from a never-reset one (and a decoder
// state from an encoder state).
const uint32_t kDecoderMagic = 0x31445648; // "HVD1"
const uint32_t kEncoderMagic = 0x31455648; // "HVE1"
struct State {
    uint32_t magic;
    uint32_t codecType;
    int16_t predictor; // encoder only: runs on across frames
    uint8_t stepIndex; // encoder only
    uint8_t reserved[5];
};
static_assert(sizeof(State) == HI_VOICE_STATE_BYTES, "state layout must fill the caller's area");

State Load(const void* state)
{
    State s;
    memcpy(&s, state, sizeof s);
    return s;
}

void Store(void* state, const State& s) { memcpy(state, &s, sizeof s); }

int Reset(void* state, unsigned int codecType, uint32_t magic)
{
    if (!state)
        return HI_VOICE_ERR_ARG;
    State s{};
    s.magic = magic;
    s.codecType = codecType;
    Store(state, s);
    return codecType == HI_VOICE_CODEC_IMA_ADPCM ? HI_VOICE_OK : HI_VOICE_ERR_CODEC;
}

inline int Clamp16(int v) { return std::min(std::max(v, -32768), 32767); }

inline void PutSample(short* out, int i, int v)
{
    const int16_t s = static_cast<int16_t>(v);
    memcpy(reinterpret_cast<unsigned char*>(out) + 2 * i, &s, 2);
}

inline int GetSample(const short* pcm, int i)
{
    int16_t s;
    memcpy(&s, reinterpret_cast<const unsigned char*>(pcm) + 2 * i, 2);
    return s;
}

// Chooses the code whose reconstruction lands nearest the sample. The
// reference encoder's successive approximation truncates towards the smaller
// magnitude; taking the nearest of the eight removes that bias, and the
// decoder cannot tell the difference.
inline int EncodeSample(int sample, int predictor, int index)
{
    const int diff = sample - predictor;
    const int sign = diff < 0 ? 8 : 0;
    const int magnitude = diff < 0 ? -diff : diff;
    const int32_t* delta = &kTables.delta[index * 16];
    int best = 0;
    int bestError = magnitude - delta[0];
    bestError = bestError < 0 ? -bestError : bestError;
    for (int code = 1; code < 8; ++code) {
        int error = magnitude - delta[code];
        error = error < 0 ? -error : error;
        if (error < bestError) {
            best = code;
            bestError = error;
        }
    }
    return sign | best;
}

} // namespace

HI_VOICE_API int HI_VOICE_CALL HI_VOICE_DecReset(void* state, unsigned int codecType)
{
    return Reset(state, codecType, kDecoderMagic);
}

HI_VOICE_API int HI_VOICE_CALL HI_VOICE_DecodeFrame(void* state, const unsigned char* in, short* out,
                                                   short* len)
{
    if (len)
        *len = 0;
    if (!state || !in || !out || !len)
        return HI_VOICE_ERR_ARG;
    const State s = Load(state);
    if (s.magic != kDecoderMagic)
        return HI_VOICE_ERR_STATE;
    if (s.codecType != HI_VOICE_CODEC_IMA_ADPCM)
        return HI_VOICE_ERR_CODEC;

    // The header is read byte by byte, each check before the next byte, so a
    // frame refused early is not read further than its refusal needs.
    if (in[0] != HI_VOICE_MARKER)
        return HI_VOICE_ERR_MARKER;
    if (in[1] != s.codecType)
        return HI_VOICE_ERR_CODEC;
    const int n = in[2] | (in[3] << 8);
    if (n > HI_VOICE_MAX_SAMPLES)
        return HI_VOICE_ERR_LENGTH;
    int predictor = static_cast<int16_t>(static_cast<uint16_t>(in[4] | (in[5] << 8)));
    const int index = in[6];
    if (index > kMaxStepIndex)
        return HI_VOICE_ERR_STEP;
    if (in[7] != 0)
        return HI_VOICE_ERR_RESERVED;

    const unsigned char* codes = in + HI_VOICE_HEADER_BYTES;
    unsigned row = static_cast<unsigned>(index) * 16;
    int i = 0;
    for (; i + 1 < n; i += 2) {
        const unsigned byte = codes[i >> 1];
        unsigned t = row + (byte & 0x0F);
        predictor = Clamp16(predictor + kTables.delta[t]);
        row = kTables.nextRow[t];
        PutSample(out, i, predictor);
        t = row + (byte >> 4);
        predictor = Clamp16(predictor + kTables.delta[t]);
        row = kTables.nextRow[t];
        PutSample(out, i + 1, predictor);
    }
    if (i < n) {
        // An odd count: the last byte's high nibble is padding.
        const unsigned t = row + (codes[i >> 1] & 0x0F);
        predictor = Clamp16(predictor + kTables.delta[t]);
        PutSample(out, i, predictor);
    }
    *len = static_cast<short>(n);
    return HI_VOICE_OK;
}

HI_VOICE_API int HI_VOICE_CALL HI_VOICE_EncReset(void* state, unsigned int codecType)
{
    return Reset(state, codecType, kEncoderMagic);
}

HI_VOICE_API int HI_VOICE_CALL HI_VOICE_EncodeFrame(void* state, const short* pcm, int samples,
                                                   unsigned char* out, int* outLen)
{
    if (outLen)
        *outLen = 0;
    if (!state || !out || !outLen || samples < 0 || samples > HI_VOICE_MAX_SAMPLES ||
        (samples > 0 && !pcm))
        return HI_VOICE_ERR_ARG;
    State s = Load(state);
    if (s.magic != kEncoderMagic)
        return HI_VOICE_ERR_STATE;
    if (s.codecType != HI_VOICE_CODEC_IMA_ADPCM)
        return HI_VOICE_ERR_CODEC;

    int predictor = s.predictor;
    int index = std::min<int>(s.stepIndex, kMaxStepIndex);
    const uint16_t predictorBits = static_cast<uint16_t>(predictor);
    out[0] = HI_VOICE_MARKER;
    out[1] = static_cast<unsigned char>(s.codecType);
    out[2] = static_cast<unsigned char>(samples & 0xFF);
    out[3] = static_cast<unsigned char>(samples >> 8);
    out[4] = static_cast<unsigned char>(predictorBits & 0xFF);
    out[5] = static_cast<unsigned char>(predictorBits >> 8);
    out[6] = static_cast<unsigned char>(index);
    out[7] = 0;

    unsigned char* codes = out + HI_VOICE_HEADER_BYTES;
    for (int i = 0; i < samples; ++i) {
        const int code = EncodeSample(GetSample(pcm, i), predictor, index);
        // Track the decoder's reconstruction exactly, from the same tables.
        const int t = index * 16 + code;
        predictor = Clamp16(predictor + kTables.delta[t]);
        index = kTables.nextRow[t] / 16;
        if (i & 1)
            codes[i >> 1] = static_cast<unsigned char>(codes[i >> 1] | (code << 4));
        else
            codes[i >> 1] = static_cast<unsigned char>(code);
    }

    s.predictor = static_cast<int16_t>(predictor);
    s.stepIndex = static_cast<uint8_t>(index);
    Store(state, s);
    *outLen = HI_VOICE_FRAME_BYTES(samples);
    return HI_VOICE_OK;
}
