// AMR test streams made by real encoding, and the reference decode that the
// library's output must equal: opencore-amrnb's own decoder called directly.
#pragma once

#include <vector>

#include <gtest/gtest.h>
#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>

#include "test_codec_amr_frames.h"

namespace codectest {

// Encodes whole 20 ms frames of `pcm` through AmrDll at `mode` (0..7).
inline std::vector<AmrFrame> AmrEncode(const std::vector<short>& pcm, int mode)
{
    const AmrFrames encoded = AmrEncodeFrames(pcm, mode);
    EXPECT_EQ(encoded.initResult, 0);
    for (const AmrFrame& frame : encoded.frames)
        EXPECT_GT(frame.size(), 0u);
    EXPECT_EQ(encoded.exitResult, 0);
    EXPECT_EQ(encoded.left, 0u);
    return encoded.frames;
}

// The same with discontinuous transmission, straight from opencore, to get the
// comfort-noise (SID) and no-data frames that a silent stretch turns into.
inline std::vector<AmrFrame> AmrEncodeWithDtx(const std::vector<short>& pcm, int mode)
{
    void* encoder = Encoder_Interface_init(1);
    std::vector<AmrFrame> frames;
    for (size_t at = 0; at + kFrameSamples <= pcm.size(); at += kFrameSamples) {
        AmrFrame frame(AMR_MAX_FRAME_BYTES);
        const int bytes = Encoder_Interface_Encode(encoder, static_cast<Mode>(mode), pcm.data() + at, frame.data(), 0);
        EXPECT_GT(bytes, 0);
        frame.resize(bytes > 0 ? bytes : 0);
        frames.push_back(frame);
    }
    Encoder_Interface_exit(encoder);
    return frames;
}

// opencore's decode of the whole stream, in order, on one state.
inline std::vector<short> OpencoreDecode(const std::vector<AmrFrame>& frames)
{
    void* decoder = Decoder_Interface_init();
    std::vector<short> pcm(frames.size() * kFrameSamples);
    for (size_t i = 0; i < frames.size(); ++i)
        Decoder_Interface_Decode(decoder, frames[i].data(), pcm.data() + i * kFrameSamples, 0);
    Decoder_Interface_exit(decoder);
    return pcm;
}

// A second and a half of chirp, three seconds of synthetic voice, then a
// second of near-silence.
inline std::vector<short> AmrTestSignal()
{
    std::vector<short> pcm = Chirp(100, 3500, 10000, kRate * 3 / 2);
    const std::vector<short> speech = SyntheticSpeech(3 * kRate);
    pcm.insert(pcm.end(), speech.begin(), speech.end());
    pcm.resize(pcm.size() + kRate, 0);
    return pcm;
}

} // namespace codectest
