// What the wave input tests share: a callback that records every notice, and
// buffers to record into.
#pragma once

#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include <svwin/mmsystem.h>
#include <svwin/wavedevice.h>

namespace captest {

const UINT kHdr = sizeof(WAVEHDR);

struct Notice {
    UINT msg;
    LPWAVEHDR hdr;
    std::thread::id thread;
    DWORD flags;
    DWORD bytes;                // dwBytesRecorded as the callback saw it
    std::vector<BYTE> data;     // what the buffer held then (WIM_DATA)
    int depth;                  // notices of the stand-in running on this thread, this one included
};

inline thread_local int t_depth = 0;

// Records every notice; an optional action runs inside the callback.
class Listener {
public:
    static void CALLBACK Proc(HDRVR hdrvr, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
    {
        HWAVEIN hwi = reinterpret_cast<HWAVEIN>(hdrvr);
        Listener* self = reinterpret_cast<Listener*>(instance);
        LPWAVEHDR hdr = reinterpret_cast<LPWAVEHDR>(param1);
        ++t_depth;
        Notice n{msg, hdr, std::this_thread::get_id(), 0, 0, {}, t_depth};
        if (hdr != nullptr) {
            n.flags = hdr->dwFlags;
            n.bytes = hdr->dwBytesRecorded;
            n.data.assign(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
        }
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->notices_.push_back(std::move(n));
        }
        if (self->action)
            self->action(hwi, msg, hdr);
        self->cv_.notify_all();
        --t_depth;
    }

    std::vector<Notice> All()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }
    std::vector<Notice> Data()
    {
        std::vector<Notice> all = All(), data;
        std::copy_if(all.begin(), all.end(), std::back_inserter(data), [](const Notice& n) { return n.msg == WIM_DATA; });
        return data;
    }
    // Waits (bounded) until `count` buffers have come back.
    bool WaitData(size_t count, std::chrono::milliseconds patience = std::chrono::seconds(20))
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, patience, [&] {
            return static_cast<size_t>(std::count_if(notices_.begin(), notices_.end(),
                                                     [](const Notice& n) { return n.msg == WIM_DATA; })) >= count;
        });
    }

    std::function<void(HWAVEIN, UINT, LPWAVEHDR)> action;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Notice> notices_;
};

inline WAVEFORMATEX Pcm16(WORD channels = 1, DWORD rate = 8000)
{
    WAVEFORMATEX f = {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(2 * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// Buffers to record into, filled with a marker so that what the device wrote
// shows.
class Buffers {
public:
    void Make(int count, DWORD bytes)
    {
        data_.assign(count, std::vector<BYTE>(bytes, 0xA5));
        hdrs_.assign(count, WAVEHDR{});
        for (int i = 0; i < count; ++i) {
            hdrs_[i].lpData = reinterpret_cast<LPSTR>(data_[i].data());
            hdrs_[i].dwBufferLength = bytes;
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
    WAVEHDR& operator[](size_t i) { return hdrs_[i]; }
    size_t size() const { return hdrs_.size(); }

private:
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

}  // namespace captest
