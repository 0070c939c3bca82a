#include "codec/g726adecoder.h"

CG726ADecoder::CG726ADecoder(unsigned short codecType) : m_decoderState() { ResetDecoder(codecType); }
CG726ADecoder::~CG726ADecoder() {}
void CG726ADecoder::ResetDecoder(unsigned short) {}
int CG726ADecoder::DecodeFrame(const unsigned char*, int, unsigned char*, int* outLen)
{
    *outLen = 0;
    return 0;
}
