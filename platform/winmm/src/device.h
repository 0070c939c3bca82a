// The device interface of the wave stand-in: what sits behind one open wave
// handle and moves its samples.
//
// Division of work. A WaveStream (stream.h) is the handle: it keeps the queue
// of headers and their flags, the position and the volume, runs the one device
// thread, and makes every callback. A WaveDevice only moves samples and keeps
// time; it never calls the application and never touches a header.
//
// Contract, which every device keeps:
// - Open runs on the application's thread inside waveOutOpen / waveInOpen,
//   with no lock of the stand-in held. Close runs on the device thread as its
//   last act, after the stream's close has interrupted the last Transfer or
//   Record, so it never overlaps them; the close waits for it at most 500 ms
//   (a device that takes longer is abandoned, see stream.h). It should return
//   well within that bound.
// - Transfer (output) and Record (input) run on the device thread only, with
//   no lock of the stand-in held, one call at a time. `epoch` is the stream's
//   reset count when the call began; once Interrupt has been called with a
//   later epoch, the call returns promptly (false, 0) and its samples are not
//   the device's any more. `continuous` is false when the stream's queue ran
//   dry (or recording was stopped) before this call: the device may restart
//   its clock.
// - Transfer consumes `bytes` bytes of samples (volume already applied) and
//   returns true once they count as played: the virtual device when their
//   duration has passed, ALSA when ALSA has taken them, the test device when
//   the test steps it.
// - Record fills `data` with at most `room` bytes (whole sample frames) of
//   recorded samples and returns how many it wrote, once they count as
//   recorded: the virtual device when their duration has passed, ALSA when
//   it has captured them, the test device when the test steps it. It returns
//   0 only when interrupted. The stream copies them into the application's
//   buffer, which may take several calls to fill.
// - A paced device (Paced() true, asked once after the open) has no thread
//   of its own: the process's pacer (pacer.h) plays it. Schedule, asked when
//   a buffer starts, says when its `bytes` count as played (`continuous` and
//   `epoch` as for Transfer; the device may round the time up to a grid of
//   its own, so that devices wake together); Played hands them over once that time has come
//   (the samples only when KeepsSamples, else null). Both run on the pacer
//   thread with the stream's lock held, one call at a time, and never after
//   the stream's close has begun; Close then runs on the closing thread.
//   Only the virtual device at a real-time pace is paced.
// - Interrupt may be called on any thread, also while Transfer or Record
//   blocks and with the stream's lock held (so it never blocks and never calls
//   the stream).
// - The hooks CheckPrepare, CheckWrite, CheckStart, CheckVolume,
//   SendsCloseNotice, RefusesClose, HoldsCall, Grant and CompletesOnWrite
//   are asked by the stream on the calling thread, with its
//   lock held. Only the test device answers anything but plain success.
#pragma once

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>

#include <svwin/mmsystem.h>
#include <svwin/wavedevice.h>

namespace svwave {

enum class Direction { kOutput, kInput };

class WaveDevice {
public:
    virtual ~WaveDevice() = default;

    virtual MMRESULT Open(const WAVEFORMATEX& format, Direction direction) = 0;
    virtual bool Transfer(BYTE* data, DWORD bytes, bool continuous, uint64_t epoch) = 0;
    virtual DWORD Record(BYTE* data, DWORD room, bool continuous, uint64_t epoch) = 0;
    virtual void Interrupt(uint64_t epoch) = 0;
    virtual void Close() = 0;

    virtual bool Paced() const { return false; }
    virtual std::chrono::steady_clock::time_point Schedule(DWORD /*bytes*/, bool /*continuous*/, uint64_t /*epoch*/)
    {
        return std::chrono::steady_clock::now();
    }
    virtual bool KeepsSamples() const { return true; }
    virtual void Played(const BYTE* /*data*/, DWORD /*bytes*/) {}

    // Result for the prepare call at hand (the stream counts nothing itself).
    virtual MMRESULT CheckPrepare() { return MMSYSERR_NOERROR; }
    virtual MMRESULT CheckWrite() { return MMSYSERR_NOERROR; }
    virtual MMRESULT CheckStart() { return MMSYSERR_NOERROR; }
    virtual MMRESULT CheckVolume() { return MMSYSERR_NOERROR; }
    // Asked for each call (an SV_WAVE_CALL_* kind) a callback on the device
    // thread makes on its own handle: true when that call is to be held.
    virtual bool HoldsCall(int /*what*/) { return false; }
    virtual bool SendsCloseNotice() const { return true; }
    virtual bool RefusesClose() const { return false; }
    // Lets the device move on: Transfer may complete `count` more buffers, or
    // Record deliver `count` more bytes. False for a device that moves by
    // itself.
    virtual bool Grant(unsigned /*count*/) { return false; }
    // Asked once for each write from outside the device thread: true when
    // the write is to return only after the device has played the buffer.
    virtual bool CompletesOnWrite() { return false; }
};

// What the virtual device records (see SvWaveInputSource).
struct InputSourceOptions {
    SvWaveInputKind kind = SV_WAVE_INPUT_SILENCE;
    double toneHz = 1000.0;
    double toneLevel = 0.5;
    std::string path;
};

struct VirtualOptions {
    double speed = 1.0;
    std::string recordPath;
    InputSourceOptions input;
};

std::unique_ptr<WaveDevice> CreateVirtualDevice(const VirtualOptions& options);
std::unique_ptr<WaveDevice> CreateAlsaDevice();
// Takes the faults set by SvWaveTestSetFaults at the time of the call.
std::unique_ptr<WaveDevice> CreateTestDevice();

// True when the format is one the stand-in plays: PCM of 8 or 16 bits or
// mu-law, one or two channels, with consistent block size and byte rate.
bool IsSupportedFormat(const WAVEFORMATEX& format);

// Copies `bytes` samples of `format` from src to dst at the per-channel levels
// of a waveOutSetVolume word (low word left, high word right; mono takes the
// left). 0xFFFF is unity.
void ApplyVolume(const WAVEFORMATEX& format, DWORD volume, const BYTE* src, BYTE* dst, DWORD bytes);

// Stores `count` 16-bit samples (interleaved as the format's channels) in the
// sample encoding of `format` (16-bit PCM, 8-bit PCM or mu-law) at dst.
void EncodeSamples(const WAVEFORMATEX& format, const int16_t* src, DWORD count, BYTE* dst);

}  // namespace svwave
