// Compressed frame streams for the host programs: AMR-NB storage files,
// voice-engine streams, and in the Linux build any audio file libsndfile reads,
// converted to 8 kHz mono and encoded frame by frame as it is read.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "sonavex.h"

namespace svtool {

// Payload types as the library numbers them.
const int kPayloadAmr = SV_PAYLOAD_AMR;
const int kPayloadVoice = SV_PAYLOAD_VOICE;

const int kSampleRate = 8000;
const int kAmrFrameSamples = 160;
// Voice frames the programs make hold one device buffer: 40 ms.
const int kVoiceFrameSamples = 320;

enum class Codec { Amr, Voice };

// AMR-NB bit rates of modes 0..7, in kbit/s.
extern const double kAmrKbps[8];

struct Frame {
    const uint8_t* data = nullptr;
    int length = 0;
    int type = 0;
    // Position of the frame's first sample in the stream, and its length.
    int64_t startSample = 0;
    int samples = 0;
    // The stream's time stamp for the frame: its start in milliseconds, which
    // is frame index x frame duration for frames of one size.
    int64_t Pts() const { return startSample * 1000 / kSampleRate; }
    // A network stream's: milliseconds from the packet's arrival to this
    // frame's hand-over; -1 for a frame made up, or not received at all.
    int64_t holdMs = -1;
};

// What a network source has counted of its packets so far.
struct NetworkCounters {
    uint64_t packets = 0;
    uint64_t lost = 0;
    uint64_t late = 0;
    uint64_t reordered = 0;
    uint64_t duplicates = 0;
    uint64_t invalid = 0;    // not RTP, or not a payload of the stream
    uint64_t concealed = 0;  // frames made up for lost ones
    uint64_t restarts = 0;   // new streams after the first (a new SSRC)
    uint64_t foreign = 0;    // valid packets of another source than the stream's
    uint64_t filtered = 0;   // datagrams from another sender than --from's
    uint64_t authFailed = 0; // SRTP packets that failed authentication
    uint64_t replayed = 0;   // SRTP packets seen before, or too old
    // The playout clock's (adaptive playout only).
    bool adaptive = false;
    double targetMs = 0;          // target added delay, the device's own excluded
    uint64_t concealedLoss = 0;   // frames made up: the network lost their packet
    uint64_t concealedLate = 0;   // their packet came after their turn
    uint64_t concealedPause = 0;  // the sender sent nothing (DTX)
    uint64_t interruptions = 0;   // runs of loss or late concealment of 150 ms or more
    uint64_t loweredPause = 0;    // made-up or no-data frames left out to lower the delay
    uint64_t loweredSpeech = 0;   // speech frames left out to lower it
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The next frame; false at the end of the stream, or where bad data ended
    // it early (then Error() says what and where). The frame's bytes stay valid
    // until the next call.
    virtual bool Next(Frame& frame) = 0;
    // Length of the whole stream in samples, as far as it is known up front.
    virtual int64_t TotalSamples() const = 0;
    // What the stream is, for the player's first line.
    virtual std::string Describe() const = 0;
    // A source that receives from the network: its counters; null for files.
    virtual const NetworkCounters* Network() const { return nullptr; }
    const std::string& Error() const { return m_error; }

protected:
    std::string m_error;
};

struct SourceOptions {
    // For audio files that are not already compressed: the codec to encode
    // them with, and the AMR mode (0..7: 4.75 to 12.2 kbit/s).
    Codec codec = Codec::Amr;
    int amrMode = 7;
};

// Opens `path` by its content: "#!AMR\n" makes it an AMR stream, a first byte
// 0xA5 a voice-engine stream, anything else an audio file for libsndfile (which
// the Windows build refuses). A ".amr" or ".ve" name insists on its format. On
// failure returns null with a message that names the file and what is wrong
// with it.
std::unique_ptr<FrameSource> OpenSource(const std::string& path, const SourceOptions& options,
                                        std::string* error);

// Byte count that follows an AMR storage-format header byte, or -1 for a frame
// type that AMR-NB does not define.
int AmrFrameBodyBytes(uint8_t header);

extern const char kAmrMagic[];
const int kAmrMagicBytes = 6;

const uint8_t kVoiceMarker = 0xA5;
const int kVoiceHeaderBytes = 8;
const int kVoiceMaxSamples = 320;

} // namespace svtool
