// The playout clock between the receiver and a model of the library's live
// queue, on a simulated millisecond clock: a sender of AMR frames (clock
// drift, DTX pauses, big packets, timestamp jumps, restarts, silence), a
// network of seeded per-packet delays and losses, and the library's rules
// (pre-buffer once, two frames a 40 ms device buffer, the cut of 60 and the
// latency trim) that the clock must keep clear of.
#include <math.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "impairment.h"
#include "playout.h"
#include "receiver.h"
#include "test_rtp_common.h"

namespace {

using rtptest::Bytes;

// The library's live queue as its device drains it.
struct Library {
    int prebuffer = 8;
    bool waiting = true;
    int queued = 0;
    int maxQueued = 0;
    int underruns = 0;
    int excessReads = 0;
    bool cut = false;
    bool trimmed = false;

    void Push()
    {
        ++queued;
        maxQueued = std::max(maxQueued, queued);
    }
    // One 40 ms device buffer: two frames.
    void Refill(bool streamLasts)
    {
        for (int i = 0; i < 2; ++i) {
            if (waiting) {
                if (queued < prebuffer)
                    return;
                waiting = false;
            }
            cut = cut || queued > prebuffer + 60;
            excessReads = queued > prebuffer + 20 ? excessReads + 1 : 0;
            trimmed = trimmed || excessReads > 1000;
            if (queued == 0) {
                underruns += streamLasts;
                return;
            }
            --queued;
        }
    }
};

struct Scenario {
    const char* name;
    int seconds;
    int framesPerPacket;
    double ppm;                                  // sender clock against ours
    std::function<int64_t(svrtp::Random&)> delayMs; // per packet; -1 drops it
    // Frame k is sent (not a pause) when this says so; null: always.
    std::function<bool(int64_t frame)> talking;
    // A frame from which the sender's timestamps jump by `jumpTicks`, or its
    // SSRC changes (restart), or it falls silent for `silentMs` first.
    int64_t eventFrame;
    int64_t jumpTicks;
    bool restart;
    int64_t silentMs;
    // Expectations.
    double lateShare;        // concealment for late packets, at most
    int lateFrames;          // and frames beyond that share
    uint64_t interruptions;  // at most
    double holdWithinMs;     // after the first minute, |hold - target|; 0: not checked
};

struct Outcome {
    Library library;
    svrtp::PlayoutStats stats;
    uint64_t framesSent = 0;
    uint64_t framesDropped = 0;   // by the network
    uint64_t realOut = 0;
    uint64_t received = 0;        // frames the receiver passed on, made-up ones not
    double worstHoldMs = 0;
    int maxBuffered = 0;
};

Outcome Simulate(const Scenario& sc)
{
    Outcome o;
    svrtp::ReceiverConfig rc;
    rc.amrPayloadType = 97;
    rc.timeoutMs = 20 * 60 * 1000;
    svrtp::PlayoutConfig pc;
    pc.prebufferFrames = o.library.prebuffer;
    svrtp::HoldForPlayout(pc, &rc);
    svrtp::Playout playout(pc, [&o](const svrtp::PlayoutFrame& f) {
        o.library.Push();
        o.realOut += !f.madeUp;
    });
    svrtp::Receiver receiver(rc, [&playout](const svrtp::ReceivedFrame& f) { playout.Arrive(f); });
    receiver.OnLate([&playout](const svrtp::ReceivedFrame& f) { playout.ArriveLate(f); });

    svrtp::Random random(42);
    std::multimap<int64_t, Bytes> wire;
    const int64_t totalFrames = static_cast<int64_t>(sc.seconds) * 50;
    const Bytes speech = rtptest::AmrFrame(7, 1), sid = rtptest::AmrFrame(8, 2);
    int64_t frame = 0;
    int seq = 0;
    bool eventDone = false;
    int64_t sendShiftMs = 0;
    std::vector<Bytes> packet;
    const int64_t endMs = static_cast<int64_t>(sc.seconds) * 1000 + sc.silentMs;
    for (int64_t now = 0; now < endMs + 3000; ++now) {
        // The sender: frame k is due at k x 20 ms of its own clock.
        while (frame < totalFrames &&
               static_cast<double>(frame * 20 + sendShiftMs) / (1 + sc.ppm * 1e-6) <= static_cast<double>(now)) {
            const bool after = frame >= sc.eventFrame;
            if (after && !eventDone) {
                eventDone = true;
                if (sc.silentMs > 0 && sendShiftMs == 0) {
                    sendShiftMs = sc.silentMs;
                    continue;
                }
            }
            const bool talk = !sc.talking || sc.talking(frame);
            const bool pauseStart = !talk && sc.talking(frame - 1);
            if (talk || pauseStart)
                packet.push_back(talk ? speech : sid);
            const uint32_t ts = static_cast<uint32_t>(frame * 160 + (after ? sc.jumpTicks : 0));
            const int64_t first = frame - static_cast<int64_t>(packet.size()) + 1;
            ++frame;
            if (packet.empty() || (static_cast<int>(packet.size()) < sc.framesPerPacket && talk && frame < totalFrames))
                continue;
            const int64_t delay = sc.delayMs(random);
            o.framesSent += packet.size();
            if (delay < 0) {
                o.framesDropped += packet.size();
            } else {
                const uint32_t ssrc = after && sc.restart ? 2 : 1;
                wire.emplace(now + delay,
                             rtptest::Datagram(after && sc.restart ? seq + 20000 : seq,
                                               ts - static_cast<uint32_t>((frame - 1 - first) * 160), 97, ssrc,
                                               rtptest::AmrPayload(packet)));
            }
            ++seq;
            packet.clear();
        }
        while (!wire.empty() && wire.begin()->first <= now) {
            receiver.Push(wire.begin()->second.data(), wire.begin()->second.size(), now);
            wire.erase(wire.begin());
        }
        receiver.Poll(now);
        if (playout.Starved(now) && receiver.Stats().held > 0)
            receiver.GiveUp();
        playout.Advance(now);
        if (now % 40 == 0)
            o.library.Refill(frame < totalFrames || !wire.empty());
        o.maxBuffered = std::max(o.maxBuffered, playout.Stats().buffered);
        if (sc.holdWithinMs > 0 && now > 60000 && now % 1000 == 0 && frame < totalFrames)
            o.worstHoldMs = std::max(o.worstHoldMs, fabs(playout.Stats().holdMs - playout.Stats().targetMs));
    }
    o.stats = playout.Stats(receiver.Stats());
    o.received = receiver.Stats().framesOut - receiver.Stats().framesConcealed;
    return o;
}

int64_t Fixed(svrtp::Random&) { return 20; }

// 10 ms, plus an exponential tail of mean 17 ms (95th percentile about 60 ms),
// and 1 % lost.
int64_t HeavyTail(svrtp::Random& r)
{
    if (r.Next() % 100 == 0)
        return -1;
    const double u = (static_cast<double>(r.Next() % 1000000) + 0.5) / 1e6;
    return 10 + static_cast<int64_t>(-17 * log(u));
}

TEST(RtpPlayout, KeepsTheLibraryFedThroughTheNetworksAndSendersTrouble)
{
    const auto stallEvery10s = [n = int64_t(0)](svrtp::Random&) mutable -> int64_t {
        const int64_t at = n++ % 500; // a packet each 20 ms: 10 s
        return at >= 250 && at < 265 ? 20 + (265 - at) * 20 : 20; // 300 ms stall, then the burst
    };
    const auto bigJitter = [](svrtp::Random& r) { return static_cast<int64_t>(50 + r.Next() % 101) - 50 + 60; };
    const auto dtx = [](int64_t k) { return k % 250 < 100; }; // 2 s of speech, 3 s of pause
    const Scenario scenarios[] = {
        // name, s, fpp, ppm, delay, talking, event frame, jump, restart, silent ms,
        //   late share and frames, interruptions, hold
        {"clean", 60, 1, 0, Fixed, nullptr, -1, 0, false, 0, 0, 0, 0, 0},
        {"heavy-tailed jitter, 1 % loss", 120, 1, 0, HeavyTail, nullptr, -1, 0, false, 0, 0.005, 0, 0, 0},
        // The first stall comes before the clock has seen one.
        {"stalls of 300 ms every 10 s", 120, 1, 0, stallEvery10s, nullptr, -1, 0, false, 0, 0.005, 15, 1, 0},
        {"35 frames a packet, +-50 ms", 120, 35, 0, bigJitter, nullptr, -1, 0, false, 0, 0.005, 0, 0, 0},
        {"DTX pauses of 3 s", 120, 1, 0, Fixed, dtx, -1, 0, false, 0, 0, 0, 0, 0},
        {"sender 300 ppm fast", 600, 1, 300, Fixed, nullptr, -1, 0, false, 0, 0, 0, 0, 20},
        {"sender 300 ppm slow", 600, 1, -300, Fixed, nullptr, -1, 0, false, 0, 0.001, 0, 0, 20},
        {"timestamps jump ahead an hour", 60, 1, 0, Fixed, nullptr, 1000, 8000LL * 3600, false, 0, 0, 0, 0, 0},
        {"timestamps jump back", 60, 1, 0, Fixed, nullptr, 1000, -8000LL * 10, false, 0, 0, 0, 0, 0},
        {"sender restarts", 60, 1, 0, Fixed, nullptr, 1000, 8000LL * 77, true, 0, 0, 0, 0, 0},
        {"silent for five minutes", 60, 1, 0, Fixed, nullptr, 1000, 0, false, 5 * 60 * 1000, 0, 0, 0, 0},
    };
    for (const Scenario& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        const Outcome o = Simulate(sc);
        const svrtp::PlayoutStats& s = o.stats;
        EXPECT_EQ(o.library.underruns, 0);
        EXPECT_FALSE(o.library.cut);
        EXPECT_FALSE(o.library.trimmed);
        EXPECT_LE(o.library.maxQueued, o.library.prebuffer + 20);
        EXPECT_LE(o.maxBuffered, svrtp::Playout::kCapacity / 2);
        EXPECT_LE(static_cast<double>(s.concealedLate),
                  sc.lateShare * static_cast<double>(o.framesSent) + sc.lateFrames + 1)
            << "late " << s.concealedLate << " of " << o.framesSent;
        EXPECT_LE(s.interruptions, sc.interruptions);
        // Every frame the network lost is concealed as lost, and nothing else is.
        EXPECT_NEAR(static_cast<double>(s.concealedLoss), static_cast<double>(o.framesDropped),
                    0.05 * static_cast<double>(o.framesDropped) + 1);
        // What arrived plays, but for what left to lower the delay.
        EXPECT_GE(o.realOut + s.droppedSpeech + s.late + 2, o.received)
            << "out " << o.realOut << ", dropped " << s.droppedSpeech << ", late " << s.late;
        if (sc.holdWithinMs > 0) {
            EXPECT_LE(o.worstHoldMs, sc.holdWithinMs);
        }
        printf("%-32s target %4.0f ms, late %llu, loss %llu, pause %llu, lowered %llu+%llu, inserted %llu, "
               "reanchors %llu\n",
               sc.name, s.targetMs, static_cast<unsigned long long>(s.concealedLate),
               static_cast<unsigned long long>(s.concealedLoss), static_cast<unsigned long long>(s.concealedPause),
               static_cast<unsigned long long>(s.droppedPause), static_cast<unsigned long long>(s.droppedSpeech),
               static_cast<unsigned long long>(s.inserted), static_cast<unsigned long long>(s.reanchors));
    }
}

} // namespace
