#include "frame_encoder.h"

#include <algorithm>

namespace svtool {

FrameEncoder::~FrameEncoder()
{
    if (m_amr != 0)
        AMR_Encode_Exit(&m_amr);
}

bool FrameEncoder::Start(Codec codec, int amrMode, std::string* error)
{
    m_codec = codec;
    m_amrMode = amrMode;
    if (codec == Codec::Amr) {
        if (m_amr == 0 && (AMR_Encode_Init(&m_amr) != 0 || m_amr == 0)) {
            *error = "cannot start the AMR encoder";
            return false;
        }
    } else if (HI_VOICE_EncReset(m_voiceState, 3) != 0) {
        *error = "cannot start the voice-engine encoder";
        return false;
    }
    return true;
}

bool FrameEncoder::Encode(const int16_t* pcm, int samples, Frame* frame)
{
    samples = std::clamp(samples, 0, FrameSamples());
    int16_t block[kVoiceFrameSamples] = {};
    std::copy(pcm, pcm + samples, block);
    int n = 0;
    if (m_codec == Codec::Amr) {
        n = AMR_Encode_Frame(m_amr, block, m_out, m_amrMode);
        frame->type = kPayloadAmr;
        frame->samples = kAmrFrameSamples;
    } else {
        if (HI_VOICE_EncodeFrame(m_voiceState, block, samples, m_out, &n) != 0)
            n = 0;
        frame->type = kPayloadVoice;
        frame->samples = samples;
    }
    if (n <= 0)
        return false;
    frame->data = m_out;
    frame->length = n;
    return true;
}

}  // namespace svtool
