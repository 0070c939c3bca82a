// Formats the stand-in plays and records, the output level applied to their
// samples, and the encoding of recorded samples.
#include <string.h>

#include "device.h"

namespace svwave {

namespace {

const WORD kFormatMulaw = 7;

// G.711 mu-law, as the wave drivers convert it.
int16_t MulawToLinear(BYTE code)
{
    code = static_cast<BYTE>(~code);
    int magnitude = (((code & 0x0F) << 3) + 0x84) << ((code & 0x70) >> 4);
    return static_cast<int16_t>((code & 0x80) ? 0x84 - magnitude : magnitude - 0x84);
}

BYTE LinearToMulaw(int sample)
{
    const int kBias = 0x84;
    const int kClip = 32635;
    int sign = 0;
    if (sample < 0) {
        sample = -sample;
        sign = 0x80;
    }
    if (sample > kClip)
        sample = kClip;
    sample += kBias;
    int exponent = 7;
    for (int mask = 0x4000; (sample & mask) == 0 && exponent > 0; mask >>= 1)
        --exponent;
    const int mantissa = (sample >> (exponent + 3)) & 0x0F;
    return static_cast<BYTE>(~(sign | (exponent << 4) | mantissa));
}

// 0..0xFFFF as a factor of 1/65536, with 0xFFFF exactly unity.
int32_t Factor(DWORD level)
{
    level &= 0xFFFF;
    return static_cast<int32_t>(level + (level >> 15));
}

int Scale(int sample, int32_t factor)
{
    return static_cast<int>((static_cast<int64_t>(sample) * factor) >> 16);
}

}  // namespace

bool IsSupportedFormat(const WAVEFORMATEX& format)
{
    if (format.nChannels < 1 || format.nChannels > 2 || format.nSamplesPerSec == 0)
        return false;
    if (format.wFormatTag == WAVE_FORMAT_PCM) {
        if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)
            return false;
    } else if (format.wFormatTag == kFormatMulaw) {
        if (format.wBitsPerSample != 8)
            return false;
    } else {
        return false;
    }
    const DWORD block = format.nChannels * format.wBitsPerSample / 8u;
    return format.nBlockAlign == block && format.nAvgBytesPerSec == block * format.nSamplesPerSec;
}

void ApplyVolume(const WAVEFORMATEX& format, DWORD volume, const BYTE* src, BYTE* dst, DWORD bytes)
{
    if (volume == 0xFFFFFFFF || (format.nChannels == 1 && (volume & 0xFFFF) == 0xFFFF)) {
        memcpy(dst, src, bytes);
        return;
    }
    const int32_t factors[2] = {Factor(volume), Factor(volume >> 16)};
    const unsigned channels = format.nChannels;
    if (format.wBitsPerSample == 16) {
        const DWORD samples = bytes / 2;
        for (DWORD i = 0; i < samples; ++i) {
            int16_t sample;
            memcpy(&sample, src + 2 * i, 2);
            const int16_t scaled = static_cast<int16_t>(Scale(sample, factors[i % channels]));
            memcpy(dst + 2 * i, &scaled, 2);
        }
        // An odd trailing byte is half a sample: it plays as it came.
        if (bytes & 1)
            dst[bytes - 1] = src[bytes - 1];
    } else if (format.wFormatTag == WAVE_FORMAT_PCM) {
        for (DWORD i = 0; i < bytes; ++i)
            dst[i] = static_cast<BYTE>(128 + Scale(src[i] - 128, factors[i % channels]));
    } else {
        for (DWORD i = 0; i < bytes; ++i)
            dst[i] = LinearToMulaw(Scale(MulawToLinear(src[i]), factors[i % channels]));
    }
}

void EncodeSamples(const WAVEFORMATEX& format, const int16_t* src, DWORD count, BYTE* dst)
{
    if (format.wBitsPerSample == 16) {
        memcpy(dst, src, static_cast<size_t>(count) * 2);
    } else if (format.wFormatTag == WAVE_FORMAT_PCM) {
        for (DWORD i = 0; i < count; ++i)
            dst[i] = static_cast<BYTE>(128 + (src[i] >> 8));
    } else {
        for (DWORD i = 0; i < count; ++i)
            dst[i] = LinearToMulaw(src[i]);
    }
}

}  // namespace svwave
