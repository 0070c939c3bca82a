// What the machine and the process did during a measurement, for the benches
// that play in real time: processor time, context switches, and the time the
// hypervisor took from this virtual machine (steal). On a shared virtual
// machine every sleep and wake-up may cost the hypervisor, so a figure is
// read beside the steal and switches it was measured under.
//
//   ProcessSample before = ProcessSample::Now();
//   ... run ...
//   ProcessDelta d = ProcessDelta::Between(before, ProcessSample::Now());
//   AddProcessCounters(state, d);
#pragma once

#include <stdio.h>
#include <string.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <thread>

#include <benchmark/benchmark.h>

namespace benchcounters {

inline double Seconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Processor cores the machine offers the process (at least 1).
inline unsigned Cores()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

struct ProcessSample {
    double wall = 0;         // monotonic seconds
    double process = 0;      // processor seconds of every thread of the process
    long voluntary = 0;      // the process's context switches: it slept
    long involuntary = 0;    // ... or was preempted
    unsigned long long busy = 0;    // machine-wide jiffies of /proc/stat's cpu line, every field
    unsigned long long idle = 0;    // ... of them idle or waiting for I/O
    unsigned long long steal = 0;   // ... of them taken by the hypervisor
    unsigned long long switches = 0;  // machine-wide context switches (ctxt)
    bool haveStat = false;

    static ProcessSample Now()
    {
        ProcessSample s;
        s.wall = Seconds(CLOCK_MONOTONIC);
        s.process = Seconds(CLOCK_PROCESS_CPUTIME_ID);
        rusage usage = {};
        if (getrusage(RUSAGE_SELF, &usage) == 0) {
            s.voluntary = usage.ru_nvcsw;
            s.involuntary = usage.ru_nivcsw;
        }
        if (FILE* stat = fopen("/proc/stat", "r")) {
            unsigned long long f[10] = {};
            char line[512];
            while (fgets(line, sizeof line, stat) != nullptr) {
                // The machine's line alone: "cpu0 ..." would read as "cpu" and a count.
                if (strncmp(line, "cpu ", 4) == 0 &&
                    sscanf(line + 4, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2], &f[3],
                           &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]) >= 8) {
                    // guest and guest_nice are counted in user and nice already.
                    for (int i = 0; i < 8; ++i)
                        s.busy += f[i];
                    s.idle = f[3] + f[4];
                    s.steal = f[7];
                    s.haveStat = true;
                } else if (strncmp(line, "ctxt ", 5) == 0) {
                    sscanf(line + 5, "%llu", &s.switches);
                }
            }
            fclose(stat);
        }
        return s;
    }
};

struct ProcessDelta {
    double wall = 0;
    double process = 0;           // processor seconds
    double cores = 0;             // process / wall: 2 = both cores of a 2-core machine full
    double switchesPerSec = 0;    // the process's, voluntary and involuntary
    double preemptedPerSec = 0;   // the involuntary ones alone
    double machineSwitchesPerSec = 0;
    double steal = -1;            // fraction of the machine's time stolen; -1 unknown
    double others = -1;           // cores busy outside this process (other programs, steal); -1 unknown
    double load = 0;              // 1-minute load average at the end

    static ProcessDelta Between(const ProcessSample& a, const ProcessSample& b)
    {
        ProcessDelta d;
        d.wall = b.wall - a.wall;
        d.process = b.process - a.process;
        if (d.wall <= 0)
            return d;
        d.cores = d.process / d.wall;
        d.switchesPerSec = static_cast<double>((b.voluntary - a.voluntary) + (b.involuntary - a.involuntary)) / d.wall;
        d.preemptedPerSec = static_cast<double>(b.involuntary - a.involuntary) / d.wall;
        d.machineSwitchesPerSec = static_cast<double>(b.switches - a.switches) / d.wall;
        if (a.haveStat && b.haveStat && b.busy > a.busy) {
            const double all = static_cast<double>(b.busy - a.busy);
            d.steal = static_cast<double>(b.steal - a.steal) / all;
            const double busy = 1.0 - static_cast<double>(b.idle - a.idle) / all;
            d.others = std::max(0.0, busy * Cores() - d.cores);
        }
        double loads[1] = {0};
        if (getloadavg(loads, 1) == 1)
            d.load = loads[0];
        return d;
    }
};

// Counters: cpu_cores, csw_per_s (the process), preempt_per_s, sys_csw_per_s
// (the machine), steal (fraction of the machine's time), others_cores (cores
// busy outside this process), load.
inline void AddProcessCounters(benchmark::State& state, const ProcessDelta& d)
{
    state.counters["cpu_cores"] = d.cores;
    state.counters["csw_per_s"] = d.switchesPerSec;
    state.counters["preempt_per_s"] = d.preemptedPerSec;
    state.counters["sys_csw_per_s"] = d.machineSwitchesPerSec;
    state.counters["steal"] = d.steal;
    state.counters["others_cores"] = d.others;
    state.counters["load"] = d.load;
}

}  // namespace benchcounters
