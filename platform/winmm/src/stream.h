// One open wave handle: the queue of headers with their flags, the position,
// the volume, the device thread and every callback.
//
// Threads and callbacks, as the application sees them:
// - WOM_OPEN is delivered on the opening thread before waveOutOpen returns,
//   WOM_CLOSE on the closing thread before waveOutClose returns.
// - WOM_DONE for a played buffer is delivered on the device thread; for the
//   buffers a reset returns, on the resetting thread before waveOutReset
//   returns, in queue order.
// - The callback may call Prepare, Unprepare, Write, Reset, GetVolume,
//   SetVolume and GetPosition on its own handle. None of them calls back while
//   a callback of this stream runs on the same thread: a reset from inside a
//   callback returns its buffers right after that callback has returned.
// - No lock of the stand-in is held while the application is called back.
// - A reset or close from another thread first waits (bounded) for a callback
//   running on the device thread to return, so that a buffer that callback
//   queues again is returned too, and no callback runs after waveOutClose.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device.h"

namespace svwave {

class WaveStream {
public:
    WaveStream(Direction direction, SvWaveDeviceKind kind, std::unique_ptr<WaveDevice> device,
               const WAVEFORMATEX& format, LPWAVECALLBACK callback, DWORD_PTR instance);
    ~WaveStream();

    WaveStream(const WaveStream&) = delete;
    WaveStream& operator=(const WaveStream&) = delete;

    // Starts the device thread; `handle` is the value the application knows
    // this stream by. Done before the handle is published.
    void Start(HANDLE handle);
    // Delivers the open notice.
    void NotifyOpen();

    MMRESULT Prepare(LPWAVEHDR hdr);
    MMRESULT Unprepare(LPWAVEHDR hdr);
    MMRESULT Write(LPWAVEHDR hdr);
    MMRESULT Reset();
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
    UINT Queued();
    SvWaveDeviceKind Kind() const { return m_kind; }

private:
    void DeviceThread();
    // Calls the application back with no lock held; notices of a reset made
    // inside the callback follow when it has returned. Returns with `lock` held.
    void Deliver(std::unique_lock<std::mutex>& lock, UINT message, LPWAVEHDR hdr);
    // Marks a header returned (done, out of the queue) and delivers its notice.
    void Complete(std::unique_lock<std::mutex>& lock, LPWAVEHDR hdr);
    // Waits (bounded) until no callback runs on the device thread, unless
    // that is the calling thread.
    void WaitForDeviceCallback(std::unique_lock<std::mutex>& lock);
    bool InOwnCallback() const;
    bool OnOwnDeviceThread() const;
    UINT StepLocked(std::unique_lock<std::mutex>& lock, UINT count);
    void Enqueue(LPWAVEHDR hdr);
    LPWAVEHDR Dequeue();

    const Direction m_direction;
    const SvWaveDeviceKind m_kind;
    const std::unique_ptr<WaveDevice> m_device;
    const WAVEFORMATEX m_format;
    const LPWAVECALLBACK m_callback;
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
    uint64_t m_deviceDeliveries = 0;  // device-thread notices whose callback returned
    bool m_stop = false;
    bool m_closed = false;
    bool m_ranDry = true;  // the queue was empty since the last buffer
    uint64_t m_position = 0;  // bytes completed since the open or last reset
    DWORD m_volume = 0xFFFFFFFF;

    std::vector<BYTE> m_render;  // device thread only: samples after volume
};

// The open stream behind a handle, or null: the registry keeps closed handles
// from ever being used again.
std::shared_ptr<WaveStream> FindStream(HANDLE handle);

// Call record and output log of the test device (testdevice.cpp).
bool RecordingCalls();
void RecordCall(const SvWaveCall& call);
void AppendTestOutput(const BYTE* data, DWORD bytes);
void NoteTestHandle(HWAVEOUT hwo);
// True on a device thread of the stand-in.
bool OnDeviceThread();

}  // namespace svwave
