// The waveIn functions: the input side of the same handles, devices and call
// record as waveOut (waveout.cpp), with the platform's recording rules:
// buffers fill in the order they were added, only a full buffer comes back
// by itself, nothing is recorded before waveInStart.
#include "stream.h"

using namespace svwave;

SVWIN_API MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                              DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return OpenCall(Direction::kInput, SV_WAVE_CALL_IN_OPEN, phwi, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen);
}

SVWIN_API MMRESULT waveInClose(HWAVEIN hwi)
{
    return CloseCall(Direction::kInput, SV_WAVE_CALL_IN_CLOSE, hwi);
}

SVWIN_API MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return HeaderCall(Direction::kInput, SV_WAVE_CALL_IN_PREPARE, hwi, pwh, cbwh, &WaveStream::Prepare);
}

SVWIN_API MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return HeaderCall(Direction::kInput, SV_WAVE_CALL_IN_UNPREPARE, hwi, pwh, cbwh, &WaveStream::Unprepare);
}

SVWIN_API MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return HeaderCall(Direction::kInput, SV_WAVE_CALL_IN_ADDBUFFER, hwi, pwh, cbwh, &WaveStream::Write);
}

SVWIN_API MMRESULT waveInStart(HWAVEIN hwi)
{
    return StreamCall(Direction::kInput, SV_WAVE_CALL_IN_START, hwi, &WaveStream::StartRecording);
}

SVWIN_API MMRESULT waveInStop(HWAVEIN hwi)
{
    return StreamCall(Direction::kInput, SV_WAVE_CALL_IN_STOP, hwi, &WaveStream::StopRecording);
}

SVWIN_API MMRESULT waveInReset(HWAVEIN hwi)
{
    return StreamCall(Direction::kInput, SV_WAVE_CALL_IN_RESET, hwi, &WaveStream::Reset);
}
