// A network's impairments, made up from a seed so that a run can be repeated
// exactly: which packets a sender drops, and when it sends the others.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace svrtp {

// splitmix64: a small generator whose sequence is fixed by its seed on every
// platform (the standard library's distributions are not).
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    uint64_t m_state;
};

struct ImpairmentConfig {
    uint64_t seed = 1;
    double jitterMs = 0;       // each packet leaves up to this much after it is due
    double lossPercent = 0;    // chance that a packet is dropped
    double reorderPercent = 0; // chance that a packet swaps places with the next one sent
};

struct Departure {
    size_t index; // of the packet, in stream order
    double sendMs;
};

struct ImpairmentPlan {
    std::vector<Departure> departures; // in the order they leave
    size_t dropped = 0;
    size_t swapped = 0;    // pairs swapped by reordering
    size_t outOfOrder = 0; // packets that leave after a later one (by swaps or jitter)
};

// Plans packets due at `dueMs` (in stream order, not decreasing). Every
// packet draws three numbers, whether it needs them or not, so one
// impairment's setting does not change the others' choices: loss, then its
// jitter (uniform in [0, jitterMs]), then reordering. A packet picked for
// reordering leaves at the time of the next packet that is kept, and that one
// at its time; the pair is then done with.
ImpairmentPlan PlanDepartures(const ImpairmentConfig& config, const std::vector<double>& dueMs);

} // namespace svrtp
