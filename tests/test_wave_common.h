// What the wave tests of both directions share: a callback that records every
// notice, the open handles a fixture closes at its end, formats, buffers to
// record into, signals and frames to compare audio with, the test device's
// call record and counted sleeps, and a fixed clock for the log's stamps.
#pragma once

#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <svwin/mmsystem.h>
#include <svwin/platform.h>
#include <svwin/wavedevice.h>

namespace wavetest {

const UINT kHdr = sizeof(WAVEHDR);

struct Notice {
    UINT msg;
    LPWAVEHDR hdr;
    std::thread::id thread;
    DWORD flags;
    DWORD bytes;             // dwBytesRecorded as the callback saw it
    std::vector<BYTE> data;  // what the buffer held then (WIM_DATA)
    int depth;               // notices of the stand-in running on this thread, this one included
};

inline thread_local int t_depth = 0;

// Records every notice of the devices it is the callback of; an optional
// action runs inside the callback. `Handle` is the direction's handle type.
template <typename Handle>
class BasicListener {
public:
    static void CALLBACK Proc(HDRVR hdrvr, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
    {
        Handle handle = reinterpret_cast<Handle>(hdrvr);
        BasicListener* self = reinterpret_cast<BasicListener*>(instance);
        LPWAVEHDR hdr = reinterpret_cast<LPWAVEHDR>(param1);
        ++t_depth;
        Notice n{msg, hdr, std::this_thread::get_id(), 0, 0, {}, t_depth};
        if (hdr != nullptr) {
            n.flags = hdr->dwFlags;
            n.bytes = hdr->dwBytesRecorded;
            if (msg == WIM_DATA)
                n.data.assign(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
        }
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->notices_.push_back(std::move(n));
        }
        if (self->action)
            self->action(handle, msg, hdr);
        self->cv_.notify_all();
        --t_depth;
    }

    std::vector<Notice> All()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }
    std::vector<Notice> Of(UINT msg)
    {
        std::vector<Notice> all = All(), some;
        std::copy_if(all.begin(), all.end(), std::back_inserter(some), [&](const Notice& n) { return n.msg == msg; });
        return some;
    }
    std::vector<Notice> Done() { return Of(WOM_DONE); }
    std::vector<Notice> Data() { return Of(WIM_DATA); }
    // Waits (bounded) until `count` notices `msg` have come.
    bool WaitFor(UINT msg, size_t count, std::chrono::milliseconds patience = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, patience, [&] {
            return static_cast<size_t>(std::count_if(notices_.begin(), notices_.end(),
                                                     [&](const Notice& n) { return n.msg == msg; })) >= count;
        });
    }
    bool WaitDone(size_t count) { return WaitFor(WOM_DONE, count); }
    bool WaitData(size_t count) { return WaitFor(WIM_DATA, count); }

    std::function<void(Handle, UINT, LPWAVEHDR)> action;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Notice> notices_;
};

typedef BasicListener<HWAVEOUT> OutListener;
typedef BasicListener<HWAVEIN> InListener;

inline MMRESULT OpenDevice(HWAVEOUT* h, const WAVEFORMATEX& format, OutListener* listener)
{
    return waveOutOpen(h, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&OutListener::Proc),
                       reinterpret_cast<DWORD_PTR>(listener), CALLBACK_FUNCTION);
}
inline MMRESULT OpenDevice(HWAVEIN* h, const WAVEFORMATEX& format, InListener* listener)
{
    return waveInOpen(h, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(&InListener::Proc),
                      reinterpret_cast<DWORD_PTR>(listener), CALLBACK_FUNCTION);
}
inline MMRESULT ResetDevice(HWAVEOUT h) { return waveOutReset(h); }
inline MMRESULT ResetDevice(HWAVEIN h) { return waveInReset(h); }
inline MMRESULT CloseDevice(HWAVEOUT h) { return waveOutClose(h); }
inline MMRESULT CloseDevice(HWAVEIN h) { return waveInClose(h); }

// The devices a test opened and has not closed: the fixture resets and closes
// them at its end, so that no test leaves one running into the next.
template <typename Handle>
class OpenDevices {
public:
    // Opens the default device with `listener` as its callback.
    Handle Open(const WAVEFORMATEX& format, BasicListener<Handle>* listener)
    {
        Handle h = nullptr;
        EXPECT_EQ(OpenDevice(&h, format, listener), MMSYSERR_NOERROR);
        if (h != nullptr)
            handles_.push_back(h);
        return h;
    }
    MMRESULT Close(Handle h)
    {
        const MMRESULT r = CloseDevice(h);
        if (r == MMSYSERR_NOERROR)
            Forget(h);
        return r;
    }
    void Forget(Handle h) { handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end()); }
    void CloseAll()
    {
        for (Handle h : handles_) {
            ResetDevice(h);
            CloseDevice(h);
        }
        handles_.clear();
    }

private:
    std::vector<Handle> handles_;
};

inline WAVEFORMATEX Pcm(WORD channels, WORD bits = 16, DWORD rate = 8000, WORD tag = WAVE_FORMAT_PCM)
{
    WAVEFORMATEX f = {};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}
inline WAVEFORMATEX Pcm16(WORD channels = 1, DWORD rate = 8000) { return Pcm(channels, 16, rate); }

// A file of this process's own under /tmp: `stem`, the process id, `what`.
inline std::string TempPath(const char* stem, const char* what)
{
    return std::string("/tmp/") + stem + std::to_string(getpid()) + what;
}

// The name of a device kind in a parameterised test's name.
inline const char* KindName(SvWaveDeviceKind kind)
{
    static const char* const kNames[] = {"Auto", "Virtual", "Alsa", "Test"};
    const unsigned index = static_cast<unsigned>(kind);
    return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "Auto";
}

// Buffers to play, or to record into, with their headers.
class Buffers {
public:
    // `count` buffers of `bytes` bytes filled with a marker, so that what the
    // device wrote shows.
    void Make(int count, DWORD bytes)
    {
        MakeFilled(count, bytes);
        for (auto& data : data_)
            std::fill(data.begin(), data.end(), BYTE(0xA5));
    }
    // `count` buffers of `bytes` bytes of 16-bit samples: sample s of buffer
    // i is sample(i, s).
    template <typename Sample>
    void MakeSamples(int count, DWORD bytes, Sample sample)
    {
        MakeFilled(count, bytes);
        for (int i = 0; i < count; ++i) {
            for (DWORD s = 0; s < bytes / 2; ++s) {
                const int16_t v = sample(i, s);
                memcpy(&data_[i][2 * s], &v, 2);
            }
        }
    }
    // Prepares and adds every buffer; false when the stand-in refused one.
    bool AddAll(HWAVEIN h)
    {
        for (WAVEHDR& hdr : hdrs_) {
            if (waveInPrepareHeader(h, &hdr, kHdr) != MMSYSERR_NOERROR || waveInAddBuffer(h, &hdr, kHdr) != MMSYSERR_NOERROR)
                return false;
        }
        return true;
    }
    // Prepares and writes buffers first to first + count - 1, up to the first
    // the stand-in refuses; that refusal, or MMSYSERR_NOERROR.
    MMRESULT Write(HWAVEOUT h, size_t first, size_t count)
    {
        for (size_t i = first; i < first + count; ++i) {
            MMRESULT result = waveOutPrepareHeader(h, &hdrs_[i], kHdr);
            if (result == MMSYSERR_NOERROR)
                result = waveOutWrite(h, &hdrs_[i], kHdr);
            if (result != MMSYSERR_NOERROR)
                return result;
        }
        return MMSYSERR_NOERROR;
    }
    WAVEHDR& operator[](size_t i) { return hdrs_[i]; }
    const std::vector<BYTE>& Data(size_t i) const { return data_[i]; }
    size_t size() const { return hdrs_.size(); }

private:
    void MakeFilled(int count, DWORD bytes)
    {
        data_.assign(count, std::vector<BYTE>(bytes));
        hdrs_.assign(count, WAVEHDR{});
        for (int i = 0; i < count; ++i) {
            hdrs_[i].lpData = reinterpret_cast<LPSTR>(data_[i].data());
            hdrs_[i].dwBufferLength = bytes;
        }
    }

    std::vector<std::vector<BYTE>> data_;
    std::vector<WAVEHDR> hdrs_;
};

// `bytes` bytes of 16-bit samples that never repeat within 64 K samples.
inline std::vector<BYTE> Ramp(size_t bytes, int seed = 0)
{
    std::vector<BYTE> r(bytes);
    for (size_t i = 0; i < bytes / 2; ++i) {
        const int16_t v = static_cast<int16_t>((static_cast<int>(i) * 7 + seed * 131) % 65536 - 32768);
        memcpy(&r[2 * i], &v, 2);
    }
    return r;
}

// The bytes of all WIM_DATA notices, in order.
inline std::vector<BYTE> Joined(const std::vector<Notice>& data)
{
    std::vector<BYTE> all;
    for (const Notice& n : data)
        all.insert(all.end(), n.data.begin(), n.data.end());
    return all;
}

// One decoded frame of `bytes` bytes whose samples tell `seed` apart; no
// sample is zero, so silence never passes for it.
inline std::vector<BYTE> Frame(size_t bytes, int seed)
{
    std::vector<BYTE> f(bytes);
    for (size_t i = 0; i < bytes / 2; ++i) {
        const int16_t v = static_cast<int16_t>(1 + (seed * 977 + static_cast<int>(i) * 31) % 30000);
        memcpy(&f[2 * i], &v, 2);
    }
    return f;
}

inline std::vector<BYTE> Concat(const std::vector<std::vector<BYTE>>& parts)
{
    std::vector<BYTE> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline std::vector<BYTE> Silence(size_t bytes) { return std::vector<BYTE>(bytes, 0); }

// 2026-03-04 05:06:07, the local time of every log line a test checks.
inline void FixedDay(LPSYSTEMTIME st, void*)
{
    memset(st, 0, sizeof(*st));
    st->wYear = 2026;
    st->wMonth = 3;
    st->wDay = 4;
    st->wHour = 5;
    st->wMinute = 6;
    st->wSecond = 7;
}

// What an unprepare inside the close notice answers: the stand-in's lenient
// mode lets it through; in strict mode, as on wine, the closing handle is
// invalid and the header keeps its flags.
inline MMRESULT CloseNoticeUnprepareResult()
{
    return SvWaveGetStrict() ? MMSYSERR_INVALHANDLE : MMSYSERR_NOERROR;
}

// Holds the first call of `kind` that a callback makes on the device thread of
// the test devices opened from now on (see nHoldCall).
inline void HoldCallbackAt(int kind)
{
    SvWaveTestFaults hold = {};
    hold.nHoldCall = kind;
    SvWaveTestSetFaults(&hold);
}

// Runs `step` (which makes a callback that is held) on a thread of its own,
// then `close` once the callback is held.
inline void CloseWhileACallbackIsHeld(const std::function<void()>& step, const std::function<void()>& close)
{
    std::thread device(step);
    EXPECT_TRUE(SvWaveTestWaitHeld(5000)) << "no callback was held";
    close();
    device.join();
}

// Buffers the device still held when its handle closed, by the call record:
// those queued (`queueKind` calls that succeeded) less those handed back
// (`doneMsg` notices) before the first close that succeeded; -1 when no
// close succeeded.
inline int HeldAtClose(const std::vector<SvWaveCall>& calls, int queueKind, UINT doneMsg, int closeKind)
{
    int held = 0;
    for (const SvWaveCall& call : calls) {
        if (call.nCall == closeKind && call.mmr == MMSYSERR_NOERROR)
            return held;
        if (call.nCall == queueKind && call.mmr == MMSYSERR_NOERROR)
            ++held;
        else if (call.nCall == SV_WAVE_CALLBACK && call.uArg == doneMsg)
            --held;
    }
    return -1;
}

// A test on the stand-in's test device, as the default device, with an empty
// call record and no faults; the automatic choice is back at the end.
class StandInTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
    }
    void TearDown() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveTestReset();
    }
};

// A test of the library on the test device: the sleeps of its bounded waits
// are counted, not slept.
class TestDeviceTest : public StandInTest {
protected:
    void SetUp() override
    {
        StandInTest::SetUp();
        // The kernel stand-in keeps a hook for the life of the process, so one
        // hook is installed once and reads the fixture through a pointer.
        static const bool hooked = (SvSetSleepHook(&TestDeviceTest::CountSleep, nullptr), true);
        (void)hooked;
        s_current = this;
    }
    void TearDown() override
    {
        s_current = nullptr;
        StandInTest::TearDown();
    }

    static void CountSleep(DWORD ms, void*)
    {
        if (s_current != nullptr)
            s_current->sleeps_.push_back(ms);
    }

    void Faults(const SvWaveTestFaults& f) { SvWaveTestSetFaults(&f); }
    // The device never sends its close notice.
    void NoCloseNotice()
    {
        SvWaveTestFaults faults = {};
        faults.bNoCloseNotice = TRUE;
        Faults(faults);
    }
    // Every device open is refused with `mmr`.
    void RefuseOpens(MMRESULT mmr)
    {
        SvWaveTestFaults faults = {};
        faults.mmrOpen = mmr;
        Faults(faults);
    }
    // Calls recorded since `from`, of one kind (0: all).
    std::vector<SvWaveCall> Calls(int kind = 0, size_t from = 0)
    {
        std::vector<SvWaveCall> all = SvWaveTestCalls(), some;
        for (size_t i = from; i < all.size(); ++i) {
            if (kind == 0 || all[i].nCall == kind)
                some.push_back(all[i]);
        }
        return some;
    }
    DWORD Slept() const
    {
        DWORD total = 0;
        for (DWORD ms : sleeps_)
            total += ms;
        return total;
    }

    inline static TestDeviceTest* s_current = nullptr;
    std::vector<DWORD> sleeps_;
};

}  // namespace wavetest
