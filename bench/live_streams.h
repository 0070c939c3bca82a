// What the programs that play live streams in real time share: AMR frames
// made once in-process, the virtual device at real-time pace, and processor
// time by clock.
#pragma once

#include <time.h>

#include <vector>

#include <svwin/wavedevice.h>

#include "test_codec_amr_frames.h"

namespace benchlive {

typedef std::vector<unsigned char> Bytes;

const int kAmrFrameSamples = 160; // 20 ms
const int kAmrMode122 = 7;

// `seconds` of synthetic speech as AMR 12.2 frames, each in storage format
// (the header byte first), as SV_InputAudioBuffer takes them.
inline std::vector<Bytes> AmrFrames(int seconds)
{
    return codectest::AmrEncodeFrames(codectest::SyntheticSpeech(seconds * codectest::kRate), kAmrMode122).frames;
}

// Every device opened from here on is a virtual one that plays in real time
// and records nothing.
inline void UseRealTimeVirtualDevice()
{
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetRecordPath(nullptr);
    SvWaveVirtualSetSpeed(1.0);
}

inline double CpuSeconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace benchlive
