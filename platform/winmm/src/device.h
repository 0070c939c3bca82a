// The device interface of the wave stand-in: what sits behind one open wave
// handle and moves its samples.
//
// Division of work. A WaveStream (stream.h) is the handle: it keeps the queue
// of headers and their flags, the position and the volume, runs the one device
// thread, and makes every callback. A WaveDevice only moves samples and keeps
// time; it never calls the application and never touches a header.
//
// Contract, which every device keeps:
// - Open and Close run on the application's thread inside waveOutOpen and
//   waveOutClose, with no lock of the stand-in held. Close runs after the
//   device thread has ended, so it never overlaps Transfer.
// - Transfer runs on the device thread only, with no lock of the stand-in
//   held, one buffer at a time. For output it consumes `bytes` bytes of
//   samples (volume already applied) and returns true once they count as
//   played: the virtual device when their duration has passed, ALSA when ALSA
//   has taken them, the test device when the test steps it. `continuous` is
//   false when the stream's queue ran dry before this buffer (the device may
//   restart its clock). `epoch` is the stream's reset count when the buffer was
//   handed over; once Interrupt has been called with a later epoch, Transfer
//   returns false promptly and the buffer is not the device's any more.
// - Interrupt may be called on any thread, also while Transfer blocks and with
//   the stream's lock held (so it never blocks and never calls the stream).
// - The hooks CheckPrepare, CheckVolume, SendsCloseNotice, Grant and
//   CompletesOnWrite are asked by the stream on the calling thread, with its
//   lock held. Only the test
//   device answers anything but plain success.
// - Capture: a stream opened for input hands Transfer an empty buffer to fill
//   with `bytes` recorded bytes; the same rules hold. No device records yet.
#pragma once

#include <stdint.h>

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
    virtual void Interrupt(uint64_t epoch) = 0;
    virtual void Close() = 0;

    // Result for the prepare call at hand (the stream counts nothing itself).
    virtual MMRESULT CheckPrepare() { return MMSYSERR_NOERROR; }
    virtual MMRESULT CheckVolume() { return MMSYSERR_NOERROR; }
    virtual bool SendsCloseNotice() const { return true; }
    // Lets Transfer complete `count` more buffers; false for a device that
    // moves by itself.
    virtual bool Grant(unsigned /*count*/) { return false; }
    // Asked once for each write from outside the device thread: true when
    // the write is to return only after the device has played the buffer.
    virtual bool CompletesOnWrite() { return false; }
};

struct VirtualOptions {
    double speed = 1.0;
    std::string recordPath;
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

}  // namespace svwave
