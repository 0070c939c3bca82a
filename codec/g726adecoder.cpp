#include "codec/g726adecoder.h"

#include "support/winapi.h"

#include "hi_voice.h"

namespace {

const char kRefusedLine[] = "1Not decoder!!!!\n";

// The codec finds a frame's extent in the frame itself and is given no length,
// so a payload cut short by the sender would have it read past the caller's
// buffer. The header's sample count gives the extent; a payload shorter than
// that, or than the header, is refused here.
bool FitsPayload(const unsigned char* in, int inLen)
{
    if (!in || inLen < HI_VOICE_HEADER_BYTES)
        return false;
    const int samples = in[2] | (in[3] << 8);
    return HI_VOICE_FRAME_BYTES(samples) <= inLen;
}

} // namespace

CG726ADecoder::CG726ADecoder(unsigned short codecType) : m_decoderState()
{
    static_assert(sizeof m_decoderState == HI_VOICE_STATE_BYTES, "the codec's state is 16 bytes");
    ResetDecoder(codecType);
}

CG726ADecoder::~CG726ADecoder() {}

void CG726ADecoder::ResetDecoder(unsigned short codecType)
{
    try {
        HI_VOICE_DecReset(m_decoderState, codecType);
    } catch (...) {
        // The codec library reports through its result only; nothing to log.
    }
}

int CG726ADecoder::DecodeFrame(const unsigned char* in, int inLen, unsigned char* out, int* outLen)
{
    short len = 0;
    int result;
    try {
        result = FitsPayload(in, inLen)
                     ? HI_VOICE_DecodeFrame(m_decoderState, in, reinterpret_cast<short*>(out), &len)
                     : HI_VOICE_ERR_LENGTH;
    } catch (...) {
        return 0;
    }
    if (result != HI_VOICE_OK) {
        OutputDebugStringA(kRefusedLine);
        *outLen = 0;
        return 0;
    }
    *outLen = len * 2;
    return 1;
}
