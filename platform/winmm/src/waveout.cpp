// The waveOut functions: argument checks, the handle registry, the choice of
// device behind WAVE_MAPPER, and the call record.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "stream.h"

namespace svwave {

namespace {

// Handles are numbers, never addresses: a closed handle is never looked at
// again, and never handed out again, so using it fails cleanly.
struct Registry {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<WaveStream>> streams;
    uintptr_t next = 0x5A000;
};

// Never destroyed: open streams outlive static destruction at exit.
Registry& Streams()
{
    static Registry* registry = new Registry;
    return *registry;
}

// -1 while no call has chosen; then the kind chosen.
std::atomic<int> g_chosenDevice{-1};

SvWaveDeviceKind DeviceFromEnvironment()
{
    // Read once: the platform's setting for the life of the process.
    static const SvWaveDeviceKind kind = [] {
        const char* value = getenv(SV_WAVE_DEVICE_ENV);
        if (value == nullptr)
            return SV_WAVE_DEVICE_AUTO;
        if (strcasecmp(value, "virtual") == 0)
            return SV_WAVE_DEVICE_VIRTUAL;
        if (strcasecmp(value, "alsa") == 0)
            return SV_WAVE_DEVICE_ALSA;
        if (strcasecmp(value, "test") == 0)
            return SV_WAVE_DEVICE_TEST;
        return SV_WAVE_DEVICE_AUTO;
    }();
    return kind;
}

std::mutex g_virtualMutex;
VirtualOptions g_virtualOptions;

VirtualOptions CurrentVirtualOptions()
{
    std::lock_guard<std::mutex> lock(g_virtualMutex);
    return g_virtualOptions;
}

bool ValidHeader(LPWAVEHDR pwh, UINT cbwh)
{
    return pwh != nullptr && cbwh == sizeof(WAVEHDR) && (pwh->lpData != nullptr || pwh->dwBufferLength == 0);
}

SvWaveCall MakeCall(int what, HWAVEOUT hwo, LPWAVEHDR pwh = nullptr, UINT uArg = 0, DWORD dwArg = 0)
{
    SvWaveCall call = {};
    call.nCall = what;
    call.hwo = hwo;
    call.pwh = pwh;
    call.uArg = uArg;
    call.dwArg = dwArg;
    return call;
}

MMRESULT Finish(SvWaveCall call, MMRESULT result)
{
    if (RecordingCalls()) {
        call.mmr = result;
        call.bDeviceThread = OnDeviceThread();
        RecordCall(call);
    }
    return result;
}

// Opens the device of `kind` (auto: ALSA, else virtual) for `format`.
MMRESULT OpenDevice(SvWaveDeviceKind kind, const WAVEFORMATEX& format, std::unique_ptr<WaveDevice>* device,
                    SvWaveDeviceKind* opened)
{
    if (kind == SV_WAVE_DEVICE_AUTO) {
        std::unique_ptr<WaveDevice> alsa = CreateAlsaDevice();
        if (alsa->Open(format, Direction::kOutput) == MMSYSERR_NOERROR) {
            *device = std::move(alsa);
            *opened = SV_WAVE_DEVICE_ALSA;
            return MMSYSERR_NOERROR;
        }
        kind = SV_WAVE_DEVICE_VIRTUAL;
    }
    switch (kind) {
    case SV_WAVE_DEVICE_ALSA:
        *device = CreateAlsaDevice();
        break;
    case SV_WAVE_DEVICE_TEST:
        *device = CreateTestDevice();
        break;
    default:
        kind = SV_WAVE_DEVICE_VIRTUAL;
        *device = CreateVirtualDevice(CurrentVirtualOptions());
        break;
    }
    *opened = kind;
    return (*device)->Open(format, Direction::kOutput);
}

}  // namespace

bool RecordingCalls()
{
    return SvWaveGetDefaultDevice() == SV_WAVE_DEVICE_TEST;
}

std::shared_ptr<WaveStream> FindStream(HANDLE handle)
{
    Registry& registry = Streams();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.streams.find(reinterpret_cast<uintptr_t>(handle));
    if (it == registry.streams.end())
        return nullptr;
    return it->second;
}

}  // namespace svwave

using namespace svwave;

SVWIN_API void SvWaveSetDefaultDevice(SvWaveDeviceKind kind)
{
    g_chosenDevice.store(kind == SV_WAVE_DEVICE_AUTO ? -1 : static_cast<int>(kind));
}

SVWIN_API SvWaveDeviceKind SvWaveGetDefaultDevice(void)
{
    const int chosen = g_chosenDevice.load();
    return chosen >= 0 ? static_cast<SvWaveDeviceKind>(chosen) : DeviceFromEnvironment();
}

SVWIN_API SvWaveDeviceKind SvWaveGetDeviceKind(HWAVEOUT hwo)
{
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    return stream ? stream->Kind() : SV_WAVE_DEVICE_AUTO;
}

SVWIN_API void SvWaveVirtualSetSpeed(double factor)
{
    std::lock_guard<std::mutex> lock(g_virtualMutex);
    g_virtualOptions.speed = factor > 0 ? factor : 0;
}

SVWIN_API void SvWaveVirtualSetRecordPath(const char* path)
{
    std::lock_guard<std::mutex> lock(g_virtualMutex);
    g_virtualOptions.recordPath = path != nullptr ? path : "";
}

SVWIN_API MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                               DWORD_PTR dwInstance, DWORD fdwOpen)
{
    SvWaveCall call = MakeCall(SV_WAVE_CALL_OPEN, nullptr, nullptr, uDeviceID, fdwOpen);
    call.dwCallback = dwCallback;
    call.dwInstance = dwInstance;
    if (pwfx != nullptr)
        call.wfx = *pwfx;

    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    if (pwfx == nullptr || (phwo == nullptr && !query))
        return Finish(call, MMSYSERR_INVALPARAM);
    if (uDeviceID != WAVE_MAPPER && uDeviceID != 0)
        return Finish(call, MMSYSERR_BADDEVICEID);
    const DWORD callbackType = fdwOpen & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL)
        return Finish(call, MMSYSERR_NOTSUPPORTED);
    if (!IsSupportedFormat(*pwfx))
        return Finish(call, WAVERR_BADFORMAT);
    if (query)
        return Finish(call, MMSYSERR_NOERROR);

    std::unique_ptr<WaveDevice> device;
    SvWaveDeviceKind kind = SV_WAVE_DEVICE_AUTO;
    const MMRESULT opened = OpenDevice(SvWaveGetDefaultDevice(), *pwfx, &device, &kind);
    if (opened != MMSYSERR_NOERROR)
        return Finish(call, opened);

    LPWAVECALLBACK callback =
        callbackType == CALLBACK_FUNCTION ? reinterpret_cast<LPWAVECALLBACK>(dwCallback) : nullptr;
    auto stream = std::make_shared<WaveStream>(Direction::kOutput, kind, std::move(device), *pwfx, callback,
                                               dwInstance);
    Registry& registry = Streams();
    uintptr_t id;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.next += 0x10;
        id = registry.next;
    }
    const HWAVEOUT handle = reinterpret_cast<HWAVEOUT>(id);
    stream->Start(handle);
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.streams.emplace(id, stream);
    }
    *phwo = handle;
    if (kind == SV_WAVE_DEVICE_TEST)
        NoteTestHandle(handle);
    stream->NotifyOpen();
    call.hwo = handle;
    return Finish(call, MMSYSERR_NOERROR);
}

SVWIN_API MMRESULT waveOutClose(HWAVEOUT hwo)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_CLOSE, hwo);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    const MMRESULT result = stream->Close();  // WOM_CLOSE
    if (result == MMSYSERR_NOERROR) {
        Registry& registry = Streams();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.streams.erase(reinterpret_cast<uintptr_t>(hwo));
    }
    return Finish(call, result);
}

SVWIN_API MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_PREPARE, hwo, pwh, cbwh);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    if (!ValidHeader(pwh, cbwh))
        return Finish(call, MMSYSERR_INVALPARAM);
    return Finish(call, stream->Prepare(pwh));
}

SVWIN_API MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_UNPREPARE, hwo, pwh, cbwh);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    if (!ValidHeader(pwh, cbwh))
        return Finish(call, MMSYSERR_INVALPARAM);
    return Finish(call, stream->Unprepare(pwh));
}

SVWIN_API MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_WRITE, hwo, pwh, cbwh);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    if (!ValidHeader(pwh, cbwh))
        return Finish(call, MMSYSERR_INVALPARAM);
    return Finish(call, stream->Write(pwh));
}

SVWIN_API MMRESULT waveOutReset(HWAVEOUT hwo)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_RESET, hwo);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    return Finish(call, stream->Reset());
}

SVWIN_API MMRESULT waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume)
{
    SvWaveCall call = MakeCall(SV_WAVE_CALL_GETVOLUME, hwo);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    if (pdwVolume == nullptr)
        return Finish(call, MMSYSERR_INVALPARAM);
    const MMRESULT result = stream->GetVolume(pdwVolume);
    if (result == MMSYSERR_NOERROR)
        call.dwArg = *pdwVolume;
    return Finish(call, result);
}

SVWIN_API MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_SETVOLUME, hwo, nullptr, 0, dwVolume);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    return Finish(call, stream->SetVolume(dwVolume));
}

SVWIN_API MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt)
{
    const SvWaveCall call = MakeCall(SV_WAVE_CALL_GETPOSITION, hwo, nullptr, cbmmt);
    std::shared_ptr<WaveStream> stream = FindStream(hwo);
    if (!stream)
        return Finish(call, MMSYSERR_INVALHANDLE);
    if (pmmt == nullptr || cbmmt < sizeof(MMTIME))
        return Finish(call, MMSYSERR_INVALPARAM);
    return Finish(call, stream->GetPosition(pmmt));
}
