// Payload decoding of the frame buffer: AMR through AmrDll, the voice-engine
// codec through the CG726ADecoder adapter. Codec states and the decode buffer
// are made on first need and kept for the frame buffer's life, so a running
// stream allocates nothing. Host thread only; no lock here (PushFrame takes
// m_cs). Allocation failures propagate to the caller's guard.
#include "audio/audioframebuffer.h"

#include "codec/g726adecoder.h"

namespace {

// Every AMR frame decodes to 160 samples.
const int kAmrFrameBytes = 320;
const unsigned short kVoiceCodecType = 3;

} // namespace

void CAudioFrameBuffer::DecodeAmr(const unsigned char* data, int length, int mode)
{
    if (length < 1)
        return;
    EnsureDecodeBuffer();
    if (m_hAmrDecoder == 0)
        InitAmrDecoder();
    if (!m_pDecodeBuf || m_hAmrDecoder == 0)
        return;
    // The library reads as many bytes after the header byte as its frame type
    // calls for; a payload shorter than that is not handed over.
    if (AMR_Get_Length(mode, data[0]) > length - 1)
        return;
    if (AMR_Decode_Frame(m_hAmrDecoder, data, m_pDecodeBuf, mode) == 0)
        PushFrame(m_pDecodeBuf, kAmrFrameBytes);
}

void CAudioFrameBuffer::DecodeVoice(const unsigned char* data, int length)
{
    // Payload types 2 and 3 share this one decoder; its state runs on across
    // both.
    if (!m_pVoiceDecoder)
        m_pVoiceDecoder = new CG726ADecoder(kVoiceCodecType);
    EnsureDecodeBuffer();
    if (!m_pDecodeBuf || !m_pVoiceDecoder)
        return;
    int outsize = 0;
    if (m_pVoiceDecoder->DecodeFrame(data, length, m_pDecodeBuf, &outsize) != 0)
        PushFrame(m_pDecodeBuf, outsize);
}

void CAudioFrameBuffer::InitAmrDecoder()
{
    // A failed init leaves the handle 0; DecodeAmr then drops the payload.
    AMR_Decode_Init(&m_hAmrDecoder);
}

void CAudioFrameBuffer::EnsureDecodeBuffer()
{
    if (!m_pDecodeBuf)
        m_pDecodeBuf = new unsigned char[kDecodeBufferBytes];
}
