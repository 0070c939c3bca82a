// The capture half of the wave device: ten buffers circulate on the default
// input device; every buffer it fills is queued into the frame buffer as one
// frame and handed straight back.
#include <string.h>

#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "support/log.h"

namespace {

// The close waits this long between stopping the device and resetting it.
const DWORD kStopSettleMs = 200;

}  // namespace

bool CAudio::WaveInOpen(WAVEFORMATEX* wavefmt, DWORD bufferSize)
{
    try {
        // A second open would lose the running device and its buffers.
        if (m_cInState.load() == kStateOpen && m_hWaveIn != nullptr)
            return false;

        m_dwInBufferSize = bufferSize;
        wavefmt->wFormatTag = WAVE_FORMAT_PCM;
        wavefmt->nChannels = 1;
        wavefmt->nSamplesPerSec = 8000;
        wavefmt->nAvgBytesPerSec = 16000;
        wavefmt->nBlockAlign = 2;
        wavefmt->wBitsPerSample = 16;
        wavefmt->cbSize = 0;

        // Open before the device is: a close that follows a failed open still
        // runs its whole sequence. The handle is cleared so that it tells
        // whether this open reached a device.
        m_cInState.store(kStateOpen);
        m_hWaveIn = nullptr;
        if (waveInOpen(&m_hWaveIn, WAVE_MAPPER, wavefmt, reinterpret_cast<DWORD_PTR>(&CAudio::waveInProc),
                       reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
            return false;

        for (int i = 0; i < kBufferCount; ++i) {
            m_pInBuffer[i] = new unsigned char[m_dwInBufferSize];
            WAVEHDR& hdr = m_WaveHdrIn[i];
            hdr.lpData = reinterpret_cast<LPSTR>(m_pInBuffer[i]);
            hdr.dwBufferLength = m_dwInBufferSize;
            hdr.dwBytesRecorded = 0;
            hdr.dwUser = 0;
            hdr.dwFlags = 0;
            hdr.dwLoops = 1;
            hdr.lpNext = nullptr;
            hdr.reserved = 0;
            waveInPrepareHeader(m_hWaveIn, &hdr, sizeof(WAVEHDR));
            waveInAddBuffer(m_hWaveIn, &hdr, sizeof(WAVEHDR));
        }
        waveInStart(m_hWaveIn);
        return true;
    } catch (...) {
        WriteLog("CAudio::WaveInOpen Exception");
        return false;
    }
}

// Runs on the device's callback thread: allocates nothing and blocks only on
// the frame buffer's lock (inside PushFrame).
int CAudio::OnMM_WIM_DATA(HWAVEIN* phwi, WAVEHDR* hdr)
{
    try {
        // The samples are queued before the buffer goes back, since the
        // device overwrites it as soon as it has it again.
        if (m_pFrameBuffer != nullptr) {
            DWORD recorded = hdr->dwBytesRecorded;
            if (recorded > hdr->dwBufferLength)
                recorded = hdr->dwBufferLength;
            if (recorded > 0)
                m_pFrameBuffer->PushFrame(reinterpret_cast<const unsigned char*>(hdr->lpData),
                                          static_cast<int>(recorded));
        }
        waveInAddBuffer(*phwi, hdr, sizeof(WAVEHDR));
    } catch (...) {
        WriteLog("CAudio::OnMM_WIM_DATA Exception");
    }
    return 0;
}

// Runs on the device's callback thread for WIM_DATA, and on the thread that
// opens or closes for WIM_OPEN and WIM_CLOSE (and for the WIM_DATAs of the
// stop and reset in the close). Allocates nothing; blocks only on the frame
// buffer's lock.
void CALLBACK CAudio::waveInProc(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                 DWORD_PTR /*dwParam2*/)
{
    try {
        HWAVEIN hwi = reinterpret_cast<HWAVEIN>(hdrvr);
        CAudio* self = reinterpret_cast<CAudio*>(dwInstance);
        switch (uMsg) {
        case WIM_CLOSE:
            for (int i = 0; i < kBufferCount; ++i)
                waveInUnprepareHeader(hwi, &self->m_WaveHdrIn[i], sizeof(WAVEHDR));
            self->m_cInState.store(kStateClosed);
            break;
        case WIM_DATA:
            // Once the close has begun, returned buffers stay out of the queue.
            if (self->m_cInState.load() == kStateOpen)
                self->OnMM_WIM_DATA(&hwi, reinterpret_cast<WAVEHDR*>(dwParam1));
            break;
        default:
            break;
        }
    } catch (...) {
        WriteLog("waveInProc Exception");
    }
}

bool CAudio::WaveInClose()
{
    try {
        if (m_cInState.load() != kStateOpen)
            return true;
        m_cInState.store(kStateClosing);
        waveInStop(m_hWaveIn);
        // Lets a buffer the device is handing back as it stops arrive before
        // the reset.
        Sleep(kStopSettleMs);
        waveInReset(m_hWaveIn);
        waveInClose(m_hWaveIn);
        // Bounded: a device that never sends its close notice costs 2 s.
        for (int i = 0; i < kCloseWaits; ++i) {
            if (m_cInState.load() == kStateClosed)
                break;
            Sleep(kCloseWaitMs);
        }
        for (int i = 0; i < kBufferCount; ++i) {
            delete[] m_pInBuffer[i];
            m_pInBuffer[i] = nullptr;
        }
    } catch (...) {
        WriteLog("CAudio::WaveInClose Exception");
    }
    return true;
}
