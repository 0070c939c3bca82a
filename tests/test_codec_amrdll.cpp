// The AMR library: the storage-format length table, real encoding at every
// bit rate, decoding bit-exact with opencore's decoder (speech, comfort noise
// and no-data frames), and the refusals.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "test_codec_amr_streams.h"
#include "test_codec_guard.h"

namespace {

using codectest::AmrFrame;
using codectest::kFrameSamples;

const int kExpectedLength[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0, 0, 0, 0, 0, 0, 0};

int FrameType(const AmrFrame& frame) { return (frame[0] >> 3) & 0x0F; }

// Decodes every frame through AmrDll on one handle. Each frame ends at a guard
// page, so a read past it faults (opencore is not instrumented by the
// sanitizers); the PCM goes to an odd address to show no alignment is needed.
std::vector<short> DecodeWithLibrary(const std::vector<AmrFrame>& frames)
{
    AMR_HANDLE decoder = 0;
    EXPECT_EQ(AMR_Decode_Init(&decoder), 0);
    EXPECT_NE(decoder, 0u);
    std::vector<short> pcm(frames.size() * kFrameSamples);
    std::vector<unsigned char> out(2 * kFrameSamples + 1);
    codectest::GuardedBuffer guarded;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(AMR_Decode_Frame(decoder, guarded.Place(frames[i]), out.data() + 1, 0), 0) << "frame " << i;
        memcpy(pcm.data() + i * kFrameSamples, out.data() + 1, 2 * kFrameSamples);
    }
    EXPECT_EQ(AMR_Decode_Exit(&decoder), 0);
    EXPECT_EQ(decoder, 0u);
    return pcm;
}

TEST(AmrDll, LengthFollowsTheFrameTypeOnly)
{
    for (int type = 0; type < 16; ++type) {
        const unsigned header = static_cast<unsigned>(type << 3) | 0x04;
        for (int mode : {0, 1, 7, -3})
            EXPECT_EQ(AMR_Get_Length(mode, header), kExpectedLength[type]) << "type " << type << " mode " << mode;
        // The F bit, the padding bits and bits above the byte take no part.
        EXPECT_EQ(AMR_Get_Length(0, header | 0x83 | 0x700), kExpectedLength[type]) << "type " << type;
        EXPECT_EQ(AMR_Get_Length(0, header & ~0x04u), kExpectedLength[type]) << "type " << type;
    }
}

TEST(AmrDll, EncodesStorageFramesAtEveryBitRate)
{
    const std::vector<short> pcm = codectest::SyntheticSpeech(codectest::kRate);
    for (int mode = 0; mode <= 7; ++mode) {
        const std::vector<AmrFrame> frames = codectest::AmrEncode(pcm, mode);
        ASSERT_EQ(frames.size(), pcm.size() / kFrameSamples);
        for (const AmrFrame& frame : frames) {
            ASSERT_EQ(FrameType(frame), mode);
            ASSERT_EQ(static_cast<int>(frame.size()), 1 + AMR_Get_Length(0, frame[0])) << "mode " << mode;
        }
    }
    AMR_HANDLE encoder = 0;
    ASSERT_EQ(AMR_Encode_Init(&encoder), 0);
    unsigned char out[AMR_MAX_FRAME_BYTES];
    // The samples are the caller's: opencore filters its input in place, the
    // library must not let that reach them.
    const std::vector<short> before(pcm.begin(), pcm.begin() + kFrameSamples);
    ASSERT_GT(AMR_Encode_Frame(encoder, pcm.data(), out, 7), 0);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), pcm.begin()));
    EXPECT_LT(AMR_Encode_Frame(encoder, pcm.data(), out, 8), 0);
    EXPECT_LT(AMR_Encode_Frame(encoder, pcm.data(), out, -1), 0);
    EXPECT_LT(AMR_Encode_Frame(encoder, nullptr, out, 7), 0);
    EXPECT_LT(AMR_Encode_Frame(0, pcm.data(), out, 7), 0);
    EXPECT_EQ(AMR_Encode_Exit(&encoder), 0);
    EXPECT_NE(AMR_Encode_Exit(&encoder), 0);
}

TEST(AmrDll, DecodesBitExactlyAsOpencoreAtEveryBitRate)
{
    const std::vector<short> pcm = codectest::AmrTestSignal();
    for (int mode = 0; mode <= 7; ++mode) {
        const std::vector<AmrFrame> frames = codectest::AmrEncode(pcm, mode);
        EXPECT_EQ(DecodeWithLibrary(frames), codectest::OpencoreDecode(frames)) << "mode " << mode;
    }
}

TEST(AmrDll, DecodesComfortNoiseAndNoDataFramesAsOpencore)
{
    const std::vector<short> pcm = codectest::AmrTestSignal();
    for (int mode : {0, 7}) {
        const std::vector<AmrFrame> frames = codectest::AmrEncodeWithDtx(pcm, mode);
        int sid = 0, noData = 0;
        for (const AmrFrame& frame : frames) {
            sid += FrameType(frame) == 8;
            noData += FrameType(frame) == AMR_FRAME_NO_DATA;
            ASSERT_EQ(static_cast<int>(frame.size()), 1 + AMR_Get_Length(0, frame[0]));
        }
        ASSERT_GT(sid, 0) << "the silent tail gives comfort-noise frames";
        ASSERT_GT(noData, 0);
        EXPECT_EQ(DecodeWithLibrary(frames), codectest::OpencoreDecode(frames)) << "mode " << mode;
    }
}

TEST(AmrDll, DecodedAudioFollowsTheInput)
{
    // A codec-independent check that real decoding happens: the decoded tone
    // matches the original closely once the codec's delay is allowed for.
    const std::vector<short> pcm = codectest::Sine(700, 8000, codectest::kRate);
    const std::vector<short> decoded = DecodeWithLibrary(codectest::AmrEncode(pcm, 7));
    double best = 0;
    for (int lag = 0; lag < 200; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = 1600; i + lag < decoded.size(); ++i) {
            xy += static_cast<double>(pcm[i]) * decoded[i + lag];
            xx += static_cast<double>(pcm[i]) * pcm[i];
            yy += static_cast<double>(decoded[i + lag]) * decoded[i + lag];
        }
        best = std::max(best, xy / sqrt(xx * yy + 1e-9));
    }
    EXPECT_GT(best, 0.95);
}

TEST(AmrDll, RefusesWhatItCannotDecode)
{
    AMR_HANDLE decoder = 0;
    ASSERT_EQ(AMR_Decode_Init(&decoder), 0);
    unsigned char pcm[2 * kFrameSamples];
    memset(pcm, 0x5A, sizeof pcm);
    codectest::GuardedBuffer guarded;
    for (int type = 9; type <= 14; ++type) {
        // The reserved types carry no bytes: a lone header byte must do.
        const unsigned char* header = guarded.Place({static_cast<unsigned char>(type << 3)});
        EXPECT_NE(AMR_Decode_Frame(decoder, header, pcm, 0), 0) << "type " << type;
    }
    for (unsigned char b : pcm)
        ASSERT_EQ(b, 0x5A) << "a refused frame writes no PCM";

    // A no-data frame is one byte and decodes to concealment.
    const unsigned char* noData = guarded.Place({AMR_FRAME_NO_DATA << 3});
    EXPECT_EQ(AMR_Decode_Frame(decoder, noData, pcm, 0), 0);

    EXPECT_NE(AMR_Decode_Frame(0, noData, pcm, 0), 0);
    EXPECT_NE(AMR_Decode_Frame(decoder, nullptr, pcm, 0), 0);
    EXPECT_NE(AMR_Decode_Frame(decoder, noData, nullptr, 0), 0);
    EXPECT_NE(AMR_Decode_Init(nullptr), 0);
    EXPECT_EQ(AMR_Decode_Exit(&decoder), 0);
    EXPECT_EQ(decoder, 0u);
    EXPECT_NE(AMR_Decode_Exit(&decoder), 0);
    EXPECT_NE(AMR_Decode_Exit(nullptr), 0);
}

} // namespace
