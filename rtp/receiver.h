// The receiving end of a live stream: RTP datagrams in, in arrival order, with
// their arrival times; the library's frames out, in stream order, each with
// the payload type and time stamp SV_InputAudioBuffer takes.
//
// Order. A packet that comes next in sequence is passed on at once: the
// library's own pre-buffer absorbs jitter, so nothing is held back while the
// stream is in order. Behind a missing packet, later ones are held, in a
// window of `reorderPackets` sequence numbers, until the gap fills or is given
// up on: when a packet arrives that does not fit in the window, when the
// oldest held packet has waited `holdMs` (`gapHoldMs` when set), or when
// GiveUp says that their turn has come. Either way the gap is declared lost
// and the held packets follow.
//
// Loss. What a gap stood for is known from the RTP timestamps, not from the
// sequence numbers: the ticks between the end of the last packet passed on
// and the start of the next are filled, for AMR with no-data frames (one per
// 20 ms; the decoder conceals them), for the voice codec with frames that
// decode to silence, so the decoder's timeline runs on unbroken. A sender
// that left out packets on purpose (AMR's discontinuous transmission) is
// filled the same way. A gap of more than `maxConcealMs` is a break in the
// stream and is not filled.
//
// Late and duplicate packets. A packet behind the play position is dropped: a
// duplicate when it was passed on already (remembered for the last 64 sequence
// numbers), late otherwise. A packet that precedes the stream's first packet
// is late too: the first packet is passed on at once.
//
// Streams and sources. A stream is one SSRC, its source, which is locked:
// packets of any other source are counted (foreign) and never touch it. A new
// source is on probation until it has proved itself with a second packet in
// sequence (at most `reorderPackets` ahead of its last), as RFC 3550's
// validation has it; its latest packet is kept meanwhile, so a stream loses
// nothing to the probation. While no stream is locked, a source that is the
// only one heard for `holdMs` around its packet needs no second packet (a
// quiet port, a sender of large packets far apart): Poll takes it then. A
// proved source begins the first stream, or takes
// over from the locked one once that has sent nothing for
// `takeoverSilenceMs`: the stream ends and the next begins (Restarted). With
// `onlySsrc` set, that source is taken at once and no other ever. A jump in
// sequence numbers of the locked source (more than 3000 ahead or 100 behind)
// that the following packet confirms restarts the stream too, while a lone
// jumping packet is dropped. A stream that sends nothing for `timeoutMs` ends
// (TimedOut). Ending a stream passes on what it held, gaps filled.
//
// Time stamps. The first frame of the receiver's life is stamped
// `firstStampMs` (1000 by default: the library takes stamp 0 for "nothing
// playing"); every frame after it is stamped with its RTP timestamp's distance
// from the stream's first, in milliseconds (ticks / 8). A new stream carries
// on from the end of the last, so stamps never go back across restarts.
//
// Payload types. The AMR payload type is the one configured, or with -1 the
// one of the first AMR packet a stream takes in (any type but the voice type
// and 72..76, which an RTCP packet on the same port would show). Packets of any
// other type are counted and dropped, like datagrams that are not RTP and
// payloads that do not parse: none of them touches the stream.
//
// Not thread-safe: one thread pushes, polls and reads the statistics. Nothing
// is allocated per packet once the receiver has held its largest packet.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

#include "amr_payload.h"
#include "extend.h"
#include "payload.h"
#include "rtp_header.h"
#include "sonavex.h"
#include "voice_payload.h"

namespace svrtp {

// Payload type our sender uses for AMR unless told otherwise.
const int kDefaultAmrPayloadType = 97;

struct ReceiverConfig {
    int amrPayloadType = -1; // 0..127, or -1 to take it from the first packet
    int voicePayloadType = kVoicePayloadType;
    AmrPacking amrPacking = AmrPacking::OctetAligned;
    int reorderPackets = 8; // 1..64
    int holdMs = 60;
    // How long packets wait behind a gap: -1 for holdMs. A playout clock
    // behind the receiver gives up on a gap when its turn comes (GiveUp),
    // and sets this to the longest it holds a packet.
    int gapHoldMs = -1;
    int timeoutMs = 2000;
    int maxConcealMs = 1000;
    int64_t firstStampMs = 1000;
    int takeoverSilenceMs = 500;
    int64_t onlySsrc = -1;   // 0..0xFFFFFFFF: the one source taken, at once
};

struct ReceivedFrame {
    int type = 0; // SV_PAYLOAD_AMR or SV_PAYLOAD_VOICE
    const uint8_t* data = nullptr;
    int length = 0;
    int64_t stampMs = 0;
    bool concealed = false; // made up for a gap, not received
    bool pause = false;     // of those, for a gap the sender left (no sequence number missing)
    bool streamStart = false; // the first frame of a stream
    bool packetStart = false; // the first frame of a packet received
    int samples = 0;        // duration in ticks
    // Position on the receiver's timeline, in ticks (stampMs is it in ms).
    int64_t positionTicks = 0;
    // When the packet arrived (for a made-up frame, the packet after the gap).
    int64_t arrivalMs = 0;
};

struct ReceiverStats {
    uint64_t datagrams = 0;  // everything pushed
    uint64_t packets = 0;    // packets taken into a stream
    uint64_t bytes = 0;      // their datagram bytes
    uint64_t lost = 0;       // sequence numbers given up on
    uint64_t late = 0;       // arrived after their place was given up on or passed
    uint64_t lateFrames = 0; // the frames of those, which were concealed as lost
    uint64_t reordered = 0;  // arrived below the highest sequence number, in time
    uint64_t duplicates = 0;
    uint64_t badHeader = 0;  // not RTP
    uint64_t badPayloadType = 0;
    uint64_t badPayload = 0; // RTP, but not a valid AMR or voice payload
    uint64_t seqJumps = 0;   // lone packets far from the stream's sequence
    uint64_t foreign = 0;    // valid packets of a source that is not the stream's
    uint64_t framesOut = 0;  // frames passed on, concealed ones included
    uint64_t framesConcealed = 0;
    uint64_t streams = 0;    // streams begun
    uint64_t restarts = 0;   // of them, begun by a new SSRC or a confirmed jump
    uint64_t timeouts = 0;
    double jitterMs = 0;     // interarrival jitter (RFC 3550, section 6.4.1)
    int held = 0;            // packets waiting behind a gap now

    uint64_t Invalid() const { return badHeader + badPayloadType + badPayload; }
};

enum class ReceiverEvent {
    None,
    Started,   // a stream began (the first, or one after a timeout)
    Restarted, // a stream ended and the next began, in the same push
    TimedOut,  // the stream ended: nothing came for timeoutMs
};

class Receiver {
public:
    // Called for each frame in stream order; `frame.data` is valid during
    // the call only.
    using Sink = std::function<void(const ReceivedFrame& frame)>;

    Receiver(const ReceiverConfig& config, Sink sink);
    // Called for each packet that came after its place was given up on,
    // which is dropped: `frame` has its position and arrival only.
    void OnLate(Sink late) { m_late = std::move(late); }

    // One datagram, which arrived at `nowMs` (any monotonic clock in ms).
    ReceiverEvent Push(const uint8_t* datagram, size_t size, int64_t nowMs);
    // Gives up on gaps whose hold has passed, and ends a stream that has sent
    // nothing for timeoutMs. Call it whenever a wait for a datagram ends.
    ReceiverEvent Poll(int64_t nowMs);
    // How long the caller may wait for a datagram before Poll has work:
    // milliseconds from `nowMs`, 0 when it has now, -1 for no deadline.
    int64_t WaitMs(int64_t nowMs) const;
    // Ends the stream, passing on what it held (end of input, Ctrl-C).
    void Flush();
    // Gives up at once on the gaps in front of the packets held, which are
    // passed on: their turn to play has come.
    void GiveUp();

    bool Active() const { return m_active; }
    uint32_t Ssrc() const { return m_ssrc; }
    // The AMR payload type in force: configured or learnt; -1 before either.
    int AmrPayloadType() const { return m_amrType; }
    const ReceiverStats& Stats() const { return m_stats; }

    static constexpr int kMaxReorderPackets = 64;
    static constexpr int kMaxDropout = 3000;
    static constexpr int kMaxMisorder = 100;
    // Sources on probation at once: more than a flood of one-packet sources
    // brings in between two packets of a real sender at 20,000 datagrams a
    // second.
    static constexpr int kCandidates = 256;

private:
    struct Slot {
        bool used = false;
        int64_t seq = 0;
        int64_t ts = 0;
        int type = 0;
        int64_t arrivalMs = 0;
        FrameList frames;
    };

    struct Candidate {
        std::vector<uint8_t> packet;  // its latest packet, whole
        bool heard = false;
        bool proved = false;
        uint32_t ssrc = 0;
        uint16_t seq = 0;
        int64_t heardMs = 0;
    };

    // Checks a datagram's header, payload type and payload into m_incoming,
    // counting what is wrong with it when `count`.
    bool Parse(const uint8_t* datagram, size_t size, bool count, RtpPacket* packet, bool* voice);
    // Takes a valid packet of a source allowed in into the stream.
    ReceiverEvent Accept(const RtpPacket& packet, bool voice, size_t size, int64_t nowMs);
    // A packet of a source not locked: kept, or taken when it has proved itself.
    ReceiverEvent Probation(const uint8_t* datagram, size_t size, RtpPacket packet, bool voice, int64_t nowMs);
    // The steps of Accept.
    ReceiverEvent Follow(const RtpPacket& packet, int64_t nowMs);
    bool InSequence(const RtpPacket& packet, int64_t nowMs, int64_t* seq, ReceiverEvent* event);
    bool Behind(int64_t seq, const RtpPacket& packet, int64_t nowMs);
    void UpdateJitter(int64_t ts, int64_t nowMs);
    void Hold(Slot& slot, int64_t seq, int64_t ts, bool voice, int64_t nowMs);
    Candidate& CandidateFor(uint32_t ssrc);
    // Begins the stream with the candidate's kept packet.
    ReceiverEvent TakeKept(Candidate& c, int64_t nowMs);
    Candidate* LoneCandidate(int64_t nowMs);
    bool TypeFits(int payloadType, bool sameStream) const;
    void StartStream(const RtpPacket& packet, int64_t nowMs);
    void EndStream();
    int64_t StampTicks(int64_t ts) const { return m_baseTicks + (ts - m_originTs); }
    void Skip();
    void Drain();
    void ReleaseExpired(int64_t nowMs);
    void Emit(Slot& slot);
    void Conceal(int type, int64_t ticks, bool pause, int64_t arrivalMs);
    void Deliver(ReceivedFrame& frame, int64_t ts);
    Slot& SlotOf(int64_t seq) { return m_slots[static_cast<size_t>(seq % m_window)]; }
    int64_t GapHoldMs() const { return m_config.gapHoldMs >= 0 ? m_config.gapHoldMs : m_config.holdMs; }

    ReceiverConfig m_config;
    Sink m_sink;
    Sink m_late;
    ReceiverStats m_stats;
    int m_window;
    int m_amrType;

    bool m_active = false;
    uint32_t m_ssrc = 0;
    WrapExtender m_seqExt{16};
    WrapExtender m_tsExt{32};
    int64_t m_next = 0;      // extended sequence number to pass on next
    uint64_t m_history = 0;  // bit k: sequence m_next - 1 - k was passed on
    int64_t m_lastArrivalMs = 0;
    bool m_jumpPending = false;
    uint16_t m_jumpSeq = 0;

    // Timeline: a frame at extended timestamp ts is stamped from
    // m_baseTicks + (ts - m_originTs) ticks.
    int64_t m_originTs = 0;
    int64_t m_baseTicks = 0;
    bool m_emitted = false;   // the stream passed something on
    int64_t m_expectedTs = 0; // where the last packet passed on ended
    int m_lastVoiceSamples = 0;
    bool m_lostSinceEmit = false; // sequence numbers given up on since the last packet passed on

    bool m_jitterStarted = false;
    int64_t m_lastTransit = 0;
    double m_jitterTicks = 0;

    std::vector<Slot> m_slots;
    std::vector<Candidate> m_candidates;
    std::vector<uint8_t> m_replay;
    FrameList m_incoming;
    uint8_t m_silence[kVoiceFrameMaxBytes];
};

} // namespace svrtp
