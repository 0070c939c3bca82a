// Adapter over the voice-engine codec library's decoder, for one stream. The
// decoder state lives inside the object; buffers pass straight through.
#pragma once

class CG726ADecoder {
public:
    // Resets the decoder state for `codecType` (3 for every voice payload).
    explicit CG726ADecoder(unsigned short codecType);
    // The voice engine has no close call: the state ends with the object.
    virtual ~CG726ADecoder();

    CG726ADecoder(const CG726ADecoder&) = delete;
    CG726ADecoder& operator=(const CG726ADecoder&) = delete;

    void ResetDecoder(unsigned short codecType);

    // Decodes one frame of `inLen` bytes at `in` into `out`, which must hold
    // the whole decoded frame (320 samples at most). Returns 1 and the PCM
    // byte count in *outLen, or 0 (and *outLen 0 when the frame was refused).
    // A frame whose header declares more bytes than `inLen` is refused before
    // the codec reads it. No allocation, no copy. One thread at a time: the
    // caller serialises.
    int DecodeFrame(const unsigned char* in, int inLen, unsigned char* out, int* outLen);

private:
    alignas(8) unsigned char m_decoderState[16];
};
