// The virtual device: a sound card without sound. It keeps real time from the
// monotonic clock (or, on the host's clock, the time the host lets pass), can
// write what it played to a WAV file, and records from a source of the
// platform's choosing: silence, a tone, or a WAV file looped.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "device.h"

namespace svwave {

namespace {

using Clock = std::chrono::steady_clock;

void PutLe(BYTE* p, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<BYTE>((value >> (8 * i)) & 0xFF);
}

uint32_t GetLe(const BYTE* p, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

std::string SecondsText(uint64_t bytes, DWORD bytesPerSecond)
{
    char text[48];
    snprintf(text, sizeof text, "%.2f s", bytesPerSecond > 0 ? static_cast<double>(bytes) / bytesPerSecond : 0.0);
    return text;
}

// The first failure of the recording that the latest output open began. The
// recorder notes it on the device thread; the host asks after the close.
struct RecordError {
    std::mutex mutex;
    std::string text;
};

// Never destroyed: open streams outlive static destruction at exit.
RecordError& TheRecordError()
{
    static RecordError* error = new RecordError;
    return *error;
}

void SetRecordError(const std::string& message, bool first)
{
    RecordError& error = TheRecordError();
    std::lock_guard<std::mutex> lock(error.mutex);
    if (!first || error.text.empty())
        error.text = message;
}

// A WAV file whose sizes are written when it is finished. Every write is
// checked: after the first that fails nothing more is written, and the
// header, where it can still be written, counts what the file holds.
class WavRecorder {
public:
    ~WavRecorder() { Finish(); }

    bool Start(const std::string& path, const WAVEFORMATEX& format)
    {
        SetRecordError("", false);
        m_format = format;
        m_extended = format.wFormatTag != WAVE_FORMAT_PCM;
        m_dataBytes = 0;
        m_failed = false;
        m_file = fopen(path.c_str(), "wb");
        if (m_file == nullptr) {
            Fail(errno, "cannot create it");
            return false;
        }
        // Unbuffered: each buffer reaches the system as it is played, so a
        // failure is seen at the write that met it and m_dataBytes is what
        // the file holds.
        setvbuf(m_file, nullptr, _IONBF, 0);
        if (!WriteHeader()) {
            Fail(errno, "writing its header failed");
            fclose(m_file);
            m_file = nullptr;
            return false;
        }
        return true;
    }

    // True while a recording is open: what plays is written.
    bool Active() const { return m_file != nullptr; }

    void Write(const BYTE* data, DWORD bytes)
    {
        if (m_file == nullptr || m_failed)
            return;
        const size_t written = fwrite(data, 1, bytes, m_file);
        const int error = errno;
        m_dataBytes += written;
        if (written != bytes)
            Fail(error, "writing failed after " + Recorded() + " of audio");
    }

    void Finish()
    {
        if (m_file == nullptr)
            return;
        // A write cut short inside a sample frame leaves bytes the header
        // does not count.
        if (m_format.nBlockAlign > 0)
            m_dataBytes -= m_dataBytes % m_format.nBlockAlign;
        if (!m_failed && (m_dataBytes & 1) && fputc(0, m_file) == EOF)  // chunks are word-aligned
            Fail(errno, "writing failed after " + Recorded() + " of audio");
        if (fseek(m_file, 0, SEEK_SET) != 0 || !WriteHeader())
            Fail(errno, "updating its header failed");
        if (fclose(m_file) != 0)
            Fail(errno, "closing it failed");
        m_file = nullptr;
    }

private:
    std::string Recorded() const { return SecondsText(m_dataBytes, m_format.nAvgBytesPerSec); }

    // Notes the failure at hand with the system's reason, `error` (errno as
    // the failed call left it); only the first of a recording is kept.
    void Fail(int error, const std::string& what)
    {
        m_failed = true;
        SetRecordError(what + ": " + (error != 0 ? strerror(error) : "unknown error"), true);
    }

    // RIFF/WAVE with a fmt chunk (18 bytes and a fact chunk for formats other
    // than PCM, as readers expect) and one data chunk, in one write.
    bool WriteHeader()
    {
        const uint32_t fmtBytes = m_extended ? 18 : 16;
        const uint32_t factBytes = m_extended ? 12 : 0;
        const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(m_dataBytes, 0xFFFFFFFEu));
        BYTE header[64];
        BYTE* p = header;
        memcpy(p, "RIFF", 4);
        PutLe(p + 4, 4 + (8 + fmtBytes) + factBytes + 8 + data + (data & 1), 4);
        memcpy(p + 8, "WAVEfmt ", 8);
        PutLe(p + 16, fmtBytes, 4);
        PutLe(p + 20, m_format.wFormatTag, 2);
        PutLe(p + 22, m_format.nChannels, 2);
        PutLe(p + 24, m_format.nSamplesPerSec, 4);
        PutLe(p + 28, m_format.nAvgBytesPerSec, 4);
        PutLe(p + 32, m_format.nBlockAlign, 2);
        PutLe(p + 34, m_format.wBitsPerSample, 2);
        p += 36;
        if (m_extended) {
            PutLe(p, 0, 2);
            memcpy(p + 2, "fact", 4);
            PutLe(p + 6, 4, 4);
            PutLe(p + 10, m_format.nBlockAlign > 0 ? data / m_format.nBlockAlign : 0, 4);
            p += 14;
        }
        memcpy(p, "data", 4);
        PutLe(p + 4, data, 4);
        p += 8;
        const size_t bytes = static_cast<size_t>(p - header);
        return fwrite(header, 1, bytes, m_file) == bytes;
    }

    FILE* m_file = nullptr;
    WAVEFORMATEX m_format = {};
    bool m_extended = false;
    bool m_failed = false;
    uint64_t m_dataBytes = 0;
};

// What a source file may be: PCM of 8 or 16 bits, mono or stereo, at a rate
// that is audio, and short enough to hold in memory whole (it is looped).
const uint32_t kMinSourceRate = 1000;
const uint32_t kMaxSourceRate = 384000;
const unsigned kMaxSourceSeconds = 600;

struct WavLayout {
    unsigned channels = 0;
    unsigned bits = 0;
    uint32_t rate = 0;
    long dataOffset = 0;
    uint64_t frames = 0;          // whole sample frames the file holds
    uint64_t promisedFrames = 0;  // what the data chunk's size stands for
};

// Reads the chunk headers of the WAV file `file` (of `size` bytes), seeking
// over the samples. False with the reason when it is not a file the virtual
// input device records from.
bool ParseWav(FILE* file, uint64_t size, WavLayout* layout, std::string* why)
{
    BYTE head[16];
    if (size == 0) {
        *why = "empty file";
        return false;
    }
    if (fread(head, 1, 12, file) != 12 || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0) {
        *why = "not a WAV file: it does not begin with a RIFF/WAVE header";
        return false;
    }
    bool haveFmt = false;
    bool haveData = false;
    unsigned tag = 0;
    uint64_t dataBytes = 0;
    uint64_t promisedBytes = 0;
    for (uint64_t at = 12; at + 8 <= size;) {
        if (fseek(file, static_cast<long>(at), SEEK_SET) != 0 || fread(head, 1, 8, file) != 8) {
            *why = std::string("reading it failed: ") + strerror(errno);
            return false;
        }
        const uint32_t chunk = GetLe(head + 4, 4);
        const uint64_t body = at + 8;
        const uint64_t avail = std::min<uint64_t>(chunk, size - body);
        if (memcmp(head, "fmt ", 4) == 0 && !haveFmt) {
            if (avail < 16 || fread(head, 1, 16, file) != 16) {
                *why = "its fmt chunk is cut short (" + std::to_string(avail) + " bytes, 16 at least)";
                return false;
            }
            haveFmt = true;
            tag = GetLe(head, 2);
            layout->channels = GetLe(head + 2, 2);
            layout->rate = GetLe(head + 4, 4);
            layout->bits = GetLe(head + 14, 2);
        } else if (memcmp(head, "data", 4) == 0 && !haveData) {
            haveData = true;
            layout->dataOffset = static_cast<long>(body);
            dataBytes = avail;
            promisedBytes = chunk;
        }
        at = body + chunk + (chunk & 1);
    }
    char text[160];
    if (!haveFmt) {
        *why = "not a WAV file it can read: it has no fmt chunk";
        return false;
    }
    // WAVE_FORMAT_EXTENSIBLE carries plain PCM just as well.
    if (tag != WAVE_FORMAT_PCM && tag != 0xFFFE) {
        snprintf(text, sizeof text, "format tag 0x%04X: only PCM can be recorded from", tag);
        *why = text;
        return false;
    }
    if (layout->channels != 1 && layout->channels != 2) {
        *why = std::to_string(layout->channels) + " channels: only mono or stereo can be recorded from";
        return false;
    }
    if (layout->bits != 8 && layout->bits != 16) {
        *why = std::to_string(layout->bits) + "-bit samples: only 8- or 16-bit PCM can be recorded from";
        return false;
    }
    if (layout->rate < kMinSourceRate || layout->rate > kMaxSourceRate) {
        snprintf(text, sizeof text, "a sample rate of %u Hz: only %u to %u Hz can be recorded from",
                 static_cast<unsigned>(layout->rate), static_cast<unsigned>(kMinSourceRate),
                 static_cast<unsigned>(kMaxSourceRate));
        *why = text;
        return false;
    }
    if (!haveData) {
        *why = "it has no data chunk";
        return false;
    }
    const unsigned frameBytes = layout->channels * layout->bits / 8;
    layout->frames = dataBytes / frameBytes;
    layout->promisedFrames = promisedBytes / frameBytes;
    if (layout->frames == 0) {
        *why = "no samples in its data chunk";
        return false;
    }
    if (layout->frames > static_cast<uint64_t>(kMaxSourceSeconds) * layout->rate) {
        const uint64_t frameRate = static_cast<uint64_t>(layout->rate) * frameBytes;
        *why = SecondsText(layout->frames * frameBytes, static_cast<DWORD>(frameRate)) + " long: a source is at most " +
               std::to_string(kMaxSourceSeconds / 60) + " minutes (it is looped)";
        return false;
    }
    return true;
}

// Opens and parses `path`: false with the reason when it cannot be read or
// is not such a file. On success the file is left open at the samples.
FILE* OpenWav(const std::string& path, WavLayout* layout, std::string* why)
{
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0) {
        *why = std::string("cannot open it: ") + strerror(errno);
        return nullptr;
    }
    // Linux opens a directory for reading and fails only at the first read.
    if (S_ISDIR(info.st_mode)) {
        *why = "is a directory";
        return nullptr;
    }
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *why = std::string("cannot open it: ") + strerror(errno);
        return nullptr;
    }
    if (!ParseWav(file, static_cast<uint64_t>(info.st_size), layout, why) ||
        fseek(file, layout->dataOffset, SEEK_SET) != 0) {
        if (why->empty())
            *why = std::string("reading it failed: ") + strerror(errno);
        fclose(file);
        return nullptr;
    }
    return file;
}

// Reads a PCM WAV file (see ParseWav) into 16-bit samples interleaved as
// `format`'s channels at `format`'s rate. False when the file cannot be read
// or is not such a file.
bool LoadWav(const std::string& path, const WAVEFORMATEX& format, std::vector<int16_t>* out)
{
    WavLayout layout;
    std::string why;
    FILE* file = OpenWav(path, &layout, &why);
    if (file == nullptr)
        return false;
    const unsigned channels = layout.channels;
    const unsigned bits = layout.bits;
    const uint32_t rate = layout.rate;
    const size_t frames = static_cast<size_t>(layout.frames);
    std::vector<BYTE> bytes(frames * channels * bits / 8);
    const bool read = fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    fclose(file);
    if (!read)
        return false;
    const BYTE* data = bytes.data();

    // The file's frames as 16-bit samples.
    std::vector<int16_t> in(frames * channels);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = bits == 16 ? static_cast<int16_t>(GetLe(data + 2 * i, 2))
                           : static_cast<int16_t>((static_cast<int>(data[i]) - 128) * 256);
    }

    // Channels as the format has them, at its rate (linear interpolation).
    const unsigned outChannels = format.nChannels;
    const size_t outFrames =
        std::max<size_t>(1, static_cast<size_t>(static_cast<double>(frames) * format.nSamplesPerSec / rate));
    out->assign(outFrames * outChannels, 0);
    auto sampleAt = [&](size_t frame, unsigned channel) -> double {
        if (channels == outChannels)
            return in[frame * channels + channel];
        if (channels == 1)
            return in[frame];
        return (in[frame * 2] + in[frame * 2 + 1]) / 2.0;
    };
    for (size_t f = 0; f < outFrames; ++f) {
        const double pos = static_cast<double>(f) * rate / format.nSamplesPerSec;
        const size_t i0 = std::min(static_cast<size_t>(pos), frames - 1);
        const size_t i1 = std::min(i0 + 1, frames - 1);
        const double t = pos - static_cast<double>(i0);
        for (unsigned c = 0; c < outChannels; ++c) {
            const double v = sampleAt(i0, c) * (1 - t) + sampleAt(i1, c) * t;
            (*out)[f * outChannels + c] = static_cast<int16_t>(std::lround(std::max(-32768.0, std::min(32767.0, v))));
        }
    }
    return true;
}

// What the virtual input device hears.
class InputSource {
public:
    bool Open(const InputSourceOptions& options, const WAVEFORMATEX& format)
    {
        m_options = options;
        m_channels = format.nChannels;
        m_rate = format.nSamplesPerSec;
        m_position = 0;
        if (options.kind == SV_WAVE_INPUT_FILE)
            return LoadWav(options.path, format, &m_file);
        return true;
    }

    // Device thread. Writes `frames` frames of 16-bit samples to `dst`.
    void Fill(int16_t* dst, DWORD frames)
    {
        switch (m_options.kind) {
        case SV_WAVE_INPUT_TONE: {
            const double level = std::max(0.0, std::min(1.0, m_options.toneLevel)) * 32767.0;
            const double step = 2.0 * M_PI * m_options.toneHz / m_rate;
            for (DWORD f = 0; f < frames; ++f) {
                const int16_t v = static_cast<int16_t>(lround(level * sin(step * static_cast<double>(m_position + f))));
                for (unsigned c = 0; c < m_channels; ++c)
                    dst[f * m_channels + c] = v;
            }
            break;
        }
        case SV_WAVE_INPUT_FILE: {
            const size_t loop = m_file.size() / m_channels;
            for (DWORD f = 0; f < frames; ++f) {
                const size_t at = static_cast<size_t>((m_position + f) % loop) * m_channels;
                for (unsigned c = 0; c < m_channels; ++c)
                    dst[f * m_channels + c] = m_file[at + c];
            }
            break;
        }
        default:
            std::fill(dst, dst + static_cast<size_t>(frames) * m_channels, int16_t(0));
            break;
        }
        m_position += frames;
    }

private:
    InputSourceOptions m_options;
    unsigned m_channels = 1;
    DWORD m_rate = 8000;
    uint64_t m_position = 0;  // frames recorded since the open
    std::vector<int16_t> m_file;
};

class VirtualDevice;

// The host's clock: it stands still until the host advances it, and the
// output devices on it play only as far as it has come. The host learns that
// they have caught up when every one of them waits for a time still ahead.
struct HostClock {
    std::mutex mutex;
    std::condition_variable cv;
    bool on = false;  // for the output devices opened from now on
    uint64_t nowNs = 0;
    std::vector<VirtualDevice*> devices;  // open output devices on this clock
};

// Never destroyed: open streams outlive static destruction at exit.
HostClock& TheHostClock()
{
    static HostClock* clock = new HostClock;
    return *clock;
}

class VirtualDevice : public WaveDevice {
public:
    explicit VirtualDevice(const VirtualOptions& options) : m_options(options) {}
    ~VirtualDevice() override { LeaveHostClock(); }

    MMRESULT Open(const WAVEFORMATEX& format, Direction direction) override
    {
        m_format = format;
        m_direction = direction;
        if (direction == Direction::kInput) {
            if (!m_source.Open(m_options.input, format))
                return MMSYSERR_ERROR;
            // One chunk at most, so that recording needs no allocation.
            m_samples.resize(static_cast<size_t>(ChunkFrames()) * format.nChannels);
            return MMSYSERR_NOERROR;
        }
        if (!m_options.recordPath.empty() && !m_recorder.Start(m_options.recordPath, format))
            return MMSYSERR_ERROR;
        HostClock& clock = TheHostClock();
        std::lock_guard<std::mutex> lock(clock.mutex);
        if (clock.on) {
            m_hostClocked = true;
            m_onHostList = true;
            clock.devices.push_back(this);
        }
        return MMSYSERR_NOERROR;
    }

    // Output at a real-time pace on the monotonic clock needs no thread of its
    // own: the pacer completes its buffers.
    bool Paced() const override
    {
        return m_direction == Direction::kOutput && !m_hostClocked && m_options.speed > 0;
    }

    // Paced buffers count as played on a grid of 10 ms of audio (the period a
    // sound system's mixer typically runs at), 1 ms of real time at the
    // finest: never early, at most one step of the grid late, and all the
    // devices of one speed wake on the same steps.
    Clock::time_point Schedule(DWORD bytes, bool continuous, uint64_t epoch) override
    {
        BeginOnTimeline(bytes / m_format.nBlockAlign, continuous, epoch);
        const Clock::duration grid = std::max<Clock::duration>(
            std::chrono::milliseconds(1),
            std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(10) / m_options.speed));
        const Clock::time_point end = TimelineEnd();
        const Clock::duration rest = end.time_since_epoch() % grid;
        return rest == Clock::duration::zero() ? end : end + (grid - rest);
    }

    bool KeepsSamples() const override { return m_recorder.Active(); }

    void Played(const BYTE* data, DWORD bytes) override { m_recorder.Write(data, bytes); }

    bool Transfer(BYTE* data, DWORD bytes, bool continuous, uint64_t epoch) override
    {
        if (!Wait(bytes / m_format.nBlockAlign, continuous, epoch))
            return false;
        m_recorder.Write(data, bytes);
        return true;
    }

    DWORD Record(BYTE* data, DWORD room, bool continuous, uint64_t epoch) override
    {
        const DWORD frames = std::min<DWORD>(room / m_format.nBlockAlign, ChunkFrames());
        if (frames == 0 || !Wait(frames, continuous, epoch))
            return 0;
        m_source.Fill(m_samples.data(), frames);
        EncodeSamples(m_format, m_samples.data(), frames * m_format.nChannels, data);
        return frames * m_format.nBlockAlign;
    }

    void Interrupt(uint64_t epoch) override
    {
        // The lock of the clock this device waits on: taken for a moment
        // only, and never held while a stream's lock is taken.
        std::mutex& mutex = m_hostClocked ? TheHostClock().mutex : m_mutex;
        std::lock_guard<std::mutex> lock(mutex);
        m_epoch.store(epoch);
        if (m_hostClocked)
            TheHostClock().cv.notify_all();
        else
            m_cv.notify_all();
    }

    void Close() override
    {
        LeaveHostClock();
        m_recorder.Finish();
    }

    // Under the host clock's lock: this device has played as far as the
    // clock has come.
    bool CaughtUp(uint64_t nowNs) const { return m_hostWaiting && m_hostWaitEndNs > nowNs; }

private:
    // Recording moves in chunks of at most 10 ms, as a driver's periods do.
    DWORD ChunkFrames() const { return std::max<DWORD>(1, m_format.nSamplesPerSec / 100); }

    void LeaveHostClock()
    {
        if (!m_onHostList)
            return;
        HostClock& clock = TheHostClock();
        std::lock_guard<std::mutex> lock(clock.mutex);
        clock.devices.erase(std::remove(clock.devices.begin(), clock.devices.end(), this), clock.devices.end());
        m_onHostList = false;
        clock.cv.notify_all();
    }

    // Nanoseconds that the timeline's frames take at real time.
    long double TimelineNs() const
    {
        return static_cast<long double>(m_timelineFrames) * 1e9L / static_cast<long double>(m_format.nSamplesPerSec);
    }

    // Adds `frames` frames to the timeline. Frame n ends at start + duration
    // of frames 0..n, computed from the frame count each time: however late
    // one wake-up is, the error does not add up. A reset or a queue that ran
    // dry starts a new timeline. True when it did.
    bool BeginOnTimeline(DWORD frames, bool continuous, uint64_t epoch)
    {
        const bool restart = !continuous || epoch != m_timelineEpoch;
        if (restart) {
            m_timelineStart = Clock::now();
            m_timelineFrames = 0;
            m_timelineEpoch = epoch;
        }
        m_timelineFrames += frames;
        return restart;
    }

    // When the timeline's frames have passed, at the device's speed (> 0).
    Clock::time_point TimelineEnd() const
    {
        const long double ns = TimelineNs() / static_cast<long double>(m_options.speed);
        return m_timelineStart +
               std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(static_cast<int64_t>(ns)));
    }

    // Waits until `frames` more frames have passed on the timeline. False
    // when interrupted.
    bool Wait(DWORD frames, bool continuous, uint64_t epoch)
    {
        const bool restart = BeginOnTimeline(frames, continuous, epoch);
        if (m_hostClocked)
            return WaitForHost(restart, epoch);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_options.speed > 0) {
            const Clock::time_point end = TimelineEnd();
            m_cv.wait_until(lock, end, [&] { return m_epoch.load() != epoch; });
        }
        return m_epoch.load() == epoch;
    }

    // The same on the host's clock, which no speed factor applies to.
    bool WaitForHost(bool restart, uint64_t epoch)
    {
        HostClock& clock = TheHostClock();
        std::unique_lock<std::mutex> lock(clock.mutex);
        if (restart)
            m_hostTimelineStartNs = clock.nowNs;
        m_hostWaitEndNs = m_hostTimelineStartNs + static_cast<uint64_t>(TimelineNs());
        m_hostWaiting = true;
        clock.cv.notify_all();
        clock.cv.wait(lock, [&] { return clock.nowNs >= m_hostWaitEndNs || m_epoch.load() != epoch; });
        m_hostWaiting = false;
        return m_epoch.load() == epoch;
    }

    const VirtualOptions m_options;
    WAVEFORMATEX m_format = {};
    Direction m_direction = Direction::kOutput;
    WavRecorder m_recorder;
    InputSource m_source;
    std::vector<int16_t> m_samples;  // one chunk of recorded samples
    // Device thread only.
    Clock::time_point m_timelineStart;
    uint64_t m_timelineFrames = 0;
    uint64_t m_timelineEpoch = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::atomic<uint64_t> m_epoch{0};
    // Set at the open, before the device thread starts.
    bool m_hostClocked = false;
    // Application's thread only (open, close, destruction).
    bool m_onHostList = false;
    // Under the host clock's lock.
    uint64_t m_hostTimelineStartNs = 0;
    uint64_t m_hostWaitEndNs = 0;
    bool m_hostWaiting = false;
};

}  // namespace

std::unique_ptr<WaveDevice> CreateVirtualDevice(const VirtualOptions& options)
{
    return std::unique_ptr<WaveDevice>(new VirtualDevice(options));
}

}  // namespace svwave

using namespace svwave;

SVWIN_API UINT SvWaveVirtualRecordError(char* text, UINT size)
{
    RecordError& error = TheRecordError();
    std::lock_guard<std::mutex> lock(error.mutex);
    if (text != nullptr && size > 0) {
        const size_t n = std::min<size_t>(error.text.size(), size - 1);
        memcpy(text, error.text.data(), n);
        text[n] = '\0';
    }
    return static_cast<UINT>(error.text.size());
}

SVWIN_API BOOL SvWaveVirtualCheckInputFile(const char* path, SvWaveInputFileInfo* info, char* why, UINT size)
{
    WavLayout layout;
    std::string reason;
    FILE* file = path != nullptr ? OpenWav(path, &layout, &reason) : nullptr;
    if (path == nullptr)
        reason = "no file named";
    if (file != nullptr)
        fclose(file);
    if (why != nullptr && size > 0) {
        const size_t n = std::min<size_t>(reason.size(), size - 1);
        memcpy(why, reason.data(), n);
        why[n] = '\0';
    }
    if (file == nullptr)
        return FALSE;
    if (info != nullptr) {
        info->nChannels = static_cast<WORD>(layout.channels);
        info->nSamplesPerSec = layout.rate;
        info->wBitsPerSample = static_cast<WORD>(layout.bits);
        info->dwFrames = static_cast<DWORD>(layout.frames);
        info->dwFramesPromised = static_cast<DWORD>(std::min<uint64_t>(layout.promisedFrames, 0xFFFFFFFFu));
    }
    return TRUE;
}

SVWIN_API void SvWaveVirtualSetHostClock(BOOL on)
{
    HostClock& clock = TheHostClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    clock.on = on != FALSE;
}

SVWIN_API BOOL SvWaveVirtualAdvance(double milliseconds)
{
    // However long a device's callback takes, the host is not held for ever.
    const auto kCatchUpWait = std::chrono::seconds(5);
    HostClock& clock = TheHostClock();
    std::unique_lock<std::mutex> lock(clock.mutex);
    if (milliseconds > 0)
        clock.nowNs += static_cast<uint64_t>(llround(milliseconds * 1e6));
    clock.cv.notify_all();
    const bool caughtUp = clock.cv.wait_for(lock, kCatchUpWait, [&] {
        for (const VirtualDevice* device : clock.devices)
            if (!device->CaughtUp(clock.nowNs))
                return false;
        return true;
    });
    return caughtUp ? TRUE : FALSE;
}
