// playout-score: measures one live receiver at its output, so that each
// figure means the same for every receiver. The stream is what sonavex-relay
// logged (every datagram's bytes and when it left for the receivers); the
// reference is that stream decoded, the frames the network lost as no-data
// frames and the pauses of discontinuous transmission filled the same way:
// what a receiver would play that added nothing of its own. The receiver's
// output is laid out in 20 ms slots on its real-time clock and each slot is
// matched with the reference frame it plays (sample for sample, or close to
// it where a decoder's state has wandered from the reference's after a loss).
//
// Outputs:
//   --wav FILE --start-ms T   what sonavex-play's virtual device recorded
//                             (--out), its first sample played at T on the
//                             monotonic clock; the device's own queue
//                             (--device-ms, 400) is reported apart
//   --pcm-log FILE            a relay log of RTP L16 packets sent at the
//                             moment they play (GStreamer's rtpL16pay and
//                             udpsink with sync=true), laid out as an audio
//                             sink plays them: what comes too late is not
//                             played, and the sink plays silence meanwhile
//   --speex                   Speex's jitter buffer (libspeexdsp), driven here
//                             by the logged arrival times, a get every 20 ms
//
// --settle-ms MS also counts the interruptions caused by jitter alone that
// begin MS or more into the stream (settled_jitter_interruptions): what a
// receiver that adapts cannot ride through is the first hold-up of a kind it
// has not met yet. --slots FILE writes the slots: a line each, its play time and the frame it
// played (-1: none of the stream's).
//
// Prints one line of name=value figures (see Report).
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencore-amrnb/interf_dec.h>
#ifdef SV_HAVE_SPEEXDSP
#include <speex/speex_jitter.h>
#endif

#include "amr_payload.h"
#include "rtp_header.h"

namespace {

const int kFrameSamples = 160;
const double kFrameMs = 20;
// Concealment this long or longer is an interruption: 150 ms, 8 slots.
const int kInterruptionSlots = 8;
// How far ahead of the next expected frame a slot is looked for: past a
// library cut of 60 frames and the longest pause of the traces.
const int kLookAhead = 250;

enum class Kind { Speech, Pause, Lost };

struct Frame {
    Kind kind = Kind::Pause;  // a frame no packet carried: a pause
    bool sent = false;
    double arrivalMs = -1;    // when it left the relay for the receivers
    std::vector<uint8_t> bytes;  // storage format
    std::vector<short> reference;
    // The same decoded by a decoder that is never told of a loss (one that
    // skips what it has not got, as some do): it differs from the reference
    // for a few frames after each loss.
    std::vector<short> skipping;
    double energy = 0;
};

// One slot of a receiver's output: the frame it played, or -1 for
// concealment, silence or anything else that is not the stream's.
struct Slot {
    double playMs;
    long frame = -1;
};

[[noreturn]] void Fail(const std::string& message)
{
    fprintf(stderr, "playout-score: %s\n", message.c_str());
    exit(1);
}

std::vector<uint8_t> Unhex(const std::string& hex, const std::string& where)
{
    if (hex.size() % 2 != 0)
        Fail(where + ": odd number of hex digits");
    std::vector<uint8_t> out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        char* end = nullptr;
        const std::string pair = hex.substr(2 * i, 2);
        out[i] = static_cast<uint8_t>(strtoul(pair.c_str(), &end, 16));
        if (*end != '\0')
            Fail(where + ": '" + pair + "' is not hex");
    }
    return out;
}

struct LogEntry {
    double arrivedMs;
    double leftMs;  // -1: dropped
    std::vector<uint8_t> bytes;
};

std::vector<LogEntry> ReadLog(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        Fail(path + ": cannot open it");
    std::vector<LogEntry> entries;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string index, arrived, left, bytes, hex;
        fields >> index >> arrived >> left >> bytes >> hex;
        const std::string where = path + ":" + std::to_string(number);
        if (hex.empty())
            Fail(where + ": no datagram bytes (the relay's --log-data)");
        LogEntry e;
        e.arrivedMs = atof(arrived.c_str());
        e.leftMs = left == "drop" ? -1 : atof(left.c_str());
        e.bytes = Unhex(hex, where);
        entries.push_back(std::move(e));
    }
    return entries;
}

// The stream's frames by their place in it (RTP timestamp / 160 from the
// first), with the reference decode of each.
std::vector<Frame> ReadStream(const std::string& logPath)
{
    const std::vector<LogEntry> log = ReadLog(logPath);
    struct Heard {
        int64_t ts;
        const LogEntry* entry;
        svrtp::FrameList frames;
    };
    std::vector<Heard> heard;
    bool locked = false;
    uint32_t ssrc = 0, firstTs = 0;
    int payloadType = 0;
    for (const LogEntry& e : log) {
        svrtp::RtpPacket p;
        if (svrtp::ParseRtp(e.bytes.data(), e.bytes.size(), &p) != svrtp::RtpError::None)
            continue;
        if (!locked) {
            locked = true;
            ssrc = p.ssrc;
            firstTs = p.timestamp;
            payloadType = p.payloadType;
        }
        if (p.ssrc != ssrc || p.payloadType != payloadType)
            continue;
        Heard h;
        h.ts = static_cast<int32_t>(p.timestamp - firstTs);
        h.entry = &e;
        if (svrtp::ParseAmrPayload(p.payload, p.payloadBytes, svrtp::AmrPacking::OctetAligned, &h.frames) !=
            svrtp::PayloadError::None)
            continue;
        heard.push_back(std::move(h));
    }
    if (heard.empty())
        Fail(logPath + ": no AMR packets in it");
    int64_t first = heard[0].ts, last = heard[0].ts;
    for (const Heard& h : heard) {
        first = std::min(first, h.ts);
        last = std::max(last, h.ts + static_cast<int64_t>(h.frames.Count()) * kFrameSamples);
    }
    std::vector<Frame> frames(static_cast<size_t>((last - first) / kFrameSamples));
    for (const Heard& h : heard) {
        for (size_t k = 0; k < h.frames.Count(); ++k) {
            const int64_t at = (h.ts - first) / kFrameSamples + static_cast<int64_t>(k);
            if (at < 0 || at >= static_cast<int64_t>(frames.size()))
                continue;
            Frame& f = frames[static_cast<size_t>(at)];
            const uint8_t* data = h.frames.Data(k);
            const int type = data[0] >> 3 & 0x0F;
            const bool arrived = h.entry->leftMs >= 0;
            if (f.sent && (f.arrivalMs >= 0 || !arrived))
                continue;  // a duplicate: the first arrival counts
            f.sent = true;
            f.bytes.assign(data, data + h.frames.frames[k].length);
            f.kind = type <= 7 ? (arrived ? Kind::Speech : Kind::Lost) : Kind::Pause;
            f.arrivalMs = arrived ? h.entry->leftMs : -1;
        }
    }
    void* decoder = Decoder_Interface_init();
    void* skipper = Decoder_Interface_init();
    const uint8_t noData = svrtp::kAmrNoDataFrame;
    for (Frame& f : frames) {
        f.reference.resize(kFrameSamples);
        const bool heardIt = f.sent && f.arrivalMs >= 0;
        Decoder_Interface_Decode(decoder, heardIt ? f.bytes.data() : &noData, f.reference.data(), 0);
        for (short s : f.reference)
            f.energy += static_cast<double>(s) * s;
        f.skipping = f.reference;
        if (heardIt || !f.sent)
            Decoder_Interface_Decode(skipper, heardIt ? f.bytes.data() : &noData, f.skipping.data(), 0);
    }
    Decoder_Interface_exit(decoder);
    Decoder_Interface_exit(skipper);
    return frames;
}

std::vector<short> ReadWav(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail(path + ": cannot open it");
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        Fail(path + ": not a WAV file");
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        memcpy(&size, bytes.data() + at + 4, 4);
        if (memcmp(bytes.data() + at, "data", 4) == 0) {
            const size_t n = std::min<size_t>(size, bytes.size() - at - 8) / 2;
            std::vector<short> samples(n);
            memcpy(samples.data(), bytes.data() + at + 8, n * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    Fail(path + ": no data chunk");
}

// A frame loud enough that its samples tell it from silence and from the
// frames around it.
bool Distinct(const Frame& f) { return f.energy >= kFrameSamples * 30.0 * 30.0; }

// Whether `played` is reference frame `f`: the same samples, or for speech
// loud enough to tell, close to them (`strict` when the frame is not the one
// expected next, so that a skip needs better evidence).
bool MatchesDecode(const short* played, const Frame& f, const std::vector<short>& decoded, bool strict)
{
    double error = 0;
    for (int n = 0; n < kFrameSamples; ++n) {
        const double d = static_cast<double>(played[n]) - decoded[static_cast<size_t>(n)];
        error += d * d;
    }
    if (error == 0)
        return true;
    if (f.kind != Kind::Speech || f.energy < kFrameSamples * 100.0 * 100.0)
        return false;
    return error < (strict ? 0.1 : 0.5) * f.energy;
}

bool Matches(const short* played, const Frame& f, bool strict)
{
    if (strict && !Distinct(f))
        return false;
    return MatchesDecode(played, f, f.reference, strict) || MatchesDecode(played, f, f.skipping, strict);
}

// What a receiver did in a short gap between two frames it was seen to play
// (a frame dropped, one concealed in another's place, one late): after any of
// these the decoder's state has left the reference's, so the frames after
// it match no decode of ours for a while. Each way the receiver could have
// gone through the gap (each slot playing the next frames in order, with
// some left out, or playing concealment) is decoded again, after the frames
// it played before the gap, and the way whose samples come closest to the
// slots' is taken. The ways tried are those with the fewest events (a slot
// of concealment, a frame left out) that can fill the gap, and two more.
const int kGapFrames = 20;  // gaps this short, in slots and in frames
const int kSpareEvents = 2;
const int kMostEvents = 3;  // a gap that needs more is counted, not searched
const int kWarmUpSlots = 24;

struct GapSearch {
    const std::vector<short>& samples;
    const std::vector<Frame>& frames;
    std::vector<std::vector<uint8_t>> before;  // what the decoder had before the gap
    size_t firstSlot, slotCount, firstFrame, frameCount;
    std::vector<long> choice, best;
    double bestError = -1;

    const uint8_t* Input(long frame, std::vector<uint8_t>& noData) const
    {
        if (frame < 0 || frames[static_cast<size_t>(frame)].arrivalMs < 0)
            return noData.data();
        return frames[static_cast<size_t>(frame)].bytes.data();
    }

    double Decode() const
    {
        std::vector<uint8_t> noData(1, svrtp::kAmrNoDataFrame);
        void* decoder = Decoder_Interface_init();
        short out[kFrameSamples];
        for (const std::vector<uint8_t>& f : before)
            Decoder_Interface_Decode(decoder, f.empty() ? noData.data() : f.data(), out, 0);
        double error = 0;
        for (size_t n = 0; n < slotCount; ++n) {
            Decoder_Interface_Decode(decoder, Input(choice[n], noData), out, 0);
            const short* played = samples.data() + (firstSlot + n) * kFrameSamples;
            for (int k = 0; k < kFrameSamples; ++k) {
                const double d = static_cast<double>(played[k]) - out[k];
                error += d * d;
            }
        }
        Decoder_Interface_exit(decoder);
        return error;
    }

    // Slot `n` on, the frames from `next` on still to place, with `events`
    // more allowed.
    void Try(size_t n, size_t next, size_t events)
    {
        const size_t end = firstFrame + frameCount;
        if (n == slotCount) {
            if (end - next > events)
                return;
            const double error = Decode();
            if (bestError < 0 || error < bestError) {
                bestError = error;
                best = choice;
            }
            return;
        }
        if (next < end) {
            choice[n] = static_cast<long>(next);
            Try(n + 1, next + 1, events);
        }
        if (events == 0)
            return;
        choice[n] = -1;
        Try(n + 1, next, events - 1);
        if (next < end)
            Try(n, next + 1, events - 1);
    }
};

void ResolveGaps(const std::vector<short>& samples, const std::vector<Frame>& frames, std::vector<Slot>* slots)
{
    size_t last = slots->size();
    for (size_t s = 0; s < slots->size(); ++s) {
        if ((*slots)[s].frame < 0)
            continue;
        if (last < s && s - last > 1) {
            const size_t slotCount = s - last - 1;
            const size_t firstFrame = static_cast<size_t>((*slots)[last].frame) + 1;
            const size_t frameCount = static_cast<size_t>((*slots)[s].frame) - firstFrame;
            if (slotCount <= kGapFrames && frameCount <= kGapFrames && frameCount > 0) {
                GapSearch g{samples, frames, {}, last + 1, slotCount, firstFrame, frameCount,
                            std::vector<long>(slotCount, -1), {}, -1};
                for (size_t b = last + 1 > kWarmUpSlots ? last + 1 - kWarmUpSlots : 0; b <= last; ++b) {
                    const long f = (*slots)[b].frame;
                    if (f < 0 || frames[static_cast<size_t>(f)].arrivalMs < 0)
                        g.before.emplace_back();
                    else
                        g.before.push_back(frames[static_cast<size_t>(f)].bytes);
                }
                const size_t fewest = slotCount > frameCount ? slotCount - frameCount : frameCount - slotCount;
                if (fewest <= kMostEvents)
                    g.Try(0, firstFrame, fewest + kSpareEvents);
                for (size_t n = 0; n < g.best.size(); ++n)
                    (*slots)[last + 1 + n].frame = g.best[n];
            }
        }
        last = s;
    }
}

// Matches the slots of a PCM output (`samples`, slot n starting at sample
// n * 160 and playing at playMs[n]) with the stream's frames, in order.
//
// Quiet frames are ambiguous (the device's leading silence equals a silent
// frame), so the stream is found first by a distinct frame among its first
// ones; the quiet frames before it are then matched backwards from there.
std::vector<Slot> MatchSlots(const std::vector<short>& samples, const std::vector<double>& playMs,
                             const std::vector<Frame>& frames)
{
    std::vector<Slot> slots;
    size_t next = 0;
    long first = -1;
    const auto at = [&](size_t n) { return samples.data() + n * kFrameSamples; };
    for (size_t n = 0; n < playMs.size() && (n + 1) * kFrameSamples <= samples.size(); ++n) {
        Slot slot{playMs[n], -1};
        // Not further ahead than the look-ahead even for the first: a stream
        // that repeats itself would match a later copy just as well.
        const size_t reach = static_cast<size_t>(kLookAhead) + 1;
        // Frames lost or in a pause may be played as anything: the frame
        // after them is as much expected as the next one.
        bool expected = first >= 0;
        for (size_t k = 0; k < reach && next + k < frames.size(); ++k) {
            if (Matches(at(n), frames[next + k], !expected)) {
                slot.frame = static_cast<long>(next + k);
                if (first < 0)
                    first = static_cast<long>(n);
                // The quiet frames skipped, which samples cannot tell apart,
                // were played in the slots before, if nothing else was.
                for (size_t j = 1; j <= k && j <= slots.size(); ++j) {
                    Slot& before = slots[slots.size() - j];
                    const Frame& f = frames[next + k - j];
                    if (before.frame >= 0 || (Distinct(f) && f.kind == Kind::Speech))
                        break;
                    before.frame = static_cast<long>(next + k - j);
                }
                next += k + 1;
                break;
            }
            expected = expected && frames[next + k].kind != Kind::Speech;
        }
        slots.push_back(slot);
    }
    for (long n = first - 1; n >= 0; --n) {
        const long frame = slots[static_cast<size_t>(n) + 1].frame - 1;
        if (frame < 0 || !Matches(at(static_cast<size_t>(n)), frames[static_cast<size_t>(frame)], false))
            break;
        slots[static_cast<size_t>(n)].frame = frame;
    }
    ResolveGaps(samples, frames, &slots);
    return slots;
}

// An audio sink fed the logged datagrams: RTP packets of 16-bit big-endian
// PCM (L16) whose timestamps are the pipeline's play positions, each sent
// when it was due to play. The sink plays position p at start + p / 8 ms,
// start set by the packets that came on time (the median of arrival less
// position); a packet that comes more than a slot after its time is too late
// for the sink, which has played silence there.
void LayOutPcm(const std::string& path, std::vector<short>* samples, std::vector<double>* playMs)
{
    const std::vector<LogEntry> log = ReadLog(path);
    struct Chunk {
        double arrivedMs;
        int64_t position;
        std::vector<short> pcm;
    };
    std::vector<Chunk> chunks;
    uint32_t firstTs = 0;
    int64_t expected = 0;
    for (const LogEntry& e : log) {
        svrtp::RtpPacket p;
        if (svrtp::ParseRtp(e.bytes.data(), e.bytes.size(), &p) != svrtp::RtpError::None)
            continue;
        if (chunks.empty())
            firstTs = p.timestamp;
        int64_t position = static_cast<int32_t>(p.timestamp - firstTs);
        // A pipeline's timestamps wander by a few samples from the frames'
        // grid: what runs on from the last packet is taken as contiguous,
        // and a new run starts on the grid.
        if (std::llabs(position - expected) < kFrameSamples / 2)
            position = expected;
        else
            position = static_cast<int64_t>(llround(static_cast<double>(position) / kFrameSamples)) * kFrameSamples;
        Chunk c{e.arrivedMs, position, std::vector<short>(p.payloadBytes / 2)};
        for (size_t n = 0; n < c.pcm.size(); ++n)
            c.pcm[n] = static_cast<short>(p.payload[2 * n] << 8 | p.payload[2 * n + 1]);
        expected = position + static_cast<int64_t>(c.pcm.size());
        chunks.push_back(std::move(c));
    }
    if (chunks.empty())
        Fail(path + ": nothing was played");
    std::vector<double> offsets;
    int64_t end = 0;
    for (const Chunk& c : chunks) {
        offsets.push_back(c.arrivedMs - static_cast<double>(c.position) / 8.0);
        end = std::max(end, c.position + static_cast<int64_t>(c.pcm.size()));
    }
    std::sort(offsets.begin(), offsets.end());
    const double start = offsets[offsets.size() / 2];
    samples->assign(static_cast<size_t>(std::max<int64_t>(0, end)), 0);
    for (const Chunk& c : chunks) {
        if (c.position < 0 || c.arrivedMs > start + static_cast<double>(c.position) / 8.0 + kFrameMs)
            continue;
        std::copy(c.pcm.begin(), c.pcm.end(), samples->begin() + c.position);
    }
    for (size_t n = 0; n < samples->size() / kFrameSamples; ++n)
        playMs->push_back(start + static_cast<double>(n) * kFrameMs);
}

#ifdef SV_HAVE_SPEEXDSP
// Speex's jitter buffer at its defaults, each arrived frame put with the time
// it arrived, one 20 ms frame asked for every 20 ms.
std::vector<Slot> RunSpeex(const std::vector<Frame>& frames)
{
    struct Arrival {
        double ms;
        size_t frame;
    };
    std::vector<Arrival> arrivals;
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i].arrivalMs >= 0)
            arrivals.push_back({frames[i].arrivalMs, i});
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.ms < b.ms; });
    JitterBuffer* jb = jitter_buffer_init(kFrameSamples);
    std::vector<Slot> slots;
    const double start = arrivals.front().ms;
    const double end = arrivals.back().ms + 5000;
    size_t put = 0;
    std::vector<char> data(64);
    for (double now = start; now < end; now += kFrameMs) {
        for (; put < arrivals.size() && arrivals[put].ms <= now; ++put) {
            const Frame& f = frames[arrivals[put].frame];
            JitterBufferPacket p = {};
            p.data = reinterpret_cast<char*>(const_cast<uint8_t*>(f.bytes.data()));
            p.len = static_cast<spx_uint32_t>(f.bytes.size());
            p.timestamp = static_cast<spx_uint32_t>(arrivals[put].frame * kFrameSamples);
            p.span = kFrameSamples;
            jitter_buffer_put(jb, &p);
        }
        JitterBufferPacket out = {};
        out.data = data.data();
        out.len = static_cast<spx_uint32_t>(data.size());
        spx_int32_t offset = 0;
        Slot slot{now, -1};
        if (jitter_buffer_get(jb, &out, kFrameSamples, &offset) == JITTER_BUFFER_OK)
            slot.frame = static_cast<long>(out.timestamp / kFrameSamples);
        jitter_buffer_tick(jb);
        slots.push_back(slot);
    }
    jitter_buffer_destroy(jb);
    return slots;
}
#endif

double Percentile(std::vector<double> v, double share)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(share * static_cast<double>(v.size())))];
}

// The figures, from the slots a receiver played and what the stream held.
void Report(const std::vector<Slot>& slots, const std::vector<Frame>& frames, double deviceMs,
            const std::string& slotsPath, double settleMs)
{
    if (!slotsPath.empty()) {
        FILE* file = fopen(slotsPath.c_str(), "w");
        if (file == nullptr)
            Fail(slotsPath + ": cannot create it");
        for (const Slot& s : slots)
            fprintf(file, "%.3f %ld\n", s.playMs, s.frame);
        fclose(file);
    }
    long played = 0, beyond = 0, stretched = 0, dropped = 0, interruptions = 0, jitterInterruptions = 0;
    long settledInterruptions = 0;  // by jitter alone, from settleMs into the stream on
    double firstMs = -1;
    long lost = 0, pause = 0, speech = 0;
    for (const Frame& f : frames) {
        lost += f.kind == Kind::Lost;
        pause += f.kind == Kind::Pause;
        speech += f.kind == Kind::Speech;
    }
    std::vector<double> delays;
    std::vector<std::pair<double, double>> delayAt;  // play time, delay
    long lastFrame = -1;
    size_t lastSlot = 0;
    for (size_t s = 0; s < slots.size(); ++s) {
        if (slots[s].frame < 0 || slots[s].frame <= lastFrame)
            continue;
        const long frame = slots[s].frame;
        const Frame& f = frames[static_cast<size_t>(frame)];
        if (f.arrivalMs >= 0) {
            const double d = slots[s].playMs - deviceMs - f.arrivalMs;
            delays.push_back(d);
            delayAt.push_back({slots[s].playMs, d});
        }
        ++played;
        // What lies between this frame and the last one played: the frames
        // skipped, by kind, and the slots of something else played meanwhile.
        long gapLost = 0, gapPause = 0, gapMissed = 0;
        for (long i = lastFrame + 1; i < frame; ++i) {
            const Kind k = frames[static_cast<size_t>(i)].kind;
            gapLost += k == Kind::Lost;
            gapPause += k == Kind::Pause;
            gapMissed += k == Kind::Speech;
        }
        if (lastFrame >= 0) {
            const long gapOut = static_cast<long>(s - lastSlot) - 1;
            // Slots more than the gap's frames: concealment, or in a pause
            // (or at either end of one) the pause played longer, which
            // loses nothing of the stream.
            const bool inPause = gapPause > 0 || f.kind == Kind::Pause ||
                                 frames[static_cast<size_t>(lastFrame)].kind == Kind::Pause;
            const long extra = std::max(0L, gapOut - gapLost - gapPause);
            (inPause ? stretched : beyond) += extra;
            dropped += std::max(0L, gapLost + gapPause + gapMissed - gapOut);
            const long concealed = gapOut - gapPause - (inPause ? extra : 0);
            interruptions += concealed >= kInterruptionSlots;
            jitterInterruptions += concealed - gapLost >= kInterruptionSlots;
            settledInterruptions += concealed - gapLost >= kInterruptionSlots &&
                                    slots[lastSlot].playMs - firstMs >= settleMs;
        }
        // Before the first frame found: quiet frames that cannot be told
        // from the silence before them, not counted either way.
        if (firstMs < 0)
            firstMs = slots[s].playMs;
        lastFrame = frame;
        lastSlot = s;
    }
    // The spread of the added delay over the run: the medians of 10 s
    // windows after the first, highest less lowest.
    double spread = 0;
    if (!delayAt.empty()) {
        std::map<long, std::vector<double>> windows;
        for (const auto& d : delayAt)
            windows[static_cast<long>((d.first - delayAt.front().first) / 10000)].push_back(d.second);
        double lo = 1e18, hi = -1e18;
        for (const auto& w : windows)
            if (w.first > 0 && w.second.size() >= 50) {
                const double m = Percentile(w.second, 0.5);
                lo = std::min(lo, m);
                hi = std::max(hi, m);
            }
        spread = hi >= lo ? hi - lo : 0;
    }
    double mean = 0;
    for (double d : delays)
        mean += d;
    mean = delays.empty() ? 0 : mean / static_cast<double>(delays.size());
    const long total = static_cast<long>(frames.size());
    printf("frames=%ld speech=%ld lost=%ld pause=%ld played=%ld concealed_beyond=%ld concealed_pct=%.2f "
           "pauses_stretched=%ld interruptions=%ld jitter_interruptions=%ld settled_jitter_interruptions=%ld "
           "dropped=%ld mean_ms=%.1f p95_ms=%.1f max_ms=%.1f spread_ms=%.1f\n",
           total, speech, lost, pause, played, beyond, total > 0 ? 100.0 * static_cast<double>(beyond) / total : 0,
           stretched, interruptions, jitterInterruptions, settledInterruptions, dropped, mean,
           Percentile(delays, 0.95), Percentile(delays, 1.0), spread);
}

} // namespace

int main(int argc, char** argv)
{
    std::string logPath, wavPath, pcmLog, slotsPath;
    double startMs = -1, deviceMs = 400, settleMs = 0;
    bool speex = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--log" && value)
            logPath = argv[++i];
        else if (a == "--wav" && value)
            wavPath = argv[++i];
        else if (a == "--start-ms" && value)
            startMs = atof(argv[++i]);
        else if (a == "--device-ms" && value)
            deviceMs = atof(argv[++i]);
        else if (a == "--pcm-log" && value)
            pcmLog = argv[++i];
        else if (a == "--settle-ms" && value)
            settleMs = atof(argv[++i]);
        else if (a == "--slots" && value)
            slotsPath = argv[++i];
        else if (a == "--speex")
            speex = true;
        else
            Fail("usage: playout-score --log RELAY.log (--wav FILE --start-ms T [--device-ms MS] | --pcm-log FILE "
                 "| --speex)");
    }
    if (logPath.empty() || (wavPath.empty() == pcmLog.empty() && !speex) || (!wavPath.empty() && startMs < 0))
        Fail("usage: playout-score --log RELAY.log (--wav FILE --start-ms T [--device-ms MS] | --pcm-log FILE "
             "| --speex)");
    const std::vector<Frame> frames = ReadStream(logPath);
    if (speex) {
#ifdef SV_HAVE_SPEEXDSP
        Report(RunSpeex(frames), frames, 0, slotsPath, settleMs);
        return 0;
#else
        printf("SKIPPED: built without libspeexdsp (libspeexdsp-dev)\n");
        return 77;
#endif
    }
    std::vector<short> samples;
    std::vector<double> playMs;
    if (!wavPath.empty()) {
        samples = ReadWav(wavPath);
        for (size_t n = 0; n < samples.size() / kFrameSamples; ++n)
            playMs.push_back(startMs + static_cast<double>(n) * kFrameMs);
    } else {
        LayOutPcm(pcmLog, &samples, &playMs);
        deviceMs = 0;
    }
    Report(MatchSlots(samples, playMs, frames), frames, deviceMs, slotsPath, settleMs);
    return 0;
}
