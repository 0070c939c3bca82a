// Payload decoding of the frame buffer: the codecs arrive separately.
#include "audio/audioframebuffer.h"

void CAudioFrameBuffer::DecodeAmr(const unsigned char*, int, int) {}
void CAudioFrameBuffer::DecodeVoice(const unsigned char*, int) {}
void CAudioFrameBuffer::InitAmrDecoder() {}
void CAudioFrameBuffer::EnsureDecodeBuffer() {}
