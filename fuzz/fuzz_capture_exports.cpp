// libFuzzer target over the capture exports, on the test device. An input is
// a run of ops (fuzz_ops.h has the encoding): opens (nested ones share the
// object and are counted; the first starts the device, with device faults),
// closes of the live handle, of a null one and of one whose object is gone,
// reads with every room from 0 to 4000 bytes and with null buffer, length or
// handle, clears, and recording by the test device, which fills the capture
// buffers only when told to, from samples the target feeds it. Every open
// still outstanding is closed when the input ends.
//
// The samples fed are a pattern of their position in the input's recording,
// so every frame read can be checked byte for byte: the object must hand out
// the 20 ms frames it recorded, in order, after its pre-buffer of 8, losing
// the 60 oldest when the reader falls more than 68 behind.
#include <stdint.h>
#include <string.h>

#include <deque>
#include <memory>
#include <vector>

#include "sonavex.h"
#include "fuzz/fuzz_ops.h"
#include "fuzz/fuzz_support.h"

using fuzzops::Reader;

namespace {

const uint32_t kFrameBytes = 320;
const int kBuffers = 10;
const size_t kPrebufferFrames = 8;
const size_t kLagFrames = 68;
const size_t kLagDrop = 60;
// Per input, so that one input costs little and the queue is never trimmed
// for latency (that takes a thousand reads behind). Each 20 ms frame
// recorded is a round trip to the device's thread; an object made and ended
// costs about as much as eight. The budget leaves room for one object to
// fall more than 68 frames behind.
const int kObjectCost = 8;
const uint64_t kBudget = 84;
const int kMaxReads = 900;
const uint32_t kMaxRoom = 4000;

uint8_t PatternByte(uint64_t pos)
{
    return static_cast<uint8_t>((static_cast<uint32_t>(pos) * 2654435761u) >> 24);
}

struct Run {
    SV_CAPTURE h = nullptr;  // while refs > 0
    int refs = 0;
    HWAVEIN hwi = nullptr;
    int prepared = 0;  // buffers circulating on the device
    std::deque<uint64_t> frames;  // where each queued frame starts in the recording
    uint64_t objectStart = 0;  // where this object's recording started
    uint64_t objectRecorded = 0;
    bool waiting = true;  // the first frame waits for the pre-buffer
    std::vector<SV_CAPTURE> gone;  // handles of objects closed
    uint64_t spent = 0;  // of kBudget
    int reads = 0;
    uint64_t recorded = 0;  // bytes recorded in this input, over all objects
    uint64_t fed = 0;
};

std::vector<uint8_t> g_feed;

void CloseLive(Run& run)
{
    FUZZ_CHECK(SV_CloseAudioCapture(run.h) == 1);
    if (--run.refs > 0)
        return;
    // The last close stops the device and ends the object.
    FUZZ_CHECK(SvWaveGetInDeviceKind(run.hwi) == SV_WAVE_DEVICE_AUTO);
    FUZZ_CHECK(SV_CloseAudioCapture(run.h) == 0);
    run.gone.push_back(run.h);
    run.h = nullptr;
}

void DoOpen(Run& run, Reader& in)
{
    fuzzsupport::OpenFaults faults;
    faults.Read(in, false);
    if (run.refs == 0 && run.spent + kObjectCost > kBudget)
        return;
    const HWAVEIN before = SvWaveTestLatestInHandle();
    if (faults.any)
        SvWaveTestSetFaults(&faults.faults);
    const SV_CAPTURE h = SV_OpenAudioCapture();
    if (faults.any)
        SvWaveTestSetFaults(nullptr);
    const HWAVEIN latest = SvWaveTestLatestInHandle();

    if (run.refs > 0) {
        // A later open shares the object and its device.
        FUZZ_CHECK(h == run.h && latest == before);
        ++run.refs;
        return;
    }
    run.spent += kObjectCost;
    if (faults.faults.mmrOpen != 0) {
        FUZZ_CHECK(h == nullptr && latest == before);
        return;
    }
    // The first open starts a new device; a buffer that cannot be prepared
    // stays off it.
    FUZZ_CHECK(h != nullptr && latest != before && SvWaveGetInDeviceKind(latest) == SV_WAVE_DEVICE_TEST);
    run.prepared = 0;
    for (unsigned call = 1; call <= kBuffers; ++call)
        run.prepared += faults.PrepareFails(call) ? 0 : 1;
    FUZZ_CHECK(SvWaveTestQueuedIn(latest) == static_cast<UINT>(run.prepared));
    run.h = h;
    run.refs = 1;
    run.hwi = latest;
    run.frames.clear();
    run.objectStart = run.recorded;
    run.objectRecorded = 0;
    run.waiting = true;
}

void DoClose(Run& run, Reader& in)
{
    const int which = in.U8() % 3;
    if (which == 0 && run.refs > 0) {
        CloseLive(run);
        return;
    }
    SV_CAPTURE h = nullptr;
    // A handle whose object has gone may have the live one's value again; it
    // is the live handle then.
    for (size_t i = run.gone.size(); which == 2 && i > 0 && h == nullptr; --i)
        if (run.gone[i - 1] != run.h)
            h = run.gone[i - 1];
    FUZZ_CHECK(SV_CloseAudioCapture(h) == 0);
}

void DoRecord(Run& run, Reader& in)
{
    const DWORD bytes = in.U16() & 0x7FF;
    const DWORD whole = bytes & ~1u;  // 16-bit mono: two bytes a sample
    // Each buffer the recording reaches is a round trip.
    const uint64_t cost = (whole + kFrameBytes - 1) / kFrameBytes;
    if (run.refs == 0 || run.spent + cost > kBudget)
        return;
    run.spent += cost;
    if (run.fed < run.recorded + whole) {
        g_feed.resize(run.recorded + whole - run.fed);
        for (size_t i = 0; i < g_feed.size(); ++i)
            g_feed[i] = PatternByte(run.fed + i);
        SvWaveTestFeedInput(g_feed.data(), static_cast<DWORD>(g_feed.size()));
        run.fed += g_feed.size();
    }
    const DWORD got = SvWaveTestRecord(run.hwi, bytes);
    FUZZ_CHECK(got == (run.prepared > 0 ? whole : 0));
    // Every buffer filled comes back to the device.
    FUZZ_CHECK(SvWaveTestQueuedIn(run.hwi) == static_cast<UINT>(run.prepared));
    // Each buffer filled is one frame.
    const uint64_t before = run.objectRecorded;
    run.objectRecorded += got;
    run.recorded += got;
    for (uint64_t k = before / kFrameBytes; k < run.objectRecorded / kFrameBytes; ++k)
        run.frames.push_back(run.objectStart + k * kFrameBytes);
}

void DoRead(Run& run, Reader& in)
{
    const uint32_t room = in.U16() % (kMaxRoom + 1);
    const uint8_t flags = in.U8();
    const bool nullBuffer = flags & 1, nullLength = flags & 2;
    const SV_CAPTURE h = (flags & 4) ? nullptr : run.h;
    if (h != nullptr) {
        if (run.reads >= kMaxReads)
            return;
        ++run.reads;
    }
    // Exactly the room, so that a write past it is reported.
    std::unique_ptr<uint8_t[]> block(new uint8_t[room]);
    memset(block.get(), 0xCC, room);
    uint32_t length = room;
    const int32_t result =
        SV_ReadAudioBuffer(h, nullBuffer ? nullptr : block.get(), nullLength ? nullptr : &length, flags);

    bool delivers = h != nullptr && !nullBuffer && !nullLength && room > 0 && !run.frames.empty() &&
                    (!run.waiting || run.frames.size() >= kPrebufferFrames);
    FUZZ_CHECK(result == (delivers ? 1 : 0));
    uint32_t copied = 0;
    if (delivers) {
        run.waiting = false;
        if (run.frames.size() > kLagFrames)
            run.frames.erase(run.frames.begin(), run.frames.begin() + kLagDrop);
        const uint64_t start = run.frames.front();
        run.frames.pop_front();
        copied = room < kFrameBytes ? room : kFrameBytes;
        FUZZ_CHECK(length == copied);
        for (uint32_t i = 0; i < copied; ++i)
            FUZZ_CHECK(block[i] == PatternByte(start + i));
    } else {
        // Nothing delivered: no byte claimed; a null handle or length is
        // left alone.
        FUZZ_CHECK(length == (h == nullptr || nullLength ? room : 0));
    }
    for (uint32_t i = copied; i < room; ++i)
        FUZZ_CHECK(block[i] == 0xCC);
}

void DoOp(Run& run, Reader& in)
{
    switch (in.U8() % fuzzops::kCapOpCount) {
    case fuzzops::kCapOpen:
        DoOpen(run, in);
        break;
    case fuzzops::kCapClose:
        DoClose(run, in);
        break;
    case fuzzops::kCapRead:
    case fuzzops::kCapRead2:
        DoRead(run, in);
        break;
    case fuzzops::kCapRecord:
    case fuzzops::kCapRecord2:
        DoRecord(run, in);
        break;
    case fuzzops::kCapClear: {
        const SV_CAPTURE h = (in.U8() & 1) ? nullptr : run.h;
        FUZZ_CHECK(SV_AudioCapClear(h) == (h != nullptr ? 1 : 0));
        if (h != nullptr)
            run.frames.clear();
        break;
    }
    }
}

// Every open still outstanding is closed when the input ends.
void CloseAll(Run& run)
{
    while (run.refs > 0)
        CloseLive(run);
}

}  // namespace

FUZZ_STATEFUL_TARGET(Run, DoOp, CloseAll)
