// libFuzzer target over the playback exports, on the test device. An input is
// a run of ops on up to three decoders (fuzz_ops.h has the encoding): opens
// with any mode and live values and with device faults, payloads of every
// type and length with any stamp, clears, stamps, mute, stop, volume, frame
// counts, closes, and steps of the test device, which completes buffers (and
// so plays queued frames) only when stepped. Every decoder still open is
// closed when the input ends.
//
// After each op the answers are checked against what sonavex.h promises and
// against a model of each decoder's queue: the frames queued, oldest first,
// with their stamps, lengths and samples (decoded by the target's own codec
// states alongside the library's). The model is exact because nothing but
// the target moves a queue (frames are queued by inputs, and taken only while
// a step runs) and an input queues at most one frame: the count read back
// after each input says whether it did. Where the header fixes the outcome
// the result must match it exactly: clears, pre-buffer, stop, silence, and a
// file stream's playback, where every buffer the device plays must hold the
// next 640 bytes of the queue, byte for byte, ten buffers after it was filled
// (ten circulate). Elsewhere frame counts, stamps and results must stay within
// what the header allows.
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include "AmrDll.h"
#include "sonavex.h"
#include "fuzz/fuzz_ops.h"
#include "fuzz/fuzz_support.h"
#include "hi_voice.h"

using fuzzops::Reader;

namespace {

const int kBufferBytes = 640;   // one device buffer: 40 ms of 16-bit PCM at 8 kHz
const int kRingBuffers = 10;    // buffers circulating on the device
const int kAmrFrameBytes = 320;
// Per input, so that one input costs about a millisecond and no queue can
// fill its ring (1 MiB, more than 1000 frames of at most 640 bytes). An open
// (and its close) costs about as much as eight buffers played: each buffer
// is a round trip to the device's thread.
const int kOpenCost = 8;
const int kBudget = 32;
const int kMaxInputs = 1000;
const int kMaxPayload = 0x10000;
// A file stream whose queue is no longer than this is never trimmed for
// latency, so each buffer plays exactly the next 640 bytes of the queue.
const size_t kUntrimmedFrames = 28;
const int64_t kSentinel = 0x5A5A5A5A5A5A5A5ALL;

struct Frame {
    int64_t pts;
    int bytes;
    bool loud;  // its samples may be other than zeros
    bool known;  // pcm holds its samples (they were stored)
    std::vector<uint8_t> pcm;
};

// What one of the device's buffers holds; unknown after a refill the model
// does not follow byte for byte.
struct Buffer {
    bool known = true;
    uint8_t bytes[kBufferBytes] = {};
};

struct Decoder {
    SV_DECODER h = nullptr;
    HWAVEOUT hwo = nullptr;
    int live = -1;       // SV_LIVE_STREAM, SV_FILE_PLAYBACK, or -1: a value the header gives no meaning
    int prebuffer = 0;   // 8 or 20; 0: mode out of range
    bool volumeFails = false;
    uint32_t volume = 0xFFFFFFFF;
    int32_t mute = 0;
    int32_t stop = 0;
    int64_t lastStamp = 0;  // of the last input, of any type
    std::deque<Frame> queue;
    std::vector<int64_t> stamps;  // every stamp queued
    bool started = false;         // a live stream has had its pre-buffer
    // The part of the last frame taken that has not been played yet: played
    // first by the next buffer. Its length is known unless a step ran where
    // the model does not follow each byte; its samples when they were.
    bool carryKnown = true;
    int carry = 0;
    bool carrySamplesKnown = true;
    std::vector<uint8_t> carrySamples;
    // The device's buffers in the order they play.
    std::deque<Buffer> ring = std::deque<Buffer>(kRingBuffers);
    int misses = 0;  // refills in a row that found nothing; -1: not known
    // The host emptied the queue since the last frame taken: the next refill
    // that finds nothing plays silence, not what its buffer held.
    bool flushed = false;
    bool ringTouched = false;  // samples were stored: the ring holds more than zeros
    bool maySound = false;     // a buffer may have been filled with other than zeros
    // Buffers completed since the level became 0, or full; -1: it is not.
    int zeroVolumeBuffers = -1;
    int fullVolumeBuffers = 1;
    int64_t pts = 0, nextPts = 0;  // what SV_GetPts answered last
    AMR_HANDLE amr = 0;  // the target's own AMR decoder, fed what the library decoded

    bool Open() const { return h != nullptr; }
    bool Queued(int64_t stamp) const
    {
        return std::find(stamps.begin(), stamps.end(), stamp) != stamps.end();
    }
};

struct Run {
    Decoder slots[fuzzops::kSlots];
    int spent = 0;  // of kBudget
    int inputs = 0;
};

std::vector<uint8_t> g_output;  // what the device played in one call

// What the device has played since `from` into g_output; returns its size.
size_t ReadOutput(DWORD from)
{
    const DWORD size = SvWaveTestOutputSize() - from;
    g_output.resize(size);
    FUZZ_CHECK(SvWaveTestReadOutput(from, g_output.data(), size) == size);
    return size;
}

bool AllZero(const uint8_t* p, size_t n)
{
    // memcmp rather than a loop of the target's own: no coverage call per byte.
    return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0);
}

// Reads the frame count and the clock; the count must be the model's.
void Observe(Decoder& d)
{
    FUZZ_CHECK(SV_AudioDecGetFrames(d.h) == static_cast<int32_t>(d.queue.size()));
    SV_GetPts(d.h, &d.pts, &d.nextPts);
}

// Checks that an op that does not touch the clock left it where it was.
void ObserveClockStill(Decoder& d)
{
    const int64_t pts = d.pts, nextPts = d.nextPts;
    Observe(d);
    FUZZ_CHECK(d.pts == pts && d.nextPts == nextPts);
}

void Close(Decoder& d)
{
    FUZZ_CHECK(SV_CloseSonavex(d.h) == 1);
    // The handle is gone with the device: nothing plays any more.
    FUZZ_CHECK(SvWaveGetDeviceKind(d.hwo) == SV_WAVE_DEVICE_AUTO);
    if (d.amr != 0)
        AMR_Decode_Exit(&d.amr);
    d = Decoder();
}

void DoOpen(Run& run, Decoder& d, Reader& in)
{
    const int32_t mode = in.SmallInt();
    const int32_t live = in.SmallInt();
    fuzzsupport::OpenFaults faults;
    faults.Read(in, true);
    // An open the device refuses at once costs next to nothing.
    const int cost = faults.faults.mmrOpen != 0 ? 1 : kOpenCost;
    if (run.spent + cost > kBudget)
        return;
    run.spent += cost;
    if (d.Open())
        Close(d);

    // The stream opens unless the device refuses, or one of its ten buffers
    // cannot be prepared (a prepare answered INVALHANDLE is tried five times).
    bool fails = faults.faults.mmrOpen != 0;
    unsigned call = 0;
    for (int header = 0; header < kRingBuffers && !fails; ++header) {
        for (int attempt = 1;; ++attempt) {
            if (!faults.PrepareFails(++call))
                break;
            if (faults.faults.mmrPrepare != MMSYSERR_INVALHANDLE || attempt == 5) {
                fails = true;
                break;
            }
        }
    }

    const HWAVEOUT before = SvWaveTestLatestHandle();
    const DWORD outputBefore = SvWaveTestOutputSize();
    if (faults.any)
        SvWaveTestSetFaults(&faults.faults);
    d.h = SV_OpenSonavex(mode, live);
    if (faults.any)
        SvWaveTestSetFaults(nullptr);
    const HWAVEOUT latest = SvWaveTestLatestHandle();
    FUZZ_CHECK((d.h == nullptr) == fails);
    if (d.h == nullptr) {
        // A failed open leaves no device behind.
        if (faults.faults.mmrOpen == 0)
            FUZZ_CHECK(latest != before && SvWaveGetDeviceKind(latest) == SV_WAVE_DEVICE_AUTO);
        else
            FUZZ_CHECK(latest == before);
        return;
    }
    d.hwo = latest;
    FUZZ_CHECK(latest != before && SvWaveGetDeviceKind(latest) == SV_WAVE_DEVICE_TEST);
    FUZZ_CHECK(SvWaveTestQueued(latest) == kRingBuffers);
    // Whatever a quick device played during the open is silence.
    const size_t played = ReadOutput(outputBefore);
    FUZZ_CHECK(AllZero(g_output.data(), played));
    d.misses = static_cast<int>(played / kBufferBytes);  // each found the queue empty
    d.live = live == SV_LIVE_STREAM || live == SV_FILE_PLAYBACK ? live : -1;
    d.prebuffer = mode == SV_PREBUFFER_8 ? 8 : mode == SV_PREBUFFER_20 ? 20 : 0;
    d.volumeFails = faults.faults.mmrVolume != 0;
    Observe(d);
    FUZZ_CHECK(d.pts == 0 && d.nextPts == 0);
}

void DoInput(Run& run, Decoder* d, Reader& in)
{
    const int32_t type = in.SmallInt();
    const uint8_t store = in.U8();
    const int64_t stamp = in.Stamp(d != nullptr ? d->lastStamp : 0);
    const uint16_t lengthWord = in.U16();
    size_t count = lengthWord & 0x7FF;
    const uint8_t* bytes = in.Bytes(&count);
    const int how = lengthWord >> 11;

    // The payload sits in a block of exactly the length passed, so a read
    // past it is reported.
    int32_t length = static_cast<int32_t>(count);
    size_t block = count;
    bool nullData = false;
    switch (how) {
    case 24: length = 0; break;
    case 25: length = -1; break;
    case 26: length = INT32_MIN; break;
    case 27: length = count > 0 ? static_cast<int32_t>(count) - 1 : 0; break;
    case 28: length = 0x6801; block = 0x6801; break;
    case 29: length = kMaxPayload; block = kMaxPayload; break;
    case 30: nullData = true; length = 0; break;
    case 31: nullData = true; length = -7; break;
    default: break;
    }
    std::unique_ptr<uint8_t[]> payload(new uint8_t[block > 0 ? block : 1]);
    memset(payload.get(), 0, block);
    memcpy(payload.get(), bytes, count);
    const uint8_t* data = nullData ? nullptr : payload.get();

    if (d == nullptr) {
        FUZZ_CHECK(SV_InputAudioBuffer(nullptr, data, length, type, stamp, store) == SV_FAILED);
        return;
    }
    if (run.inputs >= kMaxInputs)
        return;
    ++run.inputs;
    d->lastStamp = stamp;
    FUZZ_CHECK(SV_InputAudioBuffer(d->h, data, length, type, stamp, store) == 1);

    const int32_t before = static_cast<int32_t>(d->queue.size());
    const int32_t after = SV_AudioDecGetFrames(d->h);
    // At most one frame per payload, none from a type that does not decode or
    // from a payload without bytes.
    const bool decodable = (type == SV_PAYLOAD_AMR || type == SV_PAYLOAD_VOICE || type == SV_PAYLOAD_VOICE_B) &&
                           data != nullptr && length > 0;
    FUZZ_CHECK(after == before || (decodable && after == before + 1));
    if (after == before + 1) {
        // The same payload through the target's own decoder: an AMR frame is
        // 160 samples, a voice frame as many as its header says. Only a file
        // stream's samples are followed to the device; decoding costs.
        const bool follow = d->live == SV_FILE_PLAYBACK;
        Frame frame{stamp, kAmrFrameBytes, false, follow && store != 0,
                    std::vector<uint8_t>(2 * HI_VOICE_MAX_SAMPLES)};
        if (type == SV_PAYLOAD_AMR) {
            if (follow && d->amr == 0)
                FUZZ_CHECK(AMR_Decode_Init(&d->amr) == 0);
            if (follow)
                FUZZ_CHECK(AMR_Decode_Frame(d->amr, data, frame.pcm.data(), 0) == 0);
        } else {
            unsigned char state[HI_VOICE_STATE_BYTES];
            HI_VOICE_DecReset(state, HI_VOICE_CODEC_IMA_ADPCM);
            short samples = 0;
            FUZZ_CHECK(HI_VOICE_DecodeFrame(state, data, reinterpret_cast<short*>(frame.pcm.data()), &samples) ==
                       HI_VOICE_OK);
            frame.bytes = 2 * samples;
        }
        frame.pcm.resize(static_cast<size_t>(frame.bytes));
        if (store != 0 && frame.bytes > 0)
            d->ringTouched = true;
        frame.loud = d->ringTouched && frame.bytes > 0;
        d->queue.push_back(std::move(frame));
        d->stamps.push_back(stamp);
    }
    ObserveClockStill(*d);
}

// One buffer refill of a file stream that is not stopped and whose queue is
// short enough not to be trimmed: the rest of the frame carried over, then
// queued frames, in order, until 640 bytes are filled or the queue runs out
// (the rest is silence). A buffer that finds nothing at all keeps what it
// held a trip round the ring ago, twice in a row; from the third on it is
// cleared. Muted frames are taken all the same, as zeros.
void RefillOneBuffer(Decoder& d, Buffer& buffer)
{
    int filled = 0;
    bool got = false;
    bool known = true;  // of the samples written
    if (d.carry > 0) {
        const int take = std::min(d.carry, kBufferBytes);
        memcpy(buffer.bytes, d.carrySamples.data(), static_cast<size_t>(take));
        d.carrySamples.erase(d.carrySamples.begin(), d.carrySamples.begin() + take);
        known = d.carrySamplesKnown;
        d.carry -= take;
        filled = take;
        got = true;
    }
    while (filled < kBufferBytes) {
        if (got && d.queue.empty())
            break;  // the buffer ends with its last frame, and the clock stays on it
        if (d.queue.empty()) {
            d.pts = 0;  // ran dry
            break;
        }
        Frame frame = std::move(d.queue.front());
        d.queue.pop_front();
        d.pts = frame.pts;
        d.nextPts = d.queue.empty() ? 0 : d.queue.front().pts;
        if (d.mute == 1) {
            std::fill(frame.pcm.begin(), frame.pcm.end(), 0);
            frame.known = true;
        }
        got = true;
        const int take = std::min(frame.bytes, kBufferBytes - filled);
        memcpy(buffer.bytes + filled, frame.pcm.data(), static_cast<size_t>(take));
        known = known && frame.known;
        filled += take;
        d.carry = frame.bytes - take;
        d.carrySamples.assign(frame.pcm.begin() + take, frame.pcm.end());
        d.carrySamplesKnown = frame.known;
    }
    if (got) {
        memset(buffer.bytes + filled, 0, static_cast<size_t>(kBufferBytes - filled));
        buffer.known = known;
        d.misses = 0;
        d.flushed = false;
        return;
    }
    if (d.flushed && d.misses >= 0 && d.misses < 2)
        d.misses = 2;
    d.flushed = false;
    if (d.misses < 0) {
        buffer.known = false;
    } else if (d.misses++ >= 2) {
        memset(buffer.bytes, 0, sizeof buffer.bytes);
        buffer.known = true;
    }
}

void DoStep(Run& run, Decoder* d, Reader& in)
{
    const unsigned count = in.U8() & 31;
    if (d == nullptr || run.spent + static_cast<int>(count) > kBudget)
        return;
    run.spent += static_cast<int>(count);

    const size_t frames = d->queue.size();
    const int64_t pts0 = d->pts, next0 = d->nextPts;
    const bool silenced =
        d->mute == 1 || (d->live == SV_FILE_PLAYBACK && (d->stop == SV_STOP_DRAIN || d->stop == SV_STOP_NOW));
    bool loudQueued = false;
    for (const Frame& f : d->queue)
        loudQueued = loudQueued || f.loud;
    if (!silenced && loudQueued)
        d->maySound = true;

    const bool exact = d->live == SV_FILE_PLAYBACK && d->stop == SV_STOP_OFF && d->carryKnown &&
                       frames <= kUntrimmedFrames;
    const DWORD outputBefore = SvWaveTestOutputSize();
    const UINT done = SvWaveTestStep(d->hwo, count);
    // Every buffer comes back to the device: none drops out of the ring.
    FUZZ_CHECK(done == count);
    FUZZ_CHECK(SvWaveTestQueued(d->hwo) == kRingBuffers);
    FUZZ_CHECK(ReadOutput(outputBefore) == done * kBufferBytes);
    if (!d->maySound)
        FUZZ_CHECK(AllZero(g_output.data(), g_output.size()));
    for (UINT i = 0; i < done; ++i) {
        const uint8_t* played = g_output.data() + i * kBufferBytes;
        // The level is taken as a buffer starts, so the first one after a
        // change may still have the old one; at full level the samples pass
        // as they are.
        if (d->zeroVolumeBuffers >= 1)
            FUZZ_CHECK(AllZero(played, kBufferBytes));
        Buffer buffer = d->ring.front();
        d->ring.pop_front();
        if (buffer.known && d->fullVolumeBuffers >= 1)
            FUZZ_CHECK(memcmp(played, buffer.bytes, kBufferBytes) == 0);
        d->zeroVolumeBuffers += d->zeroVolumeBuffers >= 0 ? 1 : 0;
        d->fullVolumeBuffers += d->fullVolumeBuffers >= 0 ? 1 : 0;
        // The buffer just played is filled again and goes to the back.
        if (exact) {
            RefillOneBuffer(*d, buffer);
        } else {
            buffer.known = false;
            d->misses = -1;
        }
        d->ring.push_back(buffer);
    }

    const int32_t after = SV_AudioDecGetFrames(d->h);
    int64_t pts = 0, nextPts = 0;
    SV_GetPts(d->h, &pts, &nextPts);
    // Playing only takes frames, oldest first.
    FUZZ_CHECK(after >= 0 && static_cast<size_t>(after) <= frames);

    if (exact) {
        // File playback: each buffer plays the next 640 bytes of the queue,
        // muted or not, and the clock names the frame playing.
        FUZZ_CHECK(static_cast<size_t>(after) == d->queue.size());
        FUZZ_CHECK(pts == d->pts && nextPts == d->nextPts);
        return;
    }

    std::vector<int64_t> taken;
    for (size_t i = static_cast<size_t>(after); i < frames; ++i) {
        taken.push_back(d->queue.front().pts);
        d->queue.pop_front();
    }
    auto among = [&](int64_t stamp) {
        return stamp == 0 || std::find(taken.begin(), taken.end(), stamp) != taken.end();
    };
    // The clock names a frame this step took, or stays.
    FUZZ_CHECK(pts == pts0 || among(pts));
    FUZZ_CHECK(nextPts == next0 || among(nextPts) ||
               std::any_of(d->queue.begin(), d->queue.end(), [&](const Frame& f) { return f.pts == nextPts; }));
    if (done > 0) {
        // A buffer plays what is left of the frame carried over first; with
        // nothing queued, no new one is carried.
        d->carryKnown = frames == 0;
        d->carrySamplesKnown = frames == 0;
        d->carry = 0;
        d->carrySamples.clear();
    }

    if (d->live == SV_LIVE_STREAM && d->prebuffer != 0 && !d->started) {
        // A live stream waits once for its pre-buffer.
        if (frames < static_cast<size_t>(d->prebuffer)) {
            FUZZ_CHECK(static_cast<size_t>(after) == frames && pts == pts0 && nextPts == next0);
        } else if (done > 0) {
            FUZZ_CHECK(static_cast<size_t>(after) < frames);
            d->started = true;
        }
    }
    if (d->live == SV_FILE_PLAYBACK && done > 0) {
        if (d->stop == SV_STOP_NOW) {
            FUZZ_CHECK(after == 0);
            if (frames > 0 || done > 1)
                FUZZ_CHECK(pts == 0);
        } else if (d->stop == SV_STOP_DRAIN && frames > 20) {
            FUZZ_CHECK(after <= 18);
        }
    }
    d->pts = pts;
    d->nextPts = nextPts;
}

void DoClearFrames(Decoder* d, Reader& in)
{
    const int32_t type = in.SmallInt();
    const int32_t mode = in.SmallInt();
    const uint8_t countByte = in.U8();
    const uint32_t count = countByte < 0xF0 ? countByte : countByte == 0xF0 ? 0xFFFFFFFFu : in.U32();
    const uint8_t pointers = in.U8();
    int64_t pts = kSentinel, nextPts = kSentinel;
    int64_t* pp = (pointers & 1) ? nullptr : &pts;
    int64_t* np = (pointers & 2) ? nullptr : &nextPts;

    const uint32_t result = SV_ClearAudioFrames(d != nullptr ? d->h : nullptr, type, mode, count, pp, np);
    if (d == nullptr) {
        FUZZ_CHECK(result == SV_E_NULL_HANDLE && pts == kSentinel && nextPts == kSentinel);
        return;
    }

    const size_t frames = d->queue.size();
    uint32_t expected = SV_OK;
    size_t keep = frames;
    bool keepKnown = true;
    const bool empties = mode == SV_CLEAR_KEEP_NEWEST && count == 0;
    if (empties) {
        keep = 0;
    } else if (type == SV_CLEAR_BY_COUNT) {
        if (mode == SV_CLEAR_OLDEST)
            keep = frames <= 1 ? frames : static_cast<size_t>(std::max<int64_t>(1, int64_t(frames) - int64_t(count)));
        else if (mode == SV_CLEAR_KEEP_NEWEST)
            keep = std::min<size_t>(frames, count);
        else
            expected = SV_E_BAD_MODE;
    } else if (type == SV_CLEAR_BY_TIME) {
        if (mode != SV_CLEAR_FROM_PLAYING && mode != SV_CLEAR_FROM_INPUT) {
            expected = SV_E_BAD_MODE;
        } else {
            // Oldest first, while a frame lies less than count * 1000 after
            // the reference, keeping one. Followed only while the stamps lie
            // within 2^31 of the reference and the span below 2^31: beyond,
            // the library compares the low 32 bits of the difference.
            const int64_t reference = mode == SV_CLEAR_FROM_PLAYING ? d->pts : d->lastStamp;
            const uint64_t span = uint64_t(count) * 1000u;
            keepKnown = span < (1ull << 31);
            for (keep = frames; keepKnown && keep > 1; --keep) {
                const int64_t ahead =
                    static_cast<int64_t>(uint64_t(d->queue[frames - keep].pts) - uint64_t(reference));
                keepKnown = ahead < (1ll << 31) && ahead > -(1ll << 31);
                if (!keepKnown || ahead < 0 || uint64_t(ahead) >= span)
                    break;
            }
        }
    } else {
        expected = type == 1 ? SV_E_BAD_MODE : SV_E_BAD_TYPE;
    }

    FUZZ_CHECK(result == expected);
    const int32_t after = SV_AudioDecGetFrames(d->h);
    if (result != SV_OK) {
        FUZZ_CHECK(pts == kSentinel && nextPts == kSentinel);
        ObserveClockStill(*d);
        return;
    }
    if (keepKnown)
        FUZZ_CHECK(static_cast<size_t>(after) == keep);
    else
        FUZZ_CHECK(after >= std::min<int32_t>(int32_t(frames), 1) && after <= int32_t(frames));
    while (d->queue.size() > static_cast<size_t>(after))
        d->queue.pop_front();
    if (empties)
        d->flushed = true;
    const int64_t playing = empties ? 0 : d->pts;
    const int64_t oldest = d->queue.empty() ? 0 : d->queue.front().pts;
    if (pp != nullptr)
        FUZZ_CHECK(pts == playing);
    if (np != nullptr)
        FUZZ_CHECK(nextPts == oldest);
    const int64_t next0 = d->nextPts;
    Observe(*d);
    FUZZ_CHECK(d->pts == playing);
    // SV_GetPts answers with the stamp that followed the playing frame when
    // that frame was taken; a clear does not refresh it, so it may still name
    // a frame the clear dropped (unlike the *nextPts the clear wrote).
    if (empties)
        FUZZ_CHECK(d->nextPts == 0);
    else
        FUZZ_CHECK(d->nextPts == next0 || d->nextPts == 0 || d->Queued(d->nextPts));
}

// Mute or stop-file: 1 for an open decoder, 0 for a null handle. The model
// keeps the value for the buffers that follow; the clock does not move.
void DoSetFlag(int32_t(SV_CALL* set)(SV_DECODER, int32_t), Decoder* d, int32_t Decoder::*flag, int32_t value)
{
    FUZZ_CHECK(set(d != nullptr ? d->h : nullptr, value) == (d != nullptr ? 1 : 0));
    if (d != nullptr) {
        d->*flag = value;
        ObserveClockStill(*d);
    }
}

void DoOp(Run& run, Reader& in)
{
    const uint8_t opByte = in.U8();
    const int op = opByte & 15;
    const int slotSel = opByte >> 4;
    Decoder* d = slotSel == fuzzops::kNullSlot ? nullptr : &run.slots[slotSel % fuzzops::kSlots];
    if (d != nullptr && !d->Open() && op != fuzzops::kPbOpen)
        d = nullptr;  // an empty slot stands for a null handle
    SV_DECODER h = d != nullptr ? d->h : nullptr;

    switch (op) {
    case fuzzops::kPbOpen:
        DoOpen(run, d != nullptr ? *d : run.slots[0], in);
        break;
    case fuzzops::kPbClose:
        if (d != nullptr)
            Close(*d);
        else
            FUZZ_CHECK(SV_CloseSonavex(nullptr) == 0);
        break;
    case fuzzops::kPbInput:
    case fuzzops::kPbInput2:
        DoInput(run, d, in);
        break;
    case fuzzops::kPbStep:
    case fuzzops::kPbStep2:
        DoStep(run, d, in);
        break;
    case fuzzops::kPbClearFrames:
        DoClearFrames(d, in);
        break;
    case fuzzops::kPbDecClear:
        FUZZ_CHECK(SV_AudioDecClear(h) == (h != nullptr ? 1 : 0));
        if (d != nullptr) {
            d->queue.clear();
            d->flushed = true;
            Observe(*d);
            FUZZ_CHECK(d->pts == 0 && d->nextPts == 0);
        }
        break;
    case fuzzops::kPbGetPts: {
        const uint8_t pointers = in.U8();
        int64_t pts = kSentinel, nextPts = kSentinel;
        SV_GetPts(h, (pointers & 1) ? nullptr : &pts, (pointers & 2) ? nullptr : &nextPts);
        const bool write = d != nullptr;
        FUZZ_CHECK(pts == (write && !(pointers & 1) ? d->pts : kSentinel));
        FUZZ_CHECK(nextPts == (write && !(pointers & 2) ? d->nextPts : kSentinel));
        break;
    }
    case fuzzops::kPbSetPts: {
        const int64_t a = in.Stamp(0);
        const int64_t b = in.Stamp(a);
        SV_SetPts(h, a, b);
        if (d != nullptr)
            ObserveClockStill(*d);  // the library keeps them and uses them for nothing
        break;
    }
    case fuzzops::kPbMute:
        DoSetFlag(SV_SetMuteAudio, d, &Decoder::mute, in.SmallInt());
        break;
    case fuzzops::kPbStop:
        DoSetFlag(SV_StopFileAudio, d, &Decoder::stop, in.SmallInt());
        break;
    case fuzzops::kPbSetVolume: {
        const uint32_t volume = in.U32();
        const int32_t result = SV_AudioDecSetVolume(h, volume);
        if (d == nullptr) {
            FUZZ_CHECK(result == 0);
            break;
        }
        FUZZ_CHECK(result == (d->volumeFails ? 0 : 1));
        if (!d->volumeFails) {
            const uint32_t level = volume & 0xFFFF;
            d->volume = level | (level << 16);
            d->zeroVolumeBuffers = level != 0 ? -1 : std::max(d->zeroVolumeBuffers, 0);
            d->fullVolumeBuffers = level != 0xFFFF ? -1 : std::max(d->fullVolumeBuffers, 0);
        }
        break;
    }
    case fuzzops::kPbGetVolume:
        // A device that cannot say answers with the level last set.
        FUZZ_CHECK(SV_AudioDecGetVolume(h) == (d != nullptr ? d->volume : 0u));
        break;
    case fuzzops::kPbGetFrames:
        FUZZ_CHECK(SV_AudioDecGetFrames(h) == (d != nullptr ? static_cast<int32_t>(d->queue.size()) : SV_FAILED));
        break;
    case fuzzops::kPbNetVersion:
        SV_SetNetProtocolVersion(in.SmallInt());
        break;
    }
}

// Every decoder still open is closed when the input ends.
void CloseAll(Run& run)
{
    for (Decoder& d : run.slots)
        if (d.Open())
            Close(d);
}

}  // namespace

FUZZ_STATEFUL_TARGET(Run, DoOp, CloseAll)
