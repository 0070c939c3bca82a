// One open wave handle: the queue of headers with their flags, the position,
// the volume, the device thread and every callback.
//
// Threads and callbacks, as the application sees them (output WOM_*, input
// WIM_*):
// - WOM_OPEN / WIM_OPEN is delivered on the opening thread before the open
//   returns, WOM_CLOSE / WIM_CLOSE on the closing thread before the close
//   returns.
// - WOM_DONE for a played buffer, WIM_DATA for a buffer recorded full, is
//   delivered on the device thread, in the order the buffers were queued; for
//   the buffers a reset returns (and the part-filled buffer a stop returns),
//   on the calling thread before the reset (stop) returns, in queue order.
// - Input records nothing before StartRecording, nor after StopRecording or
//   Reset until the next StartRecording.
// - The callback may call every operation but Close on its own handle. None
//   of them calls back while a callback of this stream runs on the same
//   thread: a reset (or stop) from inside a callback returns its buffers
//   right after that callback has returned.
// - No lock of the stand-in is held while the application is called back.
// - Lenient (the default): a reset, stop or close from another thread first
//   waits (bounded) for a callback running on the device thread to return, so
//   that a buffer that callback queues again is returned too. Strict
//   (SvWaveSetStrict): they do not wait, and from the close notice on every
//   call on the handle is refused as an invalid handle. In both, no callback
//   runs after the close has returned.
// - A close returns within a bound whatever the device does: it interrupts
//   the device and waits at most 500 ms for the device thread to close it
//   (once an application callback running there has returned); a device that
//   does not let go by then is abandoned to its thread, which keeps the
//   stream alive and calls nobody back.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device.h"

namespace svwave {

class WaveStream : public std::enable_shared_from_this<WaveStream> {
public:
    WaveStream(Direction direction, SvWaveDeviceKind kind, bool strict, std::unique_ptr<WaveDevice> device,
               const WAVEFORMATEX& format, LPDRVCALLBACK callback, DWORD_PTR instance);
    ~WaveStream();

    WaveStream(const WaveStream&) = delete;
    WaveStream& operator=(const WaveStream&) = delete;

    // Starts the device thread, which holds the stream until it ends, or for
    // a paced device hands the stream to the pacer (pacer.h), which holds it
    // while it is due; `handle` is the value the application knows this
    // stream by. Done before the handle is published.
    void Start(HANDLE handle);
    // Pacer thread: completes the buffer playing if its time has come, starts
    // the next one, and asks to be stepped again when that is due.
    void PaceStep();
    // Delivers the open notice.
    void NotifyOpen();

    MMRESULT Prepare(LPWAVEHDR hdr);
    MMRESULT Unprepare(LPWAVEHDR hdr);
    // waveOutWrite, or waveInAddBuffer (which also clears dwBytesRecorded).
    MMRESULT Write(LPWAVEHDR hdr);
    // Returns every queued buffer; input also stops recording.
    MMRESULT Reset();
    // Input: starts recording into the queued buffers.
    MMRESULT StartRecording();
    // Input: stops recording; the current buffer is returned if anything was
    // recorded into it, the empty ones stay queued.
    MMRESULT StopRecording();
    // Fails with WAVERR_STILLPLAYING while buffers are queued (the stream stays
    // open), with MMSYSERR_HANDLEBUSY from inside this stream's own callback.
    // On success the device thread has ended and the close notice (if the
    // device sends one) has been delivered.
    MMRESULT Close();
    MMRESULT GetVolume(DWORD* volume);
    MMRESULT SetVolume(DWORD volume);
    MMRESULT GetPosition(MMTIME* time);

    // Test device: completes up to `count` buffers (see SvWaveTestStep).
    UINT Step(UINT count);
    // Test input device: records up to `bytes` bytes (see SvWaveTestRecord).
    DWORD RecordBytes(DWORD bytes);
    UINT Queued();
    // Before a call of kind `what` on this handle: a callback on the device
    // thread that the device holds there waits (bounded) until a reset, stop
    // or close lets it go.
    void HoldBefore(int what);
    SvWaveDeviceKind Kind() const { return m_kind; }
    HANDLE Handle() const { return m_handle; }
    Direction GetDirection() const { return m_direction; }

private:
    void DeviceThread();
    void PlayLoop(std::unique_lock<std::mutex>& lock);
    // Paced: asks the pacer for a step now if a buffer waits and none plays.
    void PaceIfWaiting();
    void RecordLoop(std::unique_lock<std::mutex>& lock);
    // Bytes (whole sample frames) still free in an input buffer.
    DWORD RoomLeft(LPWAVEHDR hdr) const;
    // Device thread: takes the head buffer out of the queue and delivers its
    // notice, keeping the books that resets and steps wait on.
    void ReturnFromDevice(std::unique_lock<std::mutex>& lock, LPWAVEHDR hdr);
    // Marks a header returned now, or, inside this stream's own callback, once
    // that callback has returned.
    void ReturnNowOrAfterCallback(std::unique_lock<std::mutex>& lock, LPWAVEHDR list);
    // Calls the application back with no lock held; notices of a reset made
    // inside the callback follow when it has returned. Returns with `lock` held.
    void Deliver(std::unique_lock<std::mutex>& lock, UINT message, LPWAVEHDR hdr);
    // Marks a header returned (done, out of the queue) and delivers its notice.
    void Complete(std::unique_lock<std::mutex>& lock, LPWAVEHDR hdr);
    // Waits (bounded) until no callback runs on the device thread, unless
    // that is the calling thread.
    void WaitForDeviceCallback(std::unique_lock<std::mutex>& lock);
    // Lets a held callback go; with `wait`, returns once no callback runs on
    // the device thread.
    void ReleaseHeld(std::unique_lock<std::mutex>& lock, bool wait);
    bool InOwnCallback() const;
    bool OnOwnDeviceThread() const;
    UINT StepLocked(std::unique_lock<std::mutex>& lock, UINT count);
    void Enqueue(LPWAVEHDR hdr);
    LPWAVEHDR Dequeue();

    const Direction m_direction;
    const SvWaveDeviceKind m_kind;
    const bool m_strict;
    const std::unique_ptr<WaveDevice> m_device;
    const WAVEFORMATEX m_format;
    const LPDRVCALLBACK m_callback;
    const DWORD_PTR m_instance;
    HANDLE m_handle = nullptr;
    const UINT m_msgOpen, m_msgClose, m_msgDone;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::thread m_thread;
    std::thread::id m_threadId;  // set before the handle is published, then fixed

    // The device queue, linked through the headers' lpNext as a driver does,
    // so queueing allocates nothing.
    LPWAVEHDR m_head = nullptr;
    LPWAVEHDR m_tail = nullptr;
    // Headers marked WHDR_INQUEUE: the device queue plus those a reset has
    // taken out whose notice is still to come.
    UINT m_inQueue = 0;
    uint64_t m_resetCount = 0;     // the epoch handed to Transfer
    unsigned m_resetsWaiting = 0;  // resets waiting for the device callback
    bool m_deviceInCallback = false;
    bool m_held = false;  // a callback on the device thread is held (HoldBefore)
    uint64_t m_deviceDeliveries = 0;  // device-thread notices whose callback returned
    bool m_stop = false;
    bool m_closed = false;
    bool m_deviceBusy = false;   // the device thread is in Transfer or Record
    bool m_deviceEnded = false;  // the device thread has closed the device
    bool m_abandoned = false;    // the close stopped waiting for the device thread
    bool m_ranDry = true;  // the queue was empty (or recording stopped) since the last buffer
    bool m_recording = false;  // input: between StartRecording and StopRecording/Reset
    uint64_t m_recordedBytes = 0;  // input: bytes recorded whose notices (if any) are delivered
    uint64_t m_position = 0;  // bytes completed since the open or last reset
    DWORD m_volume = 0xFFFFFFFF;

    std::vector<BYTE> m_render;  // device thread only: samples after volume, or recorded

    // Paced streams (set before the handle is published, then fixed): the
    // buffer playing, with what it started with, under m_mutex.
    bool m_paced = false;
    LPWAVEHDR m_playing = nullptr;
    uint64_t m_playingEpoch = 0;
    std::chrono::steady_clock::time_point m_playingDue;
};

// Waits up to `bound` until every device thread that a close abandoned has
// ended; true when none is left.
bool WaitForAbandonedDevices(std::chrono::milliseconds bound);

// The open stream of `direction` behind a handle, or null: the registry keeps
// closed handles from ever being used again, and an output handle is no input
// handle.
std::shared_ptr<WaveStream> FindStream(HANDLE handle, Direction direction);

// What the waveOut and waveIn functions share (waveout.cpp). Each of the
// *Call functions is one whole call of `direction`: it does the work, records
// the call as `what` in the call record (when it is kept) and returns its
// result.
bool ValidHeader(LPWAVEHDR pwh, UINT cbwh);
// The call record's entry for a call on `handle`, filed under the handle field
// of `direction`.
SvWaveCall MakeCall(Direction direction, int what, HANDLE handle, LPWAVEHDR pwh = nullptr, UINT uArg = 0,
                    DWORD dwArg = 0);
// Records a call in the call record (when it is kept) and returns `result`.
MMRESULT FinishCall(SvWaveCall call, MMRESULT result);
// Checks the arguments of an open, opens the device WAVE_MAPPER stands for
// and registers its stream in `opened` (left null by a format query); fills
// in `call`, the open's record. The caller stores the handle, then delivers
// the open notice.
MMRESULT OpenStream(Direction direction, int what, bool haveHandle, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen, SvWaveCall* call,
                    std::shared_ptr<WaveStream>* opened);

// waveOutOpen, waveInOpen.
template <typename Handle>
MMRESULT OpenCall(Direction direction, int what, Handle* phandle, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                  DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    SvWaveCall call = {};
    std::shared_ptr<WaveStream> stream;
    const MMRESULT result = OpenStream(direction, what, phandle != nullptr, uDeviceID, pwfx, dwCallback, dwInstance,
                                       fdwOpen, &call, &stream);
    if (stream) {
        // The handle is the application's before its first notice.
        *phandle = static_cast<Handle>(stream->Handle());
        stream->NotifyOpen();
    }
    return FinishCall(call, result);
}
// Closes the stream behind a handle and lets the handle go.
MMRESULT CloseCall(Direction direction, int what, HANDLE handle);
// A header call (prepare, unprepare, write or add): finds the open stream
// behind the handle, checks the header and hands it to `op`.
MMRESULT HeaderCall(Direction direction, int what, HANDLE handle, LPWAVEHDR pwh, UINT cbwh,
                    MMRESULT (WaveStream::*op)(LPWAVEHDR));
// A call of the handle alone (reset, start, stop): hands the open stream
// behind it to `op`.
MMRESULT StreamCall(Direction direction, int what, HANDLE handle, MMRESULT (WaveStream::*op)());

// Call record, output log and input feed of the test device (testdevice.cpp).
bool RecordingCalls();
void RecordCall(const SvWaveCall& call);
void AppendTestOutput(const BYTE* data, DWORD bytes);
// Copies the next `bytes` bytes of the input feed to dst (zeros past its end).
void TakeTestInput(BYTE* dst, DWORD bytes);
void NoteTestHandle(Direction direction, HANDLE handle);
// Tells SvWaveTestWaitHeld that a callback is held, or let go.
void NoteHeldCallback(bool held);
// True on a device thread of the stand-in.
bool OnDeviceThread();
// Marks the calling thread a device thread (the pacer's).
void MarkDeviceThread();

}  // namespace svwave
