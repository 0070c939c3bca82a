// The voice-engine RTP payload (docs/rtp-voice-payload.md): one or more
// voice-engine frames back to back, exactly as a .ve stream holds them. Each
// frame's 8-byte header gives its sample count, and so its length and its
// duration in RTP ticks.
#pragma once

#include <stdint.h>

#include <vector>

#include "payload.h"

namespace svrtp {

// Dynamic payload type of the voice-engine payload, clock 8000 Hz.
const int kVoicePayloadType = 118;

const uint8_t kVoiceFrameMarker = 0xA5;
const int kVoiceFrameHeaderBytes = 8;
const int kVoiceFrameMaxSamples = 320;
const int kVoiceFrameMaxBytes = kVoiceFrameHeaderBytes + (kVoiceFrameMaxSamples + 1) / 2;

// Replaces `out` with the frames of `payload`; on a refusal `out` is left
// empty. Only what splitting needs is checked (marker, sample count, length);
// the rest of each header is the decoder's to judge.
PayloadError ParseVoicePayload(const uint8_t* payload, size_t size, FrameList* out);

// Replaces `out` with `frames` back to back. False when there are none or more
// than kMaxFramesPerPacket, or a frame is not exactly one whole voice frame.
bool PackVoicePayload(const ByteView* frames, size_t count, std::vector<uint8_t>* out);

// Writes a frame of `samples` (0..320) that decodes to silence: it starts from
// predictor 0 and step index 0 and every code is 0, which moves neither.
// Returns its length.
int MakeVoiceSilence(int samples, uint8_t out[kVoiceFrameMaxBytes]);

} // namespace svrtp
