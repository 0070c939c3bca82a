#include "audio/audiodec.h"

#include <new>

#include "sonavex.h"
#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "support/log.h"

CAudioDec::CAudioDec()
    : m_pAudio(nullptr), m_pFrameBuffer(nullptr), m_nMode(SV_PREBUFFER_8), m_nLive(SV_FILE_PLAYBACK), m_nVolume(kFullVolume)
{
}

CAudioDec::~CAudioDec()
{
    Close();
    DeleteFrameBuffer();
}

int CAudioDec::Open(int mode, int live)
{
    if (m_pAudio != nullptr)
        return 0;
    m_pAudio = new (std::nothrow) CAudio();
    if (m_pAudio == nullptr)
        return 0;
    m_nMode = mode;
    m_nLive = live;
    if (!CreateFrameBuffer()) {
        delete m_pAudio;
        m_pAudio = nullptr;
        return 0;
    }
    // The device borrows the frame buffer before it opens: its first refills
    // may come before WaveOutOpen returns.
    m_pAudio->SetFrameBuffer(m_pFrameBuffer);
    if (!m_pAudio->WaveOutOpen(kDeviceFormat)) {
        Close();
        return 0;
    }
    m_pAudio->SetVolume(m_nVolume.load(std::memory_order_relaxed));
    return 1;
}

int CAudioDec::Close()
{
    if (m_pAudio == nullptr)
        return 0;
    if (!m_pAudio->WaveOutClose()) {
        // The device still holds a buffer of the wave object, or its callback
        // still runs: the object and the frame buffer that callback reads are
        // left to it, not freed under it. A small leak, only for a device
        // that never lets go.
        m_pAudio = nullptr;
        m_pFrameBuffer = nullptr;
        return 1;
    }
    delete m_pAudio;
    m_pAudio = nullptr;
    return 1;
}

int CAudioDec::CreateFrameBuffer()
{
    if (!CreateOwnedFrameBuffer(&m_pFrameBuffer))
        return 0;
    m_pFrameBuffer->SetPlayMode(m_nMode, m_nLive);
    return 1;
}

void CAudioDec::DeleteFrameBuffer()
{
    DeleteOwnedFrameBuffer(&m_pFrameBuffer);
}

int CAudioDec::InputAudioBuffer(const unsigned char* data, int length, int type, int64_t pts,
                                unsigned char store)
{
    if (m_pFrameBuffer == nullptr)
        return SV_FAILED;
    // Decoding allocates its codec state and decode buffer on first use; a
    // failure there must not cross into the host.
    try {
        m_pFrameBuffer->DecodePayload(data, length, type, pts, store);
        return 1;
    } catch (...) {
        WriteLog("CAudioDec::InputAudioBuffer");
        return SV_FAILED;
    }
}

void CAudioDec::GetPts(int64_t* pts, int64_t* nextPts)
{
    if (m_pFrameBuffer != nullptr)
        m_pFrameBuffer->GetPts(pts, nextPts);
}

void CAudioDec::SetPts(int64_t ptsA, int64_t ptsB)
{
    if (m_pFrameBuffer != nullptr)
        m_pFrameBuffer->SetPts(ptsA, ptsB);
}

int CAudioDec::ClearAudioFrames(int type, int mode, unsigned int count, int64_t* pts, int64_t* nextPts)
{
    if (m_pFrameBuffer == nullptr)
        return static_cast<int>(SV_E_NO_FRAME_BUFFER);
    return m_pFrameBuffer->ClearFrames(type, mode, count, pts, nextPts);
}

int CAudioDec::Clear()
{
    if (m_pFrameBuffer != nullptr)
        m_pFrameBuffer->Reset();
    return 1;
}

int CAudioDec::SetMuteAudio(int mute)
{
    if (m_pFrameBuffer != nullptr)
        m_pFrameBuffer->SetMute(mute);
    return 1;
}

void CAudioDec::StopFileAudio(int stop)
{
    if (m_pFrameBuffer != nullptr)
        m_pFrameBuffer->SetStopFile(stop);
}

// The exports reach these only through an open object, which always has a
// device and a frame buffer; a closed object answers without touching either.
int CAudioDec::SetVolume(DWORD volume)
{
    m_nVolume.store(volume, std::memory_order_relaxed);
    if (m_pAudio == nullptr)
        return 0;
    return m_pAudio->SetVolume(volume);
}

DWORD CAudioDec::GetVolume()
{
    if (m_pAudio == nullptr)
        return m_nVolume.load(std::memory_order_relaxed);
    // What the device answered is returned as read: another thread may store
    // a newer level in between.
    const DWORD volume = m_pAudio->GetVolume();
    m_nVolume.store(volume, std::memory_order_relaxed);
    return volume;
}

unsigned int CAudioDec::GetFrames()
{
    return m_pFrameBuffer != nullptr ? m_pFrameBuffer->GetFrameCount() : 0;
}
