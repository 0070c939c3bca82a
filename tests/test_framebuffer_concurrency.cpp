// A host thread queueing and controlling while a device thread reads: every
// frame delivered must be whole (its bytes all carry one sequence number, the
// one its time stamp carries) and frames must come out in the order queued.
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/audioframebuffer.h"
#include "test_access.h"

namespace {

const int kRoom = 640;
const int kHostSteps = 40000;

// Lengths vary so that frames wrap at many places in a small ring, which also
// makes queueing discard the oldest frames while the reader runs.
int LengthOf(uint32_t seq) { return 4 * (1 + static_cast<int>(seq % 160)); }

struct ReaderResult {
    long delivered = 0;
    long failures = 0;
    std::string firstFailure;
};

void Fail(ReaderResult& r, const std::string& what)
{
    if (r.failures++ == 0)
        r.firstFailure = what;
}

// Reads as the wave device does, one frame per call, until the host is done
// and the queue has been drained.
void RunReader(CAudioFrameBuffer& fb, const std::atomic<bool>& hostDone, ReaderResult& r)
{
    std::vector<unsigned char> buffer(kRoom);
    int64_t lastPts = -1;
    int emptyAfterDone = 0;
    int readsAfterDone = 0;
    while (emptyAfterDone < 3) {
        const bool done = hostDone.load(std::memory_order_acquire);
        // The queue holds at most 2500 frames once the host is done.
        if (done && ++readsAfterDone > 2 * CAudioFrameBuffer::kMaxFrames) {
            Fail(r, "the queue never runs dry");
            break;
        }
        int length = kRoom;
        int64_t pts = 0, next = 0;
        if (fb.ReadFrame(buffer.data(), &length, &pts, &next) != 1) {
            if (done)
                ++emptyAfterDone;
            else
                std::this_thread::yield();
            continue;
        }
        ++r.delivered;
        if (pts <= lastPts)
            Fail(r, "frame " + std::to_string(pts) + " after " + std::to_string(lastPts));
        lastPts = pts;
        const uint32_t seq = static_cast<uint32_t>(pts);
        const int bytes = fb.GetLastFrameBytes();
        if (bytes != LengthOf(seq)) {
            Fail(r, "frame " + std::to_string(seq) + " occupies " + std::to_string(bytes) + " bytes");
            continue;
        }
        if (length == 0) {  // muted: the frame's place is silent
            for (int i = 0; i < bytes; ++i) {
                if (buffer[i] != 0) {
                    Fail(r, "muted frame " + std::to_string(seq) + " is not silent");
                    break;
                }
            }
            continue;
        }
        if (length != bytes) {
            Fail(r, "frame " + std::to_string(seq) + " has length " + std::to_string(length));
            continue;
        }
        for (int i = 0; i < length; i += 4) {
            uint32_t word;
            memcpy(&word, &buffer[i], 4);
            if (word != seq) {
                Fail(r, "frame " + std::to_string(seq) + " holds bytes of frame " + std::to_string(word));
                break;
            }
        }
    }
}

// Queues frames 1, 2, ... stamped with their number, and clears, resets, mutes
// and reads the clock in between. Counts clock readings that name a frame not
// yet queued, and counts or sizes out of range.
void RunHost(CAudioFrameBuffer& fb, std::atomic<bool>& done, long& badReadings)
{
    std::vector<unsigned char> frame(kRoom);
    for (uint32_t seq = 1; seq <= kHostSteps; ++seq) {
        const int length = LengthOf(seq);
        for (int i = 0; i < length; i += 4)
            memcpy(&frame[i], &seq, 4);
        Inside(fb).m_nInputPts.store(seq);
        fb.PushFrame(frame.data(), length);

        int64_t cur = 0, next = 0;
        fb.GetPts(&cur, &next);
        const int held = fb.GetDataSize();
        if (cur < 0 || cur > seq || next < 0 || next > seq || fb.GetFrameCount() > 2500u ||
            held < 0 || held > Inside(fb).m_nRingSize)
            ++badReadings;
        if (seq % 97 == 0)
            fb.ClearFrames(0, 0, 3, &cur, &next);
        if (seq % 151 == 0)
            fb.ClearFrames(2, 0, 2, &cur, &next);
        if (seq % 389 == 0)
            fb.ClearFrames(0, 1, 40, &cur, &next);
        if (seq % 997 == 0)
            fb.Reset();
        if (seq % 1000 == 0)
            fb.SetMute((seq / 1000) % 2);
        if (seq % 64 == 0)
            std::this_thread::yield();  // let the queue run low now and then
    }
    done.store(true, std::memory_order_release);
}

class FrameBufferConcurrency : public ::testing::TestWithParam<int> {};

TEST_P(FrameBufferConcurrency, DeliveredFramesAreWholeAndInOrder)
{
    auto fb = std::make_unique<CAudioFrameBuffer>();
    fb->SetPlayMode(0, GetParam());
    ASSERT_EQ(fb->AllocRing(64 * 1024), 1);

    std::atomic<bool> hostDone{false};
    ReaderResult result;
    long badReadings = 0;
    std::thread reader(RunReader, std::ref(*fb), std::cref(hostDone), std::ref(result));
    RunHost(*fb, hostDone, badReadings);
    reader.join();

    EXPECT_EQ(result.failures, 0) << result.firstFailure;
    EXPECT_GT(result.delivered, 0);
    EXPECT_EQ(badReadings, 0);
    // Drained whole: no frame and no byte is left behind.
    EXPECT_EQ(fb->GetFrameCount(), 0u);
    EXPECT_EQ(fb->GetDataSize(), 0);
}

INSTANTIATE_TEST_SUITE_P(FileAndLive, FrameBufferConcurrency, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == 1 ? std::string("Live") : std::string("File");
                         });

}  // namespace
