// The depacketiser: RTP headers as senders write them and as they arrive
// broken, AMR payloads in both packings, voice-engine payloads; and the
// extension of wrapping sequence numbers and timestamps.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "amr_payload.h"
#include "extend.h"
#include "rtp_header.h"
#include "test_rtp_common.h"
#include "voice_payload.h"

namespace {

using namespace rtptest;
using svrtp::AmrPacking;
using svrtp::PayloadError;
using svrtp::RtpError;

const Bytes kCmr = {0xF0};

Bytes VoiceFrame(int samples, int tag)
{
    Bytes f(8 + (samples + 1) / 2, static_cast<uint8_t>(tag));
    f[0] = 0xA5;
    f[1] = 3;
    f[2] = static_cast<uint8_t>(samples);
    f[3] = static_cast<uint8_t>(samples >> 8);
    return f;
}

Bytes DropLast(Bytes b)
{
    b.pop_back();
    return b;
}

Bytes Repeat(const Bytes& b, int n)
{
    Bytes out;
    for (int i = 0; i < n; ++i)
        out = Cat(out, b);
    return out;
}

struct Case {
    std::string name;
    Bytes datagram;
    RtpError rtp;
    PayloadError payload;
    std::vector<Bytes> frames;
    bool voice = false;
    AmrPacking packing = AmrPacking::OctetAligned;
};

std::vector<Case> Cases()
{
    const Bytes h = Header(7, 1234);
    const Bytes f7 = AmrFrame(7, 1), sid = AmrFrame(8, 50), nd = {0x7C}, f0 = AmrFrame(0, 90);
    const Bytes body7(f7.begin() + 1, f7.end()), bodySid(sid.begin() + 1, sid.end());
    Bytes csrcExtPad = h;
    csrcExtPad[0] |= 0x20 | 0x10 | 2; // padding, extension, two CSRC
    csrcExtPad = Cat(csrcExtPad, Bytes(8, 0xEE));                 // CSRC list
    csrcExtPad = Cat(csrcExtPad, {0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4}); // one-word extension
    csrcExtPad = Cat(Cat(Cat(csrcExtPad, kCmr), {0x3C}), body7);
    csrcExtPad = Cat(csrcExtPad, {0, 0, 3});
    auto withFlags = [&](uint8_t flags, const Bytes& rest) {
        Bytes d = Cat(h, rest);
        d[0] |= flags;
        return d;
    };
    Bytes v1 = Cat(h, Cat(Cat(kCmr, {0x3C}), body7));
    v1[0] = (v1[0] & 0x3F) | 0x40;
    Bytes v3 = v1;
    v3[0] |= 0xC0;
    Bytes many = Cat(Cat(kCmr, Repeat({0xFC}, 255)), {0x7C});
    Bytes tooMany = Cat(Cat(kCmr, Repeat({0xFC}, 256)), {0x7C});

    return {
        {"one 12.2 frame", Cat(h, Cat(Cat(kCmr, {0x3C}), body7)), RtpError::None, PayloadError::None, {f7}},
        {"speech, SID and no data in one packet",
         Cat(h, Cat(Cat(kCmr, {0xBC, 0xC4, 0x7C}), Cat(body7, bodySid))), RtpError::None, PayloadError::None,
         {f7, sid, nd}},
        {"damaged frame keeps Q = 0, padding bits of the ToC ignored",
         Cat(h, Cat(Cat(kCmr, {0x3B}), body7)), RtpError::None, PayloadError::None,
         {Cat({0x38}, body7)}},
        {"CSRC list, extension and padding skipped", csrcExtPad, RtpError::None, PayloadError::None, {f7}},
        {"256 frames", Cat(h, many), RtpError::None, PayloadError::None, std::vector<Bytes>(256, nd)},
        {"truncated header", Bytes(h.begin(), h.begin() + 11), RtpError::TooShort, PayloadError::None, {}},
        {"empty datagram", {}, RtpError::TooShort, PayloadError::None, {}},
        {"version 1", v1, RtpError::BadVersion, PayloadError::None, {}},
        {"version 3", v3, RtpError::BadVersion, PayloadError::None, {}},
        {"CSRC count past the end", withFlags(15, Bytes(40, 0)), RtpError::TruncatedCsrc, PayloadError::None, {}},
        {"extension header cut", withFlags(0x10, {0xBE, 0xDE, 0}), RtpError::TruncatedExtension,
         PayloadError::None, {}},
        {"extension longer than the datagram", withFlags(0x10, {0xBE, 0xDE, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8}),
         RtpError::TruncatedExtension, PayloadError::None, {}},
        {"padding count 0", withFlags(0x20, Cat(Cat(kCmr, {0x7C}), {0})), RtpError::BadPadding,
         PayloadError::None, {}},
        {"padding count past the payload", withFlags(0x20, Cat(Cat(kCmr, {0x7C}), {4})), RtpError::BadPadding,
         PayloadError::None, {}},
        {"padding is the whole payload", withFlags(0x20, {0, 0, 3}), RtpError::None, PayloadError::Empty, {}},
        {"empty payload", h, RtpError::None, PayloadError::Empty, {}},
        {"CMR only", Cat(h, kCmr), RtpError::None, PayloadError::TocPastEnd, {}},
        {"F bit chain runs off the end", Cat(h, Cat(kCmr, {0xBC, 0xBC})), RtpError::None, PayloadError::TocPastEnd,
         {}},
        {"frame type 9", Cat(h, Cat(kCmr, {0x4C})), RtpError::None, PayloadError::ReservedFrameType, {}},
        {"frame type 14", Cat(h, Cat(Cat(kCmr, {0xBC, 0x74}), body7)), RtpError::None,
         PayloadError::ReservedFrameType, {}},
        {"ToC counts a frame more than there are", Cat(h, Cat(Cat(kCmr, {0xBC, 0x3C}), body7)), RtpError::None,
         PayloadError::FramesPastEnd, {}},
        {"ToC sizes smaller than the frames", Cat(h, Cat(Cat(kCmr, {0x04}), body7)), RtpError::None,
         PayloadError::TrailingBytes, {}},
        {"257 frames", Cat(h, tooMany), RtpError::None, PayloadError::TooManyFrames, {}},
        {"bandwidth-efficient, as packed", Cat(h, AmrPayload({f0, sid, nd, f7}, AmrPacking::BandwidthEfficient)),
         RtpError::None, PayloadError::None, {f0, sid, nd, f7}, false, AmrPacking::BandwidthEfficient},
        // CMR 15, ToC F=0 FT=7 Q=1, 244 bits set, 2 bits of padding.
        {"bandwidth-efficient, by hand", Cat(h, Cat(Cat({0xF3}, Bytes(30, 0xFF)), {0xFC})), RtpError::None,
         PayloadError::None, {Cat(Cat({0x3C}, Bytes(30, 0xFF)), {0xF0})}, false, AmrPacking::BandwidthEfficient},
        {"bandwidth-efficient, a byte too many", Cat(h, Cat(Cat({0xF3}, Bytes(30, 0xFF)), {0xFC, 0})),
         RtpError::None, PayloadError::TrailingBytes, {}, false, AmrPacking::BandwidthEfficient},
        {"bandwidth-efficient, cut", Cat(h, Cat({0xF3}, Bytes(30, 0xFF))), RtpError::None,
         PayloadError::FramesPastEnd, {}, false, AmrPacking::BandwidthEfficient},
        {"voice frames", Cat(h, Cat(VoiceFrame(160, 1), VoiceFrame(3, 2))), RtpError::None, PayloadError::None,
         {VoiceFrame(160, 1), VoiceFrame(3, 2)}, true},
        {"voice frame without marker", Cat(h, Cat(VoiceFrame(160, 1), Bytes(9, 0))), RtpError::None,
         PayloadError::BadVoiceMarker, {}, true},
        {"voice frame of 321 samples", Cat(h, VoiceFrame(321, 1)), RtpError::None, PayloadError::BadVoiceLength, {},
         true},
        {"voice frame cut", Cat(h, DropLast(VoiceFrame(160, 1))), RtpError::None,
         PayloadError::FramesPastEnd, {}, true},
        {"voice header cut", Cat(h, Cat(VoiceFrame(0, 1), {0xA5, 3})), RtpError::None, PayloadError::FramesPastEnd,
         {}, true},
        {"257 voice frames", Cat(h, Repeat(VoiceFrame(0, 1), 257)), RtpError::None, PayloadError::TooManyFrames, {},
         true},
    };
}

TEST(RtpDepacketise, GoodAndBadPackets)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        svrtp::RtpPacket packet;
        ASSERT_EQ(svrtp::ParseRtp(c.datagram.data(), c.datagram.size(), &packet), c.rtp);
        if (c.rtp != RtpError::None)
            continue;
        EXPECT_EQ(packet.sequence, 7);
        EXPECT_EQ(packet.timestamp, 1234u);
        EXPECT_EQ(packet.payloadType, 97);
        svrtp::FrameList list;
        list.bytes = {9, 9}; // what a reused list held before
        list.frames = {{0, 2, 160}};
        const PayloadError error =
            c.voice ? svrtp::ParseVoicePayload(packet.payload, packet.payloadBytes, &list)
                    : svrtp::ParseAmrPayload(packet.payload, packet.payloadBytes, c.packing, &list);
        ASSERT_EQ(error, c.payload) << svrtp::PayloadErrorText(error);
        ASSERT_EQ(list.Count(), c.frames.size());
        for (size_t i = 0; i < c.frames.size(); ++i) {
            EXPECT_EQ(Bytes(list.Data(i), list.Data(i) + list.frames[i].length), c.frames[i]) << "frame " << i;
            EXPECT_EQ(list.frames[i].samples, c.voice ? static_cast<uint32_t>(c.frames[i][2]) : 160u);
        }
    }
}

TEST(RtpDepacketise, EveryFrameTypeRoundTripsInBothPackings)
{
    std::vector<Bytes> frames;
    for (int ft : {0, 1, 2, 3, 4, 5, 6, 7, 8, 15})
        frames.push_back(AmrFrame(ft, 17 * ft));
    for (AmrPacking packing : {AmrPacking::OctetAligned, AmrPacking::BandwidthEfficient}) {
        const Bytes payload = AmrPayload(frames, packing);
        svrtp::FrameList list;
        ASSERT_EQ(svrtp::ParseAmrPayload(payload.data(), payload.size(), packing, &list), PayloadError::None);
        ASSERT_EQ(list.Count(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(Bytes(list.Data(i), list.Data(i) + list.frames[i].length), frames[i]);
    }
    // The packer takes whole frames of the defined types only.
    const Bytes bad[] = {{}, {0x4C}, DropLast(AmrFrame(7, 0))};
    for (const Bytes& b : bad) {
        svrtp::ByteView v{b.data(), b.size()};
        Bytes out;
        EXPECT_FALSE(svrtp::PackAmrPayload(&v, 1, AmrPacking::OctetAligned, &out));
    }
}

TEST(RtpExtend, SequenceNumbersAcrossWrapsAndReorder)
{
    svrtp::WrapExtender seq(16);
    const int64_t c1 = 1 << 16;
    const struct {
        uint32_t value;
        int64_t extended;
    } steps[] = {
        {65534, c1 + 65534}, {65535, c1 + 65535}, {0, 2 * c1}, {65533, c1 + 65533}, {2, 2 * c1 + 2},
        {1, 2 * c1 + 1},     {32771, c1 + 32771}, // more than half a cycle ahead: the cycle before
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.value);
        EXPECT_EQ(seq.Update(s.value), s.extended);
    }
    EXPECT_EQ(seq.Highest(), 2 * c1 + 2);
    // Looking moves nothing.
    EXPECT_EQ(seq.Extend(40000), 2 * c1 + 40000 - c1);
    EXPECT_EQ(seq.Highest(), 2 * c1 + 2);

    svrtp::WrapExtender ts(32);
    const int64_t t1 = int64_t(1) << 32;
    EXPECT_EQ(ts.Update(0xFFFFFF60u), t1 + 0xFFFFFF60u);
    EXPECT_EQ(ts.Update(0x00000040u), 2 * t1 + 0x40);
    EXPECT_EQ(ts.Update(0xFFFFFFA0u), t1 + 0xFFFFFFA0u); // late, from before the wrap
    EXPECT_EQ(ts.Update(0x000000E0u), 2 * t1 + 0xE0);
    ts.Reset();
    EXPECT_EQ(ts.Update(5), t1 + 5);
    EXPECT_EQ(ts.Update(0xFFFFFFFFu), t1 - 1); // just before the first: still positive
}

} // namespace
