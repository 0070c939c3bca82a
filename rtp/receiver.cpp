#include "receiver.h"

#include <algorithm>
#include <utility>

namespace svrtp {

namespace {

const int kTicksPerMs = kClockRate / 1000;

} // namespace

Receiver::Receiver(const ReceiverConfig& config, Sink sink)
    : m_config(config),
      m_sink(std::move(sink)),
      m_window(std::min(std::max(config.reorderPackets, 1), kMaxReorderPackets)),
      m_amrType(config.amrPayloadType),
      m_slots(static_cast<size_t>(m_window)),
      m_candidates(kCandidates)
{
    // Room for a typical packet up front; a larger one grows its slot once.
    for (Slot& slot : m_slots) {
        slot.frames.bytes.reserve(512);
        slot.frames.frames.reserve(16);
    }
    m_incoming.bytes.reserve(512);
    m_incoming.frames.reserve(16);
}

bool Receiver::TypeFits(int payloadType, bool sameStream) const
{
    if (payloadType == m_config.voicePayloadType)
        return true;
    if (m_config.amrPayloadType >= 0)
        return payloadType == m_config.amrPayloadType;
    if (sameStream && m_amrType >= 0)
        return payloadType == m_amrType;
    return payloadType < 72 || payloadType > 76;
}

bool Receiver::Parse(const uint8_t* datagram, size_t size, bool count, RtpPacket* packet, bool* voice)
{
    if (ParseRtp(datagram, size, packet) != RtpError::None) {
        m_stats.badHeader += count;
        return false;
    }
    const bool sameStream = m_active && packet->ssrc == m_ssrc;
    if (!TypeFits(packet->payloadType, sameStream)) {
        m_stats.badPayloadType += count;
        return false;
    }
    *voice = packet->payloadType == m_config.voicePayloadType;
    const PayloadError error = *voice ? ParseVoicePayload(packet->payload, packet->payloadBytes, &m_incoming)
                                      : ParseAmrPayload(packet->payload, packet->payloadBytes, m_config.amrPacking,
                                                        &m_incoming);
    if (error != PayloadError::None) {
        m_stats.badPayload += count;
        return false;
    }
    return true;
}

ReceiverEvent Receiver::Push(const uint8_t* datagram, size_t size, int64_t nowMs)
{
    ++m_stats.datagrams;
    RtpPacket packet;
    bool voice = false;
    if (!Parse(datagram, size, true, &packet, &voice))
        return ReceiverEvent::None;
    if (m_active && packet.ssrc == m_ssrc)
        return Accept(packet, voice, size, nowMs);
    // Another source. A named one is taken at once, and no other ever.
    if (m_config.onlySsrc >= 0) {
        if (packet.ssrc != static_cast<uint32_t>(m_config.onlySsrc)) {
            ++m_stats.foreign;
            return ReceiverEvent::None;
        }
        return Accept(packet, voice, size, nowMs);
    }
    return Probation(datagram, size, packet, voice, nowMs);
}

ReceiverEvent Receiver::Probation(const uint8_t* datagram, size_t size, RtpPacket packet, bool voice, int64_t nowMs)
{
    // A source not locked is on probation until it has sent a second packet in
    // sequence, and takes over only from a locked source that has fallen
    // silent. Its latest packet is kept, so that nothing it sent is lost
    // when it does.
    Candidate& c = CandidateFor(packet.ssrc);
    const int ahead = static_cast<uint16_t>(packet.sequence - c.seq);
    c.proved = c.heard && ahead >= 1 && ahead <= m_window;
    const bool takes = c.proved && (!m_active || nowMs - m_lastArrivalMs >= m_config.takeoverSilenceMs);
    if (!takes) {
        c.heard = true;
        c.seq = packet.sequence;
        c.heardMs = nowMs;
        c.packet.assign(datagram, datagram + size);
        ++m_stats.foreign;
        return ReceiverEvent::None;
    }
    // The kept packet first (counted as foreign when it came), then this one.
    ReceiverEvent event = TakeKept(c, nowMs);
    // (It may not fit the stream the kept packet began: a payload type of
    // its own. Then it is counted now.)
    if (!Parse(datagram, size, true, &packet, &voice))
        return event;
    const ReceiverEvent next = Accept(packet, voice, size, nowMs);
    return event != ReceiverEvent::None ? event : next;
}

ReceiverEvent Receiver::TakeKept(Candidate& c, int64_t nowMs)
{
    std::swap(m_replay, c.packet);
    c = Candidate{std::move(c.packet)};
    RtpPacket kept;
    bool voice = false;
    if (!Parse(m_replay.data(), m_replay.size(), false, &kept, &voice))
        return ReceiverEvent::None;
    --m_stats.foreign;
    return Accept(kept, voice, m_replay.size(), nowMs);
}

Receiver::Candidate* Receiver::LoneCandidate(int64_t nowMs)
{
    // The one source heard since the hold began before its packet, while no
    // stream is locked: a sender on a quiet port, whose second packet may be
    // far off (ffmpeg's packets are 700 ms apart), is not kept waiting.
    if (m_active)
        return nullptr;
    Candidate* lone = nullptr;
    for (Candidate& c : m_candidates) {
        if (!c.heard || nowMs - c.heardMs > 2 * static_cast<int64_t>(m_config.holdMs))
            continue;
        if (lone != nullptr)
            return nullptr;
        lone = &c;
    }
    return lone != nullptr && nowMs - lone->heardMs >= m_config.holdMs ? lone : nullptr;
}

Receiver::Candidate& Receiver::CandidateFor(uint32_t ssrc)
{
    // The candidate heard least recently makes room: a flood of one-packet
    // sources passes through the table while a real sender, heard every
    // packet time, stays in it.
    Candidate* room = &m_candidates[0];
    for (Candidate& c : m_candidates) {
        if (c.heard && c.ssrc == ssrc)
            return c;
        if (!c.heard || (room->heard && c.heardMs < room->heardMs))
            room = &c;
    }
    room->heard = false;
    room->proved = false;
    room->ssrc = ssrc;
    return *room;
}

ReceiverEvent Receiver::Accept(const RtpPacket& packet, bool voice, size_t size, int64_t nowMs)
{
    ReceiverEvent event = Follow(packet, nowMs);
    int64_t seq = m_seqExt.Extend(packet.sequence);
    if (!InSequence(packet, nowMs, &seq, &event))
        return event;
    if (Behind(seq, packet, nowMs))
        return event;
    // A packet beyond the window gives up on the gaps at its front.
    while (seq - m_next >= m_window)
        Skip();
    Slot& slot = SlotOf(seq);
    if (slot.used) {
        ++m_stats.duplicates;
        return event;
    }
    if (!voice && m_amrType < 0)
        m_amrType = packet.payloadType;
    ++m_stats.packets;
    m_stats.bytes += size;
    if (seq < m_seqExt.Highest())
        ++m_stats.reordered;
    m_seqExt.Accept(seq);
    const int64_t ts = m_tsExt.Update(packet.timestamp);
    UpdateJitter(ts, nowMs);
    Hold(slot, seq, ts, voice, nowMs);
    Drain();
    ReleaseExpired(nowMs);
    return event;
}

// A packet of another source than the stream's begins a stream of its own.
ReceiverEvent Receiver::Follow(const RtpPacket& packet, int64_t nowMs)
{
    ReceiverEvent event = ReceiverEvent::None;
    if (!m_active || packet.ssrc != m_ssrc) {
        event = m_active ? ReceiverEvent::Restarted : ReceiverEvent::Started;
        if (m_active) {
            EndStream();
            ++m_stats.restarts;
        }
        StartStream(packet, nowMs);
    }
    m_lastArrivalMs = nowMs;
    return event;
}

// A jump in sequence numbers is a restarted sender, or a stray: believed when
// the next packet carries on from it, when the stream restarts at `*seq`.
// False for a lone jumping packet, which is dropped.
bool Receiver::InSequence(const RtpPacket& packet, int64_t nowMs, int64_t* seq, ReceiverEvent* event)
{
    if (*seq - m_next >= -kMaxMisorder && *seq - m_next <= kMaxDropout) {
        m_jumpPending = false;
        return true;
    }
    if (!m_jumpPending || packet.sequence != static_cast<uint16_t>(m_jumpSeq + 1)) {
        m_jumpPending = true;
        m_jumpSeq = packet.sequence;
        ++m_stats.seqJumps;
        return false;
    }
    EndStream();
    ++m_stats.restarts;
    StartStream(packet, nowMs);
    *seq = m_next;
    *event = ReceiverEvent::Restarted;
    m_jumpPending = false;
    return true;
}

// A packet behind the play position: a duplicate of one passed on, or late.
bool Receiver::Behind(int64_t seq, const RtpPacket& packet, int64_t nowMs)
{
    if (seq >= m_next)
        return false;
    const int64_t back = m_next - 1 - seq;
    if (back < 64 && (m_history >> back & 1))
        ++m_stats.duplicates;
    else {
        ++m_stats.late;
        m_stats.lateFrames += m_incoming.Count();
        if (m_late) {
            ReceivedFrame frame;
            frame.positionTicks = StampTicks(m_tsExt.Extend(packet.timestamp));
            frame.arrivalMs = nowMs;
            frame.packetStart = true;
            m_late(frame);
        }
    }
    return true;
}

// Interarrival jitter (RFC 3550, section 6.4.1), in timestamp ticks.
void Receiver::UpdateJitter(int64_t ts, int64_t nowMs)
{
    const int64_t transit = nowMs * kTicksPerMs - ts;
    if (m_jitterStarted) {
        const int64_t d = transit > m_lastTransit ? transit - m_lastTransit : m_lastTransit - transit;
        m_jitterTicks += (static_cast<double>(d) - m_jitterTicks) / 16;
        m_stats.jitterMs = m_jitterTicks / kTicksPerMs;
    }
    m_jitterStarted = true;
    m_lastTransit = transit;
}

// Keeps the packet's frames (parsed into m_incoming) in its slot.
void Receiver::Hold(Slot& slot, int64_t seq, int64_t ts, bool voice, int64_t nowMs)
{
    slot.used = true;
    slot.seq = seq;
    slot.ts = ts;
    slot.type = voice ? SV_PAYLOAD_VOICE : SV_PAYLOAD_AMR;
    slot.arrivalMs = nowMs;
    std::swap(slot.frames, m_incoming);
    ++m_stats.held;
}

ReceiverEvent Receiver::Poll(int64_t nowMs)
{
    if (Candidate* lone = LoneCandidate(nowMs))
        return TakeKept(*lone, nowMs);
    ReleaseExpired(nowMs);
    if (m_active && nowMs - m_lastArrivalMs >= m_config.timeoutMs) {
        EndStream();
        ++m_stats.timeouts;
        return ReceiverEvent::TimedOut;
    }
    return ReceiverEvent::None;
}

int64_t Receiver::WaitMs(int64_t nowMs) const
{
    int64_t deadline = -1;
    if (m_active)
        deadline = m_lastArrivalMs + m_config.timeoutMs;
    else
        for (const Candidate& c : m_candidates)
            if (c.heard && nowMs - c.heardMs <= m_config.holdMs && (deadline < 0 || c.heardMs + m_config.holdMs < deadline))
                deadline = c.heardMs + m_config.holdMs;
    for (const Slot& slot : m_slots) {
        if (slot.used && (deadline < 0 || slot.arrivalMs + GapHoldMs() < deadline))
            deadline = slot.arrivalMs + GapHoldMs();
    }
    if (deadline < 0)
        return -1;
    return std::max<int64_t>(0, deadline - nowMs);
}

void Receiver::Flush()
{
    if (m_active)
        EndStream();
}

void Receiver::GiveUp()
{
    if (m_stats.held == 0)
        return;
    while (!SlotOf(m_next).used)
        Skip();
    Drain();
}

void Receiver::StartStream(const RtpPacket& packet, int64_t nowMs)
{
    m_active = true;
    m_ssrc = packet.ssrc;
    m_seqExt.Reset();
    m_tsExt.Reset();
    m_next = m_seqExt.Extend(packet.sequence);
    m_history = 0;
    m_jumpPending = false;
    m_originTs = m_tsExt.Extend(packet.timestamp);
    m_emitted = false;
    m_lastVoiceSamples = 0;
    m_lostSinceEmit = false;
    m_jitterStarted = false;
    m_amrType = m_config.amrPayloadType;
    m_lastArrivalMs = nowMs;
    ++m_stats.streams;
}

void Receiver::EndStream()
{
    while (m_stats.held > 0)
        Skip();
    if (m_emitted)
        m_baseTicks = StampTicks(m_expectedTs);
    m_active = false;
    m_jumpPending = false;
}

// Passes on the packet at the play position, or gives up on it.
void Receiver::Skip()
{
    Slot& slot = SlotOf(m_next);
    if (slot.used) {
        Emit(slot);
        return;
    }
    ++m_stats.lost;
    m_lostSinceEmit = true;
    m_history <<= 1;
    ++m_next;
}

void Receiver::Drain()
{
    while (SlotOf(m_next).used)
        Emit(SlotOf(m_next));
}

void Receiver::ReleaseExpired(int64_t nowMs)
{
    while (m_stats.held > 0) {
        int64_t oldest = nowMs;
        for (const Slot& slot : m_slots) {
            if (slot.used)
                oldest = std::min(oldest, slot.arrivalMs);
        }
        if (nowMs - oldest < GapHoldMs())
            return;
        while (!SlotOf(m_next).used)
            Skip();
        Drain();
    }
}

void Receiver::Emit(Slot& slot)
{
    const bool first = !m_emitted;
    if (m_emitted) {
        const int64_t gap = slot.ts - m_expectedTs;
        if (gap > 0 && gap <= static_cast<int64_t>(m_config.maxConcealMs) * kTicksPerMs)
            Conceal(slot.type, gap, !m_lostSinceEmit, slot.arrivalMs);
    }
    m_lostSinceEmit = false;
    int64_t ts = slot.ts;
    for (size_t i = 0; i < slot.frames.Count(); ++i) {
        const FrameList::Extent& e = slot.frames.frames[i];
        ReceivedFrame frame;
        frame.type = slot.type;
        frame.data = slot.frames.Data(i);
        frame.length = static_cast<int>(e.length);
        frame.samples = static_cast<int>(e.samples);
        frame.arrivalMs = slot.arrivalMs;
        frame.streamStart = first && i == 0;
        frame.packetStart = i == 0;
        Deliver(frame, ts);
        ts += e.samples;
        if (slot.type == SV_PAYLOAD_VOICE && e.samples > 0)
            m_lastVoiceSamples = static_cast<int>(e.samples);
    }
    m_expectedTs = ts;
    m_emitted = true;
    slot.used = false;
    --m_stats.held;
    m_history = m_history << 1 | 1;
    ++m_next;
}

// Fills `ticks` from the end of the last packet passed on.
void Receiver::Conceal(int type, int64_t ticks, bool pause, int64_t arrivalMs)
{
    int64_t ts = m_expectedTs;
    ReceivedFrame frame;
    frame.type = type;
    frame.concealed = true;
    frame.pause = pause;
    frame.arrivalMs = arrivalMs;
    if (type == SV_PAYLOAD_AMR) {
        frame.data = &kAmrNoDataFrame;
        frame.length = 1;
        frame.samples = kAmrFrameSamples;
        for (; ticks >= kAmrFrameSamples; ticks -= kAmrFrameSamples, ts += kAmrFrameSamples)
            Deliver(frame, ts);
        return;
    }
    // Silence in frames of the stream's own length, so the decoder's queue
    // keeps its rhythm; never shorter than 20 ms, so a stream of tiny frames
    // cannot turn one gap into thousands.
    const int64_t per = std::max(m_lastVoiceSamples, kAmrFrameSamples);
    while (ticks > 0) {
        const int samples = static_cast<int>(std::min(per, ticks));
        frame.data = m_silence;
        frame.length = MakeVoiceSilence(samples, m_silence);
        frame.samples = samples;
        Deliver(frame, ts);
        ts += samples;
        ticks -= samples;
    }
}

void Receiver::Deliver(ReceivedFrame& frame, int64_t ts)
{
    ++m_stats.framesOut;
    if (frame.concealed)
        ++m_stats.framesConcealed;
    frame.positionTicks = StampTicks(ts);
    frame.stampMs = m_config.firstStampMs + frame.positionTicks / kTicksPerMs;
    m_sink(frame);
}

} // namespace svrtp
