// The shared capture object behind the host's capture handle: one wave device
// recording from the default input, and one frame buffer that queues what it
// records for the host to read.
#pragma once

#include "support/winapi.h"

class CAudio;
class CAudioFrameBuffer;

class CAudioCapture {
public:
    CAudioCapture();
    virtual ~CAudioCapture();

    CAudioCapture(const CAudioCapture&) = delete;
    CAudioCapture& operator=(const CAudioCapture&) = delete;

    // Creates the wave device and the frame buffer and starts recording.
    // Returns 1, or 0 (the caller then closes and destroys the object).
    int Open();
    // Stops recording and destroys the wave device; the frame buffer stays.
    // Returns 1 when a device was closed, 0 when there was none.
    int Close();
    // Hands the host one recorded frame (cut to the room given) once at least
    // 130 bytes are queued, under the frame buffer's live-stream rules: the
    // first frame comes once 8 are queued, and a queue the host lets grow past
    // 68 frames loses its 60 oldest. *length: room on entry, bytes delivered
    // on return. Returns 1 when a frame was delivered. Host thread; must not
    // overlap with the destruction.
    int ReadAudioBuffer(unsigned char* dest, unsigned int* length);
    // Drops everything queued. Always 1.
    int Clear();
    // Replaces the frame buffer with a new one (see CreateOwnedFrameBuffer).
    // 1, or 0 when it cannot be had.
    int CreateFrameBuffer();
    // Destroys the frame buffer. Always 1.
    int DeleteFrameBuffer();

private:
    friend struct CAudioCaptureTestAccess;

    CAudio* m_pAudio;
    CAudioFrameBuffer* m_pFrameBuffer;
};
