// The waveIn functions: the input side of the same handles, devices and call
// record as waveOut (waveout.cpp), with the platform's recording rules:
// buffers fill in the order they were added, only a full buffer comes back
// by itself, nothing is recorded before waveInStart.
#include "stream.h"

using namespace svwave;

namespace {

SvWaveCall MakeInCall(int what, HWAVEIN hwi, LPWAVEHDR pwh = nullptr, UINT uArg = 0)
{
    SvWaveCall call = {};
    call.nCall = what;
    call.hwi = hwi;
    call.pwh = pwh;
    call.uArg = uArg;
    return call;
}

}  // namespace

SVWIN_API MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                              DWORD_PTR dwInstance, DWORD fdwOpen)
{
    SvWaveCall call = MakeInCall(SV_WAVE_CALL_IN_OPEN, nullptr, nullptr, uDeviceID);
    call.dwArg = fdwOpen;
    call.dwCallback = dwCallback;
    call.dwInstance = dwInstance;
    if (pwfx != nullptr)
        call.wfx = *pwfx;
    std::shared_ptr<WaveStream> stream;
    const MMRESULT result =
        OpenStream(Direction::kInput, phwi != nullptr, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen, &stream);
    if (stream) {
        // The handle is the application's before its first notice.
        *phwi = static_cast<HWAVEIN>(stream->Handle());
        stream->NotifyOpen();
        call.hwi = *phwi;
    }
    return FinishCall(call, result);
}

SVWIN_API MMRESULT waveInClose(HWAVEIN hwi)
{
    return FinishCall(MakeInCall(SV_WAVE_CALL_IN_CLOSE, hwi), CloseStream(Direction::kInput, hwi));
}

SVWIN_API MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return FinishCall(MakeInCall(SV_WAVE_CALL_IN_PREPARE, hwi, pwh, cbwh),
                      HeaderCall(hwi, Direction::kInput, pwh, cbwh, &WaveStream::Prepare));
}

SVWIN_API MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return FinishCall(MakeInCall(SV_WAVE_CALL_IN_UNPREPARE, hwi, pwh, cbwh),
                      HeaderCall(hwi, Direction::kInput, pwh, cbwh, &WaveStream::Unprepare));
}

SVWIN_API MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return FinishCall(MakeInCall(SV_WAVE_CALL_IN_ADDBUFFER, hwi, pwh, cbwh),
                      HeaderCall(hwi, Direction::kInput, pwh, cbwh, &WaveStream::Write));
}

SVWIN_API MMRESULT waveInStart(HWAVEIN hwi)
{
    const SvWaveCall call = MakeInCall(SV_WAVE_CALL_IN_START, hwi);
    std::shared_ptr<WaveStream> stream = FindStream(hwi, Direction::kInput);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    return FinishCall(call, stream->StartRecording());
}

SVWIN_API MMRESULT waveInStop(HWAVEIN hwi)
{
    const SvWaveCall call = MakeInCall(SV_WAVE_CALL_IN_STOP, hwi);
    std::shared_ptr<WaveStream> stream = FindStream(hwi, Direction::kInput);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    return FinishCall(call, stream->StopRecording());
}

SVWIN_API MMRESULT waveInReset(HWAVEIN hwi)
{
    const SvWaveCall call = MakeInCall(SV_WAVE_CALL_IN_RESET, hwi);
    std::shared_ptr<WaveStream> stream = FindStream(hwi, Direction::kInput);
    if (!stream)
        return FinishCall(call, MMSYSERR_INVALHANDLE);
    return FinishCall(call, stream->Reset());
}
