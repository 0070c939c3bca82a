#include "audio/audio.h"

#include <string.h>

#include "audio/audioframebuffer.h"
#include "support/log.h"

namespace {

const WORD kFormatMulaw = 7;  // WAVE_FORMAT_MULAW

// One row per open selector: the device format and the size of each of the ten
// buffers. Row 1 carries cbSize 22 on plain PCM, as the devices have always
// been opened.
struct OutFormat {
    WAVEFORMATEX format;
    DWORD dwBufferBytes;
};

const OutFormat kOutFormats[] = {
    {{kFormatMulaw, 1, 8000, 8000, 1, 8, 0}, 0x1FC},
    {{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 22}, 0x2400},
    {{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0}, 0xFD2},
    {{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0}, 0x280},
};
const int kOutFormatCount = sizeof(kOutFormats) / sizeof(kOutFormats[0]);

// A device that answers MMSYSERR_INVALHANDLE to a prepare gets the same header
// again, up to this many attempts in all.
const int kPrepareAttempts = 5;

// Refills in a row without a frame that replay their buffer before silence.
const int kReplayedMisses = 2;

}  // namespace

CAudio::CAudio()
    : m_cOutState(kStateClosed),
      m_cInState(kStateClosed),
      m_nOutCallbacks(0),
      m_nInCallbacks(0),
      m_hWaveOut(nullptr),
      m_hWaveIn(nullptr),
      m_nNoDataCount(0),
      m_dwOutBufferSize(0),
      m_dwInBufferSize(0),
      m_dwOutDataLen(0),
      m_pFrameBuffer(nullptr),
      m_pFrame(nullptr),
      m_nFramePos(0),
      m_nFrameLen(0),
      m_dwVolume(0xFFFFFFFF)
{
    memset(m_WaveHdrOut, 0, sizeof(m_WaveHdrOut));
    memset(m_WaveHdrIn, 0, sizeof(m_WaveHdrIn));
    for (int i = 0; i < kBufferCount; ++i) {
        m_pOutBuffer[i] = nullptr;
        m_pInBuffer[i] = nullptr;
    }
}

CAudio::~CAudio()
{
    WaveOutClose();
    WaveInClose();
    FreeOutBuffers();
    FreeBuffers(m_pInBuffer);
}

void CAudio::SetFrameBuffer(CAudioFrameBuffer* frameBuffer)
{
    m_pFrameBuffer = frameBuffer;
}

void CAudio::InitHeader(WAVEHDR* hdr, unsigned char* data, DWORD bytes)
{
    hdr->lpData = reinterpret_cast<LPSTR>(data);
    hdr->dwBufferLength = bytes;
    hdr->dwBytesRecorded = 0;
    hdr->dwUser = 0;
    hdr->dwFlags = 0;
    hdr->dwLoops = 1;
    hdr->lpNext = nullptr;
    hdr->reserved = 0;
}

void CAudio::FreeBuffers(unsigned char** buffers)
{
    for (int i = 0; i < kBufferCount; ++i) {
        delete[] buffers[i];
        buffers[i] = nullptr;
    }
}

void CAudio::WaitForClose(const std::atomic<signed char>& state)
{
    for (int i = 0; i < kCloseWaits; ++i) {
        if (state.load() == kStateClosed)
            break;
        Sleep(kCloseWaitMs);
    }
}

bool CAudio::WaitForCallbacks(const std::atomic<int>& callbacks)
{
    for (int i = 0; i < kCloseWaits; ++i) {
        if (callbacks.load() == 0)
            return true;
        Sleep(kCloseWaitMs);
    }
    return callbacks.load() == 0;
}

void CAudio::FreeOutBuffers()
{
    FreeBuffers(m_pOutBuffer);
    delete[] m_pFrame;
    m_pFrame = nullptr;
}

int CAudio::WaveOutOpen(int selector)
{
    try {
        if (m_cOutState.load() == kStateOpen)
            return 0;
        if (selector < 0 || selector >= kOutFormatCount)
            return 0;

        const OutFormat& row = kOutFormats[selector];
        WAVEFORMATEX wavefmt = row.format;
        m_dwOutBufferSize = row.dwBufferBytes;

        // Buffers left by an open that threw part way are replaced, not leaked.
        FreeOutBuffers();
        // Cleared so that it tells whether this open reached a device.
        m_hWaveOut = nullptr;
        for (int i = 0; i < kBufferCount; ++i) {
            m_dwOutDataLen = m_dwOutBufferSize;
            m_pOutBuffer[i] = new unsigned char[m_dwOutDataLen];
            memset(m_pOutBuffer[i], 0, m_dwOutDataLen);
            InitHeader(&m_WaveHdrOut[i], m_pOutBuffer[i], m_dwOutDataLen);
        }
        m_pFrame = new unsigned char[CAudioFrameBuffer::kDecodeBufferBytes];
        m_nFramePos = 0;
        m_nFrameLen = 0;

        if (waveOutOpen(&m_hWaveOut, WAVE_MAPPER, &wavefmt, reinterpret_cast<DWORD_PTR>(&CAudio::waveOutProc),
                        reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
            FreeOutBuffers();
            return 0;
        }

        for (int i = 0; i < kBufferCount; ++i) {
            for (int attempt = 1;; ++attempt) {
                const MMRESULT result = waveOutPrepareHeader(m_hWaveOut, &m_WaveHdrOut[i], sizeof(WAVEHDR));
                if (result == MMSYSERR_NOERROR)
                    break;
                if (result != MMSYSERR_INVALHANDLE || attempt == kPrepareAttempts) {
                    // The device is given back as the close does it, so no
                    // handle is left open that no later close would reach.
                    m_cOutState.store(kStateClosing);
                    waveOutClose(m_hWaveOut);
                    WaitForClose(m_cOutState);
                    FreeOutBuffers();
                    return 0;
                }
            }
        }

        // Open before the first buffer is queued: one that comes back while
        // the others are still being queued is refilled like any other, so
        // none drops out of the ring.
        m_cOutState.store(kStateOpen);
        int running = 0;
        for (int i = 0; i < kBufferCount; ++i) {
            if (waveOutWrite(m_hWaveOut, &m_WaveHdrOut[i], sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
                ++running;
        }
        // A device that took none of the buffers would never call back: the
        // open has failed, and the state stays open for the close.
        return running > 0 ? 1 : 0;
    } catch (...) {
        WriteLog("CAudio::WaveOutOpen Exception");
        // A device this open reached is left open for the close to give
        // back, as on the input side: no later close would reach it else.
        if (m_hWaveOut != nullptr)
            m_cOutState.store(kStateOpen);
        return 0;
    }
}

// Runs on the device's callback thread: allocates nothing and blocks only on
// the frame buffer's lock (inside ReadFrame).
DWORD CAudio::FillFromFrames(unsigned char* dst, DWORD len, bool* gotFrame)
{
    DWORD filled = 0;
    *gotFrame = false;
    // The rest of a frame that did not fit the previous buffer comes first.
    if (m_nFrameLen > m_nFramePos) {
        DWORD take = static_cast<DWORD>(m_nFrameLen - m_nFramePos);
        if (take > len)
            take = len;
        memcpy(dst, m_pFrame + m_nFramePos, take);
        m_nFramePos += static_cast<int>(take);
        filled = take;
        *gotFrame = true;
    }
    while (filled < len) {
        // Once this buffer holds a frame, an empty queue ends it: a read that
        // finds nothing would reset the playback clock while that frame plays.
        if (*gotFrame && m_pFrameBuffer->GetFrameCount() == 0)
            break;
        // What fits goes straight from the queue into the buffer; the rest
        // of a longer frame waits in m_pFrame, where the frame would begin.
        const int room = static_cast<int>(len - filled);
        int lReadLen = CAudioFrameBuffer::kDecodeBufferBytes;
        if (m_pFrameBuffer->ReadFrameSplit(dst + filled, room, m_pFrame, &lReadLen) == 0)
            break;
        *gotFrame = true;
        // A muted or stopped frame still fills its length with zeros, so the
        // stream is consumed at its real-time rate.
        int frameBytes = m_pFrameBuffer->GetLastFrameBytes();
        if (frameBytes < 0)
            frameBytes = 0;
        if (frameBytes > CAudioFrameBuffer::kDecodeBufferBytes)
            frameBytes = CAudioFrameBuffer::kDecodeBufferBytes;
        DWORD take = static_cast<DWORD>(frameBytes);
        if (take > len - filled)
            take = len - filled;
        filled += take;
        m_nFramePos = static_cast<int>(take);
        m_nFrameLen = frameBytes;
    }
    return filled;
}

// Runs on the device's callback thread: allocates nothing and blocks only on
// the frame buffer's lock.
bool CAudio::WaveOutWrite(WAVEHDR* hdr)
{
    try {
        if (m_pFrameBuffer == nullptr || m_pFrame == nullptr)
            return true;
        unsigned char* buffer = reinterpret_cast<unsigned char*>(hdr->lpData);
        const DWORD len = m_dwOutDataLen;
        bool gotFrame = false;
        const DWORD filled = FillFromFrames(buffer, len, &gotFrame);
        if (!gotFrame) {
            // The first two misses in a row replay what the buffer held a
            // trip round the ring ago, which hides a short gap better than
            // silence; from the third on the buffer is cleared. A queue the
            // host emptied or stopped is no gap: what the buffer held is
            // audio the host dropped, and silence plays at once.
            if (m_pFrameBuffer->TakeFlushed() && m_nNoDataCount < kReplayedMisses)
                m_nNoDataCount = kReplayedMisses;
            if (m_nNoDataCount++ >= kReplayedMisses)
                memset(buffer, 0, len);
        } else {
            m_nNoDataCount = 0;
            // The queue ran out part way: the rest of this buffer is silence.
            memset(buffer + filled, 0, len - filled);
        }
        waveOutWrite(m_hWaveOut, hdr, sizeof(WAVEHDR));
    } catch (...) {
        WriteLog("CAudio::WaveOutWrite Exception");
    }
    return true;
}

// Runs on the device's callback thread for WOM_DONE, and on the thread that
// closes for WOM_OPEN and WOM_CLOSE (and for the WOM_DONEs of the reset).
void CALLBACK CAudio::waveOutProc(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                  DWORD_PTR /*dwParam2*/)
{
    CAudio* self = reinterpret_cast<CAudio*>(dwInstance);
    const Direction out = {WOM_CLOSE, WOM_DONE, self->m_WaveHdrOut, &self->m_cOutState, &self->m_nOutCallbacks,
                           "CAudio::waveOutProc Exception"};
    OnNotice<HWAVEOUT>(hdrvr, uMsg, dwParam1, out, waveOutUnprepareHeader, [self](HWAVEOUT hwo, WAVEHDR* hdr) {
        waveOutPrepareHeader(hwo, hdr, sizeof(WAVEHDR));
        self->WaveOutWrite(hdr);
    });
}

bool CAudio::WaveOutClose()
{
    try {
        if (m_cOutState.load() != kStateOpen)
            return true;
        m_cOutState.store(kStateClosing);
        const bool closed = ResetAndClose(m_hWaveOut, m_nOutCallbacks, waveOutReset, waveOutClose);
        WaitForClose(m_cOutState);
        // The headers are the device's until it has closed, whatever the
        // unprepares of the close notice answered (on a closing handle they
        // may fail).
        if (!closed || !WaitForCallbacks(m_nOutCallbacks))
            return false;
        FreeOutBuffers();
    } catch (...) {
        WriteLog("CAudio::WaveOutClose Exception");
    }
    return true;
}

DWORD CAudio::GetVolume()
{
    DWORD volume = 0;
    if (waveOutGetVolume(m_hWaveOut, &volume) != MMSYSERR_NOERROR)
        return m_dwVolume.load();
    m_dwVolume.store(volume);
    return volume;
}

int CAudio::SetVolume(DWORD level)
{
    if (m_hWaveOut == nullptr)
        return 0;
    const DWORD w = level & 0xFFFF;
    const DWORD both = (w << 16) | w;
    if (waveOutSetVolume(m_hWaveOut, both) != MMSYSERR_NOERROR)
        return 0;
    m_dwVolume.store(both);
    return 1;
}
