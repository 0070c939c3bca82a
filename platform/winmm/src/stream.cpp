#include "stream.h"

#include <string.h>

#include "pacer.h"

#include <algorithm>
#include <chrono>

namespace svwave {

namespace {

// A reset or close waits this long for a callback running on the device
// thread; a callback that takes longer is the application's fault, and the
// reset goes on without it.
const auto kDeviceCallbackWait = std::chrono::seconds(2);
// A step waits this long for one buffer's callback to return.
const auto kStepWait = std::chrono::seconds(5);
// A callback the test device holds waits at most this long to be let go.
const auto kHoldWait = std::chrono::seconds(5);
// A close waits this long for the device thread to let go of the device (its
// last transfer interrupted, the device closed), once the application's
// callback it may be running has returned. A device that has not by then (a
// sound server that does not answer) is abandoned: its thread goes on alone,
// keeps the stream alive, calls nobody back, and frees both if the device
// ever returns.
const auto kCloseWait = std::chrono::milliseconds(500);

// Device threads that a close abandoned and that have not ended yet.
std::mutex g_abandonedMutex;
std::condition_variable g_abandonedCv;
unsigned g_abandoned = 0;

// The callbacks running on this thread, innermost first. A reset made from
// inside one of them leaves its notices here, to be delivered when that
// callback has returned: callbacks of one stream never nest.
struct DeliveryFrame {
    const WaveStream* stream;
    LPWAVEHDR deferredHead;
    LPWAVEHDR deferredTail;
    DeliveryFrame* outer;
};
thread_local DeliveryFrame* t_frames = nullptr;
thread_local bool t_deviceThread = false;
// On the pacer thread: the stream it is stepping, whose device thread it is
// for the time being.
thread_local const WaveStream* t_pacedStream = nullptr;

DeliveryFrame* FrameOf(const WaveStream* stream)
{
    for (DeliveryFrame* frame = t_frames; frame != nullptr; frame = frame->outer) {
        if (frame->stream == stream)
            return frame;
    }
    return nullptr;
}

void Append(LPWAVEHDR& head, LPWAVEHDR& tail, LPWAVEHDR list)
{
    if (list == nullptr)
        return;
    if (tail != nullptr)
        tail->lpNext = list;
    else
        head = list;
    tail = list;
    while (tail->lpNext != nullptr)
        tail = tail->lpNext;
}

}  // namespace

bool OnDeviceThread()
{
    return t_deviceThread;
}

void MarkDeviceThread()
{
    t_deviceThread = true;
}

WaveStream::WaveStream(Direction direction, SvWaveDeviceKind kind, bool strict, std::unique_ptr<WaveDevice> device,
                       const WAVEFORMATEX& format, LPDRVCALLBACK callback, DWORD_PTR instance)
    : m_direction(direction),
      m_kind(kind),
      m_strict(strict),
      m_device(std::move(device)),
      m_format(format),
      m_callback(callback),
      m_instance(instance),
      m_msgOpen(direction == Direction::kOutput ? WOM_OPEN : WIM_OPEN),
      m_msgClose(direction == Direction::kOutput ? WOM_CLOSE : WIM_CLOSE),
      m_msgDone(direction == Direction::kOutput ? WOM_DONE : WIM_DATA)
{
}

WaveStream::~WaveStream()
{
    // The device thread holds the stream while it runs, so it has ended (or
    // was never started) by now; it closes the device itself.
    if (!m_deviceEnded)
        m_device->Close();
}

void WaveStream::Start(HANDLE handle)
{
    m_handle = handle;
    if (m_direction == Direction::kOutput && m_device->Paced()) {
        // Nothing to do until the first buffer comes.
        m_paced = true;
        return;
    }
    m_thread = std::thread([self = shared_from_this()] { self->DeviceThread(); });
    m_threadId = m_thread.get_id();
}

bool WaitForAbandonedDevices(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(g_abandonedMutex);
    return g_abandonedCv.wait_for(lock, bound, [] { return g_abandoned == 0; });
}

void WaveStream::NotifyOpen()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    Deliver(lock, m_msgOpen, nullptr);
}

bool WaveStream::InOwnCallback() const
{
    return FrameOf(this) != nullptr;
}

bool WaveStream::OnOwnDeviceThread() const
{
    if (m_paced)
        return t_pacedStream == this;
    return std::this_thread::get_id() == m_threadId;
}

void WaveStream::Deliver(std::unique_lock<std::mutex>& lock, UINT message, LPWAVEHDR hdr)
{
    if (m_callback == nullptr)
        return;
    if (RecordingCalls()) {
        SvWaveCall call = {};
        call.nCall = SV_WAVE_CALLBACK;
        if (m_direction == Direction::kOutput)
            call.hwo = static_cast<HWAVEOUT>(m_handle);
        else
            call.hwi = static_cast<HWAVEIN>(m_handle);
        call.pwh = hdr;
        call.uArg = message;
        call.dwInstance = m_instance;
        call.bDeviceThread = OnDeviceThread();
        RecordCall(call);
    }
    DeliveryFrame frame = {this, nullptr, nullptr, t_frames};
    t_frames = &frame;
    lock.unlock();
    m_callback(static_cast<HDRVR>(m_handle), message, m_instance, reinterpret_cast<DWORD_PTR>(hdr), 0);
    lock.lock();
    t_frames = frame.outer;
    // Notices a reset inside the callback left behind are delivered now, in
    // order, each after the previous callback has returned.
    for (LPWAVEHDR next = frame.deferredHead; next != nullptr;) {
        LPWAVEHDR deferred = next;
        next = deferred->lpNext;
        Complete(lock, deferred);
    }
}

void WaveStream::Complete(std::unique_lock<std::mutex>& lock, LPWAVEHDR hdr)
{
    hdr->dwFlags = (hdr->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
    --m_inQueue;
    m_cv.notify_all();
    Deliver(lock, m_msgDone, hdr);
}

void WaveStream::Enqueue(LPWAVEHDR hdr)
{
    hdr->lpNext = nullptr;
    if (m_tail != nullptr)
        m_tail->lpNext = hdr;
    else
        m_head = hdr;
    m_tail = hdr;
}

LPWAVEHDR WaveStream::Dequeue()
{
    LPWAVEHDR hdr = m_head;
    m_head = hdr->lpNext;
    if (m_head == nullptr)
        m_tail = nullptr;
    hdr->lpNext = nullptr;
    return hdr;
}

void WaveStream::WaitForDeviceCallback(std::unique_lock<std::mutex>& lock)
{
    if (OnOwnDeviceThread())
        return;
    m_cv.wait_for(lock, kDeviceCallbackWait, [this] { return !m_deviceInCallback; });
}

void WaveStream::HoldBefore(int what)
{
    if (!OnOwnDeviceThread() || !InOwnCallback())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed || !m_device->HoldsCall(what))
        return;
    m_held = true;
    NoteHeldCallback(true);
    m_cv.notify_all();
    m_cv.wait_for(lock, kHoldWait, [this] { return !m_held; });
    m_held = false;
    NoteHeldCallback(false);
}

void WaveStream::ReleaseHeld(std::unique_lock<std::mutex>& lock, bool wait)
{
    if (!m_held)
        return;
    m_held = false;
    m_cv.notify_all();
    if (wait)
        WaitForDeviceCallback(lock);
}

void WaveStream::DeviceThread()
{
    t_deviceThread = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_direction == Direction::kOutput)
        PlayLoop(lock);
    else
        RecordLoop(lock);
    // The close is waiting (bounded) for the device to be let go of.
    lock.unlock();
    m_device->Close();
    lock.lock();
    m_deviceEnded = true;
    const bool abandoned = m_abandoned;
    m_cv.notify_all();
    lock.unlock();
    if (abandoned) {
        std::lock_guard<std::mutex> count(g_abandonedMutex);
        --g_abandoned;
        g_abandonedCv.notify_all();
    }
}

void WaveStream::ReturnFromDevice(std::unique_lock<std::mutex>& lock, LPWAVEHDR hdr)
{
    Dequeue();
    m_deviceInCallback = true;
    Complete(lock, hdr);
    m_deviceInCallback = false;
    ++m_deviceDeliveries;
    m_cv.notify_all();
}

void WaveStream::PlayLoop(std::unique_lock<std::mutex>& lock)
{
    for (;;) {
        // A reset that waits for the callback to finish must find the queue as
        // the callback left it: nothing new starts until it has taken it.
        while (!m_stop && (m_head == nullptr || m_resetsWaiting > 0)) {
            if (m_head == nullptr)
                m_ranDry = true;
            m_cv.wait(lock);
        }
        if (m_stop)
            break;
        LPWAVEHDR hdr = m_head;
        const uint64_t epoch = m_resetCount;
        const bool continuous = !m_ranDry;
        m_ranDry = false;
        const DWORD bytes = hdr->dwBufferLength;
        if (m_render.size() < bytes)
            m_render.resize(bytes);
        // The samples and the level are taken when the buffer starts to play.
        ApplyVolume(m_format, m_volume, reinterpret_cast<const BYTE*>(hdr->lpData), m_render.data(), bytes);

        m_deviceBusy = true;
        lock.unlock();
        const bool played = m_device->Transfer(m_render.data(), bytes, continuous, epoch);
        lock.lock();
        m_deviceBusy = false;

        // A reset or close in the meantime has taken the buffer back.
        if (!played || epoch != m_resetCount || m_head != hdr || m_stop)
            continue;
        m_position += bytes;
        ReturnFromDevice(lock, hdr);
    }
}

void WaveStream::PaceIfWaiting()
{
    // Inside this stream's own step, the step starts the buffer itself.
    if (m_paced && t_pacedStream != this && !m_stop && m_playing == nullptr && m_head != nullptr &&
        m_resetsWaiting == 0)
        PaceAt(shared_from_this(), std::chrono::steady_clock::now());
}

void WaveStream::PaceStep()
{
    const WaveStream* outer = t_pacedStream;
    t_pacedStream = this;
    std::unique_lock<std::mutex> lock(m_mutex);
    // As PlayLoop, a buffer at a time, but the wait is the pacer's.
    while (!m_stop) {
        if (m_playing != nullptr) {
            if (m_playingDue > std::chrono::steady_clock::now()) {
                PaceAt(shared_from_this(), m_playingDue);
                break;
            }
            LPWAVEHDR hdr = m_playing;
            m_playing = nullptr;
            // A reset in the meantime has taken the buffer back.
            if (m_playingEpoch == m_resetCount && m_head == hdr) {
                const DWORD bytes = hdr->dwBufferLength;
                m_device->Played(m_device->KeepsSamples() ? m_render.data() : nullptr, bytes);
                m_position += bytes;
                ReturnFromDevice(lock, hdr);
            }
            continue;
        }
        // A reset that waits for the callback to finish must find the queue
        // as the callback left it; it asks for a step when it is done.
        if (m_head == nullptr || m_resetsWaiting > 0) {
            if (m_head == nullptr)
                m_ranDry = true;
            break;
        }
        LPWAVEHDR hdr = m_head;
        const bool continuous = !m_ranDry;
        m_ranDry = false;
        const DWORD bytes = hdr->dwBufferLength;
        // The samples and the level are taken when the buffer starts to play,
        // and only by a device that keeps them.
        if (m_device->KeepsSamples()) {
            if (m_render.size() < bytes)
                m_render.resize(bytes);
            ApplyVolume(m_format, m_volume, reinterpret_cast<const BYTE*>(hdr->lpData), m_render.data(), bytes);
        }
        m_playing = hdr;
        m_playingEpoch = m_resetCount;
        m_playingDue = m_device->Schedule(bytes, continuous, m_resetCount);
    }
    t_pacedStream = outer;
}

DWORD WaveStream::RoomLeft(LPWAVEHDR hdr) const
{
    const DWORD block = m_format.nBlockAlign;
    const DWORD usable = hdr->dwBufferLength - hdr->dwBufferLength % block;
    return usable > hdr->dwBytesRecorded ? usable - hdr->dwBytesRecorded : 0;
}

void WaveStream::RecordLoop(std::unique_lock<std::mutex>& lock)
{
    const DWORD block = m_format.nBlockAlign;
    for (;;) {
        while (!m_stop && (!m_recording || m_head == nullptr || m_resetsWaiting > 0)) {
            if (!m_recording || m_head == nullptr)
                m_ranDry = true;
            m_cv.wait(lock);
        }
        if (m_stop)
            break;
        LPWAVEHDR hdr = m_head;
        const DWORD room = RoomLeft(hdr);
        if (room == 0) {
            // Too short to hold one sample frame: it is as full as it gets.
            ReturnFromDevice(lock, hdr);
            continue;
        }
        const uint64_t epoch = m_resetCount;
        const bool continuous = !m_ranDry;
        m_ranDry = false;
        if (m_render.size() < room)
            m_render.resize(room);

        m_deviceBusy = true;
        lock.unlock();
        DWORD got = m_device->Record(m_render.data(), room, continuous, epoch);
        lock.lock();
        m_deviceBusy = false;

        // A stop, reset or close in the meantime has taken the buffer back,
        // and what was recorded for it goes nowhere.
        if (got > room)
            got = room;
        got -= got % block;
        if (got == 0 || epoch != m_resetCount || m_head != hdr || m_stop)
            continue;
        memcpy(hdr->lpData + hdr->dwBytesRecorded, m_render.data(), got);
        hdr->dwBytesRecorded += got;
        m_position += got;
        // Only a full buffer comes back by itself.
        if (RoomLeft(hdr) == 0)
            ReturnFromDevice(lock, hdr);
        m_recordedBytes += got;
        m_cv.notify_all();
    }
}

MMRESULT WaveStream::Prepare(LPWAVEHDR hdr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT fault = m_device->CheckPrepare();
    if (fault != MMSYSERR_NOERROR)
        return fault;
    hdr->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Unprepare(LPWAVEHDR hdr)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed && m_strict)
        return MMSYSERR_INVALHANDLE;
    if (hdr->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    hdr->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Write(LPWAVEHDR hdr)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    if (!(hdr->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    if (hdr->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    const MMRESULT fault = m_device->CheckWrite();
    if (fault != MMSYSERR_NOERROR)
        return fault;
    hdr->dwFlags = (hdr->dwFlags & ~static_cast<DWORD>(WHDR_DONE)) | WHDR_INQUEUE;
    if (m_direction == Direction::kInput)
        hdr->dwBytesRecorded = 0;
    Enqueue(hdr);
    ++m_inQueue;
    m_cv.notify_all();
    PaceIfWaiting();
    if (m_direction == Direction::kOutput && !InOwnCallback() && !OnOwnDeviceThread() &&
        m_device->CompletesOnWrite()) {
        UINT ahead = 0;
        for (LPWAVEHDR queued = m_head; queued != nullptr; queued = queued->lpNext)
            ++ahead;
        StepLocked(lock, ahead);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Reset()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    m_device->Interrupt(++m_resetCount);
    m_playing = nullptr;
    if (!m_strict) {
        ++m_resetsWaiting;
        ReleaseHeld(lock, false);
        WaitForDeviceCallback(lock);
        --m_resetsWaiting;
    }
    LPWAVEHDR list = m_head;
    m_head = m_tail = nullptr;
    m_position = 0;
    m_ranDry = true;
    m_recording = false;
    m_cv.notify_all();
    ReturnNowOrAfterCallback(lock, list);
    // What the callbacks queued again meanwhile (the reset's, or one on the
    // pacer that a waiting reset held back) starts now.
    PaceIfWaiting();
    // Strict: a held callback goes on only now, so what it queues lands after
    // the reset, as it may on a driver that does not wait.
    if (m_strict)
        ReleaseHeld(lock, true);
    return MMSYSERR_NOERROR;
}

void WaveStream::ReturnNowOrAfterCallback(std::unique_lock<std::mutex>& lock, LPWAVEHDR list)
{
    if (DeliveryFrame* frame = FrameOf(this)) {
        Append(frame->deferredHead, frame->deferredTail, list);
        return;
    }
    // The headers keep WHDR_INQUEUE until their own notice, so a callback
    // cannot queue one of them again while it still links the list.
    for (LPWAVEHDR next = list; next != nullptr;) {
        LPWAVEHDR hdr = next;
        next = hdr->lpNext;
        Complete(lock, hdr);
    }
}

MMRESULT WaveStream::StartRecording()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT fault = m_device->CheckStart();
    if (fault != MMSYSERR_NOERROR)
        return fault;
    m_recording = true;
    m_cv.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::StopRecording()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    m_recording = false;
    // What the device is recording right now is dropped, as a driver drops
    // the period it is filling; what reached the buffer stays.
    m_device->Interrupt(++m_resetCount);
    if (!m_strict) {
        ++m_resetsWaiting;
        ReleaseHeld(lock, false);
        WaitForDeviceCallback(lock);
        --m_resetsWaiting;
    }
    m_ranDry = true;
    m_cv.notify_all();
    if (m_head != nullptr && m_head->dwBytesRecorded > 0)
        ReturnNowOrAfterCallback(lock, Dequeue());
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::Close()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed)
        return MMSYSERR_INVALHANDLE;
    // Closing from its own callback would have the device thread wait for
    // itself.
    if (InOwnCallback() || OnOwnDeviceThread())
        return MMSYSERR_HANDLEBUSY;
    if (!m_strict) {
        ReleaseHeld(lock, false);
        WaitForDeviceCallback(lock);
    }
    if (m_inQueue > 0 || m_device->RefusesClose())
        return WAVERR_STILLPLAYING;
    m_closed = true;
    m_stop = true;
    // A held callback goes on against a closed handle; the wait below covers
    // it. A transfer or recording still under way (a buffer the device holds
    // on to after its reset) returns now; nothing it did counts.
    ReleaseHeld(lock, false);
    if (m_deviceBusy)
        m_device->Interrupt(++m_resetCount);
    m_cv.notify_all();
    // The application's callback running on the device thread, if any, first
    // (as long as a reset waits for one), then the device.
    m_cv.wait_for(lock, kDeviceCallbackWait, [this] { return m_deviceEnded || !m_deviceInCallback; });
    if (m_paced) {
        // The pacer steps a stopped stream no further, and never blocks on
        // the device: the close lets go of it here.
        m_playing = nullptr;
        StopPacing(this);
        m_device->Close();
        m_deviceEnded = true;
    } else if (m_cv.wait_for(lock, kCloseWait, [this] { return m_deviceEnded; })) {
        lock.unlock();
        m_thread.join();
        lock.lock();
    } else {
        m_abandoned = true;
        {
            std::lock_guard<std::mutex> count(g_abandonedMutex);
            ++g_abandoned;
        }
        m_thread.detach();
        OutputDebugStringA(m_direction == Direction::kOutput
                               ? "waveOutClose: the device did not let go within 500 ms; it is abandoned\n"
                               : "waveInClose: the device did not let go within 500 ms; it is abandoned\n");
    }
    if (m_device->SendsCloseNotice())
        Deliver(lock, m_msgClose, nullptr);
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::GetVolume(DWORD* volume)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed && m_strict)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT fault = m_device->CheckVolume();
    if (fault != MMSYSERR_NOERROR)
        return fault;
    *volume = m_volume;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::SetVolume(DWORD volume)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed && m_strict)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT fault = m_device->CheckVolume();
    if (fault != MMSYSERR_NOERROR)
        return fault;
    m_volume = volume;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveStream::GetPosition(MMTIME* time)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed && m_strict)
        return MMSYSERR_INVALHANDLE;
    switch (time->wType) {
    case TIME_SAMPLES:
        time->u.sample = static_cast<DWORD>(m_position / m_format.nBlockAlign);
        break;
    case TIME_MS:
        time->u.ms = static_cast<DWORD>(m_position * 1000 / m_format.nAvgBytesPerSec);
        break;
    default:
        // Formats the device does not keep are answered in bytes, and wType
        // says so, as Windows does.
        time->wType = TIME_BYTES;
        time->u.cb = static_cast<DWORD>(m_position);
        break;
    }
    return MMSYSERR_NOERROR;
}

UINT WaveStream::Step(UINT count)
{
    if (InOwnCallback() || OnOwnDeviceThread())
        return 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    return StepLocked(lock, count);
}

UINT WaveStream::StepLocked(std::unique_lock<std::mutex>& lock, UINT count)
{
    UINT done = 0;
    while (done < count && !m_closed && m_head != nullptr) {
        // A callback already running on the device thread finishes first.
        const uint64_t target = m_deviceDeliveries + (m_deviceInCallback ? 2 : 1);
        const uint64_t epoch = m_resetCount;
        if (!m_device->Grant(1))
            break;
        // A reset from elsewhere takes the buffer back before it is played; one
        // made by the callback itself still lets that callback finish.
        m_cv.wait_for(lock, kStepWait, [&] {
            return m_deviceDeliveries >= target || m_closed || (m_resetCount != epoch && !m_deviceInCallback);
        });
        if (m_deviceDeliveries < target)
            break;
        ++done;
    }
    return done;
}

DWORD WaveStream::RecordBytes(DWORD bytes)
{
    if (m_direction != Direction::kInput || InOwnCallback() || OnOwnDeviceThread())
        return 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    bytes -= bytes % m_format.nBlockAlign;
    DWORD done = 0;
    while (done < bytes && !m_closed && m_recording && m_head != nullptr) {
        // One buffer at a time, so that every grant ends inside the buffer at
        // the head and the wait below knows what to expect.
        const DWORD chunk = std::min(bytes - done, RoomLeft(m_head));
        if (chunk == 0)
            break;
        const uint64_t target = m_recordedBytes + chunk;
        const uint64_t epoch = m_resetCount;
        if (!m_device->Grant(chunk))
            break;
        // A stop or reset from elsewhere takes the buffer back before it is
        // filled; one made by the callback itself still lets that callback
        // finish.
        m_cv.wait_for(lock, kStepWait, [&] {
            return m_recordedBytes >= target || m_closed || (m_resetCount != epoch && !m_deviceInCallback);
        });
        if (m_recordedBytes < target)
            break;
        done += chunk;
    }
    return done;
}

UINT WaveStream::Queued()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inQueue;
}

}  // namespace svwave
