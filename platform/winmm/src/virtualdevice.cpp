// The virtual device: a sound card without sound. It keeps real time from the
// monotonic clock, can write what it played to a WAV file, and records from a
// source of the platform's choosing: silence, a tone, or a WAV file looped.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "device.h"

namespace svwave {

namespace {

using Clock = std::chrono::steady_clock;

void PutLe(FILE* file, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        fputc(static_cast<int>((value >> (8 * i)) & 0xFF), file);
}

// A WAV file whose sizes are written when it is finished.
class WavRecorder {
public:
    ~WavRecorder() { Finish(); }

    bool Start(const std::string& path, const WAVEFORMATEX& format)
    {
        m_file = fopen(path.c_str(), "wb");
        if (m_file == nullptr)
            return false;
        m_format = format;
        m_extended = format.wFormatTag != WAVE_FORMAT_PCM;
        WriteHeader();
        return true;
    }

    void Write(const BYTE* data, DWORD bytes)
    {
        if (m_file == nullptr)
            return;
        fwrite(data, 1, bytes, m_file);
        m_dataBytes += bytes;
    }

    void Finish()
    {
        if (m_file == nullptr)
            return;
        if (m_dataBytes & 1)
            fputc(0, m_file);  // chunks are word-aligned
        fseek(m_file, 0, SEEK_SET);
        WriteHeader();
        fclose(m_file);
        m_file = nullptr;
    }

private:
    // RIFF/WAVE with a fmt chunk (18 bytes and a fact chunk for formats other
    // than PCM, as readers expect) and one data chunk.
    void WriteHeader()
    {
        const uint32_t fmtBytes = m_extended ? 18 : 16;
        const uint32_t factBytes = m_extended ? 12 : 0;
        const uint32_t data = static_cast<uint32_t>(m_dataBytes);
        fwrite("RIFF", 1, 4, m_file);
        PutLe(m_file, 4 + (8 + fmtBytes) + factBytes + 8 + data + (data & 1), 4);
        fwrite("WAVEfmt ", 1, 8, m_file);
        PutLe(m_file, fmtBytes, 4);
        PutLe(m_file, m_format.wFormatTag, 2);
        PutLe(m_file, m_format.nChannels, 2);
        PutLe(m_file, m_format.nSamplesPerSec, 4);
        PutLe(m_file, m_format.nAvgBytesPerSec, 4);
        PutLe(m_file, m_format.nBlockAlign, 2);
        PutLe(m_file, m_format.wBitsPerSample, 2);
        if (m_extended) {
            PutLe(m_file, 0, 2);
            fwrite("fact", 1, 4, m_file);
            PutLe(m_file, 4, 4);
            PutLe(m_file, data / m_format.nBlockAlign, 4);
        }
        fwrite("data", 1, 4, m_file);
        PutLe(m_file, data, 4);
    }

    FILE* m_file = nullptr;
    WAVEFORMATEX m_format = {};
    bool m_extended = false;
    uint64_t m_dataBytes = 0;
};

uint32_t GetLe(const BYTE* p, int bytes)
{
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// Reads a PCM WAV file (8 or 16 bits, one or two channels) into 16-bit
// samples interleaved as `format`'s channels at `format`'s rate. False when
// the file cannot be read or is not such a file.
bool LoadWav(const std::string& path, const WAVEFORMATEX& format, std::vector<int16_t>* out)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::vector<BYTE> bytes;
    BYTE chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    if (bytes.size() < 12 || memcmp(&bytes[0], "RIFF", 4) != 0 || memcmp(&bytes[8], "WAVE", 4) != 0)
        return false;

    unsigned channels = 0, bits = 0;
    uint32_t rate = 0;
    const BYTE* data = nullptr;
    size_t dataBytes = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const uint32_t size = GetLe(&bytes[at + 4], 4);
        const size_t body = at + 8;
        const size_t avail = std::min<size_t>(size, bytes.size() - body);
        if (memcmp(&bytes[at], "fmt ", 4) == 0 && avail >= 16) {
            const unsigned tag = GetLe(&bytes[body], 2);
            channels = GetLe(&bytes[body + 2], 2);
            rate = GetLe(&bytes[body + 4], 4);
            bits = GetLe(&bytes[body + 14], 2);
            // WAVE_FORMAT_EXTENSIBLE carries plain PCM just as well.
            if (tag != WAVE_FORMAT_PCM && tag != 0xFFFE)
                return false;
        } else if (memcmp(&bytes[at], "data", 4) == 0) {
            data = &bytes[body];
            dataBytes = avail;
        }
        at = body + size + (size & 1);
    }
    if (data == nullptr || rate == 0 || (channels != 1 && channels != 2) || (bits != 8 && bits != 16))
        return false;

    // The file's frames as 16-bit samples.
    const size_t frameBytes = channels * bits / 8;
    const size_t frames = dataBytes / frameBytes;
    if (frames == 0)
        return false;
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

class VirtualDevice : public WaveDevice {
public:
    explicit VirtualDevice(const VirtualOptions& options) : m_options(options) {}

    MMRESULT Open(const WAVEFORMATEX& format, Direction direction) override
    {
        m_format = format;
        if (direction == Direction::kInput) {
            if (!m_source.Open(m_options.input, format))
                return MMSYSERR_ERROR;
            // One chunk at most, so that recording needs no allocation.
            m_samples.resize(static_cast<size_t>(ChunkFrames()) * format.nChannels);
            return MMSYSERR_NOERROR;
        }
        if (!m_options.recordPath.empty() && !m_recorder.Start(m_options.recordPath, format))
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

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
        std::lock_guard<std::mutex> lock(m_mutex);
        m_epoch = epoch;
        m_cv.notify_all();
    }

    void Close() override { m_recorder.Finish(); }

private:
    // Recording moves in chunks of at most 10 ms, as a driver's periods do.
    DWORD ChunkFrames() const { return std::max<DWORD>(1, m_format.nSamplesPerSec / 100); }

    // Waits until `frames` more frames have passed on the timeline. Frame n
    // ends at start + duration of frames 0..n, computed from the frame count
    // each time: however late one wake-up is, the error does not add up. A
    // reset or a queue that ran dry starts a new timeline. False when
    // interrupted.
    bool Wait(DWORD frames, bool continuous, uint64_t epoch)
    {
        if (!continuous || epoch != m_timelineEpoch) {
            m_timelineStart = Clock::now();
            m_timelineFrames = 0;
            m_timelineEpoch = epoch;
        }
        m_timelineFrames += frames;
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_options.speed > 0) {
            const long double ns = static_cast<long double>(m_timelineFrames) * 1e9L /
                                   (static_cast<long double>(m_format.nSamplesPerSec) * m_options.speed);
            const Clock::time_point end = m_timelineStart + std::chrono::duration_cast<Clock::duration>(
                                                                std::chrono::nanoseconds(static_cast<int64_t>(ns)));
            m_cv.wait_until(lock, end, [&] { return m_epoch != epoch; });
        }
        return m_epoch == epoch;
    }

    const VirtualOptions m_options;
    WAVEFORMATEX m_format = {};
    WavRecorder m_recorder;
    InputSource m_source;
    std::vector<int16_t> m_samples;  // one chunk of recorded samples
    // Device thread only.
    Clock::time_point m_timelineStart;
    uint64_t m_timelineFrames = 0;
    uint64_t m_timelineEpoch = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint64_t m_epoch = 0;
};

}  // namespace

std::unique_ptr<WaveDevice> CreateVirtualDevice(const VirtualOptions& options)
{
    return std::unique_ptr<WaveDevice>(new VirtualDevice(options));
}

}  // namespace svwave
