// The virtual device: a sound card without sound. It keeps real time from the
// monotonic clock and can record what it played to a WAV file.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

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

class VirtualDevice : public WaveDevice {
public:
    explicit VirtualDevice(const VirtualOptions& options) : m_options(options) {}

    MMRESULT Open(const WAVEFORMATEX& format, Direction direction) override
    {
        if (direction != Direction::kOutput)
            return MMSYSERR_NOTSUPPORTED;
        m_format = format;
        if (!m_options.recordPath.empty() && !m_recorder.Start(m_options.recordPath, format))
            return MMSYSERR_ERROR;
        return MMSYSERR_NOERROR;
    }

    bool Transfer(BYTE* data, DWORD bytes, bool continuous, uint64_t epoch) override
    {
        // Buffer n ends at start + duration of buffers 0..n, computed from the
        // sample count each time: however late one wake-up is, the error does
        // not add up. A reset or a queue that ran dry starts a new timeline.
        if (!continuous || epoch != m_timelineEpoch) {
            m_timelineStart = Clock::now();
            m_timelineFrames = 0;
            m_timelineEpoch = epoch;
        }
        m_timelineFrames += bytes / m_format.nBlockAlign;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_options.speed > 0) {
                const long double ns = static_cast<long double>(m_timelineFrames) * 1e9L /
                                       (static_cast<long double>(m_format.nSamplesPerSec) * m_options.speed);
                const Clock::time_point end =
                    m_timelineStart + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::nanoseconds(static_cast<int64_t>(ns)));
                m_cv.wait_until(lock, end, [&] { return m_epoch != epoch; });
            }
            if (m_epoch != epoch)
                return false;
        }
        m_recorder.Write(data, bytes);
        return true;
    }

    void Interrupt(uint64_t epoch) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_epoch = epoch;
        m_cv.notify_all();
    }

    void Close() override { m_recorder.Finish(); }

private:
    const VirtualOptions m_options;
    WAVEFORMATEX m_format = {};
    WavRecorder m_recorder;
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
