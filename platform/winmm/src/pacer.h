// The pacer: one thread that keeps time for every paced output stream of the
// process (the virtual device at a real-time pace), in place of a sleeping
// thread per device. Each stream asks to be stepped at a time; the thread
// sleeps until the earliest, then steps every stream that is due, so that
// many devices cost one wake-up rather than one each.
//
// A stream is stepped at the time it asked for or a little after (never
// before): the virtual device asks on a grid (virtualdevice.cpp), which lines
// the streams' wake-ups up.
//
// The pacer thread is a device thread (OnDeviceThread): the streams' device
// notices are delivered on it, one stream at a time.
#pragma once

#include <chrono>
#include <memory>

namespace svwave {

class WaveStream;

// Steps `stream` (WaveStream::PaceStep) at `when` or a little after, or
// earlier if it was due earlier already. Takes the pacer's lock, never a
// stream's: it may be called with a stream's lock held.
void PaceAt(const std::shared_ptr<WaveStream>& stream, std::chrono::steady_clock::time_point when);
// Forgets `stream`: it is not stepped again, unless a step already under way.
void StopPacing(const WaveStream* stream);

}  // namespace svwave
