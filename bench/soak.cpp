// A long run of the library as a recorder client uses it, to show that
// nothing grows with time: N live streams (AMR and voice, alternating) play
// on the virtual device at real-time pace, each fed one frame when it is due
// and closed and opened again every so often, while the capture object is
// opened, read every 20 ms and closed once per sampling period.
//
// Every period, with the capture object closed and no stream half way through
// its reopen, it samples the resident set, the live heap (bytes malloc has
// handed out, in arenas and in mmapped chunks), the threads and the open file
// descriptors, and prints one row. The sample taken when the warm-up ends is
// the baseline; the run fails (exit 1) when a later sample's live heap exceeds
// it by more than the bound, or its threads or descriptors exceed it at all,
// or when an open fails (exit 2).
//
//   soak [--streams N] [--minutes M] [--period S] [--warmup S] [--reopen S]
//        [--heap-bound-kib K]
#include <malloc.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <svwin/wavedevice.h>

#include "live_streams.h"
#include "options.h"
#include "sonavex.h"
#include "test_codec_amr_frames.h"
#include "test_codec_signals.h"
#include "test_codec_voice_frames.h"

namespace {

using benchlive::Bytes;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

struct Options {
    int streams = 64;
    double minutes = 10;
    double period = 0;  // seconds; 0: a twentieth of the run
    double warmup = 0;  // seconds; 0: a fifth of the run, at most a minute
    double reopen = 20;  // seconds between a stream's reopens
    long heapBoundKib = 512;
};

const int kFeeders = 2;
const int kVoiceSamples = 320;  // 40 ms
const int kCaptureFrameBytes = 320;
const Ms kCaptureRead(20);

struct Payloads {
    int type;
    Ms duration;
    std::vector<Bytes> frames;
};

Payloads AmrFrames()
{
    return Payloads{SV_PAYLOAD_AMR, Ms(20), benchlive::AmrFrames(4)};
}

Payloads VoiceFrames()
{
    return {SV_PAYLOAD_VOICE, Ms(40),
            codectest::VoiceEncode(codectest::SyntheticSpeech(4 * codectest::kRate), {kVoiceSamples}).frames};
}

struct Stream {
    const Payloads* payloads = nullptr;
    SV_DECODER handle = nullptr;
    Clock::time_point start;
    Clock::time_point nextReopen;
    int64_t fed = 0;
};

struct Counters {
    std::atomic<long> framesFed{0};
    std::atomic<long> reopens{0};
    std::atomic<long> underruns{0};
    std::atomic<long> captureCycles{0};
    std::atomic<long> framesRead{0};
    std::atomic<bool> openFailed{false};
};

struct Sample {
    double seconds;
    long rssKib;
    long heapKib;
    long threads;
    long fds;
};

long StatusField(const char* name)
{
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long value = -1;
    const size_t n = strlen(name);
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, name, n) == 0 && line[n] == ':') {
            value = strtol(line + n + 1, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return value;
}

long OpenFds()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    long n = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    closedir(dir);
    return n - 1;  // the descriptor of the listing itself
}

Sample Take(Clock::time_point t0)
{
    const struct mallinfo2 mi = mallinfo2();
    Sample s;
    s.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    s.rssKib = StatusField("VmRSS");
    s.heapKib = static_cast<long>((mi.uordblks + mi.hblkhd) / 1024);
    s.threads = StatusField("Threads");
    s.fds = OpenFds();
    return s;
}

// Feeds streams [first, last) until `end`: each frame when it is due, and a
// close and open of a stream when its reopen is due. A reopen holds `gate`
// shared, from the close until the new decoder has its first frame, so that
// a sample never sees a stream half made.
void Feed(std::vector<Stream>& streams, size_t first, size_t last, Clock::time_point end,
          Clock::time_point countFrom, const Options& opt, std::shared_mutex& gate, Counters& c)
{
    const auto reopenEvery = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.reopen));
    while (Clock::now() < end && !c.openFailed.load()) {
        Clock::time_point nextDue = end;
        for (size_t i = first; i < last; ++i) {
            Stream& s = streams[i];
            const std::vector<Bytes>& frames = s.payloads->frames;
            for (;;) {
                Clock::time_point now = Clock::now();
                std::shared_lock<std::shared_mutex> held(gate, std::defer_lock);
                if (now >= s.nextReopen) {
                    held.lock();
                    SV_CloseSonavex(s.handle);
                    s.handle = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
                    if (s.handle == nullptr) {
                        c.openFailed.store(true);
                        return;
                    }
                    // The new stream starts its timeline now, as a recorder
                    // reconnecting would.
                    now = Clock::now();
                    s.start = now;
                    s.fed = 0;
                    s.nextReopen = now + reopenEvery;
                    c.reopens.fetch_add(1);
                }
                const Clock::time_point due = s.start + s.payloads->duration * s.fed;
                if (due > now) {
                    nextDue = std::min({nextDue, due, s.nextReopen});
                    break;
                }
                // Past its pre-buffer a live stream found empty has run dry.
                if (s.fed > 8 && now >= countFrom && SV_AudioDecGetFrames(s.handle) == 0)
                    c.underruns.fetch_add(1);
                const Bytes& f = frames[static_cast<size_t>(s.fed) % frames.size()];
                SV_InputAudioBuffer(s.handle, f.data(), static_cast<int32_t>(f.size()), s.payloads->type,
                                    s.fed * s.payloads->duration.count(), 1);
                ++s.fed;
                c.framesFed.fetch_add(1, std::memory_order_relaxed);
            }
        }
        std::this_thread::sleep_until(nextDue);
    }
}

// One sampling period of capture: open, read every 20 ms until `until`, close.
bool CaptureCycle(Clock::time_point until, Counters& c)
{
    SV_CAPTURE cap = SV_OpenAudioCapture();
    if (cap == nullptr)
        return false;
    unsigned char frame[kCaptureFrameBytes];
    for (Clock::time_point next = Clock::now(); next < until; next += kCaptureRead) {
        std::this_thread::sleep_until(next);
        uint32_t length = sizeof frame;
        if (SV_ReadAudioBuffer(cap, frame, &length, 0) == 1)
            c.framesRead.fetch_add(1, std::memory_order_relaxed);
    }
    SV_CloseAudioCapture(cap);
    c.captureCycles.fetch_add(1);
    return true;
}

Options ParseArgs(int argc, char** argv)
{
    Options opt;
    svtool::CommandLine line("soak", "Plays and captures many streams for M minutes and fails when the heap, "
                                     "the threads or the descriptors grow.\n");
    line.options = {
        svtool::Integer("--streams", "N", "playback streams (default 64)", &opt.streams, 1, 4096),
        svtool::Number("--minutes", "M", "length of the run (default 10)", &opt.minutes, svtool::Above(0),
                       "a number of minutes"),
        svtool::Number("--period", "S", "seconds between rows, at least 1 (default: a twentieth of the run)",
                       &opt.period, svtool::AtLeast(1), "a number of seconds"),
        svtool::Number("--warmup", "S", "seconds before the first measure (default: a fifth of the run, at\n"
                                        "most a minute)",
                       &opt.warmup, svtool::Above(0), "a number of seconds"),
        svtool::Number("--reopen", "S", "seconds between a stream's reopens (default 20)", &opt.reopen,
                       svtool::Above(0), "a number of seconds"),
        svtool::Integer("--heap-bound-kib", "K", "growth of the live heap allowed (default 512)", &opt.heapBoundKib,
                        0, 1L << 30),
    };
    line.Parse(argc, argv);
    const double run = opt.minutes * 60;
    if (opt.period <= 0)
        opt.period = run / 20;
    if (opt.warmup <= 0)
        opt.warmup = std::min(60.0, run / 5);
    if (opt.warmup >= run)
        line.Fail("--warmup must end before the run does");
    return opt;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options opt = ParseArgs(argc, argv);
    benchlive::UseRealTimeVirtualDevice();
    SvWaveInputSource tone = {SV_WAVE_INPUT_TONE, 440.0, 0.5, nullptr};
    SvWaveVirtualSetInput(&tone);

    const Payloads amr = AmrFrames();
    const Payloads voice = VoiceFrames();
    printf("soak: %d streams (AMR and voice), %.1f min, a row every %.0f s, warm-up %.0f s, "
           "each stream reopened every %.0f s, heap bound %ld KiB\n",
           opt.streams, opt.minutes, opt.period, opt.warmup, opt.reopen, opt.heapBoundKib);

    const Clock::time_point t0 = Clock::now();
    const auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const Clock::time_point end = t0 + seconds(opt.minutes * 60);
    const Clock::time_point countFrom = t0 + seconds(opt.warmup);
    std::vector<Stream> streams(static_cast<size_t>(opt.streams));
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& s = streams[i];
        s.payloads = i % 2 == 0 ? &amr : &voice;
        s.handle = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
        if (s.handle == nullptr) {
            fprintf(stderr, "soak: stream %zu did not open\n", i);
            return 2;
        }
        // Phases spread over a frame, reopens over the reopen period.
        s.start = t0 + s.payloads->duration * static_cast<int64_t>(i) / opt.streams;
        s.nextReopen = t0 + seconds(opt.reopen * static_cast<double>(i + 1) / opt.streams);
    }

    Counters c;
    std::shared_mutex gate;
    std::vector<std::thread> feeders;
    for (int k = 0; k < kFeeders; ++k) {
        const size_t first = streams.size() * static_cast<size_t>(k) / kFeeders;
        const size_t last = streams.size() * static_cast<size_t>(k + 1) / kFeeders;
        feeders.emplace_back(Feed, std::ref(streams), first, last, end, countFrom, std::cref(opt), std::ref(gate),
                             std::ref(c));
    }

    printf("%8s %9s %9s %9s %7s %5s %9s %8s %7s %8s %9s\n", "t_s", "rss_kib", "heap_kib", "heap_d", "threads",
           "fds", "fed", "reopens", "cycles", "read", "underrun");
    std::vector<Sample> samples;
    bool haveBase = false;
    Sample base = {};
    bool captureFailed = false;
    for (Clock::time_point next = t0 + seconds(opt.period); next <= end + seconds(0.5);
         next += seconds(opt.period)) {
        // Capture runs for the period less a second; the sample follows its close.
        if (!CaptureCycle(next - seconds(1), c)) {
            captureFailed = true;
            break;
        }
        std::this_thread::sleep_until(next - seconds(0.5));
        Sample s;
        {
            std::unique_lock<std::shared_mutex> quiet(gate);
            s = Take(t0);
        }
        if (!haveBase && s.seconds >= opt.warmup) {
            base = s;
            haveBase = true;
        }
        samples.push_back(s);
        printf("%8.1f %9ld %9ld %9s %7ld %5ld %9ld %8ld %7ld %8ld %9ld\n", s.seconds, s.rssKib, s.heapKib,
               haveBase ? std::to_string(s.heapKib - base.heapKib).c_str() : "-", s.threads, s.fds,
               c.framesFed.load(), c.reopens.load(), c.captureCycles.load(), c.framesRead.load(),
               c.underruns.load());
        fflush(stdout);
        if (c.openFailed.load())
            break;
    }
    for (std::thread& t : feeders)
        t.join();
    for (Stream& s : streams)
        SV_CloseSonavex(s.handle);

    if (c.openFailed.load() || captureFailed) {
        fprintf(stderr, "soak: FAIL: a %s open failed\n", captureFailed ? "capture" : "decoder");
        return 2;
    }
    if (!haveBase) {
        fprintf(stderr, "soak: FAIL: no sample after the warm-up\n");
        return 1;
    }
    long heapMax = base.heapKib, threadsMax = base.threads, fdsMax = base.fds;
    for (const Sample& s : samples) {
        if (s.seconds < base.seconds)
            continue;
        heapMax = std::max(heapMax, s.heapKib);
        threadsMax = std::max(threadsMax, s.threads);
        fdsMax = std::max(fdsMax, s.fds);
    }
    printf("after warm-up: live heap %+ld KiB at most (bound %ld), threads %+ld, fds %+ld; "
           "%ld frames fed, %ld reopens, %ld capture cycles, %ld frames read, %ld underruns\n",
           heapMax - base.heapKib, opt.heapBoundKib, threadsMax - base.threads, fdsMax - base.fds,
           c.framesFed.load(), c.reopens.load(), c.captureCycles.load(), c.framesRead.load(), c.underruns.load());
    bool ok = true;
    if (heapMax - base.heapKib > opt.heapBoundKib) {
        fprintf(stderr, "soak: FAIL: the live heap grew %ld KiB past the warm-up\n", heapMax - base.heapKib);
        ok = false;
    }
    if (threadsMax > base.threads || fdsMax > base.fds) {
        fprintf(stderr, "soak: FAIL: threads or descriptors grew past the warm-up\n");
        ok = false;
    }
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
