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

// 16-bit mono PCM at 8 kHz.
const WAVEFORMATEX kInFormat = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};

}  // namespace

bool CAudio::WaveInOpen(WAVEFORMATEX* wavefmt, DWORD bufferSize)
{
    try {
        // A second open would lose the running device and its buffers.
        if (m_cInState.load() == kStateOpen && m_hWaveIn != nullptr)
            return false;

        m_dwInBufferSize = bufferSize;
        *wavefmt = kInFormat;

        // Open before the device is: a close that follows a failed open still
        // runs its whole sequence. The handle is cleared so that it tells
        // whether this open reached a device.
        m_cInState.store(kStateOpen);
        m_hWaveIn = nullptr;
        if (waveInOpen(&m_hWaveIn, WAVE_MAPPER, wavefmt, reinterpret_cast<DWORD_PTR>(&CAudio::waveInProc),
                       reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
            return false;

        int added = 0;
        for (int i = 0; i < kBufferCount; ++i) {
            m_pInBuffer[i] = new unsigned char[m_dwInBufferSize];
            WAVEHDR* hdr = &m_WaveHdrIn[i];
            InitHeader(hdr, m_pInBuffer[i], m_dwInBufferSize);
            // A buffer whose prepare failed is refused by the add as well.
            waveInPrepareHeader(m_hWaveIn, hdr, sizeof(WAVEHDR));
            if (waveInAddBuffer(m_hWaveIn, hdr, sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
                ++added;
        }
        // A device with no buffer, or that does not start, records nothing:
        // the open has failed, and the close gives the device back.
        const MMRESULT started = waveInStart(m_hWaveIn);
        return added > 0 && started == MMSYSERR_NOERROR;
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
    CAudio* self = reinterpret_cast<CAudio*>(dwInstance);
    const Direction in = {WIM_CLOSE, WIM_DATA, self->m_WaveHdrIn, &self->m_cInState, &self->m_nInCallbacks,
                          "waveInProc Exception"};
    OnNotice<HWAVEIN>(hdrvr, uMsg, dwParam1, in, waveInUnprepareHeader,
                      [self](HWAVEIN hwi, WAVEHDR* hdr) { self->OnMM_WIM_DATA(&hwi, hdr); });
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
        const bool closed = ResetAndClose(m_hWaveIn, m_nInCallbacks, waveInReset, waveInClose);
        WaitForClose(m_cInState);
        // As for output: the buffers are the device's until it has closed.
        if (!closed || !WaitForCallbacks(m_nInCallbacks))
            return false;
        FreeBuffers(m_pInBuffer);
    } catch (...) {
        WriteLog("CAudio::WaveInClose Exception");
    }
    return true;
}
