// The waveOut functions, and what they share with the waveIn functions
// (wavein.cpp): argument checks, the handle registry, the choice of device
// behind WAVE_MAPPER, and the call record.
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
// -1 while no call has chosen strict or lenient; then 1 or 0.
std::atomic<int> g_chosenStrict{-1};

bool StrictFromEnvironment()
{
    // Read once, as the device's variable is.
    static const bool strict = [] {
        const char* value = getenv(SV_WAVE_STRICT_ENV);
        return value != nullptr && strcmp(value, "1") == 0;
    }();
    return strict;
}

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

bool g_inputChosen = false;  // under g_virtualMutex: SvWaveVirtualSetInput overrides the variable

// SONAVEX_WAVE_INPUT, read once: the platform's setting for the life of the
// process.
const InputSourceOptions& InputFromEnvironment()
{
    static const InputSourceOptions input = [] {
        InputSourceOptions o;
        const char* value = getenv("SONAVEX_WAVE_INPUT");
        if (value == nullptr || *value == '\0' || strcasecmp(value, "silence") == 0)
            return o;
        if (strncasecmp(value, "tone", 4) == 0 && (value[4] == '\0' || value[4] == ':')) {
            o.kind = SV_WAVE_INPUT_TONE;
            if (value[4] == ':') {
                const double hz = strtod(value + 5, nullptr);
                if (hz > 0)
                    o.toneHz = hz;
            }
            return o;
        }
        o.kind = SV_WAVE_INPUT_FILE;
        o.path = value;
        return o;
    }();
    return input;
}

VirtualOptions CurrentVirtualOptions()
{
    std::lock_guard<std::mutex> lock(g_virtualMutex);
    VirtualOptions options = g_virtualOptions;
    if (!g_inputChosen)
        options.input = InputFromEnvironment();
    return options;
}

// Opens the device of `kind` (auto: ALSA, else virtual) for `format`.
MMRESULT OpenDevice(SvWaveDeviceKind kind, Direction direction, const WAVEFORMATEX& format,
                    std::unique_ptr<WaveDevice>* device, SvWaveDeviceKind* opened)
{
    if (kind == SV_WAVE_DEVICE_AUTO) {
        std::unique_ptr<WaveDevice> alsa = CreateAlsaDevice();
        if (alsa->Open(format, direction) == MMSYSERR_NOERROR) {
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
    return (*device)->Open(format, direction);
}

// Output calls file their handle as hwo, input calls as hwi.
void SetCallHandle(SvWaveCall* call, Direction direction, HANDLE handle)
{
    if (direction == Direction::kOutput)
        call->hwo = static_cast<HWAVEOUT>(handle);
    else
        call->hwi = static_cast<HWAVEIN>(handle);
}

}  // namespace

bool ValidHeader(LPWAVEHDR pwh, UINT cbwh)
{
    return pwh != nullptr && cbwh == sizeof(WAVEHDR) && (pwh->lpData != nullptr || pwh->dwBufferLength == 0);
}

SvWaveCall MakeCall(Direction direction, int what, HANDLE handle, LPWAVEHDR pwh, UINT uArg, DWORD dwArg)
{
    SvWaveCall call = {};
    call.nCall = what;
    SetCallHandle(&call, direction, handle);
    call.pwh = pwh;
    call.uArg = uArg;
    call.dwArg = dwArg;
    return call;
}

MMRESULT FinishCall(SvWaveCall call, MMRESULT result)
{
    if (RecordingCalls()) {
        call.mmr = result;
        call.bDeviceThread = OnDeviceThread();
        RecordCall(call);
    }
    return result;
}

MMRESULT OpenStream(Direction direction, int what, bool haveHandle, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                    DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen, SvWaveCall* call,
                    std::shared_ptr<WaveStream>* opened)
{
    *call = MakeCall(direction, what, nullptr, nullptr, uDeviceID, fdwOpen);
    call->dwCallback = dwCallback;
    call->dwInstance = dwInstance;
    if (pwfx != nullptr)
        call->wfx = *pwfx;
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    if (pwfx == nullptr || (!haveHandle && !query))
        return MMSYSERR_INVALPARAM;
    if (uDeviceID != WAVE_MAPPER && uDeviceID != 0)
        return MMSYSERR_BADDEVICEID;
    const DWORD callbackType = fdwOpen & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_FUNCTION && callbackType != CALLBACK_NULL)
        return MMSYSERR_NOTSUPPORTED;
    if (!IsSupportedFormat(*pwfx))
        return WAVERR_BADFORMAT;
    if (query)
        return MMSYSERR_NOERROR;

    std::unique_ptr<WaveDevice> device;
    SvWaveDeviceKind kind = SV_WAVE_DEVICE_AUTO;
    const MMRESULT result = OpenDevice(SvWaveGetDefaultDevice(), direction, *pwfx, &device, &kind);
    if (result != MMSYSERR_NOERROR)
        return result;

    LPDRVCALLBACK callback =
        callbackType == CALLBACK_FUNCTION ? reinterpret_cast<LPDRVCALLBACK>(dwCallback) : nullptr;
    auto stream = std::make_shared<WaveStream>(direction, kind, SvWaveGetStrict() != FALSE, std::move(device), *pwfx,
                                               callback, dwInstance);
    Registry& registry = Streams();
    uintptr_t id;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.next += 0x10;
        id = registry.next;
    }
    const HANDLE made = reinterpret_cast<HANDLE>(id);
    stream->Start(made);
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.streams.emplace(id, stream);
    }
    if (kind == SV_WAVE_DEVICE_TEST)
        NoteTestHandle(direction, made);
    SetCallHandle(call, direction, made);
    *opened = std::move(stream);
    return MMSYSERR_NOERROR;
}

MMRESULT CloseCall(Direction direction, int what, HANDLE handle)
{
    const SvWaveCall call = MakeCall(direction, what, handle);
    std::shared_ptr<WaveStream> stream = FindStream(handle, direction);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    const MMRESULT result = stream->Close();  // the close notice
    if (result == MMSYSERR_NOERROR) {
        Registry& registry = Streams();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.streams.erase(reinterpret_cast<uintptr_t>(handle));
    }
    return FinishCall(call, result);
}

MMRESULT HeaderCall(Direction direction, int what, HANDLE handle, LPWAVEHDR pwh, UINT cbwh,
                    MMRESULT (WaveStream::*op)(LPWAVEHDR))
{
    const SvWaveCall call = MakeCall(direction, what, handle, pwh, cbwh);
    std::shared_ptr<WaveStream> stream = FindStream(handle, direction);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    if (!ValidHeader(pwh, cbwh))
        return FinishCall(call, MMSYSERR_INVALPARAM);
    stream->HoldBefore(what);
    return FinishCall(call, ((*stream).*op)(pwh));
}

MMRESULT StreamCall(Direction direction, int what, HANDLE handle, MMRESULT (WaveStream::*op)())
{
    const SvWaveCall call = MakeCall(direction, what, handle);
    std::shared_ptr<WaveStream> stream = FindStream(handle, direction);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    stream->HoldBefore(what);
    return FinishCall(call, ((*stream).*op)());
}

bool RecordingCalls()
{
    return SvWaveGetDefaultDevice() == SV_WAVE_DEVICE_TEST;
}

std::shared_ptr<WaveStream> FindStream(HANDLE handle, Direction direction)
{
    Registry& registry = Streams();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.streams.find(reinterpret_cast<uintptr_t>(handle));
    if (it == registry.streams.end() || it->second->GetDirection() != direction)
        return nullptr;
    return it->second;
}

}  // namespace svwave

using namespace svwave;

SVWIN_API void SvWaveSetDefaultDevice(SvWaveDeviceKind kind)
{
    g_chosenDevice.store(kind == SV_WAVE_DEVICE_AUTO ? -1 : static_cast<int>(kind));
}

SVWIN_API void SvWaveSetStrict(BOOL strict)
{
    g_chosenStrict.store(strict ? 1 : 0);
}

SVWIN_API BOOL SvWaveGetStrict(void)
{
    const int chosen = g_chosenStrict.load();
    return (chosen >= 0 ? chosen == 1 : StrictFromEnvironment()) ? TRUE : FALSE;
}

SVWIN_API SvWaveDeviceKind SvWaveGetDefaultDevice(void)
{
    const int chosen = g_chosenDevice.load();
    return chosen >= 0 ? static_cast<SvWaveDeviceKind>(chosen) : DeviceFromEnvironment();
}

SVWIN_API SvWaveDeviceKind SvWaveGetDeviceKind(HWAVEOUT hwo)
{
    std::shared_ptr<WaveStream> stream = FindStream(hwo, Direction::kOutput);
    return stream ? stream->Kind() : SV_WAVE_DEVICE_AUTO;
}

SVWIN_API SvWaveDeviceKind SvWaveGetInDeviceKind(HWAVEIN hwi)
{
    std::shared_ptr<WaveStream> stream = FindStream(hwi, Direction::kInput);
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

SVWIN_API void SvWaveVirtualSetInput(const SvWaveInputSource* source)
{
    std::lock_guard<std::mutex> lock(g_virtualMutex);
    g_inputChosen = source != nullptr;
    InputSourceOptions input;
    if (source != nullptr) {
        input.kind = source->kind;
        input.toneHz = source->toneHz;
        input.toneLevel = source->toneLevel;
        input.path = source->path != nullptr ? source->path : "";
    }
    g_virtualOptions.input = input;
}

SVWIN_API MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                               DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return OpenCall(Direction::kOutput, SV_WAVE_CALL_OPEN, phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
}

SVWIN_API MMRESULT waveOutClose(HWAVEOUT hwo)
{
    return CloseCall(Direction::kOutput, SV_WAVE_CALL_CLOSE, hwo);
}

SVWIN_API MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return HeaderCall(Direction::kOutput, SV_WAVE_CALL_PREPARE, hwo, pwh, cbwh, &WaveStream::Prepare);
}

SVWIN_API MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return HeaderCall(Direction::kOutput, SV_WAVE_CALL_UNPREPARE, hwo, pwh, cbwh, &WaveStream::Unprepare);
}

SVWIN_API MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return HeaderCall(Direction::kOutput, SV_WAVE_CALL_WRITE, hwo, pwh, cbwh, &WaveStream::Write);
}

SVWIN_API MMRESULT waveOutReset(HWAVEOUT hwo)
{
    return StreamCall(Direction::kOutput, SV_WAVE_CALL_RESET, hwo, &WaveStream::Reset);
}

SVWIN_API MMRESULT waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume)
{
    SvWaveCall call = MakeCall(Direction::kOutput, SV_WAVE_CALL_GETVOLUME, hwo);
    std::shared_ptr<WaveStream> stream = FindStream(hwo, Direction::kOutput);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    if (pdwVolume == nullptr)
        return FinishCall(call, MMSYSERR_INVALPARAM);
    const MMRESULT result = stream->GetVolume(pdwVolume);
    if (result == MMSYSERR_NOERROR)
        call.dwArg = *pdwVolume;
    return FinishCall(call, result);
}

SVWIN_API MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume)
{
    const SvWaveCall call = MakeCall(Direction::kOutput, SV_WAVE_CALL_SETVOLUME, hwo, nullptr, 0, dwVolume);
    std::shared_ptr<WaveStream> stream = FindStream(hwo, Direction::kOutput);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    return FinishCall(call, stream->SetVolume(dwVolume));
}

SVWIN_API MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt)
{
    const SvWaveCall call = MakeCall(Direction::kOutput, SV_WAVE_CALL_GETPOSITION, hwo, nullptr, cbmmt);
    std::shared_ptr<WaveStream> stream = FindStream(hwo, Direction::kOutput);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    if (pmmt == nullptr || cbmmt < sizeof(MMTIME))
        return FinishCall(call, MMSYSERR_INVALPARAM);
    return FinishCall(call, stream->GetPosition(pmmt));
}
