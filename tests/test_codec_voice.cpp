// The voice codec library: frames decode as plain IMA ADPCM would decode
// their codes, each frame on its own; speech and tones survive with the
// quality 4-bit ADPCM should give; every malformed frame is refused without
// being read past its own extent.
#include <string.h>

#include <vector>

#include <gtest/gtest.h>

#include "hi_voice.h"
#include "test_codec_guard.h"
#include "test_codec_signals.h"
#include "test_codec_voice_frames.h"

namespace {

using codectest::kFrameSamples;

using codectest::PlainImaDecode;

struct Decoded {
    int result;
    short len;
    std::vector<short> pcm;
};

// Decodes with a freshly reset state. The frame ends at a guard page, so any
// read past it faults.
Decoded DecodeAlone(const std::vector<unsigned char>& frame)
{
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES];
    EXPECT_EQ(HI_VOICE_DecReset(state, HI_VOICE_CODEC_IMA_ADPCM), HI_VOICE_OK);
    codectest::GuardedBuffer guarded;
    std::vector<short> out(HI_VOICE_MAX_SAMPLES, 0x5555);
    short len = -1;
    const int result = HI_VOICE_DecodeFrame(state, guarded.Place(frame), out.data(), &len);
    out.resize(result == HI_VOICE_OK ? len : 0);
    return {result, len, out};
}

// Encodes on one state, in frames of `frameSamples` and a shorter last one,
// each of the documented size.
std::vector<std::vector<unsigned char>> Encode(const std::vector<short>& pcm, int frameSamples)
{
    const codectest::VoiceFrames encoded = codectest::VoiceEncode(pcm, {frameSamples});
    EXPECT_EQ(encoded.result, HI_VOICE_OK);
    size_t at = 0;
    for (const auto& frame : encoded.frames) {
        const int n = static_cast<int>(std::min<size_t>(frameSamples, pcm.size() - at));
        EXPECT_EQ(frame.size(), static_cast<size_t>(HI_VOICE_FRAME_BYTES(n)));
        at += static_cast<size_t>(n);
    }
    return encoded.frames;
}

std::vector<short> DecodeAll(const std::vector<std::vector<unsigned char>>& frames)
{
    std::vector<short> pcm;
    for (const auto& frame : frames) {
        const Decoded d = DecodeAlone(frame);
        EXPECT_EQ(d.result, HI_VOICE_OK);
        pcm.insert(pcm.end(), d.pcm.begin(), d.pcm.end());
    }
    return pcm;
}

std::vector<unsigned char> ValidFrame(int n = 8)
{
    std::vector<unsigned char> frame = {HI_VOICE_MARKER, HI_VOICE_CODEC_IMA_ADPCM,
                                        static_cast<unsigned char>(n & 0xFF),
                                        static_cast<unsigned char>(n >> 8), 0x10, 0x00, 20, 0};
    for (int i = 0; i < (n + 1) / 2; ++i)
        frame.push_back(static_cast<unsigned char>(0x17 + 31 * i));
    return frame;
}

TEST(VoiceCodec, DecodesAsReferenceImaAdpcm)
{
    // Random codes from random starting points, including the predictor and
    // step-index extremes where clamping matters.
    uint32_t seed = 7;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int trial = 0; trial < 400; ++trial) {
        const int n = trial < 4 ? (trial == 0 ? 1 : 319 + trial % 2) : static_cast<int>(next() % 321);
        std::vector<unsigned char> frame = ValidFrame(n);
        const int predictor = trial % 3 == 0 ? (trial % 2 ? 32767 : -32768) : static_cast<int>(next() % 65536) - 32768;
        frame[4] = static_cast<unsigned char>(predictor & 0xFF);
        frame[5] = static_cast<unsigned char>((predictor >> 8) & 0xFF);
        frame[6] = static_cast<unsigned char>(trial % 5 == 0 ? 88 : next() % 89);
        for (size_t i = 8; i < frame.size(); ++i)
            frame[i] = static_cast<unsigned char>(next());
        const Decoded d = DecodeAlone(frame);
        ASSERT_EQ(d.result, HI_VOICE_OK) << "trial " << trial;
        ASSERT_EQ(d.len, n);
        ASSERT_EQ(d.pcm, PlainImaDecode(frame)) << "trial " << trial << ", " << n << " samples";
    }
}

TEST(VoiceCodec, EncodesToFramesOfTheDocumentedLayout)
{
    const std::vector<short> pcm = codectest::Chirp(200, 3000, 9000, 3 * kFrameSamples + 7);
    const auto frames = Encode(pcm, kFrameSamples);
    ASSERT_EQ(frames.size(), 4u);
    for (const auto& frame : frames) {
        EXPECT_EQ(frame[0], HI_VOICE_MARKER);
        EXPECT_EQ(frame[1], HI_VOICE_CODEC_IMA_ADPCM);
        EXPECT_EQ(frame[7], 0);
    }
    EXPECT_EQ(frames[0][2] | (frames[0][3] << 8), kFrameSamples);
    // The encoder starts from predictor 0 and step index 0.
    EXPECT_EQ(frames[0][4] | frames[0][5] | frames[0][6], 0);
    // An odd count leaves the last byte's high nibble as zero padding.
    EXPECT_EQ(frames[3][2] | (frames[3][3] << 8), 7);
    EXPECT_EQ(frames[3].size(), static_cast<size_t>(HI_VOICE_FRAME_BYTES(7)));
    EXPECT_EQ(frames[3].back() >> 4, 0);
}

struct SnrCase {
    const char* name;
    std::vector<short> (*make)();
    double minDb;
};

std::vector<short> SpeechSignal() { return codectest::SyntheticSpeech(3 * codectest::kRate); }
std::vector<short> SineSignal() { return codectest::Sine(1000, 12000, 2 * codectest::kRate); }
std::vector<short> QuietSineSignal() { return codectest::Sine(300, 500, 2 * codectest::kRate); }

TEST(VoiceCodec, KeepsSpeechAndTonesAtAdpcmQuality)
{
    // Measured here: synthetic speech 21.6 dB, loud 1 kHz sine 20.1 dB, quiet
    // 300 Hz sine 33.2 dB (the loud high tone is held back by how fast the
    // step size can grow). The bounds leave 3 to 5 dB; a wrong nibble order, a
    // lost predictor or a broken step adaptation lands near 0 dB or below.
    const SnrCase cases[] = {{"speech", SpeechSignal, 18.0},
                             {"sine 1 kHz", SineSignal, 17.0},
                             {"quiet sine 300 Hz", QuietSineSignal, 28.0}};
    for (const SnrCase& c : cases) {
        const std::vector<short> pcm = c.make();
        const std::vector<short> decoded = DecodeAll(Encode(pcm, kFrameSamples));
        ASSERT_EQ(decoded.size(), pcm.size());
        const double snr = codectest::SnrDb(pcm, decoded);
        EXPECT_GT(snr, c.minDb) << c.name;
        printf("[   SNR    ] %s: %.1f dB\n", c.name, snr);
    }
}

TEST(VoiceCodec, EachFrameDecodesOnItsOwn)
{
    const std::vector<short> pcm = SpeechSignal();
    const auto frames = Encode(pcm, kFrameSamples);
    // The whole stream's codes decoded as one run from the first frame's
    // starting point: what a decoder that carried its state would give.
    std::vector<unsigned char> run(frames[0].begin(), frames[0].begin() + HI_VOICE_HEADER_BYTES);
    run[2] = static_cast<unsigned char>(pcm.size() & 0xFF);
    run[3] = static_cast<unsigned char>(pcm.size() >> 8);
    for (const auto& frame : frames)
        run.insert(run.end(), frame.begin() + HI_VOICE_HEADER_BYTES, frame.end());
    const std::vector<short> continuous = PlainImaDecode(run);
    ASSERT_EQ(continuous.size(), pcm.size());

    // Backwards, each with a fresh state, with frames missing: every frame
    // gives exactly its part of the run, so a lost frame costs only itself.
    for (size_t k = frames.size(); k-- > 0;) {
        if (k % 7 == 3)
            continue;
        const Decoded d = DecodeAlone(frames[k]);
        ASSERT_EQ(d.result, HI_VOICE_OK);
        ASSERT_EQ(d.pcm, std::vector<short>(continuous.begin() + k * kFrameSamples,
                                            continuous.begin() + (k + 1) * kFrameSamples))
            << "frame " << k;
    }
    // One state decodes frames in any order: it holds no predictor of its own.
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES];
    ASSERT_EQ(HI_VOICE_DecReset(state, HI_VOICE_CODEC_IMA_ADPCM), HI_VOICE_OK);
    std::vector<short> out(HI_VOICE_MAX_SAMPLES);
    short len = 0;
    ASSERT_EQ(HI_VOICE_DecodeFrame(state, frames[5].data(), out.data(), &len), HI_VOICE_OK);
    ASSERT_EQ(HI_VOICE_DecodeFrame(state, frames[2].data(), out.data(), &len), HI_VOICE_OK);
    out.resize(len);
    EXPECT_EQ(out, std::vector<short>(continuous.begin() + 2 * kFrameSamples, continuous.begin() + 3 * kFrameSamples));
}

TEST(VoiceCodec, EmptyAndLongestFrames)
{
    const Decoded empty = DecodeAlone(ValidFrame(0));
    EXPECT_EQ(empty.result, HI_VOICE_OK);
    EXPECT_EQ(empty.len, 0);

    const std::vector<short> pcm = codectest::Chirp(100, 3500, 10000, HI_VOICE_MAX_SAMPLES);
    const auto frames = Encode(pcm, HI_VOICE_MAX_SAMPLES);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].size(), static_cast<size_t>(HI_VOICE_MAX_FRAME_BYTES));
    const Decoded longest = DecodeAlone(frames[0]);
    EXPECT_EQ(longest.result, HI_VOICE_OK);
    EXPECT_EQ(longest.len, HI_VOICE_MAX_SAMPLES);
}

TEST(VoiceCodec, RefusesMalformedFrames)
{
    struct Case {
        const char* what;
        int offset;
        unsigned char value;
        int expected;
    };
    const Case cases[] = {
        {"marker 0xA4", 0, 0xA4, HI_VOICE_ERR_MARKER},
        {"marker 0x00", 0, 0x00, HI_VOICE_ERR_MARKER},
        {"codec type 2", 1, 2, HI_VOICE_ERR_CODEC},
        {"codec type 4", 1, 4, HI_VOICE_ERR_CODEC},
        {"n = 321", 2, 0x41, HI_VOICE_ERR_LENGTH}, // with byte 3 set to 1 below
        {"step index 89", 6, 89, HI_VOICE_ERR_STEP},
        {"step index 255", 6, 255, HI_VOICE_ERR_STEP},
        {"reserved 1", 7, 1, HI_VOICE_ERR_RESERVED},
        {"reserved 0x80", 7, 0x80, HI_VOICE_ERR_RESERVED},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> frame = ValidFrame(8);
        frame[c.offset] = c.value;
        if (c.offset == 2)
            frame[3] = 1;
        const Decoded d = DecodeAlone(frame);
        EXPECT_EQ(d.result, c.expected) << c.what;
        EXPECT_EQ(d.len, 0) << c.what;
    }
    // The limits themselves are accepted.
    std::vector<unsigned char> limits = ValidFrame(HI_VOICE_MAX_SAMPLES);
    limits[6] = 88;
    EXPECT_EQ(DecodeAlone(limits).result, HI_VOICE_OK);

    // A frame refused by its header is not read past the byte that refused it:
    // these buffers end there.
    EXPECT_EQ(DecodeAlone({0x00}).result, HI_VOICE_ERR_MARKER);
    EXPECT_EQ(DecodeAlone({HI_VOICE_MARKER, 9}).result, HI_VOICE_ERR_CODEC);
    EXPECT_EQ(DecodeAlone({HI_VOICE_MARKER, 3, 0xFF, 0xFF}).result, HI_VOICE_ERR_LENGTH);
    EXPECT_EQ(DecodeAlone({HI_VOICE_MARKER, 3, 0x00, 0x01, 0, 0, 89}).result, HI_VOICE_ERR_STEP);
}

TEST(VoiceCodec, RefusesFramesOnStatesNotResetForIt)
{
    const std::vector<unsigned char> frame = ValidFrame(8);
    std::vector<short> out(HI_VOICE_MAX_SAMPLES);
    short len = 0;

    alignas(8) unsigned char zeroed[HI_VOICE_STATE_BYTES] = {};
    EXPECT_EQ(HI_VOICE_DecodeFrame(zeroed, frame.data(), out.data(), &len), HI_VOICE_ERR_STATE);
    unsigned char garbage[HI_VOICE_STATE_BYTES];
    memset(garbage, 0xA5, sizeof garbage);
    EXPECT_EQ(HI_VOICE_DecodeFrame(garbage, frame.data(), out.data(), &len), HI_VOICE_ERR_STATE);
    // An encoder state is not a decoder state, and the other way round.
    alignas(8) unsigned char encoder[HI_VOICE_STATE_BYTES];
    ASSERT_EQ(HI_VOICE_EncReset(encoder, HI_VOICE_CODEC_IMA_ADPCM), HI_VOICE_OK);
    EXPECT_EQ(HI_VOICE_DecodeFrame(encoder, frame.data(), out.data(), &len), HI_VOICE_ERR_STATE);
    alignas(8) unsigned char decoder[HI_VOICE_STATE_BYTES];
    ASSERT_EQ(HI_VOICE_DecReset(decoder, HI_VOICE_CODEC_IMA_ADPCM), HI_VOICE_OK);
    unsigned char bytes[HI_VOICE_MAX_FRAME_BYTES];
    int outLen = -1;
    const short pcm[4] = {1, 2, 3, 4};
    EXPECT_EQ(HI_VOICE_EncodeFrame(decoder, pcm, 4, bytes, &outLen), HI_VOICE_ERR_STATE);
    EXPECT_EQ(outLen, 0);

    // A state reset for a codec the library lacks refuses every frame, also
    // one that claims that codec.
    for (unsigned int codec : {0u, 2u, 4u, 0xFFFFu}) {
        alignas(8) unsigned char other[HI_VOICE_STATE_BYTES];
        EXPECT_EQ(HI_VOICE_DecReset(other, codec), HI_VOICE_ERR_CODEC);
        std::vector<unsigned char> claiming = frame;
        claiming[1] = static_cast<unsigned char>(codec);
        EXPECT_EQ(HI_VOICE_DecodeFrame(other, frame.data(), out.data(), &len), HI_VOICE_ERR_CODEC);
        EXPECT_EQ(HI_VOICE_DecodeFrame(other, claiming.data(), out.data(), &len), HI_VOICE_ERR_CODEC);
        EXPECT_EQ(HI_VOICE_EncReset(other, codec), HI_VOICE_ERR_CODEC);
        EXPECT_EQ(HI_VOICE_EncodeFrame(other, pcm, 4, bytes, &outLen), HI_VOICE_ERR_CODEC);
    }
}

TEST(VoiceCodec, EncoderRefusesBadArguments)
{
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES];
    ASSERT_EQ(HI_VOICE_EncReset(state, HI_VOICE_CODEC_IMA_ADPCM), HI_VOICE_OK);
    std::vector<short> pcm(HI_VOICE_MAX_SAMPLES + 1);
    unsigned char out[HI_VOICE_MAX_FRAME_BYTES + 1];
    int outLen = -1;
    EXPECT_EQ(HI_VOICE_EncodeFrame(state, pcm.data(), HI_VOICE_MAX_SAMPLES + 1, out, &outLen), HI_VOICE_ERR_ARG);
    EXPECT_EQ(HI_VOICE_EncodeFrame(state, pcm.data(), -1, out, &outLen), HI_VOICE_ERR_ARG);
    EXPECT_EQ(HI_VOICE_EncodeFrame(state, nullptr, 10, out, &outLen), HI_VOICE_ERR_ARG);
    EXPECT_EQ(outLen, 0);
}

} // namespace
