// The frame queue: ring layout, queue limits, pre-buffer and latency trims,
// mute and stop-file, clearing by count and by time, the playback clock.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "audio/audioframebuffer.h"
#include "test_access.h"

namespace {

const int kBigRing = 0x100000;
const int kRoom = 0x6800;
const int kGuard = 64;
const unsigned char kFill = 0xAA;
const int kClearBadMode = static_cast<int>(0x80F0000Eu);
const int kClearBadType = static_cast<int>(0x80F00002u);

unsigned char PatternByte(int seq, int i) { return static_cast<unsigned char>(seq * 37 + i * 11 + 1); }

int64_t StampOf(int seq) { return 500000 + int64_t(seq) * 40; }

std::unique_ptr<CAudioFrameBuffer> MakeBuffer(int ringSize, int mode, int live)
{
    auto fb = std::make_unique<CAudioFrameBuffer>();
    fb->SetPlayMode(mode, live);
    EXPECT_EQ(fb->AllocRing(ringSize), 1);
    return fb;
}

// Queues frame `seq`: `length` bytes of its own pattern, stamped `pts`.
void Push(CAudioFrameBuffer& fb, int seq, int length, int64_t pts)
{
    std::vector<unsigned char> bytes(length > 0 ? length : 1);
    for (int i = 0; i < length; ++i)
        bytes[i] = PatternByte(seq, i);
    Inside(fb).m_nInputPts.store(pts);
    fb.PushFrame(bytes.data(), length);
}
void Push(CAudioFrameBuffer& fb, int seq, int length = 320) { Push(fb, seq, length, StampOf(seq)); }

// A buffer with frames 0 to count - 1 queued, each `length` bytes.
std::unique_ptr<CAudioFrameBuffer> Queued(int ringSize, int mode, int live, int count, int length = 320)
{
    auto fb = MakeBuffer(ringSize, mode, live);
    for (int seq = 0; seq < count; ++seq)
        Push(*fb, seq, length);
    return fb;
}

struct Delivery {
    int result = 0;
    int length = 0;
    int64_t pts = -1;
    int64_t next = -1;
    std::vector<unsigned char> bytes;
};

// One read as a device does it: a buffer of `room` bytes, followed by guard
// bytes that must stay untouched.
Delivery Read(CAudioFrameBuffer& fb, int room = kRoom)
{
    Delivery d;
    d.bytes.assign(room + kGuard, kFill);
    d.length = room;
    d.result = fb.ReadFrame(d.bytes.data(), &d.length, &d.pts, &d.next);
    for (int i = room; i < room + kGuard; ++i) {
        if (d.bytes[i] != kFill) {
            ADD_FAILURE() << "ReadFrame wrote past its room of " << room << " bytes";
            break;
        }
    }
    return d;
}

::testing::AssertionResult Delivered(const Delivery& d, int seq, int length)
{
    if (d.result != 1)
        return ::testing::AssertionFailure() << "no frame delivered (result " << d.result << ")";
    if (d.length != length)
        return ::testing::AssertionFailure() << "length " << d.length << ", expected " << length;
    if (d.pts != StampOf(seq))
        return ::testing::AssertionFailure() << "pts " << d.pts << ", expected frame " << seq;
    for (int i = 0; i < length; ++i) {
        if (d.bytes[i] != PatternByte(seq, i))
            return ::testing::AssertionFailure() << "byte " << i << " is not frame " << seq << "'s";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Silent(const Delivery& d, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        if (d.bytes[i] != 0)
            return ::testing::AssertionFailure() << "byte " << i << " is not zero";
    }
    return ::testing::AssertionSuccess();
}

// The queue's invariants: the entries from head to tail carry the bytes held,
// and those bytes run from the read position to the write position.
void ExpectConsistent(CAudioFrameBuffer& fb)
{
    const FrameEntry* e = Inside(fb).m_pHead;
    long total = 0;
    for (unsigned int i = 0; i < fb.GetFrameCount(); ++i) {
        total += e->nLength;
        e = e->pNext;
    }
    EXPECT_EQ(e, Inside(fb).m_pTail);
    EXPECT_EQ(total, fb.GetDataSize());
    EXPECT_EQ((Inside(fb).m_nReadPos + total) % Inside(fb).m_nRingSize, Inside(fb).m_nWritePos % Inside(fb).m_nRingSize);
}

// A read that empties the queue: it delivers nothing, leaves nothing and sets
// the clock back to 0.
void ExpectEmptiedByRead(CAudioFrameBuffer& fb)
{
    const Delivery d = Read(fb);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.length, 0);
    EXPECT_EQ(fb.GetFrameCount(), 0u);
    EXPECT_EQ(fb.GetDataSize(), 0);
    int64_t cur = -1;
    fb.GetPts(&cur, nullptr);
    EXPECT_EQ(cur, 0);
}

// --- The byte ring ---

TEST(FrameBufferRing, FrameWrappingPastRingEndReadsBackUnchanged)
{
    auto fb = Queued(1000, 0, 0, 3, 300);
    EXPECT_TRUE(Delivered(Read(*fb), 0, 300));
    Push(*fb, 3, 300);  // 100 bytes at the end, 200 at the start
    EXPECT_EQ(Inside(*fb).m_nWritePos, 200);
    ExpectConsistent(*fb);
    EXPECT_TRUE(Delivered(Read(*fb), 1, 300));
    EXPECT_TRUE(Delivered(Read(*fb), 2, 300));
    EXPECT_TRUE(Delivered(Read(*fb), 3, 300));
    EXPECT_EQ(fb->GetDataSize(), 0);

    // A write that ends exactly at the ring's end; the next one starts at 0.
    auto exact = Queued(900, 0, 0, 3, 300);
    EXPECT_EQ(Inside(*exact).m_nWritePos, 900);
    EXPECT_TRUE(Delivered(Read(*exact), 0, 300));
    Push(*exact, 3, 300);
    EXPECT_EQ(Inside(*exact).m_nWritePos, 300);
    for (int seq = 1; seq <= 3; ++seq)
        EXPECT_TRUE(Delivered(Read(*exact), seq, 300));
}

TEST(FrameBufferRing, FullRingDiscardsOldestFramesForNewOne)
{
    auto fb = Queued(1000, 0, 0, 3, 300);
    Push(*fb, 3, 500);  // needs two frames' room; lands wrapped
    EXPECT_EQ(fb->GetFrameCount(), 2u);
    EXPECT_EQ(fb->GetDataSize(), 800);
    ExpectConsistent(*fb);
    EXPECT_TRUE(Delivered(Read(*fb), 2, 300));
    EXPECT_TRUE(Delivered(Read(*fb), 3, 500));
}

TEST(FrameBufferRing, ReadIsBoundedByCallersRoomAndConsumesWholeFrame)
{
    auto fb = MakeBuffer(kBigRing, 0, 0);
    Push(*fb, 0, 640);
    Push(*fb, 1, 320);
    Delivery d = Read(*fb, 320);
    EXPECT_TRUE(Delivered(d, 0, 320));
    EXPECT_EQ(fb->GetLastFrameBytes(), 320);
    EXPECT_TRUE(Delivered(Read(*fb, 640), 1, 320));
    EXPECT_EQ(fb->GetLastFrameBytes(), 320);
    EXPECT_EQ(fb->GetDataSize(), 0);

    // A wrapped frame cut inside its first part and inside its second part.
    for (int room : {50, 150}) {
        auto ring = Queued(1000, 0, 0, 3, 300);
        Read(*ring);
        Push(*ring, 3, 300);
        Read(*ring);
        Read(*ring);
        EXPECT_TRUE(Delivered(Read(*ring, room), 3, room)) << "room " << room;
        EXPECT_EQ(ring->GetDataSize(), 0);
        Push(*ring, 4, 300);
        EXPECT_TRUE(Delivered(Read(*ring), 4, 300)) << "room " << room;
    }
}

// The refill's read: what fits the device buffer goes there, the rest of the
// frame to the caller's buffer at the same offset, guards untouched either
// side; muted, both parts are zeros. Each row reads frame 3, which wraps past
// the ring's end (100 bytes at its end, 200 at its start) or not.
TEST(FrameBufferRing, ASplitReadPutsTheFrameAcrossBothBuffersAtItsOffsets)
{
    struct Row {
        int headRoom;
        bool wrapped;
        bool muted;
    };
    const Row rows[] = {{300, false, false}, {500, false, false}, {120, false, false}, {0, false, false},
                        {50, true, false},   {150, true, false},  {300, true, false},  {120, true, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "head room " << row.headRoom << (row.wrapped ? ", wrapped" : "")
                                          << (row.muted ? ", muted" : ""));
        auto fb = row.wrapped ? Queued(1000, 0, 0, 3, 300) : Queued(kBigRing, 0, 0, 3, 300);
        Read(*fb);
        Push(*fb, 3, 300);
        Read(*fb);
        Read(*fb);
        fb->SetMute(row.muted ? 1 : 0);
        std::vector<unsigned char> head(row.headRoom + kGuard, kFill);
        std::vector<unsigned char> rest(kRoom + kGuard, kFill);
        int length = kRoom;
        ASSERT_EQ(fb->ReadFrameSplit(head.data(), row.headRoom, rest.data(), &length), 1);
        EXPECT_EQ(length, row.muted ? 0 : 300);
        EXPECT_EQ(fb->GetLastFrameBytes(), 300);
        EXPECT_EQ(fb->GetDataSize(), 0);
        const int inHead = std::min(row.headRoom, 300);
        for (int i = 0; i < 300; ++i) {
            const unsigned char got = i < inHead ? head[i] : rest[i];
            ASSERT_EQ(got, row.muted ? 0 : PatternByte(3, i)) << "byte " << i;
        }
        for (int i = inHead; i < row.headRoom + kGuard; ++i)
            ASSERT_EQ(head[i], kFill) << "head byte " << i;
        for (int i = 0; i < inHead; ++i)
            ASSERT_EQ(rest[i], kFill) << "rest byte " << i;
        for (int i = 300; i < kRoom + kGuard; ++i)
            ASSERT_EQ(rest[i], kFill) << "rest byte " << i;
        ExpectConsistent(*fb);
    }
}

// A queue read empty starts over at the ring's beginning; what follows reads
// back unchanged.
TEST(FrameBufferRing, AQueueReadEmptyStartsOverAtTheRingsBeginning)
{
    auto fb = Queued(1000, 0, 0, 2, 300);
    EXPECT_TRUE(Delivered(Read(*fb), 0, 300));
    EXPECT_EQ(Inside(*fb).m_nReadPos, 300);
    EXPECT_TRUE(Delivered(Read(*fb), 1, 300));
    EXPECT_EQ(Inside(*fb).m_nReadPos, 0);
    EXPECT_EQ(Inside(*fb).m_nWritePos, 0);
    for (int seq = 2; seq < 5; ++seq)
        Push(*fb, seq, 300);
    ExpectConsistent(*fb);
    for (int seq = 2; seq < 5; ++seq)
        EXPECT_TRUE(Delivered(Read(*fb), seq, 300));
}

TEST(FrameBufferRing, RefusesOversizedAndNegativeFrames)
{
    auto fb = MakeBuffer(kBigRing, 0, 0);
    Push(*fb, 0, kRoom + 1);
    EXPECT_EQ(fb->GetFrameCount(), 0u);
    Push(*fb, 1, kRoom);
    EXPECT_EQ(fb->GetFrameCount(), 1u);
    EXPECT_TRUE(Delivered(Read(*fb), 1, kRoom));

    auto small = MakeBuffer(1000, 0, 0);
    Push(*small, 0, 1001);
    Push(*small, 1, -1);
    EXPECT_EQ(small->GetFrameCount(), 0u);
    EXPECT_EQ(small->GetDataSize(), 0);
    Push(*small, 2, 1000);
    Push(*small, 3, 0);  // an empty frame still counts and carries its stamp
    EXPECT_EQ(small->GetFrameCount(), 2u);
    EXPECT_TRUE(Delivered(Read(*small), 2, 1000));
    EXPECT_TRUE(Delivered(Read(*small), 3, 0));
}

// Also where the ring held audio before: a frame that wraps over bytes of
// frames already played still plays silence.
TEST(FrameBufferRing, FrameQueuedWithoutItsBytesPlaysSilence)
{
    auto fb = Queued(1000, 0, 0, 3, 300);
    for (int seq = 0; seq < 3; ++seq)
        ASSERT_TRUE(Delivered(Read(*fb), seq, 300));
    Inside(*fb).m_bStoreData = 0;
    for (int seq = 3; seq < 6; ++seq) {
        Push(*fb, seq, 320);
        Delivery d = Read(*fb);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.length, 320);
        EXPECT_TRUE(Silent(d, 320)) << seq;
    }
    Inside(*fb).m_bStoreData = 1;
    Push(*fb, 6, 320);
    EXPECT_TRUE(Delivered(Read(*fb), 6, 320));
}

TEST(FrameBufferRing, AllocRingFailureLeavesAnEmptyUnusableQueue)
{
    auto fb = Queued(kBigRing, 0, 0, 3);
    EXPECT_EQ(fb->AllocRing(0), 0);
    EXPECT_EQ(fb->GetFrameCount(), 0u);
    Push(*fb, 3);
    EXPECT_EQ(fb->GetFrameCount(), 0u);
    EXPECT_EQ(Read(*fb).result, 0);
    EXPECT_EQ(fb->AllocRing(-4), 0);

    // A new ring starts empty.
    EXPECT_EQ(fb->AllocRing(2000), 1);
    EXPECT_EQ(fb->GetDataSize(), 0);
    Push(*fb, 4, 300);
    EXPECT_TRUE(Delivered(Read(*fb), 4, 300));
}

// --- Queue limits, pre-buffer and latency trims ---

TEST(FrameBufferQueue, FullQueueInFilePlaybackIsThrownAway)
{
    auto fb = Queued(kBigRing, 0, 0, CAudioFrameBuffer::kMaxFrames + 1, 4);
    EXPECT_EQ(fb->GetFrameCount(), 2500u);
    ExpectConsistent(*fb);
    ExpectEmptiedByRead(*fb);
    Push(*fb, 5000, 4);
    EXPECT_TRUE(Delivered(Read(*fb), 5000, 4));
}

TEST(FrameBufferQueue, FullQueueInLiveStreamIsCutBySixty)
{
    auto fb = Queued(kBigRing, 0, 1, CAudioFrameBuffer::kMaxFrames + 1, 4);
    EXPECT_TRUE(Delivered(Read(*fb), 60, 4));
    EXPECT_EQ(fb->GetFrameCount(), 2439u);
    ExpectConsistent(*fb);
}

TEST(FrameBufferQueue, LiveStreamPrebuffersOnceOnly)
{
    for (int mode : {0, 1}) {
        const int depth = mode == 0 ? 8 : 20;
        auto fb = MakeBuffer(kBigRing, mode, 1);
        int seq = 0;
        for (; seq < depth - 1; ++seq) {
            Push(*fb, seq);
            Delivery d = Read(*fb);
            EXPECT_EQ(d.result, 0) << "depth " << depth << ", " << seq + 1 << " queued";
            EXPECT_EQ(d.length, 0);
        }
        Push(*fb, seq++);
        EXPECT_TRUE(Delivered(Read(*fb), 0, 320)) << "depth " << depth;
        for (int i = 1; i < depth; ++i)
            EXPECT_TRUE(Delivered(Read(*fb), i, 320));
        EXPECT_EQ(Read(*fb).result, 0);
        // After an underrun, and after a reset, the next frame plays at once.
        Push(*fb, seq);
        EXPECT_TRUE(Delivered(Read(*fb), seq, 320));
        fb->Reset();
        Push(*fb, ++seq);
        EXPECT_TRUE(Delivered(Read(*fb), seq, 320));
    }
}

TEST(FrameBufferQueue, LiveStreamCutsSixtyFramesAbovePrebufferPlusSixty)
{
    auto fb = Queued(kBigRing, 0, 1, 69);
    EXPECT_TRUE(Delivered(Read(*fb), 60, 320));
    EXPECT_EQ(fb->GetFrameCount(), 8u);

    auto edge = Queued(kBigRing, 0, 1, 68);
    EXPECT_TRUE(Delivered(Read(*edge), 0, 320));
    EXPECT_EQ(edge->GetFrameCount(), 67u);
}

TEST(FrameBufferQueue, LongQueueIsTrimmedAtThe1001stConsecutiveRead)
{
    auto fb = MakeBuffer(kBigRing, 0, 0);
    std::deque<int> model;
    int seq = 0;
    auto push = [&] {
        Push(*fb, seq, 8);
        model.push_back(seq++);
    };
    auto read = [&] {
        ASSERT_TRUE(Delivered(Read(*fb), model.front(), 8));
        model.pop_front();
    };
    for (int i = 0; i < 29; ++i)
        push();
    // 601 reads above 28 queued, then one at 28 restarts the count.
    for (int i = 0; i < 600; ++i) {
        push();
        read();
    }
    read();
    read();
    EXPECT_EQ(fb->GetFrameCount(), 27u);
    push();
    push();
    for (int i = 0; i < 1000; ++i) {
        push();
        read();
    }
    EXPECT_EQ(fb->GetFrameCount(), 29u);
    push();
    while (model.size() > 8)
        model.pop_front();
    read();
    EXPECT_EQ(fb->GetFrameCount(), 7u);
    ExpectConsistent(*fb);
}

// --- Mute and stop-file ---

TEST(FrameBufferSilence, MuteDeliversZerosAndKeepsTheClockRunning)
{
    auto fb = Queued(kBigRing, 0, 0, 3);
    fb->SetMute(1);
    Delivery d = Read(*fb, 640);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.length, 0);
    EXPECT_TRUE(Silent(d, 320));
    EXPECT_EQ(d.bytes[320], kFill);  // only the frame's bytes are cleared
    EXPECT_EQ(d.pts, StampOf(0));
    EXPECT_EQ(d.next, StampOf(1));
    EXPECT_EQ(fb->GetLastFrameBytes(), 320);
    int64_t cur = 0, next = 0;
    fb->GetPts(&cur, &next);
    EXPECT_EQ(cur, StampOf(0));
    EXPECT_EQ(next, StampOf(1));

    fb->SetMute(2);  // only exactly 1 mutes
    EXPECT_TRUE(Delivered(Read(*fb), 1, 320));
    fb->SetMute(0);
    EXPECT_TRUE(Delivered(Read(*fb), 2, 320));
}

// Stop-file 1: a read that finds more than 20 frames queued takes all but 19
// and then its own, so 18 remain; a queue of 20 or fewer plays out one frame a
// read. The stamp of the (silenced) delivery names the frame that passed.
TEST(FrameBufferSilence, StopFileOneDrainsAQueueOfMoreThanTwentyToEighteen)
{
    struct Case {
        int queued;
        int delivered;  // seq of the frame the read takes as its own
        unsigned int left;
    };
    const Case cases[] = {{20, 0, 19u}, {21, 2, 18u}, {30, 11, 18u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.queued);
        auto fb = Queued(kBigRing, 0, 0, c.queued);
        fb->SetStopFile(1);
        Delivery d = Read(*fb);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.length, 0);
        EXPECT_TRUE(Silent(d, 320));
        EXPECT_EQ(d.pts, StampOf(c.delivered));
        EXPECT_EQ(d.next, StampOf(c.delivered + 1));
        EXPECT_EQ(fb->GetFrameCount(), c.left);
        // Below the threshold the queue goes one frame a read.
        d = Read(*fb);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.pts, StampOf(c.delivered + 1));
        EXPECT_EQ(fb->GetFrameCount(), c.left - 1);
        ExpectConsistent(*fb);
    }
}

TEST(FrameBufferSilence, StopFileTwoEmptiesTheQueue)
{
    auto fb = Queued(kBigRing, 0, 0, 30);
    fb->SetStopFile(2);
    ExpectEmptiedByRead(*fb);
}

TEST(FrameBufferSilence, StopFileHasNoEffectOnLiveStreams)
{
    auto fb = Queued(kBigRing, 0, 1, 10);
    fb->SetStopFile(2);
    EXPECT_TRUE(Delivered(Read(*fb), 0, 320));
    EXPECT_EQ(fb->GetFrameCount(), 9u);
}

// --- Clearing ---

class FrameBufferClear : public ::testing::Test {
protected:
    void SetUp() override { fb_ = MakeBuffer(kBigRing, 0, 0); }
    void Queue(int count)
    {
        for (int i = 0; i < count; ++i)
            Push(*fb_, next_++);
    }
    // Plays one frame stamped `pts`, making it the clock's current frame.
    void PlayFrameStamped(int64_t pts)
    {
        Push(*fb_, 999, 4, pts);
        ASSERT_EQ(Read(*fb_).result, 1);
    }
    void QueueStamped(std::initializer_list<int64_t> stamps)
    {
        for (int64_t pts : stamps)
            Push(*fb_, next_++, 4, pts);
    }
    int64_t HeadPts() const { return Inside(*fb_).m_pHead->nPts; }

    std::unique_ptr<CAudioFrameBuffer> fb_;
    int next_ = 0;
};

TEST_F(FrameBufferClear, ByCountModeZeroDropsOldestButKeepsOne)
{
    Queue(3);
    int64_t pts = -1, next = -1;
    EXPECT_EQ(fb_->ClearFrames(0, 0, 5, &pts, &next), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 1u);
    EXPECT_EQ(pts, 0);
    EXPECT_EQ(next, StampOf(2));
    Queue(4);
    EXPECT_EQ(fb_->ClearFrames(0, 0, 2, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 3u);
    EXPECT_TRUE(Delivered(Read(*fb_), 4, 320));
    ExpectConsistent(*fb_);
}

TEST_F(FrameBufferClear, ByCountModeOneKeepsAtMostCount)
{
    Queue(12);
    EXPECT_EQ(fb_->ClearFrames(0, 1, 5, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 5u);
    EXPECT_TRUE(Delivered(Read(*fb_), 7, 320));
    ExpectConsistent(*fb_);
}

TEST_F(FrameBufferClear, CountZeroModeOneResetsWhateverTheType)
{
    for (int type : {0, 1, 2, 3, -1}) {
        Queue(3);
        ASSERT_EQ(Read(*fb_).result, 1);
        int64_t pts = -1, next = -1;
        EXPECT_EQ(fb_->ClearFrames(type, 1, 0, &pts, &next), 0) << "type " << type;
        EXPECT_EQ(pts, 0);
        EXPECT_EQ(next, 0);
        EXPECT_EQ(fb_->GetFrameCount(), 0u);
        EXPECT_EQ(fb_->GetDataSize(), 0);
        fb_->GetPts(&pts, &next);
        EXPECT_EQ(pts, 0);
        EXPECT_EQ(next, 0);
    }
}

TEST_F(FrameBufferClear, InvalidTypeOrModeChangesNothing)
{
    struct Case {
        int type, mode;
        unsigned int count;
        int result;
    };
    const Case cases[] = {
        {1, 1, 5, kClearBadMode}, {1, 0, 0, kClearBadMode}, {0, 2, 1, kClearBadMode},
        {2, 3, 1, kClearBadMode}, {2, -1, 1, kClearBadMode}, {3, 0, 1, kClearBadType},
        {-1, 0, 1, kClearBadType}, {7, 1, 5, kClearBadType},
    };
    Queue(6);
    for (const Case& c : cases) {
        int64_t pts = -1, next = -1;
        EXPECT_EQ(fb_->ClearFrames(c.type, c.mode, c.count, &pts, &next), c.result)
            << "type " << c.type << " mode " << c.mode;
        EXPECT_EQ(pts, -1);
        EXPECT_EQ(next, -1);
        EXPECT_EQ(fb_->GetFrameCount(), 6u);
    }
}

TEST_F(FrameBufferClear, ByTimeDropsFramesInsideTheWindowFromThePlayingFrame)
{
    const int64_t base = 7000000;
    QueueStamped({base, base + 1000, base + 2000, base + 3000, base + 4000});
    ASSERT_EQ(Read(*fb_).result, 1);
    int64_t pts = -1, next = -1;
    EXPECT_EQ(fb_->ClearFrames(2, 0, 3, &pts, &next), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 2u);
    EXPECT_EQ(pts, base);
    EXPECT_EQ(next, base + 3000);
    // A window that covers everything still leaves one frame.
    EXPECT_EQ(fb_->ClearFrames(2, 0, 100, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 1u);
    EXPECT_EQ(HeadPts(), base + 4000);
}

// Every clear but the emptying one leaves the clock as the last delivery set
// it, even when its next frame is among those dropped.
TEST_F(FrameBufferClear, ClearsByCountOrTimeLeaveTheClockAsTheLastDeliverySetIt)
{
    struct Case {
        int type, mode;
        unsigned int count;
    };
    const Case cases[] = {{0, 0, 4}, {0, 1, 1}, {2, 0, 100}, {2, 1, 100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " mode " << c.mode);
        fb_ = MakeBuffer(kBigRing, 0, 0);
        next_ = 0;
        Queue(6);
        ASSERT_TRUE(Delivered(Read(*fb_), 0, 320));
        // Measured from the input stamp, the window starts at the frame playing.
        ASSERT_EQ(fb_->DecodePayload(nullptr, 0, 4, StampOf(0), 1), 1);
        int64_t pts = -1, next = -1;
        ASSERT_EQ(fb_->ClearFrames(c.type, c.mode, c.count, &pts, &next), 0);
        EXPECT_EQ(fb_->GetFrameCount(), 1u);
        EXPECT_EQ(next, StampOf(5));
        fb_->GetPts(&pts, &next);
        EXPECT_EQ(pts, StampOf(0));
        EXPECT_EQ(next, StampOf(1)) << "the next frame of the last delivery, dropped since";
    }
}

// With all 2500 entries in use the head is at the tail, as in an empty queue:
// every clear still sees the frames, and reports the oldest one's stamp.
TEST_F(FrameBufferClear, AFullQueueIsClearedAndReportedAsAFullOne)
{
    for (int i = 0; i < CAudioFrameBuffer::kMaxFrames; ++i)
        Push(*fb_, i, 4, 1000 * int64_t(i + 1));
    ASSERT_EQ(Inside(*fb_).m_pHead, Inside(*fb_).m_pTail);
    int64_t pts = -1, next = -1;
    EXPECT_EQ(fb_->ClearFrames(0, 0, 0, &pts, &next), 0);
    EXPECT_EQ(next, 1000);
    // Stamps 1000 and 2000 lie less than 3000 ticks past the playing stamp 0.
    EXPECT_EQ(fb_->ClearFrames(2, 0, 3, &pts, &next), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 2498u);
    EXPECT_EQ(pts, 0);
    EXPECT_EQ(next, 3000);
    ExpectConsistent(*fb_);
}

TEST_F(FrameBufferClear, ByTimeModeOneMeasuresFromTheInputStamp)
{
    const int64_t played = 1000, input = 5000000;
    PlayFrameStamped(played);
    QueueStamped({input + 1000, input + 2000, input + 3000, input + 4000});
    EXPECT_EQ(fb_->ClearFrames(2, 0, 3, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 4u);  // far past the playing frame
    EXPECT_EQ(fb_->DecodePayload(nullptr, 0, 4, input, 1), 1);
    EXPECT_EQ(fb_->ClearFrames(2, 1, 3, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 2u);
    EXPECT_EQ(HeadPts(), input + 3000);
}

TEST_F(FrameBufferClear, ByTimeStopsAtAFrameStampedBeforeTheReference)
{
    const int64_t base = 7000000;
    PlayFrameStamped(base);
    QueueStamped({base - 1000, base + 1000, base + 2000});
    EXPECT_EQ(fb_->ClearFrames(2, 0, 3, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 3u);
}

TEST_F(FrameBufferClear, ByTimeComparesOnlyTheLow32BitsOfTheDifference)
{
    const int64_t base = 7000000, wrap = int64_t(1) << 32;
    PlayFrameStamped(base);
    QueueStamped({base + wrap + 1000, base + wrap + 2000, base + wrap + 5000, base + wrap + 6000});
    EXPECT_EQ(fb_->ClearFrames(2, 0, 3, nullptr, nullptr), 0);
    EXPECT_EQ(fb_->GetFrameCount(), 2u);
    EXPECT_EQ(HeadPts(), base + wrap + 5000);
}

// --- The playback clock and payload recording ---

TEST(FrameBufferClock, ReportsPlayingAndNextFrame)
{
    auto fb = MakeBuffer(kBigRing, 0, 0);
    int64_t cur = -1, next = -1;
    fb->GetPts(&cur, &next);
    EXPECT_EQ(cur, 0);
    EXPECT_EQ(next, 0);
    Push(*fb, 0);
    Push(*fb, 1);
    fb->GetPts(&cur, &next);
    EXPECT_EQ(cur, 0);  // nothing delivered yet

    Delivery d = Read(*fb);
    EXPECT_EQ(d.pts, StampOf(0));
    EXPECT_EQ(d.next, StampOf(1));
    fb->GetPts(&cur, &next);
    EXPECT_EQ(cur, StampOf(0));
    EXPECT_EQ(next, StampOf(1));
    d = Read(*fb);
    EXPECT_EQ(d.next, 0);
    fb->GetPts(&cur, &next);
    EXPECT_EQ(cur, StampOf(1));
    EXPECT_EQ(next, 0);
    EXPECT_EQ(Read(*fb).result, 0);  // an empty read stops the clock
    fb->GetPts(&cur, nullptr);
    EXPECT_EQ(cur, 0);
}

TEST(FrameBufferDecode, RecordsStampTypeAndStoreFlagForEveryPayload)
{
    auto fb = MakeBuffer(kBigRing, 0, 0);
    EXPECT_EQ(Inside(*fb).m_nFormat, 3);
    const unsigned char payload[4] = {1, 2, 3, 4};
    struct Case {
        int type;
        int64_t pts;
        unsigned char store;
        int result;
    };
    for (const Case& c : {Case{4, 111, 0, 1}, Case{0, 222, 1, 0}, Case{5, int64_t(1) << 40, 0, 0}}) {
        EXPECT_EQ(fb->DecodePayload(payload, 4, c.type, c.pts, c.store), c.result) << "type " << c.type;
        EXPECT_EQ(Inside(*fb).m_nInputPts.load(), c.pts);
        EXPECT_EQ(Inside(*fb).m_nFormat, c.type);
        EXPECT_EQ(Inside(*fb).m_bStoreData, c.store);
        EXPECT_EQ(fb->GetFrameCount(), 0u);
    }
}

}  // namespace
