// AMR streams for the tests and benchmarks, encoded through AmrDll. No gtest
// here, the benchmarks use it too: callers check the results.
#pragma once

#include <vector>

#include "AmrDll.h"
#include "test_codec_signals.h"

namespace codectest {

typedef std::vector<unsigned char> AmrFrame;

struct AmrFrames {
    int initResult = 0;
    int exitResult = 0;
    AMR_HANDLE left = 0;  // the encoder handle after its exit
    std::vector<AmrFrame> frames;  // a failed frame is empty
};

// Encodes whole 20 ms frames of `pcm` at `mode` (0..7).
inline AmrFrames AmrEncodeFrames(const std::vector<short>& pcm, int mode)
{
    AmrFrames out;
    AMR_HANDLE encoder = 0;
    out.initResult = AMR_Encode_Init(&encoder);
    for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
        AmrFrame frame(AMR_MAX_FRAME_BYTES);
        const int bytes = AMR_Encode_Frame(encoder, pcm.data() + at, frame.data(), mode);
        frame.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
        out.frames.push_back(frame);
    }
    out.exitResult = AMR_Encode_Exit(&encoder);
    out.left = encoder;
    return out;
}

} // namespace codectest
