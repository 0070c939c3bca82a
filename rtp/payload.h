// What the payload readers share: the frames of one packet, in the form the
// library takes them (one storage-format AMR frame or one voice-engine frame
// each), and the reasons a payload is refused.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace svrtp {

// RTP clock of both codecs, in ticks per second: one tick per sample.
const int kClockRate = 8000;
// Bound on the frames taken from one packet: 256 AMR frames are 5.12 s of
// audio, far more than a sender puts in one datagram, and it keeps a payload
// of one-byte no-data entries from standing for minutes of audio.
const int kMaxFramesPerPacket = 256;

struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Frames back to back in `bytes`; the vectors keep their capacity across
// Clear(), so a list reused packet after packet stops allocating once it has
// held the largest packet.
struct FrameList {
    struct Extent {
        uint32_t offset;
        uint32_t length;
        uint32_t samples; // duration in RTP ticks
    };
    std::vector<uint8_t> bytes;
    std::vector<Extent> frames;

    void Clear()
    {
        bytes.clear();
        frames.clear();
    }
    size_t Count() const { return frames.size(); }
    const uint8_t* Data(size_t i) const { return bytes.data() + frames[i].offset; }
    int64_t Samples() const
    {
        int64_t total = 0;
        for (const Extent& e : frames)
            total += e.samples;
        return total;
    }
    void Truncate(size_t count, size_t byteCount)
    {
        frames.resize(count);
        bytes.resize(byteCount);
    }
};

enum class PayloadError {
    None,
    Empty,              // no payload bytes at all
    TocPastEnd,         // the AMR table of contents has no last entry
    ReservedFrameType,  // AMR frame type 9..14
    TooManyFrames,      // more than kMaxFramesPerPacket
    FramesPastEnd,      // the frames the header(s) announce run past the payload
    TrailingBytes,      // bytes left over after the last frame
    BadVoiceMarker,     // a voice frame that does not begin with its marker
    BadVoiceLength,     // a voice frame of more samples than the codec allows
};

const char* PayloadErrorText(PayloadError error);

} // namespace svrtp
