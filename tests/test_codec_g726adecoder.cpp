// The voice-engine adapter: byte counts from the codec's sample counts, the
// debugger line for refused frames, and the refusal of payloads shorter than
// the frame they declare before the codec can read past them.
#include <vector>

#include <gtest/gtest.h>

#include "codec/g726adecoder.h"
#include "hi_voice.h"
#include "test_codec_debug.h"
#include "test_codec_guard.h"
#include "test_codec_signals.h"
#include "test_codec_voice_frames.h"

namespace {

const char kRefusedLine[] = "1Not decoder!!!!\n";

// One frame of all of `pcm`.
std::vector<unsigned char> EncodeOne(const std::vector<short>& pcm)
{
    const codectest::VoiceFrames encoded = codectest::VoiceEncode(pcm, {static_cast<int>(pcm.size())});
    EXPECT_EQ(encoded.result, HI_VOICE_OK);
    return encoded.frames[0];
}

class G726ADecoderTest : public ::testing::Test {
protected:
    void SetUp() override { codectest::DebugCapture::Get().Clear(); }

    // Decodes the first `inLen` bytes of `frame`, placed to end at a guard
    // page, so that reading past `inLen` faults.
    int Decode(CG726ADecoder& decoder, const std::vector<unsigned char>& frame, int inLen)
    {
        const unsigned char* in = m_guarded.Place(frame, inLen > 0 ? inLen : 0);
        m_out.assign(2 * HI_VOICE_MAX_SAMPLES, 0xEE);
        m_outLen = -1;
        return decoder.DecodeFrame(in, inLen, m_out.data(), &m_outLen);
    }

    int Refusals() { return codectest::DebugCapture::Get().Count(kRefusedLine); }

    codectest::GuardedBuffer m_guarded;
    std::vector<unsigned char> m_out;
    int m_outLen = -1;
};

TEST_F(G726ADecoderTest, DecodesAFrameToBytesOfPcm)
{
    const std::vector<short> pcm = codectest::Sine(500, 9000, codectest::kFrameSamples);
    const std::vector<unsigned char> frame = EncodeOne(pcm);
    CG726ADecoder decoder(3);
    ASSERT_EQ(Decode(decoder, frame, static_cast<int>(frame.size())), 1);
    EXPECT_EQ(m_outLen, 320);

    // The bytes are the codec's own samples, little-endian.
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES];
    HI_VOICE_DecReset(state, HI_VOICE_CODEC_IMA_ADPCM);
    std::vector<short> direct(HI_VOICE_MAX_SAMPLES);
    short len = 0;
    ASSERT_EQ(HI_VOICE_DecodeFrame(state, frame.data(), direct.data(), &len), HI_VOICE_OK);
    for (int i = 0; i < len; ++i)
        ASSERT_EQ(static_cast<short>(m_out[2 * i] | (m_out[2 * i + 1] << 8)), direct[i]) << "sample " << i;
    EXPECT_EQ(m_out[320], 0xEE) << "nothing written past the frame";
    EXPECT_EQ(Refusals(), 0);

    // A payload longer than its frame is fine; an empty frame is 0 bytes.
    std::vector<unsigned char> padded = frame;
    padded.resize(frame.size() + 40, 0x77);
    EXPECT_EQ(Decode(decoder, padded, static_cast<int>(padded.size())), 1);
    EXPECT_EQ(m_outLen, 320);
    const std::vector<unsigned char> empty = EncodeOne({});
    EXPECT_EQ(Decode(decoder, empty, static_cast<int>(empty.size())), 1);
    EXPECT_EQ(m_outLen, 0);
    EXPECT_EQ(Refusals(), 0);
}

TEST_F(G726ADecoderTest, RefusedFrameWritesTheDebuggerLine)
{
    std::vector<unsigned char> frame = EncodeOne(codectest::Sine(500, 9000, codectest::kFrameSamples));
    frame[0] = 0x5A;
    CG726ADecoder decoder(3);
    EXPECT_EQ(Decode(decoder, frame, static_cast<int>(frame.size())), 0);
    EXPECT_EQ(m_outLen, 0);
    EXPECT_EQ(Refusals(), 1);

    // A decoder made for a codec type the library lacks refuses everything.
    CG726ADecoder other(7);
    frame[0] = HI_VOICE_MARKER;
    EXPECT_EQ(Decode(other, frame, static_cast<int>(frame.size())), 0);
    EXPECT_EQ(m_outLen, 0);
    EXPECT_EQ(Refusals(), 2);
}

TEST_F(G726ADecoderTest, RefusesPayloadsShorterThanTheirFrame)
{
    // 161 samples: 8 header bytes and 81 code bytes.
    const std::vector<unsigned char> frame = EncodeOne(codectest::Chirp(300, 2000, 9000, 161));
    ASSERT_EQ(frame.size(), 89u);
    CG726ADecoder decoder(3);
    for (int inLen : {88, 50, 8, 7, 1, 0, -5}) {
        EXPECT_EQ(Decode(decoder, frame, inLen), 0) << "length " << inLen;
        EXPECT_EQ(m_outLen, 0);
    }
    EXPECT_EQ(Refusals(), 7);
    EXPECT_EQ(decoder.DecodeFrame(nullptr, 100, m_out.data(), &m_outLen), 0);
    EXPECT_EQ(Refusals(), 8);

    EXPECT_EQ(Decode(decoder, frame, 89), 1);
    EXPECT_EQ(m_outLen, 322);
    EXPECT_EQ(Refusals(), 8);
}

} // namespace
