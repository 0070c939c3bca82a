// Payload decoding in the frame buffer: AMR and voice-engine payloads go in
// through DecodePayload and come out of the queue (file playback, read with
// ReadFrame) as the PCM the codecs give for them, sample for sample, each
// frame stamped with its payload's time stamp.
#include <limits.h>

#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "audio/audioframebuffer.h"
#include "hi_voice.h"
#include "test_codec_amr_streams.h"
#include "test_codec_debug.h"
#include "test_codec_guard.h"
#include "test_codec_voice_frames.h"
#include "test_access.h"

namespace {

using codectest::AmrFrame;
using codectest::kFrameSamples;

const char kRefusedLine[] = "1Not decoder!!!!\n";

struct Queued {
    std::vector<short> pcm;
    int64_t pts;
};

std::vector<short> AsSamples(const unsigned char* bytes, int length)
{
    std::vector<short> pcm(length / 2);
    for (int i = 0; i < length / 2; ++i)
        pcm[i] = static_cast<short>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return pcm;
}

std::vector<short> Slice(const std::vector<short>& pcm, size_t frame)
{
    return std::vector<short>(pcm.begin() + frame * kFrameSamples, pcm.begin() + (frame + 1) * kFrameSamples);
}

// One frame of all of `pcm`.
std::vector<unsigned char> VoiceFrame(const std::vector<short>& pcm)
{
    const codectest::VoiceFrames encoded = codectest::VoiceEncode(pcm, {static_cast<int>(pcm.size())});
    EXPECT_EQ(encoded.result, HI_VOICE_OK);
    return encoded.frames[0];
}

std::vector<short> VoiceReference(const std::vector<unsigned char>& frame)
{
    const codectest::VoicePcm decoded = codectest::VoiceDecode({frame});
    EXPECT_EQ(decoded.result, HI_VOICE_OK);
    return decoded.pcm;
}

class PayloadDecodingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        codectest::DebugCapture::Get().Clear();
        m_fb.reset(new CAudioFrameBuffer);
        m_fb->SetPlayMode(0, 0); // file playback: no pre-buffer wait
        ASSERT_EQ(m_fb->AllocRing(0x100000), 1);
    }

    // Hands over the first `length` bytes of `payload`, placed to end at a
    // guard page, so that decoding past `length` faults.
    int Input(const std::vector<unsigned char>& payload, int length, int type, int64_t pts,
              unsigned char store = 1)
    {
        const unsigned char* data = m_guarded.Place(payload, length > 0 ? length : 0);
        return m_fb->DecodePayload(data, length, type, pts, store);
    }
    int Input(const std::vector<unsigned char>& payload, int type, int64_t pts)
    {
        return Input(payload, static_cast<int>(payload.size()), type, pts);
    }

    std::vector<Queued> ReadAll()
    {
        std::vector<Queued> frames;
        std::vector<unsigned char> buffer(CAudioFrameBuffer::kDecodeBufferBytes);
        for (;;) {
            int length = static_cast<int>(buffer.size());
            int64_t pts = -1;
            if (m_fb->ReadFrame(buffer.data(), &length, &pts, nullptr) != 1)
                return frames;
            frames.push_back({AsSamples(buffer.data(), length), pts});
        }
    }

    int Refusals() { return codectest::DebugCapture::Get().Count(kRefusedLine); }

    codectest::GuardedBuffer m_guarded;
    std::unique_ptr<CAudioFrameBuffer> m_fb;
};

struct AmrCase {
    const char* name;
    int mode;
    bool dtx;
};

void PrintTo(const AmrCase& c, std::ostream* os) { *os << c.name; }

class AmrStreamTest : public PayloadDecodingTest, public ::testing::WithParamInterface<AmrCase> {};

TEST_P(AmrStreamTest, QueuesExactlyWhatOpencoreDecodes)
{
    const std::vector<short> signal = codectest::AmrTestSignal();
    const std::vector<AmrFrame> frames = GetParam().dtx ? codectest::AmrEncodeWithDtx(signal, GetParam().mode)
                                                        : codectest::AmrEncode(signal, GetParam().mode);
    const std::vector<short> reference = codectest::OpencoreDecode(frames);
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(Input(frames[i], 1, 5000 + 20 * static_cast<int64_t>(i)), 1);

    const std::vector<Queued> queued = ReadAll();
    ASSERT_EQ(queued.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(queued[i].pcm, Slice(reference, i)) << "frame " << i;
        ASSERT_EQ(queued[i].pts, 5000 + 20 * static_cast<int64_t>(i));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, AmrStreamTest,
                         ::testing::Values(AmrCase{"12k2", 7, false}, AmrCase{"4k75", 0, false},
                                           AmrCase{"12k2_dtx", 7, true}),
                         [](const ::testing::TestParamInfo<AmrCase>& param) { return param.param.name; });

TEST_F(PayloadDecodingTest, AmrPayloadMustHoldTheWholeFrame)
{
    const std::vector<AmrFrame> frames = codectest::AmrEncode(codectest::SyntheticSpeech(kFrameSamples * 2), 7);
    ASSERT_EQ(AMR_Get_Length(0, frames[0][0]), 31);
    const std::vector<short> reference = codectest::OpencoreDecode(frames);

    // Nothing to decode: no codec state or buffer is made.
    EXPECT_EQ(m_fb->DecodePayload(nullptr, 0, 1, 1, 1), 1);
    EXPECT_EQ(m_fb->DecodePayload(nullptr, -4, 1, 2, 1), 1);
    EXPECT_EQ(Inside(*m_fb).m_hAmrDecoder, 0u);
    EXPECT_EQ(Inside(*m_fb).m_pDecodeBuf, nullptr);

    EXPECT_EQ(Input(frames[0], 31, 1, 3), 1);
    EXPECT_EQ(m_fb->GetFrameCount(), 0u) << "one byte short: dropped";
    EXPECT_NE(Inside(*m_fb).m_hAmrDecoder, 0u);
    EXPECT_NE(Inside(*m_fb).m_pDecodeBuf, nullptr);

    EXPECT_EQ(Input(frames[0], 32, 1, 4), 1);
    // Bytes beyond the frame are ignored; a decoded frame is always 320 bytes.
    std::vector<unsigned char> padded = frames[1];
    padded.resize(90, 0xC3);
    EXPECT_EQ(Input(padded, 1, 5), 1);
    // A reserved frame type needs no bytes but does not decode.
    EXPECT_EQ(Input({static_cast<unsigned char>(10 << 3)}, 1, 6), 1);

    const std::vector<Queued> queued = ReadAll();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].pcm, Slice(reference, 0));
    EXPECT_EQ(queued[0].pts, 4);
    EXPECT_EQ(queued[1].pcm, Slice(reference, 1));
    EXPECT_EQ(queued[1].pts, 5);
    EXPECT_EQ(Refusals(), 0) << "AMR drops are silent";
}

// Bytes promised but not given (NULL with a length), or a negative length,
// are refused for every type without a byte read: the pointer given with
// the negative lengths is a guard page.
TEST_F(PayloadDecodingTest, AMissingPayloadOrANegativeLengthIsRefusedWithoutAByteRead)
{
    const unsigned char* guard = m_guarded.Place(std::vector<unsigned char>(1), 0);
    const struct {
        const unsigned char* data;
        int length;
    } payloads[] = {{nullptr, 32}, {nullptr, 1}, {guard, -1}, {guard, INT_MIN}};
    for (int type = 1; type <= 4; ++type) {
        for (const auto& p : payloads) {
            EXPECT_EQ(m_fb->DecodePayload(p.data, p.length, type, 70 + type, 1), 1) << type;
            EXPECT_EQ(Inside(*m_fb).m_nInputPts.load(), 70 + type);
        }
    }
    EXPECT_EQ(m_fb->GetFrameCount(), 0u);
    EXPECT_EQ(Refusals(), 0);
}

TEST_F(PayloadDecodingTest, TypesTwoAndThreeShareOneVoiceDecoder)
{
    const std::vector<short> signal = codectest::SyntheticSpeech(3 * kFrameSamples);
    const std::vector<unsigned char> a = VoiceFrame(Slice(signal, 1));
    const std::vector<unsigned char> b = VoiceFrame(Slice(signal, 2));
    EXPECT_EQ(Inside(*m_fb).m_pVoiceDecoder, nullptr);
    ASSERT_EQ(Input(a, 2, 100), 1);
    CG726ADecoder* decoder = Inside(*m_fb).m_pVoiceDecoder;
    ASSERT_NE(decoder, nullptr);
    ASSERT_EQ(Input(b, 3, 120), 1);
    ASSERT_EQ(Input(a, 2, 140), 1);
    EXPECT_EQ(Inside(*m_fb).m_pVoiceDecoder, decoder);

    // An empty voice frame still queues a frame, with its stamp.
    ASSERT_EQ(Input(VoiceFrame({}), 3, 160), 1);
    EXPECT_EQ(m_fb->GetFrameCount(), 4u);

    const std::vector<Queued> queued = ReadAll();
    ASSERT_EQ(queued.size(), 4u);
    EXPECT_EQ(queued[0].pcm, VoiceReference(a));
    EXPECT_EQ(queued[1].pcm, VoiceReference(b));
    EXPECT_EQ(queued[2].pcm, VoiceReference(a));
    EXPECT_TRUE(queued[3].pcm.empty());
    EXPECT_EQ(queued[0].pts, 100);
    EXPECT_EQ(queued[1].pts, 120);
    EXPECT_EQ(queued[2].pts, 140);
    EXPECT_EQ(queued[3].pts, 160);
    EXPECT_EQ(Refusals(), 0);
}

TEST_F(PayloadDecodingTest, RefusedOrTruncatedVoicePayloadsAreDroppedWithTheAdapterLine)
{
    std::vector<unsigned char> frame = VoiceFrame(codectest::Sine(400, 9000, kFrameSamples));
    ASSERT_EQ(frame.size(), 88u);
    // Cut short of its declared 88 bytes, or of the header: refused before the
    // codec reads past the payload.
    EXPECT_EQ(Input(frame, 87, 2, 1), 1);
    EXPECT_EQ(Input(frame, 7, 3, 2), 1);
    EXPECT_EQ(Input(frame, 0, 2, 3), 1);
    std::vector<unsigned char> bad = frame;
    bad[7] = 1;
    EXPECT_EQ(Input(bad, 2, 4), 1);
    EXPECT_EQ(m_fb->GetFrameCount(), 0u);
    EXPECT_EQ(Refusals(), 4);

    EXPECT_EQ(Input(frame, 88, 2, 5), 1);
    const std::vector<Queued> queued = ReadAll();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].pcm, VoiceReference(frame));
    EXPECT_EQ(queued[0].pts, 5);
    EXPECT_EQ(Refusals(), 4);
}

TEST_F(PayloadDecodingTest, MixedStreamCarriesEachPayloadsStampToItsFrame)
{
    const std::vector<short> signal = codectest::SyntheticSpeech(codectest::kRate);
    const std::vector<AmrFrame> amr = codectest::AmrEncode(signal, 4);
    const std::vector<short> amrReference = codectest::OpencoreDecode(amr);

    std::vector<Queued> expected;
    size_t nextAmr = 0;
    unsigned char* decodeBuf = nullptr;
    const int kTypes[] = {1, 2, 1, 3, 4, 1, 1, 3, 2, 4, 0, 1, 5, 2};
    for (int round = 0; round < 3; ++round) {
        for (size_t k = 0; k < sizeof kTypes / sizeof kTypes[0]; ++k) {
            const int type = kTypes[k];
            // Stamps beyond 32 bits, not in order, to show they pass unchanged.
            const int64_t pts = 0x100000000LL * (round + 1) + 7919 * static_cast<int64_t>((k * 5) % 14);
            const unsigned char store = static_cast<unsigned char>(k % 2 ? 1 : 0x11);
            int result;
            if (type == 1) {
                result = Input(amr[nextAmr], type, pts);
                expected.push_back({Slice(amrReference, nextAmr++), pts});
            } else if (type == 2 || type == 3) {
                const std::vector<unsigned char> frame = VoiceFrame(Slice(signal, 10 + k));
                result = Input(frame, type, pts);
                expected.push_back({VoiceReference(frame), pts});
            } else {
                result = Input(std::vector<unsigned char>(20, 0x3C), 20, type, pts, store);
            }
            EXPECT_EQ(result, type >= 1 && type <= 4 ? 1 : 0) << "type " << type;
            // Recorded for every payload, decodable or not.
            EXPECT_EQ(Inside(*m_fb).m_nInputPts.load(), pts);
            EXPECT_EQ(Inside(*m_fb).m_nFormat, type);
            if (type == 4 || type == 0 || type == 5) {
                EXPECT_EQ(Inside(*m_fb).m_bStoreData, store);
            }
            // One decode buffer serves both codecs and is never replaced.
            if (!decodeBuf)
                decodeBuf = Inside(*m_fb).m_pDecodeBuf;
            EXPECT_EQ(Inside(*m_fb).m_pDecodeBuf, decodeBuf);
        }
    }

    const std::vector<Queued> queued = ReadAll();
    ASSERT_EQ(queued.size(), expected.size());
    for (size_t i = 0; i < queued.size(); ++i) {
        EXPECT_EQ(queued[i].pcm, expected[i].pcm) << "frame " << i;
        EXPECT_EQ(queued[i].pts, expected[i].pts) << "frame " << i;
    }
}

TEST_F(PayloadDecodingTest, CodecStateCarriesOverAClear)
{
    const std::vector<AmrFrame> frames = codectest::AmrEncode(codectest::SyntheticSpeech(codectest::kRate), 7);
    const std::vector<short> reference = codectest::OpencoreDecode(frames);
    const size_t half = frames.size() / 2;
    for (size_t i = 0; i < half; ++i)
        Input(frames[i], 1, static_cast<int64_t>(i));
    m_fb->Reset();
    ASSERT_EQ(m_fb->GetFrameCount(), 0u);
    for (size_t i = half; i < frames.size(); ++i)
        Input(frames[i], 1, static_cast<int64_t>(i));
    const std::vector<Queued> queued = ReadAll();
    ASSERT_EQ(queued.size(), frames.size() - half);
    for (size_t i = 0; i < queued.size(); ++i)
        ASSERT_EQ(queued[i].pcm, Slice(reference, half + i)) << "frame " << half + i;
}

} // namespace
