// The shared capture object: its wave device records, and the device's
// callback queues every filled buffer into the frame buffer as one frame; the
// host takes them out one at a time with ReadAudioBuffer.
#include "audio/audiocapture.h"

#include <limits.h>

#include <new>

#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "support/log.h"

namespace {

const DWORD kCaptureBufferBytes = 0x140;  // 160 samples, 20 ms
// The reader waits until this many 13-byte units are queued.
const int kReadUnitBytes = 13;
const int kReadMinUnits = 10;

// "Failed to open": the debugger text is kept in the code page the host's
// tools read it in (936), written as bytes so this file stays plain UTF-8.
const char kOpenFailedTrace[] = "************************\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC" "WaveInOpen()";

}  // namespace

CAudioCapture::CAudioCapture() : m_pAudio(nullptr), m_pFrameBuffer(nullptr) {}

CAudioCapture::~CAudioCapture()
{
    Close();
    delete m_pAudio;
    m_pAudio = nullptr;
    DeleteFrameBuffer();
}

int CAudioCapture::Open()
{
    if (m_pAudio != nullptr)
        return 0;
    m_pAudio = new (std::nothrow) CAudio();
    if (m_pAudio == nullptr)
        return 0;
    if (!CreateFrameBuffer())
        return 0;  // the caller's Close removes the device
    m_pAudio->SetFrameBuffer(m_pFrameBuffer);

    WAVEFORMATEX wavefmt;
    if (!m_pAudio->WaveInOpen(&wavefmt, kCaptureBufferBytes)) {
        DebugTrace("%s", kOpenFailedTrace);
        Close();
        return 0;
    }
    return 1;
}

int CAudioCapture::Close()
{
    if (m_pAudio == nullptr)
        return 0;
    if (!m_pAudio->WaveInClose()) {
        // As for playback: a device that never let go keeps the wave object
        // and the frame buffer its callback queues into.
        m_pAudio = nullptr;
        m_pFrameBuffer = nullptr;
        return 1;
    }
    delete m_pAudio;
    m_pAudio = nullptr;
    return 1;
}

int CAudioCapture::ReadAudioBuffer(unsigned char* dest, unsigned int* length)
{
    // *length is the bytes delivered on every return: 0 whenever nothing is.
    // Without a length or a buffer there is no room: nothing is taken.
    if (length == nullptr)
        return 0;
    if (m_pFrameBuffer == nullptr || *length == 0 || dest == nullptr) {
        *length = 0;
        return 0;
    }
    try {
        int held = m_pFrameBuffer->GetDataSize();
        if (held <= 0 || held / kReadUnitBytes < kReadMinUnits) {
            *length = 0;
            return 0;
        }
        // The frame buffer copies no more than the host's room (a longer
        // frame is cut); recorded frames are 320 bytes.
        int room = *length > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(*length);
        int got = room;
        int taken = m_pFrameBuffer->ReadFrame(dest, &got, nullptr, nullptr);
        *length = static_cast<unsigned int>(got);
        return taken > 0 ? 1 : 0;
    } catch (...) {
        WriteLog("CAudioCapture::ReadAudioBuffer");
        *length = 0;
        return 0;
    }
}

int CAudioCapture::Clear()
{
    if (m_pFrameBuffer != nullptr)
        m_pFrameBuffer->Reset();
    return 1;
}

int CAudioCapture::CreateFrameBuffer()
{
    // Recorded frames are read under the frame buffer's live-stream rules,
    // its default.
    return CreateOwnedFrameBuffer(&m_pFrameBuffer);
}

int CAudioCapture::DeleteFrameBuffer()
{
    DeleteOwnedFrameBuffer(&m_pFrameBuffer);
    return 1;
}
