#include "payload.h"

namespace svrtp {

const char* PayloadErrorText(PayloadError error)
{
    switch (error) {
    case PayloadError::None: return "valid";
    case PayloadError::Empty: return "empty payload";
    case PayloadError::TocPastEnd: return "table of contents runs past the payload";
    case PayloadError::ReservedFrameType: return "reserved AMR frame type (9..14)";
    case PayloadError::TooManyFrames: return "more frames than a packet may hold";
    case PayloadError::FramesPastEnd: return "frames run past the payload";
    case PayloadError::TrailingBytes: return "bytes left over after the last frame";
    case PayloadError::BadVoiceMarker: return "voice frame without its marker";
    case PayloadError::BadVoiceLength: return "voice frame of more than 320 samples";
    }
    return "unknown";
}

} // namespace svrtp
