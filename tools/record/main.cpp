// sonavex-record: records from the default input device through the Sonavex
// library's capture exports, the way a video-recorder client does, and writes
// what it reads to a WAV file (16-bit mono PCM at 8000 Hz). The sound settings
// (which device, what the virtual device hears, its speed) go through the
// wave stand-in's own controls, as a user's sound settings would.
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <sndfile.h>

#include "capture_input.h"
#include "console.h"
#include "options.h"
#include "sonavex.h"

namespace {

const int kRate = 8000;

struct Options {
    std::string out;
    double duration = -1;  // seconds; < 0: until interrupted
    svtool::CaptureSettings input;
    bool quiet = false;
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    svtool::CommandLine line("sonavex-record",
                             "Records from the default input device through the Sonavex library and\n"
                             "writes 16-bit mono PCM at 8000 Hz to OUT.wav. Without a capture device it\n"
                             "records from the virtual input device (silence unless --source says).\n");
    line.options = {
        svtool::Duration("--duration|-d", "SEC", "stop after SEC seconds of audio (default: until Ctrl-C)",
                         &o.duration, svtool::TimeUnit::Seconds, svtool::Above(0)),
    };
    svtool::AddCaptureOptions(&line, &o.input, true);
    line.options.push_back(svtool::Flag("--quiet|-q", "no meter and no summary", &o.quiet));
    line.arguments = {{"OUT.wav", &o.out, "no output file"}};
    line.tooMany = "one output file only";
    line.Parse(argc, argv);

    svtool::CheckCaptureOptions(line, &o.input);
    return o;
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
    explicit Meter(bool shown) : m_line(shown, std::chrono::seconds(1)) {}

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
        if (!m_line.Shown())
            return;
        if (!final && (m_line.InPlace() ? !m_line.Due() : samples < m_nextLine))
            return;
        if (m_line.InPlace() || m_count > 0)
            m_line.Show(Text(samples));
        if (final)
            m_line.End();
        while (m_nextLine <= samples)
            m_nextLine += kRate;
        m_sumSquares = 0;
        m_peak = 0;
        m_count = 0;
    }

private:
    std::string Text(int64_t samples) const
    {
        const double rms = m_count > 0 ? sqrt(m_sumSquares / static_cast<double>(m_count)) : 0;
        const double db = Dbfs(rms);
        const std::string time = svtool::FormatTime(static_cast<double>(samples) / kRate);
        char text[160];
        if (!m_line.InPlace()) {
            snprintf(text, sizeof text, "%s  level %s dBFS  peak %s dBFS", time.c_str(), FormatDb(db).c_str(),
                     FormatDb(Dbfs(m_peak)).c_str());
            return text;
        }
        // 40 steps from -60 dBFS to 0 dBFS.
        const int kWidth = 40;
        const int filled = std::isfinite(db) ? static_cast<int>(lround((db + 60.0) / 60.0 * kWidth)) : 0;
        snprintf(text, sizeof text, "%s [%s] %s dBFS  peak %s dBFS ", time.c_str(),
                 svtool::ProgressLine::Bar(filled, kWidth, '#', '.').c_str(), FormatDb(db).c_str(),
                 FormatDb(Dbfs(m_peak)).c_str());
        return text;
    }

    svtool::ProgressLine m_line;
    int64_t m_nextLine = kRate;
    double m_sumSquares = 0;
    double m_peak = 0;
    size_t m_count = 0;
};

SNDFILE* CreateWav(const std::string& path)
{
    SF_INFO info = {};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(path.c_str(), SFM_WRITE, &info);
    if (out == nullptr)
        fprintf(stderr, "sonavex-record: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return out;
}

void PrintStart(const Options& o, SvWaveDeviceKind kind, const std::string& sourceNote)
{
    printf("recording from the %s", svtool::InputDeviceName(kind));
    if (!sourceNote.empty())
        printf(" (%s)", sourceNote.c_str());
    printf(" to %s", o.out.c_str());
    if (o.duration > 0)
        printf(" for %s", svtool::FormatTime(o.duration).c_str());
    else
        printf(" until Ctrl-C");
    if (o.input.speedSet)
        printf(" at %gx speed", o.input.speed);
    printf("\n");
    fflush(stdout);
}

// Reads from the capture into the file until the duration is recorded, an
// interrupt, or a failed write (in `writeError`). Returns the samples written.
// A device that stops delivering is reported; with a duration the recording
// ends when that duration (at the speed) and two seconds more have passed,
// whatever the device has delivered by then (`cutShort`).
int64_t Record(const Options& o, SV_CAPTURE capture, SNDFILE* out, std::string* writeError, bool* cutShort)
{
    // Frames come every 20 ms of audio; the reader looks twice as often and
    // takes all that are queued, so that the library never has to cut.
    const auto poll = std::chrono::microseconds(static_cast<int64_t>(std::min(5000.0, 10000.0 / o.input.speed)));
    const int64_t target = o.duration > 0 ? std::llround(o.duration * kRate) : -1;
    using Clock = std::chrono::steady_clock;
    const bool deadlineSet = target >= 0 && o.input.speed > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           deadlineSet ? o.duration / o.input.speed + 2.0 : 0.0));
    svtool::StallWatch stall("sonavex-record", "the input device has not delivered audio",
                             "the input device delivers audio again");
    Meter meter(!o.quiet);
    svtool::CaptureReader reader(capture);
    std::vector<int16_t> pcm;
    int64_t written = 0;
    *cutShort = false;
    while (!svtool::Interrupted() && (target < 0 || written < target) && writeError->empty()) {
        pcm.clear();
        if (!reader.Read(&pcm)) {
            stall.Look(false, true);
            if (deadlineSet && Clock::now() >= deadline) {
                *cutShort = true;
                break;
            }
            meter.Report(written, false);
            std::this_thread::sleep_for(poll);
            continue;
        }
        stall.Look(true, true);
        int64_t samples = static_cast<int64_t>(pcm.size());
        if (target >= 0)
            samples = std::min(samples, target - written);
        if (sf_write_short(out, pcm.data(), samples) != samples)
            *writeError = sf_strerror(out);
        written += samples;
        meter.Add(pcm.data(), static_cast<size_t>(samples));
    }
    meter.Report(written, true);
    return written;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o = ParseOptions(argc, argv);
    std::string sourceNote;
    if (!svtool::ApplyCaptureSettings("sonavex-record", o.input, &sourceNote))
        return 1;
    svtool::FailWritesPastSizeLimit();

    // The file first: a path that cannot be written fails before any device
    // is touched.
    SNDFILE* out = CreateWav(o.out);
    if (out == nullptr)
        return 1;
    SvWaveDeviceKind kind = SV_WAVE_DEVICE_AUTO;
    SV_CAPTURE capture = svtool::OpenCapture("sonavex-record", o.input, &kind);
    if (capture == nullptr) {
        sf_close(out);
        unlink(o.out.c_str());
        return 1;
    }
    svtool::CatchInterrupts();
    if (!o.quiet)
        PrintStart(o, kind, sourceNote);

    std::string writeError;
    bool cutShort = false;
    const int64_t written = Record(o, capture, out, &writeError, &cutShort);
    SV_CloseAudioCapture(capture);
    const int closed = sf_close(out);
    if (writeError.empty() && closed != 0)
        writeError = sf_error_number(closed);
    if (!writeError.empty()) {
        fprintf(stderr, "sonavex-record: writing %s failed: %s\n", o.out.c_str(), writeError.c_str());
        return 1;
    }
    if (!o.quiet)
        printf("recorded %s (%lld samples) to %s%s\n", svtool::FormatTime(static_cast<double>(written) / kRate).c_str(),
               static_cast<long long>(written), o.out.c_str(), svtool::Interrupted() ? " (interrupted)" : "");
    if (cutShort) {
        fprintf(stderr, "sonavex-record: the input device delivered %s of the %s asked for; the file holds that\n",
                svtool::FormatTime(static_cast<double>(written) / kRate).c_str(),
                svtool::FormatTime(o.duration).c_str());
        return 1;
    }
    return svtool::Interrupted() ? 130 : 0;
}
