// What a relayed network does to each packet: a trace, one step a packet in
// the order the packets arrive, each a delay or a drop; and the standard
// traces, made from fixed seeds so that every run and every receiver meets
// the same network.
//
// A trace file is text, a line a packet:
//
//   # comments and blank lines are skipped
//   12.5      the packet leaves 12.5 ms after it arrived (0..600000)
//   drop      the packet is dropped
//
// A stream longer than its trace meets the trace again from its start.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace svrelay {

struct TraceStep {
    bool drop = false;
    double delayMs = 0;
};

struct Trace {
    std::vector<TraceStep> steps;
    std::string about;  // the comment lines that describe it, without '#'

    // The step of the packet that arrived `index`-th (from 0).
    const TraceStep& Step(size_t index) const { return steps[index % steps.size()]; }
};

const double kMaxDelayMs = 600000;

// Reads a trace file; false with a message naming the file, and the line
// where it is wrong.
bool ReadTrace(const std::string& path, Trace* trace, std::string* error);
// Writes `trace` (its description as comment lines first); false with a
// message naming the file.
bool WriteTrace(const std::string& path, const Trace& trace, std::string* error);

// The standard traces T0..T5 over `seconds` of stream (0: the trace's own
// length, 120 s, or 600 s for T5), with their fixed seeds:
//   T0  clean: no delay, no loss (1 frame a packet)
//   T1  heavy-tailed jitter (95th percentile about 60 ms), 1 % loss,
//       0.5 % reordering
//   T2  a 300 ms stall every 10 s (the first at 2 s), then the burst of what
//       was held
//   T3  35 frames a packet (700 ms apart) with +-50 ms of jitter
//   T4  up to 20 ms of jitter, for a sender in discontinuous transmission
//   T5  up to 10 ms of jitter over 10 minutes, for a sender whose clock runs
//       300 ppm fast or slow
// The packet spacing each one assumes is in PacketMs. False for another name.
bool MakeStandardTrace(const std::string& name, double seconds, Trace* trace);
double PacketMs(const std::string& name);

// The names MakeStandardTrace knows.
const std::vector<std::string>& StandardTraceNames();

} // namespace svrelay
