#include "trace.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "impairment.h"
#include "numbers.h"

namespace svrelay {

namespace {

struct Standard {
    const char* name;
    double packetMs;
    double defaultSeconds;
    const char* about;
};

const Standard kStandards[] = {
    {"T0", 20, 120, "T0: clean, no delay and no loss, 1 frame a packet"},
    {"T1", 20, 120, "T1: heavy-tailed jitter, 1 % loss, 0.5 % reordering"},
    {"T2", 20, 120, "T2: a 300 ms stall every 10 s from 2 s on, then the burst of what was held"},
    {"T3", 700, 120, "T3: 35 frames a packet, 700 ms apart, with +-50 ms of jitter"},
    {"T4", 20, 120, "T4: up to 20 ms of jitter, for a sender in discontinuous transmission"},
    {"T5", 20, 600, "T5: up to 10 ms of jitter over 10 minutes, for a sender whose clock is 300 ppm off"},
};

const Standard* Find(const std::string& name)
{
    for (const Standard& s : kStandards)
        if (name == s.name)
            return &s;
    return nullptr;
}

// Delays that keep the packets in the order they arrived: a packet leaves no
// earlier than the one before it, as behind a queue that has built up.
void KeepOrder(std::vector<TraceStep>* steps, double packetMs)
{
    double last = 0;
    bool any = false;
    for (TraceStep& s : *steps) {
        if (s.drop)
            continue;
        if (any)
            s.delayMs = std::max(s.delayMs, last - packetMs + 0.01);
        last = s.delayMs;
        any = true;
    }
}

// Jitter of the kind a loaded path has: mostly a few milliseconds, now and
// then a spike from a Pareto tail, which the packets behind it queue up
// behind.
double HeavyTailed(svrtp::Random& random)
{
    const double base = 2 + 8 * random.Uniform();
    if (random.Uniform() >= 0.075)
        return base;
    // Pareto with its minimum at 25 ms and shape 1.7, cut at 250 ms: longer
    // hold-ups are stalls, which T2 has.
    const double u = std::max(random.Uniform(), 1e-9);
    return std::min(250.0, base + 25 * pow(u, -1 / 1.7));
}

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

std::string Format(double v)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f", v);
    return text;
}

} // namespace

bool ReadTrace(const std::string& path, Trace* trace, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        *error = path + ": cannot open it: " + strerror(errno);
        return false;
    }
    trace->steps.clear();
    trace->about.clear();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        const size_t last = line.find_last_not_of(" \t\r");
        const std::string text = line.substr(first, last - first + 1);
        if (text[0] == '#') {
            trace->about += text.substr(1) + "\n";
            continue;
        }
        TraceStep step;
        if (text == "drop") {
            step.drop = true;
        } else if (!svtool::ParseNumber(text, &step.delayMs) || step.delayMs < 0 || step.delayMs > kMaxDelayMs) {
            *error = path + ":" + std::to_string(number) + ": '" + text.substr(0, 40) +
                     "' is neither a delay in milliseconds (0..600000) nor 'drop'";
            return false;
        }
        trace->steps.push_back(step);
    }
    if (in.bad()) {
        *error = path + ": reading failed: " + strerror(errno);
        return false;
    }
    if (trace->steps.empty()) {
        *error = path + ": no packets in it (a line a packet: a delay in milliseconds, or 'drop')";
        return false;
    }
    return true;
}

bool WriteTrace(const std::string& path, const Trace& trace, std::string* error)
{
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        *error = path + ": cannot create it: " + strerror(errno);
        return false;
    }
    std::istringstream about(trace.about);
    std::string line;
    while (std::getline(about, line))
        fprintf(file, "# %s\n", line.c_str());
    for (const TraceStep& s : trace.steps) {
        if (s.drop)
            fputs("drop\n", file);
        else
            fprintf(file, "%.2f\n", s.delayMs);
    }
    if (ferror(file) != 0 || fclose(file) != 0) {
        *error = path + ": writing failed: " + strerror(errno);
        return false;
    }
    return true;
}

double PacketMs(const std::string& name)
{
    const Standard* s = Find(name);
    return s != nullptr ? s->packetMs : 20;
}

const std::vector<std::string>& StandardTraceNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Standard& s : kStandards)
            v.push_back(s.name);
        return v;
    }();
    return names;
}

bool MakeStandardTrace(const std::string& name, double seconds, Trace* trace)
{
    const Standard* standard = Find(name);
    if (standard == nullptr)
        return false;
    if (seconds <= 0)
        seconds = standard->defaultSeconds;
    const double packetMs = standard->packetMs;
    const size_t count = std::max<size_t>(1, static_cast<size_t>(ceil(seconds * 1000 / packetMs)));
    // Each trace has a seed of its own, so that changing one leaves the
    // others as they were.
    svrtp::Random random(0x5EED0000u + static_cast<unsigned>(standard - kStandards));
    std::vector<TraceStep> steps(count);
    switch (standard->name[1]) {
    case '0':
        break;
    case '1':
        for (TraceStep& s : steps) {
            s.drop = random.Uniform() < 0.01;
            s.delayMs = HeavyTailed(random);
        }
        KeepOrder(&steps, packetMs);
        // A reordered packet leaves just after the next one.
        for (size_t i = 0; i + 1 < count; ++i) {
            if (random.Uniform() >= 0.005 || steps[i].drop || steps[i + 1].drop)
                continue;
            steps[i].delayMs = std::max(steps[i].delayMs, steps[i + 1].delayMs + packetMs + 2);
            ++i;
        }
        break;
    case '2':
        for (size_t i = 0; i < count; ++i) {
            const double arrival = static_cast<double>(i) * packetMs;
            steps[i].delayMs = 5 * random.Uniform();
            // Stalls from 2 s on, every 10 s: what arrives meanwhile is held
            // to the stall's end.
            if (arrival >= 2000) {
                const double into = fmod(arrival - 2000, 10000);
                if (into < 300)
                    steps[i].delayMs = 300 - into;
            }
        }
        KeepOrder(&steps, packetMs);
        break;
    case '3':
        for (TraceStep& s : steps)
            s.delayMs = 50 + 50 * (2 * random.Uniform() - 1);
        break;
    case '4':
        for (TraceStep& s : steps)
            s.delayMs = 20 * random.Uniform();
        KeepOrder(&steps, packetMs);
        break;
    default:
        for (TraceStep& s : steps)
            s.delayMs = 10 * random.Uniform();
        KeepOrder(&steps, packetMs);
        break;
    }
    std::vector<double> delays;
    size_t dropped = 0;
    for (const TraceStep& s : steps) {
        if (s.drop)
            ++dropped;
        else
            delays.push_back(s.delayMs);
    }
    trace->steps = std::move(steps);
    trace->about = std::string("sonavex-relay trace ") + standard->about + "\n" + std::to_string(count) +
                   " packets, " + Format(packetMs) + " ms apart; " + std::to_string(dropped) +
                   " dropped; delay median " + Format(Percentile(delays, 0.5)) + " ms, 95th percentile " +
                   Format(Percentile(delays, 0.95)) + " ms, largest " + Format(Percentile(delays, 1.0)) + " ms\n";
    return true;
}

} // namespace svrelay
