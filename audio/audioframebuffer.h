// The per-stream queue of decoded PCM frames with their time stamps, between
// the thread that feeds compressed payloads and the wave device's callback
// thread that plays them. It also keeps the playback clock, pre-buffers live
// streams, trims latency, applies mute and stop-file, and decodes payloads.
//
// Storage is fixed at creation: 2500 entries inside the object and one byte
// ring, allocated once by AllocRing. Nothing is allocated per frame.
#pragma once

#include <stdint.h>

#include <atomic>

#include "support/winapi.h"

#include "platform/amrdll/include/AmrDll.h"

class CG726ADecoder;

struct FrameEntry {
    int nLength;
    int64_t nPts;
    FrameEntry* pNext;
};

class CAudioFrameBuffer {
public:
    static const int kMaxFrames = 2500;
    // Size of the decode buffer, and the longest frame queued or delivered.
    static const int kDecodeBufferBytes = 0x6800;
    // The ring of every stream's frame buffer, playback and capture alike:
    // 1 MiB of decoded PCM.
    static const int kStreamRingBytes = 0x100000;

    CAudioFrameBuffer();
    virtual ~CAudioFrameBuffer();

    CAudioFrameBuffer(const CAudioFrameBuffer&) = delete;
    CAudioFrameBuffer& operator=(const CAudioFrameBuffer&) = delete;

    // Allocates (or replaces) the byte ring, cleared to zeros, and empties the
    // queue. Returns 1, or 0 when the ring cannot be allocated.
    int AllocRing(int size);
    void SetPlayMode(int mode, int live);

    // Queues `length` bytes as one frame stamped with m_nInputPts: on the host
    // thread for playback, on the input device's callback thread for capture.
    void PushFrame(const unsigned char* data, int length);

    // Takes at most one frame from the queue into `buffer`, which has room for
    // *length bytes on entry; *length is the frame's length on exit (0 when
    // muted, stopped or nothing was delivered). Returns 1 when a frame was
    // taken. Runs on the device's callback thread; allocates nothing and blocks
    // only on m_cs.
    int ReadFrame(unsigned char* buffer, int* length, int64_t* pts, int64_t* nextPts);
    // ReadFrame with the frame's first `headRoom` bytes (at most) going to
    // `head` and the rest to buffer + headRoom, so that a reader that fills
    // its own buffer takes what fits straight out of the ring and keeps only
    // the rest. *length is the room of `buffer` on entry, as for ReadFrame
    // (head's bytes count in it); a muted frame is zeros in both places.
    int ReadFrameSplit(unsigned char* head, int headRoom, unsigned char* buffer, int* length);
    // Bytes the frame taken by the latest successful ReadFrame occupies in the
    // caller's buffer, muted or not (a muted frame occupies them as zeros).
    int GetLastFrameBytes() const { return m_nLastFrameBytes; }
    // True when what the queue held was let go on purpose since the last
    // frame delivered (Reset, an emptying clear, the stop-file drain), or a
    // file stream is stopped: a read that finds nothing then stands for
    // silence, not for a gap to conceal. Clears the mark. Device callback
    // thread; does not block.
    bool TakeFlushed();

    void Reset();
    int ClearFrames(int type, int mode, unsigned int count, int64_t* pts, int64_t* nextPts);
    unsigned int GetFrameCount() const { return m_nFrames.load(std::memory_order_relaxed); }
    int GetDataSize() const { return m_nRingSize - m_nFreeBytes.load(std::memory_order_relaxed); }
    void GetPts(int64_t* pts, int64_t* nextPts) const;
    void SetPts(int64_t ptsA, int64_t ptsB);
    void SetMute(int mute) { m_bMute.store(mute, std::memory_order_relaxed); }
    void SetStopFile(int stop) { m_nStopFile.store(stop, std::memory_order_relaxed); }

    // Payload decoding: records the stamp, type and store flag, then decodes by
    // type (SV_PAYLOAD_AMR; SV_PAYLOAD_VOICE and SV_PAYLOAD_VOICE_B through one
    // voice-engine decoder; SV_PAYLOAD_IGNORE accepted and discarded). A
    // negative `length`, or a null `data` with a positive one, is refused
    // without a byte read. Returns 1 for those four types, 0 for any other.
    // Host thread; one feeder at a time.
    int DecodePayload(const unsigned char* data, int length, int type, int64_t pts, unsigned char store);

private:
    friend struct CAudioFrameBufferTestAccess;

    // Payload decoding, in audioframebuffer_decode.cpp.
    void DecodeAmr(const unsigned char* data, int length, int mode);
    void DecodeVoice(const unsigned char* data, int length);
    void InitAmrDecoder();
    void EnsureDecodeBuffer();

    // The helpers below run with m_cs held by their caller. They are defined
    // (inline, for the frame paths) in audioframebuffer.cpp only.
    // Takes the head frame: its first `headRoom` bytes to `head`, the rest
    // (up to `room` in all) to buffer + headRoom.
    inline void TakeFrame(unsigned char* head, int headRoom, unsigned char* buffer, int room, int* length,
                          int64_t* pts, int64_t* nextPts);
    inline int ReadFrameTo(unsigned char* head, int headRoom, unsigned char* buffer, int* length, int64_t* pts,
                               int64_t* nextPts);
    inline void EmptyQueue(int* length);
    inline void EmptyQueueLocked();
    inline bool AcceptsFrame(int length) const;
    inline void WriteRingLocked(const unsigned char* data, int length);
    // Consumes `length` ring bytes from the read position, copying at most
    // `limit` of them: the first `headRoom` to `head`, the rest to
    // dst + headRoom.
    inline void ReadRingLocked(unsigned char* head, int headRoom, unsigned char* dst, int length, int limit);
    // Copies `count` ring bytes from `offset` past the read position.
    inline void CopyFromRing(unsigned char* dst, int offset, int count) const;
    inline void DropFrameLocked();
    // The steps of ReadFrame before it takes its frame. Each returns false
    // when the read ends there, with *length set, delivering nothing.
    inline bool PassPrebufferAndCutLocked(int* length);
    inline bool DrainStoppedFileLocked(int stopFile, unsigned char* buffer, int room, int* length, int64_t* pts,
                                       int64_t* nextPts);
    inline void TrimLatencyLocked();
    inline int Advance(int pos, int length) const;
    // The stamp of the oldest queued frame, or 0 when none is queued. A full
    // queue has its head at its tail too, so the count decides.
    inline int64_t HeadPtsLocked() const;

    unsigned char m_bStoreData;
    unsigned char* m_pRing;
    FrameEntry m_Entries[kMaxFrames];
    FrameEntry* m_pHead;
    FrameEntry* m_pTail;
    int m_nRingSize;
    int m_nReadPos;
    int m_nWritePos;
    std::atomic<int> m_nFreeBytes;
    CRITICAL_SECTION m_cs;
    // Fields that the clock, count and setter calls touch without m_cs are
    // atomics (relaxed): each is read and written whole and seen by the other
    // thread, at the cost of a plain load or store. The stamps are 64-bit, so
    // a plain field could be read half-written on a 32-bit build.
    std::atomic<unsigned int> m_nFrames;
    int m_nFormat;
    std::atomic<int64_t> m_nCurPts;
    std::atomic<int64_t> m_nNextPts;
    // SV_SetPts may come from two host threads at once.
    std::atomic<int64_t> m_nHostPts;
    std::atomic<int64_t> m_nHostPts2;
    // Written by the feeder outside m_cs; read by a clear on another host
    // thread.
    std::atomic<int64_t> m_nInputPts;
    CG726ADecoder* m_pVoiceDecoder;
    unsigned char* m_pDecodeBuf;
    AMR_HANDLE m_hAmrDecoder;
    std::atomic<int> m_bMute;
    int m_nPrebufferFrames;
    int m_bWaiting;
    std::atomic<int> m_bLive;
    int m_nExcessReads;
    std::atomic<int> m_nStopFile;
    int m_nLastFrameBytes;
    // Set by the emptying operations, cleared by a delivered frame and by
    // TakeFlushed.
    std::atomic<bool> m_bFlushed;
};

// Replaces the frame buffer `*owned` points at (deleting the old one) with a
// new one holding a kStreamRingBytes ring. Returns 1, or 0 with *owned null
// when the object or its ring cannot be had: without its ring the queue could
// hold nothing, so the stream is refused rather than left silent.
int CreateOwnedFrameBuffer(CAudioFrameBuffer** owned);
// Deletes the frame buffer `*owned` points at and sets *owned null.
void DeleteOwnedFrameBuffer(CAudioFrameBuffer** owned);
