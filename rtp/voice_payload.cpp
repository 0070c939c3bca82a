#include "voice_payload.h"

#include <string.h>

namespace svrtp {

namespace {

const uint8_t kCodecImaAdpcm = 3;

// Length of the frame at `p` and its sample count, or the reason it is none.
PayloadError Frame(const uint8_t* p, size_t left, size_t* length, int* samples)
{
    if (left < static_cast<size_t>(kVoiceFrameHeaderBytes))
        return PayloadError::FramesPastEnd;
    if (p[0] != kVoiceFrameMarker)
        return PayloadError::BadVoiceMarker;
    *samples = p[2] | p[3] << 8;
    if (*samples > kVoiceFrameMaxSamples)
        return PayloadError::BadVoiceLength;
    *length = kVoiceFrameHeaderBytes + (*samples + 1) / 2;
    return *length > left ? PayloadError::FramesPastEnd : PayloadError::None;
}

} // namespace

PayloadError ParseVoicePayload(const uint8_t* p, size_t size, FrameList* out)
{
    out->Clear();
    if (size == 0)
        return PayloadError::Empty;
    for (size_t at = 0; at < size;) {
        size_t length = 0;
        int samples = 0;
        PayloadError error = Frame(p + at, size - at, &length, &samples);
        if (error == PayloadError::None && out->Count() == kMaxFramesPerPacket)
            error = PayloadError::TooManyFrames;
        if (error != PayloadError::None) {
            out->Clear();
            return error;
        }
        out->frames.push_back(
            {static_cast<uint32_t>(at), static_cast<uint32_t>(length), static_cast<uint32_t>(samples)});
        at += length;
    }
    // The frames are the payload itself, in order.
    out->bytes.assign(p, p + size);
    return PayloadError::None;
}

bool PackVoicePayload(const ByteView* frames, size_t count, std::vector<uint8_t>* out)
{
    if (count == 0 || count > kMaxFramesPerPacket)
        return false;
    out->clear();
    for (size_t i = 0; i < count; ++i) {
        size_t length = 0;
        int samples = 0;
        if (Frame(frames[i].data, frames[i].size, &length, &samples) != PayloadError::None || length != frames[i].size)
            return false;
        out->insert(out->end(), frames[i].data, frames[i].data + frames[i].size);
    }
    return true;
}

int MakeVoiceSilence(int samples, uint8_t out[kVoiceFrameMaxBytes])
{
    const int length = kVoiceFrameHeaderBytes + (samples + 1) / 2;
    memset(out, 0, static_cast<size_t>(length));
    out[0] = kVoiceFrameMarker;
    out[1] = kCodecImaAdpcm;
    out[2] = static_cast<uint8_t>(samples & 0xFF);
    out[3] = static_cast<uint8_t>(samples >> 8);
    return length;
}

} // namespace svrtp
