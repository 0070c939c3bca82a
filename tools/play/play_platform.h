// What differs between the player's two builds: the Linux build plays on the
// wave stand-in's devices and has their controls, the Windows build plays on
// the real default output device and nothing else.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "numbers.h"
#include "options.h"
#include "streams.h"

namespace svplay {

// Output devices of the Linux build; the Windows build has only the default.
enum class Device { Default, Virtual, Alsa };

// The sound settings a user makes before the player opens the library.
struct SoundSettings {
    Device device = Device::Default;
    // Play on the virtual device and record what it plays to this WAV file.
    std::string recordPath;
    // With recordPath: the virtual device runs this many times faster than
    // real time (0: as fast as it goes, paced by the player, see Paced).
    bool speedSet = false;
    double speed = 1.0;
    // Show the library's debugger traces.
    bool debugOutput = false;

    // Speed 0: the device keeps the player's time rather than the wall
    // clock's, and plays only as far as the player lets time pass (see
    // AdvanceDevice). A device left to run as fast as it could would play
    // silence for as long as the player took to feed it.
    bool Paced() const { return speedSet && speed <= 0; }
};

// A live stream received over the network (RTP on UDP) instead of a file.
struct NetworkSettings {
    bool enabled = false;
    svtool::Endpoint endpoint;
    int payloadType = -1;            // AMR's; -1: the first packet's
    bool bandwidthEfficient = false; // AMR packing: octet-aligned by default
    double timeoutSeconds = 2;       // a sender quiet this long has ended
    long long onlySsrc = -1;         // --ssrc: the one source taken, at once
    bool fromSet = false;            // --from: only datagrams of this sender
    svtool::Endpoint from;           // (port 0: any of its ports)
    std::vector<uint8_t> srtpKey;    // --srtp-key: master key and salt; empty: plain RTP
    bool srtp32 = false;             // --srtp-suite AES_CM_128_HMAC_SHA1_32
    // --playout adaptive: frames go to the library on the stream's time,
    // through the playout clock; fixed: each as it arrives.
    bool adaptive = true;
    int prebufferFrames = 8;         // the library's live pre-buffer
};

// For the usage text: what FILE may be (a line or more, ending in a newline).
extern const char kInputHelp[];

// Adds the options only this build has to the player's table, and rows that
// refuse, with the reason, those of the other build it cannot take.
void AddPlatformOptions(svtool::CommandLine* line, SoundSettings* sound, svtool::SourceOptions* source,
                        NetworkSettings* network);

// The network stream as a frame source (the Linux build; the Windows build
// refuses --rtp before this is asked). Its Next() waits for the receiver's
// next frame, calling `idle` at least every 20 ms while it waits, and returns
// false when the sender has gone quiet for the timeout or on an interrupt.
// `speed` is the device's speed factor: the receiver keeps stream time, so
// its hold times and the timeout pass that much faster. Null with a message
// when the socket cannot be bound.
std::unique_ptr<svtool::FrameSource> OpenNetworkSource(const NetworkSettings& settings, double speed,
                                                       std::function<void()> idle, std::string* error);

// Makes the settings; called before the library opens its device.
void ApplySoundSettings(const SoundSettings& settings);

// With Paced settings: lets the device play `ms` more of the stream's time,
// and returns once it has played that far and taken what the library queued
// for it by then.
void AdvanceDevice(double ms);

// Why the recording to recordPath failed, as "PATH: what failed: the
// system's reason", or "" while it goes well. Asked during playback it tells
// of a failed write; asked after the library's close, of the whole file.
std::string RecordingError(const SoundSettings& settings);

} // namespace svplay
