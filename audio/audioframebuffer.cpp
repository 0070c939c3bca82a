// The frame queue, its byte ring and the playback clock of one stream.
//
// Locking: m_cs guards the queue (entries, ring positions, counters). The host
// thread queues and clears; the device's callback thread reads. Every
// operation that changes more than one queue field holds m_cs for its whole
// length, so the reader never sees a half-emptied queue. The few fields read
// or written without the lock (clock, count, bytes held, mute/stop/live, the
// stamps the host hands in) are relaxed atomics; they are written only with
// m_cs held, except by their own setters and the feeder's input stamp.
#include "audio/audioframebuffer.h"

#include <string.h>

#include <new>

#include "sonavex.h"
#include "codec/g726adecoder.h"
#include "support/autocri.h"
#include "support/log.h"

namespace {

// SV_STOP_DRAIN: a read that finds more than kStopDrainAbove frames queued
// first takes all but kStopDrainKeeps of them, then its own frame, so 18
// remain. A shorter queue plays out one frame a read.
const int kStopDrainAbove = 20;
const int kStopDrainKeeps = 19;
// A live stream whose queue runs more than kLiveCutThreshold frames past its
// pre-buffer loses its kLiveCutFrames oldest at once: the host fell behind.
const int kLiveCutThreshold = 60;
const int kLiveCutFrames = 60;
// A queue more than kExcessFrames past the pre-buffer for more than
// kExcessReadsLimit reads in a row is cut back to the pre-buffer: latency that
// stays is trimmed.
const int kExcessFrames = 20;
const int kExcessReadsLimit = 1000;
// The pre-buffer depths of SV_PREBUFFER_8 and SV_PREBUFFER_20.
const int kPrebufferNormal = 8;
const int kPrebufferLong = 20;

// ClearFrames type 1 has no meaning; it is refused as a bad mode.
const int kClearTypeRefused = 1;
const int kClearOk = static_cast<int>(SV_OK);
const int kClearBadMode = static_cast<int>(SV_E_BAD_MODE);
const int kClearBadType = static_cast<int>(SV_E_BAD_TYPE);

// Counters written only under m_cs: a plain load and store is enough (no
// read-modify-write instruction on the frame path).
template <typename T>
inline void AddRelaxed(std::atomic<T>& value, T delta)
{
    value.store(value.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

inline void CopyBytes(unsigned char* dst, const unsigned char* src, int count)
{
    if (count > 0)
        memcpy(dst, src, static_cast<size_t>(count));
}

inline void ZeroBytes(unsigned char* dst, int count)
{
    if (count > 0)
        memset(dst, 0, static_cast<size_t>(count));
}

// Scoped hold of a critical section for the two frame paths, inline so that
// a frame costs no call beyond the lock itself.
class CFrameLock {
public:
    explicit CFrameLock(CRITICAL_SECTION* cs) : m_pCs(cs) { EnterCriticalSection(m_pCs); }
    ~CFrameLock() { Unlock(); }
    void Unlock()
    {
        if (m_pCs != nullptr)
            LeaveCriticalSection(m_pCs);
        m_pCs = nullptr;
    }
    CFrameLock(const CFrameLock&) = delete;
    CFrameLock& operator=(const CFrameLock&) = delete;

private:
    CRITICAL_SECTION* m_pCs;
};

}  // namespace

CAudioFrameBuffer::CAudioFrameBuffer()
    : m_bStoreData(1),
      m_pRing(nullptr),
      m_Entries(),
      m_pHead(&m_Entries[0]),
      m_pTail(&m_Entries[0]),
      m_nRingSize(0),
      m_nReadPos(0),
      m_nWritePos(0),
      m_nFreeBytes(0),
      m_cs(),
      m_nFrames(0),
      m_nFormat(SV_PAYLOAD_VOICE_B),
      m_nCurPts(0),
      m_nNextPts(0),
      m_nHostPts(0),
      m_nHostPts2(0),
      m_nInputPts(0),
      m_pVoiceDecoder(nullptr),
      m_pDecodeBuf(nullptr),
      m_hAmrDecoder(0),
      m_bMute(0),
      m_nPrebufferFrames(kPrebufferNormal),
      m_bWaiting(1),
      m_bLive(SV_LIVE_STREAM),
      m_nExcessReads(0),
      m_nStopFile(0),
      m_nLastFrameBytes(0),
      m_bFlushed(false)
{
    InitializeCriticalSection(&m_cs);
    // The circle is linked here too, so that an object whose ring was never
    // allocated still has a valid (empty) queue.
    for (int i = 0; i < kMaxFrames; ++i)
        m_Entries[i].pNext = &m_Entries[(i + 1) % kMaxFrames];
}

CAudioFrameBuffer::~CAudioFrameBuffer()
{
    delete[] m_pRing;
    delete m_pVoiceDecoder;
    if (m_hAmrDecoder != 0)
        AMR_Decode_Exit(&m_hAmrDecoder);
    delete[] m_pDecodeBuf;
    DeleteCriticalSection(&m_cs);
}

int CAudioFrameBuffer::AllocRing(int size)
{
    CAutoCri lock(&m_cs);
    delete[] m_pRing;
    m_pRing = nullptr;
    m_nRingSize = 0;
    m_nFreeBytes.store(0, std::memory_order_relaxed);
    EmptyQueueLocked();
    if (size <= 0)
        return 0;
    unsigned char* ring = new (std::nothrow) unsigned char[static_cast<size_t>(size)];
    if (ring == nullptr)
        return 0;
    // Cleared so that a frame queued without its bytes (store flag 0) plays
    // silence rather than whatever the memory held.
    memset(ring, 0, static_cast<size_t>(size));
    m_pRing = ring;
    m_nRingSize = size;
    m_nFreeBytes.store(size, std::memory_order_relaxed);
    for (int i = 0; i < kMaxFrames; ++i)
        m_Entries[i].pNext = &m_Entries[(i + 1) % kMaxFrames];
    m_pHead = m_pTail = &m_Entries[0];
    return 1;
}

void CAudioFrameBuffer::SetPlayMode(int mode, int live)
{
    // The pre-buffer depth is read by the reader under m_cs.
    CAutoCri lock(&m_cs);
    if (live == SV_LIVE_STREAM || live == SV_FILE_PLAYBACK)
        m_bLive.store(live, std::memory_order_relaxed);
    if (mode == SV_PREBUFFER_8)
        m_nPrebufferFrames = kPrebufferNormal;
    else if (mode == SV_PREBUFFER_20)
        m_nPrebufferFrames = kPrebufferLong;
}

bool CAudioFrameBuffer::AcceptsFrame(int length) const
{
    // A frame longer than the ring could never find room, and nothing decodes
    // to more than the decode buffer holds.
    return m_pRing != nullptr && length >= 0 && length <= kDecodeBufferBytes &&
           length <= m_nRingSize;
}

int CAudioFrameBuffer::Advance(int pos, int length) const
{
    // Same as (pos + length) % m_nRingSize for 0 <= pos <= ring size and
    // 0 <= length <= ring size, without a division or an overflow.
    const int room = m_nRingSize - pos;
    return length < room ? pos + length : length - room;
}

// Host thread.
void CAudioFrameBuffer::PushFrame(const unsigned char* data, int length)
{
    CFrameLock lock(&m_cs);
    if (!AcceptsFrame(length))
        return;
    if (m_nFrames.load(std::memory_order_relaxed) >= static_cast<unsigned int>(kMaxFrames))
        return;
    m_pTail->nPts = m_nInputPts.load(std::memory_order_relaxed);
    WriteRingLocked(data, length);
    m_pTail->nLength = length;
    m_pTail = m_pTail->pNext;
    AddRelaxed(m_nFrames, 1u);
}

void CAudioFrameBuffer::WriteRingLocked(const unsigned char* data, int length)
{
    // A full ring never refuses a frame: the oldest frames give way. The frame
    // is at most the ring's size, so this ends at the latest with the queue
    // empty.
    while (length > m_nFreeBytes.load(std::memory_order_relaxed) &&
           m_nFrames.load(std::memory_order_relaxed) > 0)
        DropFrameLocked();
    AddRelaxed(m_nFreeBytes, -length);

    // A frame queued without its samples (store flag 0) reserves silence:
    // once the ring has wrapped, its place holds audio of long ago.
    const int room = m_nRingSize - m_nWritePos;
    const int first = length <= room ? length : room;
    if (m_bStoreData != 0) {
        CopyBytes(m_pRing + m_nWritePos, data, first);
        CopyBytes(m_pRing, data + first, length - first);
    } else {
        ZeroBytes(m_pRing + m_nWritePos, first);
        ZeroBytes(m_pRing, length - first);
    }
    // The write position may reach the ring's end; the next write wraps.
    m_nWritePos = length <= room ? m_nWritePos + length : length - room;
}

void CAudioFrameBuffer::CopyFromRing(unsigned char* dst, int offset, int count) const
{
    const int from = Advance(m_nReadPos, offset);
    const int room = m_nRingSize - from;
    if (count <= room) {
        CopyBytes(dst, m_pRing + from, count);
    } else {
        CopyBytes(dst, m_pRing + from, room);
        CopyBytes(dst + room, m_pRing, count - room);
    }
}

void CAudioFrameBuffer::ReadRingLocked(unsigned char* head, int headRoom, unsigned char* dst, int length,
                                       int limit)
{
    AddRelaxed(m_nFreeBytes, length);
    const int wanted = length < limit ? length : limit;
    const int first = wanted < headRoom ? wanted : headRoom;
    if (first > 0)
        CopyFromRing(head, 0, first);
    if (wanted > first)
        CopyFromRing(dst + first, first, wanted - first);
    m_nReadPos = Advance(m_nReadPos, length);
}

void CAudioFrameBuffer::DropFrameLocked()
{
    if (m_nFrames.load(std::memory_order_relaxed) == 0)
        return;
    const int len = m_pHead->nLength;
    m_nReadPos = Advance(m_nReadPos, len);
    AddRelaxed(m_nFreeBytes, len);
    m_pHead = m_pHead->pNext;
    AddRelaxed(m_nFrames, -1u);
}

void CAudioFrameBuffer::TakeFrame(unsigned char* head, int headRoom, unsigned char* buffer, int room,
                                  int* length, int64_t* pts, int64_t* nextPts)
{
    const int frameLength = m_pHead->nLength;
    const int copied = frameLength < room ? frameLength : room;
    *length = copied;
    const int64_t cur = m_pHead->nPts;
    m_nCurPts.store(cur, std::memory_order_relaxed);
    if (pts != nullptr)
        *pts = cur;
    // The whole frame leaves the ring even when only part of it fits.
    ReadRingLocked(head, headRoom, buffer, frameLength, copied);
    m_pHead = m_pHead->pNext;
    AddRelaxed(m_nFrames, -1u);
    // A queue read empty starts over at the ring's beginning and its first
    // entry, so that a queue kept short stays in the same few cache lines
    // rather than walking the whole ring and every entry.
    if (m_nFrames.load(std::memory_order_relaxed) == 0) {
        m_nReadPos = m_nWritePos = 0;
        m_pHead = m_pTail = &m_Entries[0];
    }
    const int64_t next = HeadPtsLocked();
    m_nNextPts.store(next, std::memory_order_relaxed);
    if (nextPts != nullptr)
        *nextPts = next;
}

int64_t CAudioFrameBuffer::HeadPtsLocked() const
{
    return m_nFrames.load(std::memory_order_relaxed) > 0 ? m_pHead->nPts : 0;
}

void CAudioFrameBuffer::EmptyQueueLocked()
{
    m_nReadPos = 0;
    m_nWritePos = 0;
    m_nFreeBytes.store(m_nRingSize, std::memory_order_relaxed);
    m_nFrames.store(0, std::memory_order_relaxed);
    m_pHead = m_pTail = &m_Entries[0];
}

void CAudioFrameBuffer::EmptyQueue(int* length)
{
    EmptyQueueLocked();
    *length = 0;
    m_nCurPts.store(0, std::memory_order_relaxed);
}

// Live streams wait once, for the pre-buffer; after that an underrun plays the
// next frame as soon as it comes. A queue that has run far ahead loses its
// oldest frames in one cut.
bool CAudioFrameBuffer::PassPrebufferAndCutLocked(int* length)
{
    if (m_bWaiting == 1) {
        if (static_cast<int>(m_nFrames.load(std::memory_order_relaxed)) < m_nPrebufferFrames) {
            *length = 0;
            return false;
        }
        m_bWaiting = 0;
    }
    if (static_cast<int>(m_nFrames.load(std::memory_order_relaxed)) > m_nPrebufferFrames + kLiveCutThreshold) {
        for (int i = 0; i < kLiveCutFrames; ++i)
            DropFrameLocked();
    }
    return true;
}

// Stopping a file drains it. SV_STOP_NOW takes every frame and then finds the
// queue empty, so the read delivers nothing; any other stop value drains as
// SV_STOP_DRAIN does (see kStopDrainAbove). Each frame taken passes through
// `buffer`.
bool CAudioFrameBuffer::DrainStoppedFileLocked(int stopFile, unsigned char* buffer, int room, int* length,
                                               int64_t* pts, int64_t* nextPts)
{
    const int frames = static_cast<int>(m_nFrames.load(std::memory_order_relaxed));
    int drain = 0;
    if (stopFile == SV_STOP_NOW)
        drain = frames > 0 ? frames + 1 : 0;
    else if (frames > kStopDrainAbove)
        drain = frames - kStopDrainKeeps;
    for (int i = 0; i < drain; ++i) {
        if (m_pHead == m_pTail) {
            m_bFlushed.store(true, std::memory_order_relaxed);
            EmptyQueue(length);
            return false;
        }
        TakeFrame(buffer, 0, buffer, room, length, pts, nextPts);
    }
    return true;
}

// Latency trim: a queue that stays long is cut back to the pre-buffer.
void CAudioFrameBuffer::TrimLatencyLocked()
{
    const int frames = static_cast<int>(m_nFrames.load(std::memory_order_relaxed));
    if (frames > m_nPrebufferFrames + kExcessFrames)
        ++m_nExcessReads;
    else
        m_nExcessReads = 0;
    if (m_nExcessReads > kExcessReadsLimit) {
        for (int i = frames - m_nPrebufferFrames; i > 0; --i)
            DropFrameLocked();
        m_nExcessReads = 0;
    }
}

// Device callback thread (or the capture reader's thread). Allocates nothing;
// blocks only on m_cs, which every holder keeps for a bounded queue operation.
int CAudioFrameBuffer::ReadFrame(unsigned char* buffer, int* length, int64_t* pts,
                                 int64_t* nextPts)
{
    return ReadFrameTo(buffer, 0, buffer, length, pts, nextPts);
}

int CAudioFrameBuffer::ReadFrameSplit(unsigned char* head, int headRoom, unsigned char* buffer, int* length)
{
    if (head == nullptr || headRoom < 0) {
        head = buffer;
        headRoom = 0;
    }
    return ReadFrameTo(head, headRoom, buffer, length, nullptr, nullptr);
}

int CAudioFrameBuffer::ReadFrameTo(unsigned char* head, int headRoom, unsigned char* buffer, int* length,
                                       int64_t* pts, int64_t* nextPts)
{
    int room = *length;
    if (room < 0 || buffer == nullptr)
        room = 0;
    const int live = m_bLive.load(std::memory_order_relaxed);
    const int stopFile = m_nStopFile.load(std::memory_order_relaxed);

    CFrameLock lock(&m_cs);
    if (live == SV_LIVE_STREAM) {
        if (!PassPrebufferAndCutLocked(length))
            return 0;
    } else if (stopFile != SV_STOP_OFF) {
        if (!DrainStoppedFileLocked(stopFile, buffer, room, length, pts, nextPts))
            return 0;
    }
    TrimLatencyLocked();

    if (m_nFrames.load(std::memory_order_relaxed) == 0) {
        *length = 0;
        m_nCurPts.store(0, std::memory_order_relaxed);
        return 0;
    }
    if (m_pHead == m_pTail) {
        // All 2500 entries in use: the whole queue is thrown away.
        EmptyQueue(length);
        return 0;
    }

    TakeFrame(head, headRoom, buffer, room, length, pts, nextPts);
    m_nLastFrameBytes = *length;
    m_bFlushed.store(false, std::memory_order_relaxed);
    if (m_bMute.load(std::memory_order_relaxed) == 1 || (live == SV_FILE_PLAYBACK && stopFile != SV_STOP_OFF)) {
        const int inHead = *length < headRoom ? *length : headRoom;
        ZeroBytes(head, inHead);
        ZeroBytes(buffer + inHead, *length - inHead);
        *length = 0;
    }
    const unsigned int left = m_nFrames.load(std::memory_order_relaxed);
    lock.Unlock();

    // Outside the lock: a listener may be slow. Asking first skips the call
    // and its formatting when nobody listens.
    if (SvDebugOutputWanted())
        DebugTrace("++++++++++++A:%d\n", static_cast<int>(left));
    return 1;
}

bool CAudioFrameBuffer::TakeFlushed()
{
    const bool flushed = m_bFlushed.exchange(false, std::memory_order_relaxed);
    return flushed || (m_bLive.load(std::memory_order_relaxed) == SV_FILE_PLAYBACK &&
                       m_nStopFile.load(std::memory_order_relaxed) != SV_STOP_OFF);
}

void CAudioFrameBuffer::Reset()
{
    CAutoCri lock(&m_cs);
    EmptyQueueLocked();
    m_bFlushed.store(true, std::memory_order_relaxed);
    m_nCurPts.store(0, std::memory_order_relaxed);
    m_nNextPts.store(0, std::memory_order_relaxed);
}

int CAudioFrameBuffer::ClearFrames(int type, int mode, unsigned int count, int64_t* pts,
                                   int64_t* nextPts)
{
    CAutoCri lock(&m_cs);
    if (count == 0 && mode == SV_CLEAR_KEEP_NEWEST) {
        Reset();
        if (pts != nullptr)
            *pts = 0;
        if (nextPts != nullptr)
            *nextPts = 0;
        return kClearOk;
    }

    if (type == SV_CLEAR_BY_COUNT) {
        if (mode == SV_CLEAR_OLDEST) {
            for (unsigned int i = 0; i < count && m_nFrames.load(std::memory_order_relaxed) > 1; ++i)
                DropFrameLocked();
        } else if (mode == SV_CLEAR_KEEP_NEWEST) {
            while (m_nFrames.load(std::memory_order_relaxed) > count)
                DropFrameLocked();
        } else {
            return kClearBadMode;
        }
    } else if (type == kClearTypeRefused) {
        return kClearBadMode;
    } else if (type == SV_CLEAR_BY_TIME) {
        if (mode != SV_CLEAR_FROM_PLAYING && mode != SV_CLEAR_FROM_INPUT)
            return kClearBadMode;
        const int64_t reference = mode == SV_CLEAR_FROM_PLAYING ? m_nCurPts.load(std::memory_order_relaxed)
                                            : m_nInputPts.load(std::memory_order_relaxed);
        // Drop while the head lies less than `count` thousand ticks past the
        // reference. Only the low 32 bits of the difference count, so a head
        // stamped before the reference reads as far ahead and stops the walk.
        while (m_nFrames.load(std::memory_order_relaxed) > 1) {
            const uint32_t ahead = static_cast<uint32_t>(static_cast<uint64_t>(m_pHead->nPts) -
                                                         static_cast<uint64_t>(reference));
            if (ahead / 1000u >= count)
                break;
            DropFrameLocked();
        }
    } else {
        return kClearBadType;
    }

    if (pts != nullptr)
        *pts = m_nCurPts.load(std::memory_order_relaxed);
    if (nextPts != nullptr)
        *nextPts = HeadPtsLocked();
    return kClearOk;
}

void CAudioFrameBuffer::GetPts(int64_t* pts, int64_t* nextPts) const
{
    if (pts != nullptr)
        *pts = m_nCurPts.load(std::memory_order_relaxed);
    if (nextPts != nullptr)
        *nextPts = m_nNextPts.load(std::memory_order_relaxed);
}

void CAudioFrameBuffer::SetPts(int64_t ptsA, int64_t ptsB)
{
    m_nHostPts.store(ptsA, std::memory_order_relaxed);
    m_nHostPts2.store(ptsB, std::memory_order_relaxed);
}

// Host thread, one feeder at a time.
int CAudioFrameBuffer::DecodePayload(const unsigned char* data, int length, int type, int64_t pts,
                                     unsigned char store)
{
    // Recorded whatever the type, before anything is decoded or queued.
    m_nInputPts.store(pts, std::memory_order_relaxed);
    m_nFormat = type;
    m_bStoreData = store;
    // Bytes promised but not given, or a length below zero: nothing is read.
    const bool refused = length < 0 || (data == nullptr && length > 0);
    switch (type) {
    case SV_PAYLOAD_AMR:
        if (!refused)
            DecodeAmr(data, length, 0);
        return 1;
    case SV_PAYLOAD_VOICE:
    case SV_PAYLOAD_VOICE_B:
        if (!refused)
            DecodeVoice(data, length);
        return 1;
    case SV_PAYLOAD_IGNORE:
        return 1;
    default:
        return 0;
    }
}

int CreateOwnedFrameBuffer(CAudioFrameBuffer** owned)
{
    DeleteOwnedFrameBuffer(owned);
    CAudioFrameBuffer* frameBuffer = new (std::nothrow) CAudioFrameBuffer();
    if (frameBuffer == nullptr)
        return 0;
    if (!frameBuffer->AllocRing(CAudioFrameBuffer::kStreamRingBytes)) {
        delete frameBuffer;
        return 0;
    }
    *owned = frameBuffer;
    return 1;
}

void DeleteOwnedFrameBuffer(CAudioFrameBuffer** owned)
{
    delete *owned;
    *owned = nullptr;
}
