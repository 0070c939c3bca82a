// A look at what the real wave API tells the loaded Sonavex.dll, without
// changing it: the entries of Sonavex.dll's own import table for the wave
// open and close calls and for Sleep are pointed at forwarders here. The open
// forwarder puts a counting callback in front of the library's, so a test
// sees every notice the devices deliver (and whether any comes after the
// device's close returned); the Sleep forwarder counts the library's waits.
// Everything still runs on winmm and kernel32 as the library calls them.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <vector>

namespace svspy {

// The import table entry of `function` from `dll` in a loaded module.
inline void** FindImport(HMODULE module, const char* dll, const char* function)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return nullptr;
    for (const IMAGE_IMPORT_DESCRIPTOR* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0)
            continue;
        const DWORD lookup = d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk;
        const IMAGE_THUNK_DATA* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + lookup);
        IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return nullptr;
}

// Points one import table entry at `replacement`; returns what it held.
inline void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement)
{
    void** slot = FindImport(module, dll, function);
    if (slot == nullptr)
        return nullptr;
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return nullptr;
    void* previous = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return previous;
}

// One device the library opened: its own callback, and what came through.
struct Device {
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    bool output = true;
    // Set by the open's caller once the open returns; read by other hosts'
    // closes.
    std::atomic<HANDLE> handle{nullptr};
    WAVEFORMATEX format = {};
    std::atomic<long> buffers{0};  // WOM_DONE or WIM_DATA
    std::atomic<long> opened{0};   // WOM_OPEN or WIM_OPEN
    std::atomic<long> closed{0};   // WOM_CLOSE or WIM_CLOSE
    std::atomic<long> late{0};     // notices after the device's close returned
    std::atomic<bool> closeReturned{false};
    std::atomic<MMRESULT> closeResult{MMSYSERR_ERROR};
};

class Spy {
public:
    static const int kDevices = 64;

    static Spy& Get()
    {
        static Spy spy;
        return spy;
    }

    // Points the loaded Sonavex.dll's wave and Sleep imports here. Call it
    // after every load: a new load has a new import table.
    bool Attach(HMODULE sonavex)
    {
        const bool patched = Patch(sonavex, "WINMM.dll", "waveOutOpen", &OutOpen, &realOutOpen_) &&
                             Patch(sonavex, "WINMM.dll", "waveOutClose", &OutClose, &realOutClose_) &&
                             Patch(sonavex, "WINMM.dll", "waveInOpen", &InOpen, &realInOpen_) &&
                             Patch(sonavex, "WINMM.dll", "waveInClose", &InClose, &realInClose_) &&
                             Patch(sonavex, "KERNEL32.dll", "Sleep", &CountedSleep, &realSleep_);
        forward_.store(true);
        return patched;
    }

    // Forgets every device and count (devices still open keep reporting to
    // their own record).
    void Reset()
    {
        first_.store(next_.load());
        sleeps100_.store(0);
        late_.store(0);
        holdFirst_.store(false);
        ResetEvent(release_);
    }

    // Devices opened since the last Reset, oldest first.
    int Count() const { return next_.load() - first_.load(); }
    Device& operator[](int i) { return devices_[(first_.load() + i) % kDevices]; }
    Device& Last() { return devices_[(next_.load() + kDevices - 1) % kDevices]; }

    // Waits (bounded, to catch hangs only) until `device` has handed back
    // `count` buffers in all.
    bool WaitBuffers(Device& device, long count, DWORD boundMs = 30000)
    {
        const DWORD start = GetTickCount();
        while (device.buffers.load() < count) {
            if (GetTickCount() - start > boundMs)
                return false;
            WaitForSingleObject(notice_, 50);
        }
        return true;
    }
    // Waits for the next buffer of any device (bounded).
    void WaitNotice(DWORD boundMs = 1000) { WaitForSingleObject(notice_, boundMs); }

    // The next WOM_DONE waits (bounded) until Release: a test queues what it
    // wants before the first refill.
    void HoldFirstDone()
    {
        ResetEvent(release_);
        holdFirst_.store(true);
    }
    void Release() { SetEvent(release_); }

    // Stops forwarding notices to the library: set before the library is
    // unloaded, so a late notice is counted instead of running freed code.
    void StopForwarding() { forward_.store(false); }

    // Keeps a copy of what the input devices hand back (WIM_DATA), in order,
    // up to `bytes` bytes from now on.
    void RecordInput(size_t bytes)
    {
        recordedBytes_.store(0);
        recorded_.assign(bytes, 0);
    }
    std::vector<uint8_t> Recorded() const
    {
        return std::vector<uint8_t>(recorded_.begin(), recorded_.begin() + static_cast<long>(recordedBytes_.load()));
    }

    // Sleeps of 100 ms the library asked for: its close waits.
    long Sleeps100() const { return sleeps100_.load(); }
    // Notices that came after their device's close returned, over every
    // device since the last Reset (also those the ring has forgotten).
    long LateNotices() const { return late_.load(); }

private:
    // Points one import at `replacement`, keeping the real entry point in
    // *real (an image patched before keeps the one found then).
    template <typename Fn>
    static bool Patch(HMODULE module, const char* dll, const char* function, Fn replacement, Fn* real)
    {
        void* previous = PatchImport(module, dll, function, reinterpret_cast<void*>(replacement));
        if (previous == nullptr)
            return false;
        if (previous != reinterpret_cast<void*>(replacement))
            *real = reinterpret_cast<Fn>(previous);
        return true;
    }

    Spy() : notice_(CreateEventA(nullptr, FALSE, FALSE, nullptr)), release_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
    }

    Device* NewDevice(bool output, DWORD_PTR callback, DWORD_PTR instance, const WAVEFORMATEX* format)
    {
        Device& d = devices_[next_.fetch_add(1) % kDevices];
        d.output = output;
        d.callback = callback;
        d.instance = instance;
        d.handle.store(nullptr);
        d.format = format != nullptr ? *format : WAVEFORMATEX{};
        d.buffers.store(0);
        d.opened.store(0);
        d.closed.store(0);
        d.late.store(0);
        d.closeReturned.store(false);
        d.closeResult.store(MMSYSERR_ERROR);
        return &d;
    }
    Device* Find(HANDLE handle)
    {
        for (int i = next_.load() - 1; i >= 0 && i >= next_.load() - kDevices; --i) {
            if (devices_[i % kDevices].handle.load() == handle)
                return &devices_[i % kDevices];
        }
        return nullptr;
    }

    static void Notice(HANDLE h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
    {
        Spy& spy = Get();
        Device* d = reinterpret_cast<Device*>(instance);
        if (d->closeReturned.load()) {
            d->late.fetch_add(1);
            spy.late_.fetch_add(1);
        }
        if (msg == WOM_OPEN || msg == WIM_OPEN)
            d->opened.fetch_add(1);
        if (msg == WOM_CLOSE || msg == WIM_CLOSE)
            d->closed.fetch_add(1);
        if (msg == WOM_DONE && spy.holdFirst_.exchange(false))
            WaitForSingleObject(spy.release_, 20000);
        if (msg == WIM_DATA) {
            // Copied before the library queues it and adds the buffer again.
            const WAVEHDR* hdr = reinterpret_cast<const WAVEHDR*>(p1);
            const size_t at = spy.recordedBytes_.load();
            const size_t n = std::min<size_t>(hdr->dwBytesRecorded, spy.recorded_.size() - at);
            memcpy(spy.recorded_.data() + at, hdr->lpData, n);
            spy.recordedBytes_.store(at + n);
        }
        if (msg == WOM_DONE || msg == WIM_DATA)
            d->buffers.fetch_add(1);
        if (spy.forward_.load()) {
            typedef void(CALLBACK * Proc)(HANDLE, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
            reinterpret_cast<Proc>(d->callback)(h, msg, d->instance, p1, p2);
        }
        SetEvent(spy.notice_);
    }
    static void CALLBACK OutProc(HWAVEOUT h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
    {
        Notice(h, msg, instance, p1, p2);
    }
    static void CALLBACK InProc(HWAVEIN h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2)
    {
        Notice(h, msg, instance, p1, p2);
    }

    // The open forwarders of both directions: a CALLBACK_FUNCTION open goes to
    // the real entry point with `proc` in front of the library's callback.
    template <typename Handle, typename RealOpen, typename Proc>
    static MMRESULT OpenThrough(RealOpen real, bool output, Proc proc, Handle* ph, UINT id, LPCWAVEFORMATEX format,
                                DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
    {
        if ((flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION)
            return real(ph, id, format, callback, instance, flags);
        Device* d = Get().NewDevice(output, callback, instance, format);
        // The handle is known once the open returns; the open notice comes
        // before.
        const MMRESULT r =
            real(ph, id, format, reinterpret_cast<DWORD_PTR>(proc), reinterpret_cast<DWORD_PTR>(d), flags);
        if (r == MMSYSERR_NOERROR && ph != nullptr)
            d->handle.store(*ph);
        return r;
    }
    static MMRESULT WINAPI OutOpen(LPHWAVEOUT phwo, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                                   DWORD_PTR instance, DWORD flags)
    {
        return OpenThrough(Get().realOutOpen_, true, &OutProc, phwo, id, format, callback, instance, flags);
    }
    static MMRESULT WINAPI InOpen(LPHWAVEIN phwi, UINT id, LPCWAVEFORMATEX format, DWORD_PTR callback,
                                  DWORD_PTR instance, DWORD flags)
    {
        return OpenThrough(Get().realInOpen_, false, &InProc, phwi, id, format, callback, instance, flags);
    }
    // The device is looked up while its handle is still open: once closed,
    // the same handle value may already name another host's new device.
    template <typename Handle, typename RealClose>
    static MMRESULT CloseThrough(RealClose real, Handle h)
    {
        Device* d = Get().Find(h);
        const MMRESULT r = real(h);
        if (d != nullptr) {
            d->closeResult.store(r);
            if (r == MMSYSERR_NOERROR)
                d->closeReturned.store(true);
        }
        return r;
    }
    static MMRESULT WINAPI OutClose(HWAVEOUT h) { return CloseThrough(Get().realOutClose_, h); }
    static MMRESULT WINAPI InClose(HWAVEIN h) { return CloseThrough(Get().realInClose_, h); }
    static VOID WINAPI CountedSleep(DWORD ms)
    {
        Spy& spy = Get();
        if (ms == 100)
            spy.sleeps100_.fetch_add(1);
        spy.realSleep_(ms);
    }

    decltype(&waveOutOpen) realOutOpen_ = nullptr;
    decltype(&waveOutClose) realOutClose_ = nullptr;
    decltype(&waveInOpen) realInOpen_ = nullptr;
    decltype(&waveInClose) realInClose_ = nullptr;
    decltype(&Sleep) realSleep_ = nullptr;

    Device devices_[kDevices];
    std::atomic<int> next_{0};
    std::atomic<int> first_{0};
    std::atomic<long> sleeps100_{0};
    std::atomic<long> late_{0};
    std::vector<uint8_t> recorded_;
    std::atomic<size_t> recordedBytes_{0};
    std::atomic<bool> holdFirst_{false};
    std::atomic<bool> forward_{true};
    HANDLE notice_;
    HANDLE release_;
};

}  // namespace svspy
