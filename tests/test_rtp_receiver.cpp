// The receiver's jitter stage, on an injected clock: what comes out, in which
// order, with which stamps, for streams that arrive reordered, duplicated,
// with gaps, wrapping, restarting and stopping; what it makes up for a gap
// decodes to what it stands for; every datagram is accounted for once.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AmrDll.h"
#include "hi_voice.h"
#include "impairment.h"
#include "receiver.h"
#include "test_rtp_common.h"
#include "voice_payload.h"

namespace {

using namespace rtptest;
using svrtp::ReceiverEvent;

const int kPoll = -1;
const int kFlush = -2;

struct Step {
    int64_t t;
    int n;  // the packet's place in its stream (kPoll, kFlush: no packet)
    ReceiverEvent event = ReceiverEvent::None;
    uint32_t ssrc = 1;
    int64_t ts = -1; // RTP timestamp, when not the one of place n
};

struct Scenario {
    std::string name;
    std::vector<Step> steps;
    // Each frame out: "n@stamp" (with ".k" for the k-th frame of a packet
    // after the first), "-@stamp" for one made up for a gap.
    std::string out;
    std::string counts; // the non-zero loss and order counters
    int window = 8;
    int framesPerPacket = 1;
    uint32_t seqBase = 0;
    uint32_t tsBase = 0;
    int64_t onlySsrc = -1;
};

// A frame of type `ft` whose first two body bytes hold `n`.
Bytes Tagged(int ft, int n)
{
    Bytes f = AmrFrame(ft, 0);
    f[1] = static_cast<uint8_t>(n);
    f[2] = static_cast<uint8_t>(n >> 8);
    return f;
}

std::string Counts(const svrtp::ReceiverStats& s)
{
    std::string out;
    auto add = [&](const char* name, uint64_t v) {
        if (v != 0)
            out += (out.empty() ? "" : " ") + std::string(name) + "=" + std::to_string(v);
    };
    add("lost", s.lost);
    add("late", s.late);
    add("reordered", s.reordered);
    add("duplicates", s.duplicates);
    add("jumps", s.seqJumps);
    add("restarts", s.restarts);
    add("timeouts", s.timeouts);
    add("foreign", s.foreign);
    return out;
}

std::vector<Scenario> Scenarios()
{
    const ReceiverEvent N = ReceiverEvent::None, S = ReceiverEvent::Started, R = ReceiverEvent::Restarted,
                        T = ReceiverEvent::TimedOut;
    // A stream starts at its source's second packet in sequence, which proves
    // the source; the first, kept meanwhile, comes out first.
    return {
        {"in order, passed on at once", {{0, 0}, {20, 1, S}, {40, 2}}, "0@1000 1@1020 2@1040", ""},
        {"reordered within the window", {{0, 0}, {20, 2, S}, {25, 1}, {40, 3}}, "0@1000 1@1020 2@1040 3@1060",
         "reordered=1"},
        {"duplicates dropped, played or held", {{0, 0}, {1, 1, S}, {2, 1}, {3, 3}, {4, 3}, {5, 2}, {6, 0}},
         "0@1000 1@1020 2@1040 3@1060", "reordered=1 duplicates=3"},
        {"a packet beyond the window gives up on the gap", {{0, 0}, {1, 2, S}, {2, 3}, {3, 4}, {4, 5}},
         "0@1000 -@1020 2@1040 3@1060 4@1080 5@1100", "lost=1", 4},
        {"a gap given up on after the hold, its packet then late",
         {{0, 0}, {20, 2, S}, {79, kPoll}, {80, kPoll}, {90, 1}}, "0@1000 -@1020 2@1040", "lost=1 late=1"},
        {"a lost packet of three frames is three no-data frames", {{0, 0}, {20, 2, S}, {80, kPoll}},
         "0@1000 0.1@1020 0.2@1040 -@1060 -@1080 -@1100 2@1120 2.1@1140 2.2@1160", "lost=1", 8, 3},
        {"sequence numbers and timestamps wrap", {{0, 0}, {20, 1, S}, {40, 2}, {60, 3}},
         "0@1000 1@1020 2@1040 3@1060", "", 8, 1, 65534, 0xFFFFFEC0u},
        {"a silent stretch without packets is filled", {{0, 0}, {100, 1, S, 1, 5 * 160}},
         "0@1000 -@1020 -@1040 -@1060 -@1080 1@1100", ""},
        {"a break longer than the concealment bound is not filled", {{0, 0}, {2000, 1, S, 1, 100 * 160}},
         "0@1000 1@3000", ""},
        {"a source alone on the port is taken after the hold without a second packet",
         {{0, 0}, {59, kPoll}, {60, kPoll, S}, {80, 1}}, "0@1000 1@1020", ""},
        {"a source heard beside another waits for its second packet",
         {{0, 0}, {10, 500, N, 2}, {70, kPoll}, {80, 1, S}}, "0@1000 1@1020", "foreign=1"},
        {"a packet that does not follow its source's last puts it on probation again",
         {{0, 0}, {20, 20}, {40, 21, S}, {60, 22}}, "20@1000 21@1020 22@1040", "foreign=1"},
        {"a second source waits while the first is alive, and takes over once it is silent",
         {{0, 0}, {20, 1, S}, {40, 900, N, 2}, {60, 901, N, 2}, {80, 2}, {560, 902, N, 2}, {580, 903, R, 2}},
         "0@1000 1@1020 2@1040 902@1060 903@1080", "restarts=1 foreign=2"},
        {"a named source is taken at once, and no other",
         {{0, 0}, {20, 1}, {40, 5, S, 2}, {60, 6, N, 2}, {80, 2}}, "5@1000 6@1020", "foreign=3", 8, 1, 0, 0, 2},
        {"a silent sender times out; its next packets start a stream",
         {{0, 0}, {20, 1, S}, {2019, kPoll}, {2020, kPoll, T}, {2100, 2}, {2120, 3, S}},
         "0@1000 1@1020 2@1040 3@1060", "timeouts=1"},
        {"a lone jump in sequence is dropped", {{0, 0}, {20, 1, S}, {40, 5000}, {60, 2}}, "0@1000 1@1020 2@1040",
         "jumps=1"},
        {"a jump the next packet confirms restarts", {{0, 0}, {20, 1, S}, {40, 5000}, {60, 5001, R}},
         "0@1000 1@1020 5001@1040", "jumps=1 restarts=1"},
        {"a flush passes on what is held", {{0, 0}, {20, 2, S}, {30, kFlush}}, "0@1000 -@1020 2@1040", "lost=1"},
    };
}

TEST(RtpReceiver, Scenarios)
{
    for (const Scenario& sc : Scenarios()) {
        SCOPED_TRACE(sc.name);
        svrtp::ReceiverConfig config;
        config.amrPayloadType = 97;
        config.reorderPackets = sc.window;
        config.onlySsrc = sc.onlySsrc;
        std::string out;
        svrtp::Receiver rx(config, [&](const svrtp::ReceivedFrame& f) {
            ASSERT_EQ(f.type, SV_PAYLOAD_AMR);
            ASSERT_GE(f.length, 1);
            const int ft = f.data[0] >> 3 & 0x0F;
            std::string token;
            if (f.concealed) {
                EXPECT_EQ(Bytes(f.data, f.data + f.length), Bytes{svrtp::kAmrNoDataFrame});
                token = "-";
            } else {
                // Frame k of the packet at place n is Tagged(k, n).
                ASSERT_GE(f.length, 3);
                const int n = f.data[1] | f.data[2] << 8;
                EXPECT_EQ(Bytes(f.data, f.data + f.length), Tagged(ft, n)) << "frame altered";
                token = std::to_string(n) + (ft > 0 ? "." + std::to_string(ft) : "");
            }
            out += (out.empty() ? "" : " ") + token + "@" + std::to_string(f.stampMs);
        });
        for (const Step& st : sc.steps) {
            const ReceiverEvent expected = st.event;
            ReceiverEvent event;
            if (st.n == kPoll) {
                event = rx.Poll(st.t);
            } else if (st.n == kFlush) {
                rx.Flush();
                event = ReceiverEvent::None;
            } else {
                std::vector<Bytes> frames;
                for (int k = 0; k < sc.framesPerPacket; ++k)
                    frames.push_back(Tagged(k, st.n));
                const int64_t ts = st.ts >= 0 ? st.ts : int64_t(st.n) * 160 * sc.framesPerPacket;
                const Bytes d = Cat(Header(static_cast<int>((sc.seqBase + st.n) & 0xFFFF),
                                           static_cast<uint32_t>(sc.tsBase + ts), 97, st.ssrc),
                                    AmrPayload(frames));
                event = rx.Push(d.data(), d.size(), st.t);
            }
            EXPECT_EQ(static_cast<int>(event), static_cast<int>(expected)) << "at t=" << st.t;
        }
        EXPECT_EQ(out, sc.out);
        EXPECT_EQ(Counts(rx.Stats()), sc.counts);
        EXPECT_EQ(rx.Stats().held, 0);
    }
}

TEST(RtpReceiver, WaitsUntilTheNextDeadline)
{
    svrtp::ReceiverConfig config;
    config.holdMs = 60;
    config.timeoutMs = 2000;
    svrtp::Receiver rx(config, [](const svrtp::ReceivedFrame&) {});
    EXPECT_EQ(rx.WaitMs(0), -1);
    const Bytes p0 = Cat(Header(0, 0), AmrPayload({AmrFrame(7, 0)}));
    const Bytes p2 = Cat(Header(2, 320), AmrPayload({AmrFrame(7, 2)}));
    rx.Push(p0.data(), p0.size(), 100);
    EXPECT_EQ(rx.WaitMs(150), 10);  // on probation, alone: taken at 160
    rx.Push(p2.data(), p2.size(), 120);
    EXPECT_EQ(rx.WaitMs(150), 30);
    EXPECT_EQ(rx.WaitMs(0), 180);
    EXPECT_EQ(rx.WaitMs(500), 0);
}

// A no-data frame is what the AMR decoder conceals with; a voice gap's
// frames decode to silence of the gap's length.
TEST(RtpReceiver, MadeUpFramesDecode)
{
    AMR_HANDLE amr = 0;
    ASSERT_EQ(AMR_Decode_Init(&amr), 0);
    unsigned char pcm[320];
    EXPECT_EQ(AMR_Get_Length(0, svrtp::kAmrNoDataFrame), 0);
    EXPECT_EQ(AMR_Decode_Frame(amr, &svrtp::kAmrNoDataFrame, pcm, 0), 0);
    AMR_Decode_Exit(&amr);

    std::vector<svrtp::ReceivedFrame> made;
    std::vector<Bytes> bytes;
    svrtp::Receiver rx({}, [&](const svrtp::ReceivedFrame& f) {
        made.push_back(f);
        bytes.emplace_back(f.data, f.data + f.length);
    });
    // Packets of two 160-sample frames; the second packet is lost.
    Bytes voice(8 + 80, 0x11);
    svrtp::MakeVoiceSilence(160, voice.data());
    voice[8] = 0x37;
    for (int n : {0, 2}) {
        const Bytes d = Cat(Header(n, static_cast<uint32_t>(n * 320), svrtp::kVoicePayloadType), Cat(voice, voice));
        rx.Push(d.data(), d.size(), n * 40);
    }
    rx.Flush();
    ASSERT_EQ(made.size(), 6u);
    alignas(8) unsigned char state[HI_VOICE_STATE_BYTES];
    ASSERT_EQ(HI_VOICE_DecReset(state, HI_VOICE_CODEC_IMA_ADPCM), HI_VOICE_OK);
    for (size_t i = 0; i < made.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(made[i].type, SV_PAYLOAD_VOICE);
        EXPECT_EQ(made[i].stampMs, 1000 + 20 * static_cast<int64_t>(i));
        EXPECT_EQ(made[i].concealed, i == 2 || i == 3);
        short samples[HI_VOICE_MAX_SAMPLES];
        short n = 0;
        ASSERT_EQ(HI_VOICE_DecodeFrame(state, bytes[i].data(), samples, &n), HI_VOICE_OK);
        ASSERT_EQ(n, 160);
        if (made[i].concealed) {
            EXPECT_EQ(std::vector<short>(samples, samples + n), std::vector<short>(160, 0));
        }
    }
}

TEST(RtpReceiver, PayloadTypesAndJunk)
{
    // Learnt from the first packet; RTCP's range never taken; voice beside AMR.
    svrtp::Receiver learn({}, [](const svrtp::ReceivedFrame&) {});
    const Bytes amr = AmrPayload({AmrFrame(7, 0)});
    const Bytes rtcpLike = Cat(Header(0, 0, 72), amr), first = Cat(Header(0, 0, 100), amr),
                second = Cat(Header(1, 160, 100), amr), other = Cat(Header(2, 320, 101), amr),
                voice = Cat(Header(3, 480, svrtp::kVoicePayloadType), Bytes(8, 0));
    learn.Push(rtcpLike.data(), rtcpLike.size(), 0);
    learn.Push(first.data(), first.size(), 0);
    EXPECT_FALSE(learn.Active());
    learn.Push(second.data(), second.size(), 20);
    EXPECT_EQ(learn.AmrPayloadType(), 100);
    learn.Push(other.data(), other.size(), 40);
    EXPECT_EQ(learn.Stats().badPayloadType, 2u);
    Bytes v = voice;
    v[12] = 0xA5; // an empty voice frame
    learn.Push(v.data(), v.size(), 60);
    EXPECT_EQ(learn.Stats().packets, 3u);
    // A confirmed jump restarts the stream and learns the type again, from
    // the packet that confirms it.
    for (int seq : {9000, 9001}) {
        const Bytes d = Cat(Header(seq, 0, 100), amr);
        learn.Push(d.data(), d.size(), 60);
    }
    EXPECT_EQ(learn.Stats().restarts, 1u);
    EXPECT_EQ(learn.AmrPayloadType(), 100);
    const Bytes after = Cat(Header(9002, 160, 101), amr);
    learn.Push(after.data(), after.size(), 80);
    EXPECT_EQ(learn.Stats().badPayloadType, 3u);

    // Random datagrams, some of them RTP-shaped: none crashes, every one is
    // counted exactly once.
    svrtp::Receiver rx({}, [](const svrtp::ReceivedFrame& f) { ASSERT_GE(f.length, 1); });
    svrtp::Random random(7);
    for (int i = 0; i < 20000; ++i) {
        Bytes d(random.Next() % 80);
        for (uint8_t& b : d)
            b = static_cast<uint8_t>(random.Next());
        if (d.size() >= 2 && i % 2 == 0) {
            d[0] = static_cast<uint8_t>(0x80 | (d[0] & 0x3F)); // version 2
            d[1] = static_cast<uint8_t>(i % 4 == 0 ? 97 : d[1]);
        }
        rx.Push(d.data(), d.size(), i);
        rx.Poll(i);
    }
    const svrtp::ReceiverStats& s = rx.Stats();
    EXPECT_EQ(s.datagrams, 20000u);
    EXPECT_EQ(s.Invalid() + s.packets + s.duplicates + s.late + s.seqJumps + s.foreign, s.datagrams);
    EXPECT_GT(s.badHeader, 0u);
    EXPECT_GT(s.badPayload, 0u);
}

TEST(RtpImpairment, SeededAndBounded)
{
    std::vector<double> due;
    for (int i = 0; i < 10000; ++i)
        due.push_back(20.0 * i);
    svrtp::ImpairmentConfig c;
    c.seed = 42;
    c.jitterMs = 15;
    c.lossPercent = 10;
    c.reorderPercent = 5;
    const svrtp::ImpairmentPlan a = svrtp::PlanDepartures(c, due);
    const svrtp::ImpairmentPlan b = svrtp::PlanDepartures(c, due);
    ASSERT_EQ(a.departures.size(), b.departures.size());
    for (size_t i = 0; i < a.departures.size(); ++i) {
        ASSERT_EQ(a.departures[i].index, b.departures[i].index);
        ASSERT_EQ(a.departures[i].sendMs, b.departures[i].sendMs);
    }
    EXPECT_EQ(a.dropped + a.departures.size(), due.size());
    EXPECT_NEAR(static_cast<double>(a.dropped), 1000, 150);
    EXPECT_NEAR(static_cast<double>(a.swapped), 430, 100);
    EXPECT_GE(a.outOfOrder, a.swapped);
    c.seed = 43;
    EXPECT_NE(svrtp::PlanDepartures(c, due).dropped, a.dropped);

    // Without reordering each packet leaves within its jitter, and dropping
    // others leaves its jitter as it was.
    c.reorderPercent = 0;
    svrtp::ImpairmentConfig lossless = c;
    lossless.lossPercent = 0;
    const svrtp::ImpairmentPlan lossy = svrtp::PlanDepartures(c, due);
    const svrtp::ImpairmentPlan whole = svrtp::PlanDepartures(lossless, due);
    ASSERT_EQ(whole.departures.size(), due.size());
    std::vector<double> sent(due.size());
    for (const svrtp::Departure& d : whole.departures) {
        EXPECT_GE(d.sendMs, due[d.index]);
        EXPECT_LE(d.sendMs, due[d.index] + 15);
        sent[d.index] = d.sendMs;
    }
    for (const svrtp::Departure& d : lossy.departures)
        EXPECT_EQ(d.sendMs, sent[d.index]);

    // Without jitter a swap still reorders packets due at the same moment.
    svrtp::ImpairmentConfig swapAll;
    swapAll.reorderPercent = 100;
    const svrtp::ImpairmentPlan s = svrtp::PlanDepartures(swapAll, std::vector<double>(4, 0.0));
    ASSERT_EQ(s.departures.size(), 4u);
    const size_t order[] = {1, 0, 3, 2};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(s.departures[i].index, order[i]);
    EXPECT_EQ(s.outOfOrder, 2u);
}

} // namespace
