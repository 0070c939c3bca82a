// One playback stream: the object behind a decoder handle. It owns a wave
// output device and a frame buffer, wires the device to read from the frame
// buffer, and forwards the host's playback calls to one or the other.
//
// Threads: every method runs on a host thread, and any of them may run on
// several at once, except that no call may overlap with Close or the
// destructor (they free what the others use) and InputAudioBuffer runs on one
// thread at a time (codec state and decode buffer are the feeder's). The
// device's callback thread only ever touches the frame buffer, whose own lock
// guards the queue. The one field that calls change after the open, the
// volume, is an atomic.
#pragma once

#include <stdint.h>

#include <atomic>

#include "support/winapi.h"

class CAudio;
class CAudioFrameBuffer;

class CAudioDec {
public:
    // Format selector of the device open: 16-bit mono PCM at 8 kHz in 640-byte
    // (40 ms) buffers.
    static const int kDeviceFormat = 3;
    // Full volume on both channels.
    static const DWORD kFullVolume = 0xFFFFFFFF;

    CAudioDec();
    virtual ~CAudioDec();

    CAudioDec(const CAudioDec&) = delete;
    CAudioDec& operator=(const CAudioDec&) = delete;

    // mode: SV_PREBUFFER_8 or SV_PREBUFFER_20; other values keep 8.
    // live: SV_LIVE_STREAM or SV_FILE_PLAYBACK; other values keep live.
    // Returns 1 when the device is open and playing (silence until frames
    // arrive), 0 when anything failed; a failure leaves no device behind.
    int Open(int mode, int live);
    // Resets and closes the device and waits (bounded) for it to let go of its
    // buffers; after it returns no device callback runs for this object. The
    // frame buffer and its queued frames stay. Returns 1 when a device was
    // closed, 0 when there was none.
    int Close();

    // Decodes one compressed payload of payload type `type` and queues its PCM
    // stamped with `pts`. Returns 1 once the payload reached the decoder
    // (decoded or not), SV_FAILED without a frame buffer or when decoding threw.
    int InputAudioBuffer(const unsigned char* data, int length, int type, int64_t pts, unsigned char store);

    void GetPts(int64_t* pts, int64_t* nextPts);
    void SetPts(int64_t ptsA, int64_t ptsB);
    int ClearAudioFrames(int type, int mode, unsigned int count, int64_t* pts, int64_t* nextPts);
    int Clear();
    int SetMuteAudio(int mute);
    void StopFileAudio(int stop);
    int SetVolume(DWORD volume);
    DWORD GetVolume();
    unsigned int GetFrames();

    int CreateFrameBuffer();
    void DeleteFrameBuffer();

private:
    friend struct CAudioDecTestAccess;

    CAudio* m_pAudio;
    CAudioFrameBuffer* m_pFrameBuffer;
    int m_nMode;
    int m_nLive;
    // The level last set or read back; SetVolume and GetVolume may run on two
    // host threads at once.
    std::atomic<DWORD> m_nVolume;
};
