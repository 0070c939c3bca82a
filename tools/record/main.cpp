// sonavex-record: records from the default input device through the Sonavex
// library's capture exports, the way a video-recorder client does, and writes
// what it reads to a WAV file (16-bit mono PCM at 8000 Hz). The sound settings
// (which device, what the virtual device hears, its speed) go through the
// wave stand-in's own controls, as a user's sound settings would.
#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <sndfile.h>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "sonavex.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kRate = 8000;
// Comfortably more than one recorded frame (320 bytes).
const uint32_t kReadRoom = 4096;

const char kUsage[] =
    "usage: sonavex-record [options] OUT.wav\n"
    "\n"
    "Records from the default input device through the Sonavex library and\n"
    "writes 16-bit mono PCM at 8000 Hz to OUT.wav. Without a capture device it\n"
    "records from the virtual input device (silence unless --source says).\n"
    "\n"
    "  --duration SEC     stop after SEC seconds of audio (default: until Ctrl-C)\n"
    "  --device auto|virtual|alsa  input device (default: the platform's)\n"
    "  --source SOURCE    what the virtual device hears: silence, tone, tone:HZ,\n"
    "                     or a WAV file (looped); implies the virtual device\n"
    "  --speed N          virtual device: record N times faster than real time\n"
    "  --quiet            no meter and no summary\n"
    "  --debug-output     show the library's debugger traces on stderr\n"
    "  --help\n";

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

struct Options {
    std::string out;
    double duration = -1;  // seconds; < 0: until interrupted
    SvWaveDeviceKind device = SV_WAVE_DEVICE_AUTO;
    bool deviceSet = false;
    std::string source;
    double speed = 1.0;
    bool speedSet = false;
    bool quiet = false;
    bool debugOutput = false;
};

[[noreturn]] void UsageError(const std::string& message)
{
    fprintf(stderr, "sonavex-record: %s\n(sonavex-record --help for the options)\n", message.c_str());
    exit(2);
}

bool ParseNumber(const char* text, double* value)
{
    char* end = nullptr;
    errno = 0;
    *value = strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && std::isfinite(*value);
}

Options ParseOptions(int argc, char** argv)
{
    Options o;
    auto value = [&](int& i) -> const char* {
        if (i + 1 >= argc)
            UsageError(std::string(argv[i]) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        double n = 0;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (arg == "--duration" || arg == "-d") {
            if (!ParseNumber(value(i), &n) || n <= 0)
                UsageError("--duration takes a number of seconds above 0");
            o.duration = n;
        } else if (arg == "--device") {
            const std::string v = value(i);
            if (v == "auto")
                o.device = SV_WAVE_DEVICE_AUTO;
            else if (v == "virtual")
                o.device = SV_WAVE_DEVICE_VIRTUAL;
            else if (v == "alsa")
                o.device = SV_WAVE_DEVICE_ALSA;
            else
                UsageError("--device takes auto, virtual or alsa");
            o.deviceSet = true;
        } else if (arg == "--source") {
            o.source = value(i);
            if (o.source.empty())
                UsageError("--source needs a value");
        } else if (arg == "--speed") {
            if (!ParseNumber(value(i), &n) || n <= 0)
                UsageError("--speed takes a factor above 0");
            o.speed = n;
            o.speedSet = true;
        } else if (arg == "--quiet" || arg == "-q") {
            o.quiet = true;
        } else if (arg == "--debug-output") {
            o.debugOutput = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            UsageError("unknown option " + arg);
        } else if (o.out.empty()) {
            o.out = arg;
        } else {
            UsageError("one output file only");
        }
    }
    if (o.out.empty())
        UsageError("no output file");
    const bool virtualOnly = o.speedSet || !o.source.empty();
    if (virtualOnly && o.device == SV_WAVE_DEVICE_ALSA)
        UsageError("--source and --speed apply to the virtual device; they cannot be used with --device alsa");
    if (virtualOnly)
        o.device = SV_WAVE_DEVICE_VIRTUAL;
    return o;
}

// The virtual device's source from --source.
bool ParseSource(const std::string& text, SvWaveInputSource* source, std::string* path)
{
    *source = SvWaveInputSource{SV_WAVE_INPUT_SILENCE, 1000.0, 0.5, nullptr};
    if (text.empty() || text == "silence")
        return true;
    if (text == "tone" || text.compare(0, 5, "tone:") == 0) {
        source->kind = SV_WAVE_INPUT_TONE;
        if (text.size() > 5) {
            double hz = 0;
            if (!ParseNumber(text.c_str() + 5, &hz) || hz <= 0 || hz >= kRate / 2)
                return false;
            source->toneHz = hz;
        }
        return true;
    }
    source->kind = SV_WAVE_INPUT_FILE;
    *path = text;
    source->path = path->c_str();
    return true;
}

// Whether the virtual input device can record from the WAV file at `path`;
// says why not when it cannot. `note` describes the file, for the first line.
bool CheckSourceFile(const std::string& path, std::string* note)
{
    SvWaveInputFileInfo info = {};
    char why[256] = "";
    if (!SvWaveVirtualCheckInputFile(path.c_str(), &info, why, sizeof why)) {
        fprintf(stderr, "sonavex-record: --source %s: %s\n", path.c_str(), why);
        return false;
    }
    const double seconds = static_cast<double>(info.dwFrames) / info.nSamplesPerSec;
    char text[160];
    snprintf(text, sizeof text, "%s: %u-bit %s, %u Hz, %.2f s looped", path.c_str(),
             static_cast<unsigned>(info.wBitsPerSample), info.nChannels == 1 ? "mono" : "stereo",
             static_cast<unsigned>(info.nSamplesPerSec), seconds);
    *note = text;
    // A file cut short (or one whose writer never came back to its header)
    // plays what it holds; its header's promise is no error, but is told.
    if (info.dwFramesPromised > info.dwFrames)
        fprintf(stderr,
                "sonavex-record: note: --source %s: its header promises %.2f s of samples, the file holds "
                "%.2f s; those are looped\n",
                path.c_str(), static_cast<double>(info.dwFramesPromised) / info.nSamplesPerSec, seconds);
    return true;
}

const char* DeviceName(SvWaveDeviceKind kind)
{
    switch (kind) {
    case SV_WAVE_DEVICE_VIRTUAL:
        return "virtual input device";
    case SV_WAVE_DEVICE_ALSA:
        return "ALSA capture device (\"default\")";
    case SV_WAVE_DEVICE_TEST:
        return "test input device";
    default:
        return "default input device";
    }
}

// The device the library's open will find: a short open of the default input
// device, as the platform chooses it, tells which one it is.
SvWaveDeviceKind ProbeDevice()
{
    WAVEFORMATEX f = {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = kRate;
    f.nAvgBytesPerSec = 2 * kRate;
    f.nBlockAlign = 2;
    f.wBitsPerSample = 16;
    HWAVEIN h = nullptr;
    if (waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return SV_WAVE_DEVICE_AUTO;
    const SvWaveDeviceKind kind = SvWaveGetInDeviceKind(h);
    waveInClose(h);
    return kind;
}

std::string FormatTime(double seconds)
{
    const long tenths = std::lround(std::max(0.0, seconds) * 10.0);
    char text[32];
    snprintf(text, sizeof text, "%02ld:%02ld.%ld", tenths / 600, tenths / 10 % 60, tenths % 10);
    return text;
}

double Dbfs(double level)
{
    return level > 0 ? 20.0 * log10(level / 32768.0) : -INFINITY;
}

std::string FormatDb(double db)
{
    if (!std::isfinite(db) || db < -99.9)
        return "  -inf";
    char text[16];
    snprintf(text, sizeof text, "%6.1f", db);
    return text;
}

// The level of what was recorded since the last report, shown as a meter on
// a terminal and as plain lines (one a second of audio) otherwise.
class Meter {
public:
    explicit Meter(bool tty) : m_tty(tty) {}

    void Add(const int16_t* samples, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            const double v = samples[i];
            m_sumSquares += v * v;
            m_peak = std::max(m_peak, std::fabs(v));
        }
        m_count += count;
    }

    // Reports when one is due; `final` reports what is left.
    void Report(int64_t samples, bool final)
    {
        const Clock::time_point now = Clock::now();
        if (m_tty) {
            if (!final && now < m_nextDraw)
                return;
            m_nextDraw = now + std::chrono::milliseconds(100);
        } else if (!final && samples < m_nextLine) {
            return;
        }
        if (m_tty || m_count > 0)
            Print(samples, final);
        while (m_nextLine <= samples)
            m_nextLine += kRate;
        m_sumSquares = 0;
        m_peak = 0;
        m_count = 0;
    }

private:
    void Print(int64_t samples, bool final)
    {
        const double rms = m_count > 0 ? sqrt(m_sumSquares / static_cast<double>(m_count)) : 0;
        const double db = Dbfs(rms);
        const std::string time = FormatTime(static_cast<double>(samples) / kRate);
        if (!m_tty) {
            printf("%s  level %s dBFS  peak %s dBFS\n", time.c_str(), FormatDb(db).c_str(),
                   FormatDb(Dbfs(m_peak)).c_str());
            fflush(stdout);
            return;
        }
        // 40 steps from -60 dBFS to 0 dBFS.
        const int kWidth = 40;
        const int filled = std::isfinite(db) ? std::clamp(static_cast<int>(lround((db + 60.0) / 60.0 * kWidth)), 0, kWidth) : 0;
        const std::string bar = std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kWidth - filled), '.');
        printf("\r%s [%s] %s dBFS  peak %s dBFS ", time.c_str(), bar.c_str(), FormatDb(db).c_str(),
               FormatDb(Dbfs(m_peak)).c_str());
        if (final)
            printf("\n");
        fflush(stdout);
    }

    const bool m_tty;
    Clock::time_point m_nextDraw;
    int64_t m_nextLine = kRate;
    double m_sumSquares = 0;
    double m_peak = 0;
    size_t m_count = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);
    if (o.debugOutput)
        SvRouteDebugOutputToStderr();

    SvWaveInputSource source;
    std::string sourcePath;
    if (!ParseSource(o.source, &source, &sourcePath))
        UsageError("--source takes silence, tone, tone:HZ (below 4000) or a WAV file");
    std::string sourceNote;
    if (!o.source.empty()) {
        // The device reads the file at its open, and an open that fails says
        // only that it failed: the file is asked about first, by the same
        // rules, for what is wrong with it.
        if (source.kind == SV_WAVE_INPUT_FILE && !CheckSourceFile(sourcePath, &sourceNote))
            return 1;
        SvWaveVirtualSetInput(&source);
    }
    if (o.speedSet)
        SvWaveVirtualSetSpeed(o.speed);
    if (o.device != SV_WAVE_DEVICE_AUTO)
        SvWaveSetDefaultDevice(o.device);

    // A write past the file-size limit is to fail and be reported, like any
    // other, rather than end the tool with the file's header never updated.
    signal(SIGXFSZ, SIG_IGN);

    // The file first: a path that cannot be written fails before any device
    // is touched.
    SF_INFO info = {};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(o.out.c_str(), SFM_WRITE, &info);
    if (out == nullptr) {
        fprintf(stderr, "sonavex-record: cannot write %s: %s\n", o.out.c_str(), sf_strerror(nullptr));
        return 1;
    }

    // Record from the device the library will get, and say which.
    const SvWaveDeviceKind kind = ProbeDevice();
    if (kind != SV_WAVE_DEVICE_AUTO)
        SvWaveSetDefaultDevice(kind);
    SV_CAPTURE capture = SV_OpenAudioCapture();
    if (capture == nullptr) {
        sf_close(out);
        unlink(o.out.c_str());
        fprintf(stderr, "sonavex-record: the %s could not be opened for recording\n", DeviceName(kind != SV_WAVE_DEVICE_AUTO ? kind : o.device));
        return 1;
    }

    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const bool tty = !o.quiet && isatty(STDOUT_FILENO) != 0;
    if (!o.quiet) {
        printf("recording from the %s", DeviceName(kind));
        if (!sourceNote.empty())
            printf(" (%s)", sourceNote.c_str());
        printf(" to %s", o.out.c_str());
        if (o.duration > 0)
            printf(" for %s", FormatTime(o.duration).c_str());
        else
            printf(" until Ctrl-C");
        if (o.speedSet)
            printf(" at %gx speed", o.speed);
        printf("\n");
        fflush(stdout);
    }

    // Frames come every 20 ms of audio; the reader looks twice as often and
    // takes all that are queued, so that the library never has to cut.
    const double speed = o.speedSet ? o.speed : 1.0;
    const auto poll = std::chrono::microseconds(static_cast<int64_t>(std::min(5000.0, 10000.0 / speed)));
    const int64_t target = o.duration > 0 ? std::llround(o.duration * kRate) : -1;
    Meter meter(tty);
    std::vector<uint8_t> buf(kReadRoom);
    std::vector<int16_t> pcm(kReadRoom / 2);
    int64_t written = 0;
    std::string writeError;
    while (!g_interrupted.load() && (target < 0 || written < target) && writeError.empty()) {
        uint32_t length = kReadRoom;
        if (SV_ReadAudioBuffer(capture, buf.data(), &length, 0) != 1) {
            if (!o.quiet)
                meter.Report(written, false);
            std::this_thread::sleep_for(poll);
            continue;
        }
        int64_t samples = length / 2;
        if (target >= 0)
            samples = std::min(samples, target - written);
        memcpy(pcm.data(), buf.data(), static_cast<size_t>(samples) * 2);
        if (sf_write_short(out, pcm.data(), samples) != samples)
            writeError = sf_strerror(out);
        written += samples;
        meter.Add(pcm.data(), static_cast<size_t>(samples));
    }
    if (!o.quiet)
        meter.Report(written, true);

    SV_CloseAudioCapture(capture);
    const int closed = sf_close(out);
    if (writeError.empty() && closed != 0)
        writeError = sf_error_number(closed);
    if (!writeError.empty()) {
        fprintf(stderr, "sonavex-record: writing %s failed: %s\n", o.out.c_str(), writeError.c_str());
        return 1;
    }
    if (!o.quiet)
        printf("recorded %s (%lld samples) to %s%s\n", FormatTime(static_cast<double>(written) / kRate).c_str(),
               static_cast<long long>(written), o.out.c_str(), g_interrupted.load() ? " (interrupted)" : "");
    return 0;
}
