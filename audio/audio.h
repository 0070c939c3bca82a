// The wave device: one output device and one input device of the wave API.
//
// Playback is pull-driven. Ten buffers circulate on the output device; each
// time the device hands one back (WOM_DONE, on the device's callback thread)
// the callback refills it from the frame buffer and queues it again.
//
// Capture keeps ten buffers circulating on the input device the same way:
// each time the device hands a filled one back (WIM_DATA) the callback queues
// its samples into the frame buffer as one frame and adds the buffer again.
//
// Threads: the owner's thread opens, closes, sets and reads the volume and
// destroys; the devices' callback threads run waveOutProc and, from it,
// WaveOutWrite, and waveInProc and, from it, OnMM_WIM_DATA. The object takes
// no lock of its own: the open/closed states and the counts of callbacks
// running are the only fields both threads change, and they are atomics; the
// frame buffer has its own lock.
//
// The callbacks call the wave API themselves: WOM_DONE prepares its header
// again and writes it, WIM_DATA adds its buffer again. Windows' documentation
// warns against calling wave functions from a callback, since a driver may
// hold a lock of its own around the callback; the design keeps them there
// because the callback is the only thread the library has to refill on, and
// the drivers it runs on (wine's, the stand-in's, and those it was used
// with) take these calls from the callback. A driver that deadlocked on them
// would need a thread of the library's own, woken by the callback, to make
// those calls instead.
#pragma once

#include <atomic>

#include "support/log.h"
#include "support/winapi.h"

class CAudioFrameBuffer;

class CAudio {
public:
    static const int kBufferCount = 10;
    // Device states of each direction, shared with the callback thread.
    static constexpr signed char kStateOpen = 0;
    static constexpr signed char kStateClosing = 1;
    static constexpr signed char kStateClosed = 2;
    // A close waits at most this many times this long for the close notice.
    static constexpr int kCloseWaits = 20;
    static constexpr DWORD kCloseWaitMs = 100;
    // A close refused for a buffer queued after its reset is tried this many
    // times in all.
    static constexpr int kCloseAttempts = 5;

    CAudio();
    ~CAudio();

    CAudio(const CAudio&) = delete;
    CAudio& operator=(const CAudio&) = delete;

    // Where refills take decoded PCM from (not owned). Set before the open.
    void SetFrameBuffer(CAudioFrameBuffer* frameBuffer);

    // Opens the default output device in format row `selector` (0 to 3) and
    // starts ten buffers of silence. Returns 1 on success, 0 on failure
    // (already open, unknown selector, or the device refused). A failure
    // thrown after the device was reached, or a device that took none of the
    // ten buffers, leaves the state open, so that WaveOutClose gives the
    // device back.
    int WaveOutOpen(int selector);
    // Refills one returned header from the frame buffer and queues it again.
    // Always true.
    bool WaveOutWrite(WAVEHDR* hdr);
    // Resets and closes the output device, waits (at most 2 s) for its close
    // notice and frees the buffers. A close refused because a callback queued
    // its buffer again after the reset is reset and closed again (bounded).
    // True when the device let go of every buffer and no callback runs in
    // this object any more (also when nothing was open); false when the
    // device still holds a buffer or a callback is still running after the
    // waits: the buffers are then kept, and the object must not be
    // destroyed, since the device may still use it.
    bool WaveOutClose();
    // The device callbacks have the type the wave API calls them through
    // (DRVCALLBACK); hdrvr is the device's handle.
    static void CALLBACK waveOutProc(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2);
    // The output volume word (low word left, high word right); when the device
    // cannot say, the last value known.
    DWORD GetVolume();
    // Sets both output channels to the low 16 bits of `level`. 1 on success.
    int SetVolume(DWORD level);

    // Capture half. The frame buffer set above receives what is recorded.

    // Fills `wavefmt` with 16-bit mono PCM at 8 kHz, opens the default input
    // device in it, queues ten buffers of `bufferSize` bytes and starts
    // recording. False when the device cannot be opened or got no buffer
    // recording (the state is then open all the same: WaveInClose runs its
    // whole sequence) or when capture is already open.
    bool WaveInOpen(WAVEFORMATEX* wavefmt, DWORD bufferSize);
    // Stops, resets and closes the input device, waits (at most 2 s) for its
    // close notice and frees the buffers; a refused close is handled as in
    // WaveOutClose. True, and nothing done, when not open; false, with the
    // buffers kept, when the device did not let go (see WaveOutClose).
    bool WaveInClose();
    static void CALLBACK waveInProc(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                    DWORD_PTR dwParam2);
    // Queues the samples of a filled buffer into the frame buffer as one frame
    // and adds the buffer to the device again. Always 0.
    int OnMM_WIM_DATA(HWAVEIN* phwi, WAVEHDR* hdr);

private:
    friend struct CAudioTestAccess;

    WAVEHDR m_WaveHdrOut[kBufferCount];
    WAVEHDR m_WaveHdrIn[kBufferCount];
    // 0 open, 1 closing, 2 closed. Shared with the callback thread, which
    // writes 2 on the close notice: whole reads and writes, seen at once.
    std::atomic<signed char> m_cOutState;
    std::atomic<signed char> m_cInState;
    // Callbacks of each direction running in this object. A close frees
    // nothing before they are 0, and the owner destroys nothing before the
    // close says so.
    std::atomic<int> m_nOutCallbacks;
    std::atomic<int> m_nInCallbacks;
    HWAVEOUT m_hWaveOut;
    HWAVEIN m_hWaveIn;
    // Consecutive refills that found no frame; callback thread only.
    int m_nNoDataCount;
    unsigned char* m_pOutBuffer[kBufferCount];
    unsigned char* m_pInBuffer[kBufferCount];
    DWORD m_dwOutBufferSize;
    DWORD m_dwInBufferSize;
    DWORD m_dwOutDataLen;
    CAudioFrameBuffer* m_pFrameBuffer;

    // One frame as the frame buffer delivered it, allocated by the open: the
    // part of it that did not fit the buffer being refilled starts the next
    // refill. Callback thread only while open.
    unsigned char* m_pFrame;
    int m_nFramePos;
    int m_nFrameLen;
    // The volume word last read from or accepted by the device.
    std::atomic<DWORD> m_dwVolume;

    // What the callback of one direction needs to know about it.
    struct Direction {
        UINT closeMsg;   // WOM_CLOSE or WIM_CLOSE
        UINT bufferMsg;  // WOM_DONE or WIM_DATA
        WAVEHDR* headers;
        std::atomic<signed char>* state;
        std::atomic<int>* callbacks;
        const char* failure;  // the log line when the callback fails
    };

    // The one shape of both device callbacks. The close notice unprepares the
    // direction's ten headers and marks it closed; a returned buffer goes to
    // `onBuffer` only while the direction is open (once the close has begun,
    // returned buffers stay out of the ring). No failure reaches the device:
    // it is logged.
    template <typename Handle, typename Unprepare, typename OnBuffer>
    static void OnNotice(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwParam1, const Direction& direction,
                         Unprepare unprepare, OnBuffer onBuffer);
    // Sets up one header over its buffer as both directions hand them to the
    // device: the whole buffer, once, nothing recorded yet.
    static void InitHeader(WAVEHDR* hdr, unsigned char* data, DWORD bytes);
    // Frees the ten buffers of one direction.
    static void FreeBuffers(unsigned char** buffers);
    // Waits at most kCloseWaits x kCloseWaitMs for the close notice to set
    // `state` closed: a device that never sends it costs 2 s, not a hang.
    static void WaitForClose(const std::atomic<signed char>& state);
    // Waits in the same bounds until no callback counted in `callbacks`
    // runs. True when none does.
    static bool WaitForCallbacks(const std::atomic<int>& callbacks);
    // Resets and closes the device of one direction. A callback that found
    // the direction open just before the close began may queue its buffer
    // again after the reset, and the close then answers
    // WAVERR_STILLPLAYING: once that callback has returned, the reset and
    // the close are made again, at most kCloseAttempts times in all. True
    // when the device holds none of the buffers any more: it closed, or the
    // handle was not (or no longer) a device's.
    template <typename Handle, typename Reset, typename Close>
    static bool ResetAndClose(Handle handle, const std::atomic<int>& callbacks, Reset reset, Close close);

    void FreeOutBuffers();
    // Fills `len` bytes at `dst` from the frame carried over and as many
    // queued frames as needed. Returns the bytes filled; `gotFrame` tells
    // whether any data was found at all.
    DWORD FillFromFrames(unsigned char* dst, DWORD len, bool* gotFrame);
};

template <typename Handle, typename Unprepare, typename OnBuffer>
void CAudio::OnNotice(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwParam1, const Direction& direction,
                      Unprepare unprepare, OnBuffer onBuffer)
{
    // Counted before the state is read, so that a close that has changed the
    // state and then finds no callback counted knows that none will requeue
    // a buffer or touch this object; the count is the last thing touched.
    direction.callbacks->fetch_add(1);
    try {
        Handle handle = reinterpret_cast<Handle>(hdrvr);
        if (uMsg == direction.closeMsg) {
            for (int i = 0; i < kBufferCount; ++i)
                unprepare(handle, &direction.headers[i], sizeof(WAVEHDR));
            direction.state->store(kStateClosed);
        } else if (uMsg == direction.bufferMsg && direction.state->load() == kStateOpen) {
            onBuffer(handle, reinterpret_cast<WAVEHDR*>(dwParam1));
        }
    } catch (...) {
        WriteLog(direction.failure);
    }
    direction.callbacks->fetch_sub(1);
}

template <typename Handle, typename Reset, typename Close>
bool CAudio::ResetAndClose(Handle handle, const std::atomic<int>& callbacks, Reset reset, Close close)
{
    MMRESULT result = WAVERR_STILLPLAYING;
    for (int attempt = 0; attempt < kCloseAttempts && result == WAVERR_STILLPLAYING; ++attempt) {
        if (attempt > 0)
            WaitForCallbacks(callbacks);
        reset(handle);
        result = close(handle);
    }
    return result == MMSYSERR_NOERROR || result == MMSYSERR_INVALHANDLE;
}
