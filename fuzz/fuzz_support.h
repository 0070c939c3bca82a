// What the two stateful fuzz targets share: the failed-check report, the test
// device set-up, the run of one input, and the device faults an open can be
// given.
#pragma once

#include <pthread.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "fuzz/fuzz_ops.h"

// A failed check names itself and aborts, which libFuzzer reports as a crash
// and saves the input for.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

namespace fuzzsupport {

// The close sequences wait for the device in real time (a capture close
// always sleeps 200 ms, a device that never sends its close notice costs 2
// s). The test device answers at once, so the waits only cost time: they are
// skipped.
inline void SkipSleep(DWORD, void*) {}

// Every open from here on gets the test device, which moves only when the
// target steps it, on the target's own schedule.
// Every step of the test device is a round trip between the target's thread
// and the device's, so the whole process is kept on the processor it started
// on: a wake-up on the same processor is several times cheaper than one that
// has to reach another. (Run two targets side by side under taskset, one
// processor each.) Device threads get 1 MiB stacks rather than the
// process's 8: every open starts one, and its stack's shadow is cleared when
// it ends.
inline void UseTestDevice()
{
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
    SvSetSleepHook(&SkipSleep, nullptr);
    const int cpu = sched_getcpu();
    if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_setstacksize(&attr, 1 << 20);
        pthread_setattr_default_np(&attr);
        pthread_attr_destroy(&attr);
    }
}

// One input: a fresh call record, output log and input feed; then the input's
// ops, each read and checked by `doOp(run, reader)`; then `finish(run)` closes
// whatever the ops left open.
template <typename Run, typename DoOp, typename Finish>
int RunInput(const uint8_t* data, size_t size, DoOp doOp, Finish finish)
{
    SvWaveTestReset();
    Run run;
    fuzzops::Reader in(data, size);
    while (!in.Empty())
        doOp(run, in);
    finish(run);
    return 0;
}

// The two libFuzzer entry points of a stateful target: the test device for
// every open, and each input run by RunInput over the target's Run, DoOp and
// finish.
#define FUZZ_STATEFUL_TARGET(Run, doOp, finish)                                 \
    extern "C" int LLVMFuzzerInitialize(int*, char***)                          \
    {                                                                           \
        fuzzsupport::UseTestDevice();                                           \
        return 0;                                                               \
    }                                                                           \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)     \
    {                                                                           \
        return fuzzsupport::RunInput<Run>(data, size, doOp, finish);            \
    }

// The faults of one open, read as fuzz_ops.h describes.
struct OpenFaults {
    SvWaveTestFaults faults = {};
    bool any = false;

    // `output`: the playback fault bits (volume, writes) are read too.
    void Read(fuzzops::Reader& in, bool output)
    {
        const uint8_t bits = in.U8();
        if (bits & 1)
            faults.mmrOpen = fuzzops::kFaultResults[in.U8() % fuzzops::kFaultResultCount];
        if (bits & 2) {
            faults.nPrepareFailAt = in.U8() % 16;
            faults.nPrepareFailCount = in.U8() % 8;
            faults.mmrPrepare = fuzzops::kFaultResults[in.U8() % fuzzops::kFaultResultCount];
        }
        if (bits & 4)
            faults.bNoCloseNotice = TRUE;
        if (output && (bits & 8))
            faults.mmrVolume = fuzzops::kFaultResults[in.U8() % fuzzops::kFaultResultCount];
        if (output && (bits & 16))
            faults.nCompleteOnWrite = in.U8() % 16;
        any = bits != 0;
    }

    // Whether prepare call `call` (1-based, per handle) fails.
    bool PrepareFails(unsigned call) const
    {
        const unsigned first = faults.nPrepareFailAt;
        const unsigned count = faults.nPrepareFailCount != 0 ? faults.nPrepareFailCount : 1;
        return first != 0 && call >= first && call - first < count;
    }
};

}  // namespace fuzzsupport
