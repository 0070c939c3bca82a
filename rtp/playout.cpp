#include "playout.h"

#include <math.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace svrtp {

namespace {

const int kTicksPerMs = kClockRate / 1000;
// Loss and late concealment this long in a row is an interruption.
const int64_t kInterruptionTicks = 150 * kTicksPerMs;
// An excess of three quarters of a frame waits this long for a pause before
// a speech frame goes (the hold stays within a frame of the target); an
// excess of two frames or more waits a second.
const int64_t kSmallExcessWaitTicks = 10 * kClockRate;
const int64_t kLargeExcessWaitTicks = 1 * kClockRate;
// A frame this far ahead of where the clock expects one is a jump of the
// sender's timestamps.
const int64_t kJumpAheadTicks = 1 * kClockRate;
// The prior of the histogram: one packet's weight at this delay, until the
// stream's own arrivals have been seen for a while.
const int kPriorMs = 80;
const int64_t kPriorTicks = 5 * kClockRate;
const size_t kPendingCapacity = 4096;

bool IsPauseFrame(int type, const uint8_t* data, int length)
{
    if (type != SV_PAYLOAD_AMR || length < 1)
        return false;
    const int ft = data[0] >> 3 & 0x0F;
    return ft == kAmrFrameTypeNoData || ft == kAmrFrameTypeSid;
}

} // namespace

Playout::Playout(const PlayoutConfig& config, Sink sink)
    : m_config(config), m_sink(std::move(sink)), m_held(kCapacity), m_pending(kPendingCapacity),
      m_bins(static_cast<size_t>(std::max(config.maxTargetMs, kBinMs) / kBinMs + 1), 0.0)
{
    m_config.prebufferFrames = std::max(m_config.prebufferFrames, 1);
    m_config.leadFrames = std::min(std::max(m_config.leadFrames, 1), m_config.prebufferFrames);
    m_config.minTargetMs = std::max(m_config.minTargetMs, 0);
    m_config.maxTargetMs = std::max(m_config.maxTargetMs, m_config.minTargetMs);
    m_priorBin = std::min(m_bins.size() - 1, static_cast<size_t>(kPriorMs / kBinMs - 1));
    m_bins[m_priorBin] = m_priorWeight = 1;
    m_mass = 1;
    UpdateTarget();
    for (int i = 0; i < kMinSeconds; ++i) {
        m_minSecond[i] = std::numeric_limits<int64_t>::min();
        m_minTransit[i] = 0;
    }
}

void Playout::Arrive(const ReceivedFrame& f)
{
    const int64_t now = f.arrivalMs * kTicksPerMs;
    const int samples = std::max(f.samples, 0);
    m_lastType = f.type;
    m_lastSamples = f.type == SV_PAYLOAD_VOICE ? std::min(std::max(samples, kAmrFrameSamples), kVoiceFrameMaxSamples)
                                               : kAmrFrameSamples;
    if (!m_running) {
        Start(f, now);
        return;
    }
    int64_t pos = f.positionTicks + m_shift;
    // The position that goes out now, were it here: a frame that arrives has
    // its hold ahead of it, about the target.
    const int64_t expected = m_pos + (now - m_releaseTicks);
    const bool contiguous = m_haveLastEnd && pos == m_lastEnd;
    const int64_t maxTarget = static_cast<int64_t>(m_config.maxTargetMs) * kTicksPerMs;
    if (f.streamStart || (!contiguous && m_haveLastEnd && pos < m_lastEnd) ||
        (!contiguous && pos > expected + maxTarget + kJumpAheadTicks) || pos + samples < expected - maxTarget) {
        Reanchor(f, now);
        pos = f.positionTicks + m_shift;
    }
    m_lastEnd = pos + samples;
    m_haveLastEnd = true;
    if (f.packetStart && !f.concealed)
        Sample(now - pos, now);
    ClassifyUpTo(pos, samples, &f);
    if (pos < m_pos) {
        // Its turn has passed: made up already.
        if (!f.concealed)
            ++m_stats.late;
        return;
    }
    if (m_count == kCapacity) {
        // A sender far ahead of its time: the oldest frame gives way.
        Held& h = Head();
        m_pos = std::max(m_pos, h.pos + h.samples);
        ++m_stats.overflow;
        PopHead();
    }
    Held& h = m_held[static_cast<size_t>((m_head + m_count) % kCapacity)];
    h.pos = pos;
    h.arrivalTicks = now;
    h.type = f.type;
    h.samples = samples;
    h.length = std::min(std::max(f.length, 0), kVoiceFrameMaxBytes);
    h.concealed = f.concealed;
    h.pause = f.pause;
    h.silence = !f.concealed && IsPauseFrame(f.type, f.data, f.length);
    if (h.length > 0)
        std::copy(f.data, f.data + h.length, h.bytes);
    ++m_count;
    m_stats.buffered = m_count;
}

void Playout::ArriveLate(const ReceivedFrame& f)
{
    if (m_running && m_haveLastEnd)
        Sample(f.arrivalMs * kTicksPerMs - (f.positionTicks + m_shift), f.arrivalMs * kTicksPerMs);
}

void Playout::Start(const ReceivedFrame& f, int64_t now)
{
    m_running = true;
    m_haveMin = false;
    m_excessSinceTicks = -1;
    const int64_t pos = f.positionTicks + m_shift;
    const int samples = std::max(f.samples, 0);
    // The library waits once for its pre-buffer: made-up frames fill it at
    // once, the frame itself last. Later streams find it playing and get
    // the lead only.
    const int burst = m_everStarted ? m_config.leadFrames : m_config.prebufferFrames;
    m_everStarted = true;
    for (int i = 0; i + 1 < burst; ++i) {
        ++m_stats.leadIn;
        m_releaseTicks = now;
        ReleaseMadeUp(false);
    }
    Emit(f.type, f.data, f.length, samples, f.concealed, 0);
    EndRun();
    m_pos = pos + samples;
    m_lastEnd = m_pos;
    m_haveLastEnd = true;
    // The next frame goes when the library has played its queue down to the
    // lead.
    m_releaseTicks = now + static_cast<int64_t>(burst - m_config.leadFrames) * std::max(samples, 1);
    Sample(now - pos, now);
}

void Playout::Reanchor(const ReceivedFrame& f, int64_t now)
{
    ++m_stats.reanchors;
    // What was made up before it has nothing coming for it now.
    ClassifyUpTo(std::numeric_limits<int64_t>::max() / 2, 0, nullptr);
    // The frame goes out after the target hold, behind what is held.
    int64_t want = m_pos + (now + m_targetTicks - m_releaseTicks);
    if (m_count > 0) {
        const Held& tail = m_held[static_cast<size_t>((m_head + m_count - 1) % kCapacity)];
        want = std::max(want, tail.pos + tail.samples);
    }
    int64_t ahead = std::max<int64_t>(want - m_pos, 0);
    const int64_t step = std::max(m_lastSamples, 1);
    ahead = (ahead + step - 1) / step * step;
    m_shift = m_pos + ahead - f.positionTicks;
    m_haveMin = false;
    m_haveLastEnd = false;
    m_excessSinceTicks = -1;
}

void Playout::Sample(int64_t transit, int64_t at)
{
    const int64_t second = at / kClockRate;
    if (!m_haveMin) {
        for (int i = 0; i < kMinSeconds; ++i)
            m_minSecond[i] = std::numeric_limits<int64_t>::min();
        m_haveMin = true;
    }
    const int slot = static_cast<int>(((second % kMinSeconds) + kMinSeconds) % kMinSeconds);
    if (m_minSecond[slot] != second) {
        m_minSecond[slot] = second;
        m_minTransit[slot] = transit;
    } else {
        m_minTransit[slot] = std::min(m_minTransit[slot], transit);
    }
    int64_t least = transit;
    for (int i = 0; i < kMinSeconds; ++i)
        if (m_minSecond[i] > second - kMinSeconds && m_minSecond[i] <= second)
            least = std::min(least, m_minTransit[i]);
    const int64_t relative = transit - least;

    if (m_haveSample && at > m_lastSampleTicks) {
        const double keep = exp(-static_cast<double>(at - m_lastSampleTicks) / (m_config.forgetSeconds * kClockRate));
        for (double& b : m_bins)
            b *= keep;
        m_mass *= keep;
        m_priorWeight *= keep;
    }
    if (!m_haveSample)
        m_priorEndTicks = at + kPriorTicks;
    if (m_priorWeight > 0 && at >= m_priorEndTicks) {
        m_bins[m_priorBin] = std::max(0.0, m_bins[m_priorBin] - m_priorWeight);
        m_mass = std::max(0.0, m_mass - m_priorWeight);
        m_priorWeight = 0;
    }
    m_haveSample = true;
    m_lastSampleTicks = std::max(m_lastSampleTicks, at);
    const size_t bin = std::min(m_bins.size() - 1, static_cast<size_t>(relative / (kBinMs * kTicksPerMs)));
    m_bins[bin] += 1;
    m_mass += 1;
    UpdateTarget();
}

void Playout::UpdateTarget()
{
    const double need = (1.0 - m_config.lateShare) * m_mass;
    double sum = 0;
    size_t bin = 0;
    for (; bin + 1 < m_bins.size(); ++bin) {
        sum += m_bins[bin];
        if (sum >= need)
            break;
    }
    const int ms = std::min(std::max(static_cast<int>(bin + 1) * kBinMs, m_config.minTargetMs), m_config.maxTargetMs);
    m_targetTicks = static_cast<int64_t>(ms) * kTicksPerMs;
    const double leadMs = m_config.leadFrames * 1000.0 * kAmrFrameSamples / kClockRate;
    m_stats.targetMs = ms + leadMs;
}

// How far the hold in force is above the target: the least-delayed packet of
// the last seconds would go out this much later than the target wants.
int64_t Playout::Excess() const
{
    if (!m_haveMin)
        return 0;
    const int64_t second = m_lastSampleTicks / kClockRate;
    int64_t least = std::numeric_limits<int64_t>::max();
    for (int i = 0; i < kMinSeconds; ++i)
        if (m_minSecond[i] > second - kMinSeconds && m_minSecond[i] <= second)
            least = std::min(least, m_minTransit[i]);
    if (least == std::numeric_limits<int64_t>::max())
        return 0;
    return (m_releaseTicks - m_pos) - (least + m_targetTicks);
}

PlayoutStats Playout::Stats(const ReceiverStats& receiver) const
{
    PlayoutStats s = m_stats;
    const uint64_t late = std::min<uint64_t>(receiver.lateFrames, s.concealedLoss);
    s.concealedLoss -= late;
    s.concealedLate += late;
    return s;
}

bool Playout::Droppable(const Held& h) const { return h.concealed || h.silence; }

void Playout::Advance(int64_t nowMs)
{
    const int64_t now = nowMs * kTicksPerMs;
    while (m_running && m_releaseTicks <= now) {
        const bool present = m_count > 0 && Head().pos <= m_pos;
        const int64_t excess = Excess();
        const int64_t frame = present ? std::max(Head().samples, 1) : m_lastSamples;
        const double leadMs = m_config.leadFrames * 1000.0 * kAmrFrameSamples / kClockRate;
        m_stats.holdMs = static_cast<double>(excess + m_targetTicks) / kTicksPerMs + leadMs;
        if (excess < frame * 3 / 4)
            m_excessSinceTicks = -1;
        else if (m_excessSinceTicks < 0)
            m_excessSinceTicks = now;
        if (present) {
            Held& h = Head();
            // Above the target: a pause's frame goes at once, a speech frame
            // once the excess has lasted (or is large) and none went lately.
            const int64_t waited = m_excessSinceTicks < 0 ? -1 : now - m_excessSinceTicks;
            const bool speechDrop = m_sinceSpeechDrop >= kSpeechDropSpacing &&
                                    ((excess >= 2 * frame && waited >= kLargeExcessWaitTicks) ||
                                     (excess >= frame * 3 / 4 && waited >= kSmallExcessWaitTicks));
            if ((excess >= frame && Droppable(h)) || speechDrop) {
                ++(Droppable(h) ? m_stats.droppedPause : m_stats.droppedSpeech);
                if (!Droppable(h))
                    m_sinceSpeechDrop = 0;
                m_pos = std::max(m_pos, h.pos + h.samples);
                PopHead();
                continue;
            }
            // Below it: a made-up frame in front, in a pause, or in speech
            // when the shortfall is two frames or more.
            if (excess <= -frame && (Droppable(h) || excess <= -2 * frame)) {
                ++m_stats.inserted;
                Count(Droppable(h) ? Cause::Pause : Cause::Late, m_lastSamples);
                ReleaseMadeUp(false);
                continue;
            }
            ReleaseHeld();
            continue;
        }
        // Nothing for the position due. Ahead of the target with a frame
        // held further on: the pause before it is shortened.
        if (excess >= frame && m_count > 0) {
            m_pos += std::min<int64_t>(frame, Head().pos - m_pos);
            ++m_stats.droppedPause;
            continue;
        }
        // Made up; behind the target, in front of the position, which waits
        // for its frame.
        PushPending(m_pos, static_cast<int>(m_lastType == SV_PAYLOAD_AMR ? kAmrFrameSamples : m_lastSamples));
        if (excess < 0)
            ++m_stats.inserted;
        ReleaseMadeUp(excess >= 0);
    }
}

bool Playout::Starved(int64_t nowMs) const
{
    return m_running && m_releaseTicks <= nowMs * kTicksPerMs && !(m_count > 0 && Head().pos <= m_pos);
}

int64_t Playout::WaitMs(int64_t nowMs) const
{
    if (!m_running)
        return -1;
    const int64_t ticks = m_releaseTicks - nowMs * kTicksPerMs;
    return ticks <= 0 ? 0 : (ticks + kTicksPerMs - 1) / kTicksPerMs;
}

void Playout::End()
{
    while (m_count > 0)
        ReleaseHeld();
    ClassifyUpTo(std::numeric_limits<int64_t>::max() / 2, 0, nullptr);
    EndRun();
    m_running = false;
}

// Settles the made-up places before the end of [pos, pos + samples): those
// the frame covers by what it is, the rest as pauses (nothing came for them).
void Playout::ClassifyUpTo(int64_t pos, int samples, const ReceivedFrame* by)
{
    while (m_pendingCount > 0) {
        const Pending p = m_pending[m_pendingHead];
        if (p.pos >= pos + samples)
            break;
        Cause cause = Cause::Pause;
        if (by != nullptr && p.pos + p.samples > pos)
            cause = by->concealed ? (by->pause ? Cause::Pause : Cause::Loss) : Cause::Late;
        Count(cause, p.samples);
        m_pendingHead = (m_pendingHead + 1) % m_pending.size();
        --m_pendingCount;
    }
}

void Playout::PushPending(int64_t pos, int samples)
{
    if (m_pendingCount == m_pending.size()) {
        // Minutes made up with nothing come: the oldest were a pause.
        Count(Cause::Pause, m_pending[m_pendingHead].samples);
        m_pendingHead = (m_pendingHead + 1) % m_pending.size();
        --m_pendingCount;
    }
    m_pending[(m_pendingHead + m_pendingCount) % m_pending.size()] = {pos, samples};
    ++m_pendingCount;
}

void Playout::Count(Cause cause, int samples)
{
    switch (cause) {
    case Cause::Pause:
        ++m_stats.concealedPause;
        EndRun();
        return;
    case Cause::Loss:
        ++m_stats.concealedLoss;
        break;
    case Cause::Late:
        ++m_stats.concealedLate;
        break;
    }
    m_runTicks += samples;
    if (!m_runCounted && m_runTicks >= kInterruptionTicks) {
        ++m_stats.interruptions;
        m_runCounted = true;
    }
}

void Playout::EndRun()
{
    m_runTicks = 0;
    m_runCounted = false;
}

void Playout::ReleaseHeld()
{
    Held& h = Head();
    const int64_t hold = (m_releaseTicks - h.arrivalTicks) / kTicksPerMs;
    m_pos = std::max(m_pos, h.pos + h.samples);
    m_releaseTicks += h.samples;
    if (h.concealed) {
        Count(h.pause ? Cause::Pause : Cause::Loss, h.samples);
    } else {
        EndRun();
    }
    ++m_sinceSpeechDrop;
    Emit(h.type, h.bytes, h.length, h.samples, h.concealed, h.concealed ? -1 : std::max<int64_t>(hold, 0));
    PopHead();
}

void Playout::ReleaseMadeUp(bool advance)
{
    int samples = kAmrFrameSamples;
    const uint8_t* data = &kAmrNoDataFrame;
    int length = 1;
    if (m_lastType == SV_PAYLOAD_VOICE) {
        samples = m_lastSamples;
        length = MakeVoiceSilence(samples, m_madeUp);
        data = m_madeUp;
    }
    if (advance)
        m_pos += samples;
    m_releaseTicks += samples;
    ++m_sinceSpeechDrop;
    Emit(m_lastType, data, length, samples, true, -1);
}

void Playout::Emit(int type, const uint8_t* data, int length, int samples, bool madeUp, int64_t holdMs)
{
    PlayoutFrame out;
    out.type = type;
    out.data = data;
    out.length = length;
    out.samples = samples;
    out.stampMs = m_config.firstStampMs + m_outTicks / kTicksPerMs;
    out.madeUp = madeUp;
    out.holdMs = holdMs;
    m_outTicks += samples;
    ++m_stats.released;
    m_sink(out);
}

void Playout::PopHead()
{
    m_head = (m_head + 1) % kCapacity;
    --m_count;
    m_stats.buffered = m_count;
}

} // namespace svrtp
