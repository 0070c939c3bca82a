// Audio files that are not compressed streams, read with libsndfile: mixed
// down to mono, resampled to 8 kHz with soxr and encoded one frame at a time
// as playback asks for it.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include <sndfile.h>
#include <soxr.h>

#include "frame_encoder.h"
#include "streams_detail.h"

namespace svtool {

namespace {

const int kMinFileRate = 1000;
const int kMaxFileRate = 384000;

class SndfileSource : public FrameSource {
public:
    ~SndfileSource() override
    {
        if (m_soxr != nullptr)
            soxr_delete(m_soxr);
        if (m_file != nullptr)
            sf_close(m_file);
    }

    bool Open(const std::string& path, const SourceOptions& options, std::string* error)
    {
        m_path = path;
        m_codec = options.codec;
        m_amrMode = options.amrMode;
        if (!m_encoder.Start(m_codec, m_amrMode, error))
            return false;
        SF_INFO info = {};
        m_file = sf_open(path.c_str(), SFM_READ, &info);
        if (m_file == nullptr) {
            *error = path + ": unsupported audio format (" + sf_strerror(nullptr) + ")";
            return false;
        }
        if (info.channels < 1 || info.samplerate < 1) {
            *error = path + ": unsupported audio format (no channels or no sample rate)";
            return false;
        }
        // A header's rate is taken as it stands: one far below audio's (a
        // damaged header, say) would make minutes of "sound" out of a few
        // bytes, and one far above it is no recording either.
        if (info.samplerate < kMinFileRate || info.samplerate > kMaxFileRate) {
            *error = path + ": its header gives a sample rate of " + std::to_string(info.samplerate) +
                     " Hz; audio files are played at " + std::to_string(kMinFileRate) + " to " +
                     std::to_string(kMaxFileRate) + " Hz";
            return false;
        }
        m_channels = info.channels;
        m_inRate = info.samplerate;
        m_inFrames = info.frames;
        const SF_FORMAT_INFO* major = nullptr;
        SF_FORMAT_INFO fi = {};
        fi.format = info.format & SF_FORMAT_TYPEMASK;
        if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &fi, sizeof fi) == 0)
            major = &fi;
        m_formatName = major != nullptr && major->name != nullptr ? major->name : "audio";

        if (m_inRate != kSampleRate) {
            soxr_error_t err = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            m_soxr = soxr_create(m_inRate, kSampleRate, 1, &err, &io, &quality, nullptr);
            if (m_soxr == nullptr || err != nullptr) {
                *error = path + ": cannot resample from " + std::to_string(m_inRate) + " Hz: " +
                         (err != nullptr ? err : "soxr");
                return false;
            }
        }
        return true;
    }

    bool Next(Frame& frame) override
    {
        const int want = m_encoder.FrameSamples();
        while (static_cast<int>(m_pcm.size()) < want && !m_drained)
            Pull();
        if (m_pcm.empty())
            return false;
        const int samples = std::min<int>(want, static_cast<int>(m_pcm.size()));
        if (!m_encoder.Encode(m_pcm.data(), samples, &frame)) {
            m_error = m_path + (m_codec == Codec::Amr ? ": the AMR encoder refused a frame"
                                                      : ": the voice-engine encoder refused a frame");
            return false;
        }
        m_pcm.erase(m_pcm.begin(), m_pcm.begin() + samples);
        frame.startSample = m_position;
        m_position += frame.samples;
        return true;
    }

    int64_t TotalSamples() const override
    {
        const int64_t samples = (m_inFrames * kSampleRate + m_inRate - 1) / m_inRate;
        if (m_codec == Codec::Amr)
            return (samples + kAmrFrameSamples - 1) / kAmrFrameSamples * kAmrFrameSamples;
        return samples;
    }

    std::string Describe() const override
    {
        std::ostringstream s;
        s << m_formatName << ", " << m_channels << (m_channels == 1 ? " channel, " : " channels, ") << m_inRate
          << " Hz (" << Seconds(TotalSamples()) << "), encoded to ";
        if (m_codec == Codec::Amr)
            s << "AMR-NB " << kAmrKbps[m_amrMode] << " kbit/s";
        else
            s << "voice-engine frames";
        return s.str();
    }

private:
    // Reads the next block of the file into m_pcm, at 8 kHz mono.
    void Pull()
    {
        const sf_count_t kBlock = 1024;
        std::vector<float> in(static_cast<size_t>(kBlock * m_channels));
        const sf_count_t got = sf_readf_float(m_file, in.data(), kBlock);
        std::vector<float> mono(static_cast<size_t>(got));
        for (sf_count_t i = 0; i < got; ++i) {
            float sum = 0;
            for (int c = 0; c < m_channels; ++c)
                sum += in[static_cast<size_t>(i * m_channels + c)];
            mono[static_cast<size_t>(i)] = sum / static_cast<float>(m_channels);
        }
        if (m_soxr == nullptr) {
            Append(mono.data(), mono.size());
        } else {
            // At the end, a call without input flushes what the resampler holds.
            std::vector<float> out(static_cast<size_t>(got) * kSampleRate / m_inRate + 64);
            size_t done = 0;
            do {
                size_t used = 0;
                soxr_process(m_soxr, got > 0 ? mono.data() : nullptr, static_cast<size_t>(got), &used, out.data(),
                             out.size(), &done);
                Append(out.data(), done);
            } while (got == 0 && done > 0);
        }
        if (got == 0)
            m_drained = true;
    }

    void Append(const float* samples, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            const float v = std::round(samples[i] * 32768.0f);
            m_pcm.push_back(static_cast<int16_t>(std::clamp(v, -32768.0f, 32767.0f)));
        }
    }

    std::string m_path;
    std::string m_formatName;
    Codec m_codec = Codec::Amr;
    int m_amrMode = 7;
    SNDFILE* m_file = nullptr;
    soxr_t m_soxr = nullptr;
    int m_channels = 1;
    int m_inRate = kSampleRate;
    sf_count_t m_inFrames = 0;
    bool m_drained = false;
    std::vector<int16_t> m_pcm;
    int64_t m_position = 0;
    FrameEncoder m_encoder;
};

} // namespace

std::unique_ptr<FrameSource> OpenAudioFile(const std::string& path, const SourceOptions& options,
                                           std::string* error)
{
    auto source = std::make_unique<SndfileSource>();
    if (!source->Open(path, options, error))
        return nullptr;
    return source;
}

} // namespace svtool
