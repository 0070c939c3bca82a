// Encoding of 8 kHz mono PCM into the library's compressed frames, one frame
// at a time: AMR-NB at any of its eight modes (160 samples a frame, the last
// one padded with silence), or voice-engine frames (up to 320 samples).
#pragma once

#include <stdint.h>

#include <string>

#include "AmrDll.h"
#include "hi_voice.h"
#include "streams.h"

namespace svtool {

class FrameEncoder {
public:
    FrameEncoder() = default;
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;
    ~FrameEncoder();

    // Starts the encoder of `codec`; false, with the reason, when it cannot.
    bool Start(Codec codec, int amrMode, std::string* error);
    // The samples one frame takes.
    int FrameSamples() const { return m_codec == Codec::Amr ? kAmrFrameSamples : kVoiceFrameSamples; }
    // Encodes `samples` (1..FrameSamples()) into `frame`, whose bytes stay
    // valid until the next call; its position is left to the caller. False
    // when the encoder refused the frame.
    bool Encode(const int16_t* pcm, int samples, Frame* frame);

private:
    Codec m_codec = Codec::Amr;
    int m_amrMode = 7;
    AMR_HANDLE m_amr = 0;
    alignas(8) unsigned char m_voiceState[HI_VOICE_STATE_BYTES] = {};
    uint8_t m_out[kVoiceHeaderBytes + kVoiceMaxSamples] = {};
};

}  // namespace svtool
