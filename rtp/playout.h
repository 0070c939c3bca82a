// The playout clock of a live stream: frames in from the receiver, in stream
// order with their arrival times; frames out to the library, one frame's
// duration at a time, on the local clock, so that the library's queue is fed
// at the pace its device plays and never runs dry while the stream lasts.
//
// Schedule. Every frame has a position on the stream's timeline (RTP ticks,
// shifted as below). The clock keeps the next position to release and the
// local time at which it goes out; a release moves both on by the frame's
// duration. A frame that has not arrived when its time comes is made up (an
// AMR no-data frame, which the decoder conceals, or a voice frame of
// silence), through DTX pauses, between big packets, over a loss. A frame
// that arrives after its turn is late and is dropped.
//
// Target delay. Each packet's first frame gives its transit, local arrival
// less position (late packets, which the receiver drops, count too); its
// relative delay is the transit above the least transit of the last ten
// seconds (which also follows a sender's clock drift). Relative delays go
// into a histogram whose weights decay with time (`forgetSeconds`), and the
// target hold is the delay below which all but `lateShare` of the packets
// came. Holding the least-delayed packet for the target keeps all but that
// share on time. This is the histogram method of WebRTC's NetEq: the target
// follows the distribution, not the last packet, and heavy tails, periodic
// stalls and big packets far apart all show in it. Until five seconds of
// arrivals have been seen, a prior of one packet at 80 ms stands in it.
//
// Keeping to the target. The hold in force (release time less position)
// goes up or down by a frame at a time. Above the target by a frame, a
// made-up frame of a pause is left out (one not released yet, the receiver's
// fill, or a received no-data or SID frame); a speech frame only when the
// excess has lasted (three quarters of a frame for ten seconds, two frames
// for one), never two within `kSpeechDropSpacing` frames. Below the target
// by a frame, a made-up frame goes out in front of the next: where nothing
// has arrived, in front of a pause's frame, or in speech when two frames
// short. The library's own queue is kept at `leadFrames`, far from its cut
// of 60 frames and from its latency trim (pre-buffer plus 20).
//
// Causes. A frame made up here is counted once what comes for its place shows
// why: the receiver's fill for a loss (network loss), the frame itself, late
// (late arrival), the receiver's fill for a pause, or nothing (pause).
//
// Start. The library waits once for its pre-buffer: the first arrival
// releases that many frames at once, made-up ones and then the frame itself,
// and the next release comes when the library has played its queue down to
// `leadFrames`.
//
// Jumps. A stream's first frame (a new source, a restart), a frame far ahead
// of what the clock expects or one more than `maxTargetMs` behind it move the
// stream's timeline so that the frame plays after the target: a sender that
// jumps its timestamps, restarts or has fallen silent never stalls playback.
//
// Not thread-safe. Nothing is allocated per frame once the clock is built.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

#include "receiver.h"
#include "voice_payload.h"

namespace svrtp {

struct PlayoutConfig {
    int prebufferFrames = 8;     // the library's live pre-buffer
    // Frames kept in the library's queue: 80 ms, a device buffer's two and
    // two to spare for a player held up.
    int leadFrames = 4;
    int minTargetMs = 10;        // least hold of the least-delayed packet
    int maxTargetMs = 1000;
    double lateShare = 0.003;    // share of packets the target lets come late
    double forgetSeconds = 20;   // time constant of the histogram's forgetting
    int64_t firstStampMs = 1000; // the library's stamp of the first frame
};

// The receiver's settings for a playout clock behind it: packets wait behind
// a gap as long as the clock may hold them, in the widest window, and the
// clock gives up on the gap when its turn comes.
inline void HoldForPlayout(const PlayoutConfig& playout, ReceiverConfig* receiver)
{
    receiver->reorderPackets = Receiver::kMaxReorderPackets;
    receiver->gapHoldMs = playout.maxTargetMs;
}

struct PlayoutFrame {
    int type = 0; // SV_PAYLOAD_AMR or SV_PAYLOAD_VOICE
    const uint8_t* data = nullptr;
    int length = 0;
    int samples = 0;
    // The library's stamp: the time released so far, from firstStampMs.
    int64_t stampMs = 0;
    bool madeUp = false; // made up here or by the receiver, not received
    // From the packet's arrival to this release; -1 for a made-up frame.
    int64_t holdMs = -1;
};

struct PlayoutStats {
    uint64_t released = 0;       // frames out, made-up ones included
    uint64_t leadIn = 0;         // made-up frames of the start's pre-buffer
    // Made-up frames out, by cause (frames made up here are counted once what
    // came for their place, or did not, shows the cause).
    uint64_t concealedLoss = 0;  // a packet the network lost
    uint64_t concealedLate = 0;  // a packet that came after its turn
    uint64_t concealedPause = 0; // the sender sent nothing (DTX, silence)
    uint64_t interruptions = 0;  // runs of loss or late concealment of 150 ms or more
    uint64_t droppedPause = 0;   // made-up or no-data frames left out to lower the delay
    uint64_t droppedSpeech = 0;  // received speech frames left out to lower it
    uint64_t inserted = 0;       // frames made up to raise it (also counted by cause)
    uint64_t late = 0;           // received frames dropped: they came after their turn
    uint64_t reanchors = 0;      // jumps of the stream's timeline
    uint64_t overflow = 0;       // frames dropped because the clock's store was full
    int buffered = 0;            // frames held now
    double targetMs = 0;         // target hold plus the library's lead
    double holdMs = 0;           // hold in force for the least-delayed packet, plus the lead
};

class Playout {
public:
    using Sink = std::function<void(const PlayoutFrame& frame)>;

    Playout(const PlayoutConfig& config, Sink sink);

    // A frame the receiver passed on; its arrival is frame.arrivalMs.
    void Arrive(const ReceivedFrame& frame);
    // A packet the receiver dropped as late: its delay counts all the same.
    void ArriveLate(const ReceivedFrame& frame);
    // Releases every frame whose time has come by `nowMs` (the clock of the
    // arrival times).
    void Advance(int64_t nowMs);
    // Whether a release is due by `nowMs` with nothing to release: the caller
    // may give up on a gap the receiver is holding before it is made up.
    bool Starved(int64_t nowMs) const;
    // Milliseconds from `nowMs` to the next release; -1 before the first frame
    // and after End.
    int64_t WaitMs(int64_t nowMs) const;
    // The stream ended: what is held goes out at once, and nothing more is
    // made up until a frame arrives again.
    void End();

    const PlayoutStats& Stats() const { return m_stats; }
    // The same, with the frames concealed for packets the receiver gave up
    // on that came after all counted as late, not lost.
    PlayoutStats Stats(const ReceiverStats& receiver) const;

    static constexpr int kCapacity = 512;       // frames held: 10 s of AMR
    static constexpr int kBinMs = 5;
    static constexpr int kSpeechDropSpacing = 5;

private:
    struct Held {
        int64_t pos = 0;
        int64_t arrivalTicks = 0;
        int type = 0;
        int samples = 0;
        int length = 0;
        bool concealed = false;
        bool pause = false;   // made up for a pause (else for a loss)
        bool silence = false; // a received no-data or SID frame
        uint8_t bytes[kVoiceFrameMaxBytes];
    };
    enum class Cause { Loss, Late, Pause };
    struct Pending {
        int64_t pos;
        int samples;
    };

    void Start(const ReceivedFrame& f, int64_t nowTicks);
    void Reanchor(const ReceivedFrame& f, int64_t nowTicks);
    void Sample(int64_t transit, int64_t arrivalTicks);
    void UpdateTarget();
    int64_t Excess() const;
    bool Droppable(const Held& h) const;
    void ClassifyUpTo(int64_t pos, int samples, const ReceivedFrame* by);
    void Count(Cause cause, int samples);
    void EndRun();
    void ReleaseHeld();
    void ReleaseMadeUp(bool advance);
    void Emit(int type, const uint8_t* data, int length, int samples, bool madeUp, int64_t holdMs);
    Held& Head() { return m_held[static_cast<size_t>(m_head)]; }
    const Held& Head() const { return m_held[static_cast<size_t>(m_head)]; }
    void PopHead();
    void PushPending(int64_t pos, int samples);

    PlayoutConfig m_config;
    Sink m_sink;
    PlayoutStats m_stats;

    bool m_running = false;      // a stream is being played out
    bool m_everStarted = false;  // the library has had its pre-buffer
    int64_t m_shift = 0;         // added to the receiver's positions
    int64_t m_pos = 0;           // next position to release
    int64_t m_releaseTicks = 0;  // local time (ticks) it goes out
    int64_t m_outTicks = 0;      // time released, for the stamps
    int64_t m_lastEnd = 0;       // end of the last frame that arrived
    bool m_haveLastEnd = false;
    int m_lastType = SV_PAYLOAD_AMR;
    int m_lastSamples = kAmrFrameSamples;
    int64_t m_sinceSpeechDrop = kSpeechDropSpacing;
    int64_t m_excessSinceTicks = -1;

    // Frames held, a ring.
    std::vector<Held> m_held;
    int m_head = 0;
    int m_count = 0;
    // Positions made up, waiting for what comes for them to show the cause.
    std::vector<Pending> m_pending;
    size_t m_pendingHead = 0;
    size_t m_pendingCount = 0;
    // The current run of loss and late concealment, for the interruptions.
    int64_t m_runTicks = 0;
    bool m_runCounted = false;

    // Relative delay: least transit per second, the last ten seconds.
    static constexpr int kMinSeconds = 10;
    int64_t m_minSecond[kMinSeconds];
    int64_t m_minTransit[kMinSeconds];
    bool m_haveMin = false;
    std::vector<double> m_bins;
    double m_mass = 0;
    size_t m_priorBin = 0;
    double m_priorWeight = 0;
    int64_t m_priorEndTicks = 0;
    int64_t m_lastSampleTicks = 0;
    bool m_haveSample = false;
    int64_t m_targetTicks = 0;

    uint8_t m_madeUp[kVoiceFrameMaxBytes];
};

} // namespace svrtp
