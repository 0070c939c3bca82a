#include "streams.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <sndfile.h>
#include <soxr.h>

#include "AmrDll.h"
#include "hi_voice.h"

namespace svtool {

const char kAmrMagic[] = "#!AMR\n";

namespace {

const char kAmrWbMagic[] = "#!AMR-WB\n";
const char kAmrMultiChannelMagic[] = "#!AMR_MC1.0\n";

const double kAmrKbps[8] = {4.75, 5.15, 5.9, 6.7, 7.4, 7.95, 10.2, 12.2};

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = strlen(suffix);
    if (s.size() < n)
        return false;
    return strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool StartsWith(const std::vector<uint8_t>& bytes, const char* magic)
{
    const size_t n = strlen(magic);
    return bytes.size() >= n && memcmp(bytes.data(), magic, n) == 0;
}

std::string Seconds(int64_t samples)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f s", static_cast<double>(samples) / kSampleRate);
    return text;
}

bool LoadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open: " + strerror(errno);
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = path + ": read error";
        return false;
    }
    return true;
}

// An .amr file: "#!AMR\n", then frames of a header byte and its body.
class AmrFileSource : public FrameSource {
public:
    AmrFileSource(std::string path, std::vector<uint8_t> bytes)
        : m_path(std::move(path)), m_bytes(std::move(bytes)), m_pos(kAmrMagicBytes)
    {
        // One pass up front for the length and the bit rate; bad data is
        // reported when playback reaches it.
        for (size_t pos = m_pos; pos < m_bytes.size();) {
            const int body = AmrFrameBodyBytes(m_bytes[pos]);
            if (body < 0 || pos + 1 + body > m_bytes.size())
                break;
            const int type = (m_bytes[pos] >> 3) & 0x0F;
            if (type < 8 && m_firstSpeechType < 0)
                m_firstSpeechType = type;
            ++m_totalFrames;
            pos += 1 + body;
        }
    }

    bool Next(Frame& frame) override
    {
        if (m_pos >= m_bytes.size() || !m_error.empty())
            return false;
        const int body = AmrFrameBodyBytes(m_bytes[m_pos]);
        if (body < 0) {
            m_error = Where() + "unknown AMR frame type " + std::to_string((m_bytes[m_pos] >> 3) & 0x0F);
            return false;
        }
        const size_t left = m_bytes.size() - m_pos;
        if (1 + static_cast<size_t>(body) > left) {
            m_error = Where() + "truncated last frame: its header calls for " + std::to_string(1 + body) +
                      " bytes, the file holds " + std::to_string(left);
            return false;
        }
        frame.data = &m_bytes[m_pos];
        frame.length = 1 + body;
        frame.type = kPayloadAmr;
        frame.startSample = m_index * kAmrFrameSamples;
        frame.samples = kAmrFrameSamples;
        m_pos += 1 + body;
        ++m_index;
        return true;
    }

    int64_t TotalSamples() const override { return m_totalFrames * kAmrFrameSamples; }

    std::string Describe() const override
    {
        std::ostringstream s;
        s << "AMR-NB, " << m_totalFrames << " frames (" << Seconds(TotalSamples()) << ")";
        if (m_firstSpeechType >= 0)
            s << ", " << kAmrKbps[m_firstSpeechType] << " kbit/s";
        return s.str();
    }

private:
    std::string Where() const { return m_path + ": byte " + std::to_string(m_pos) + ": "; }

    std::string m_path;
    std::vector<uint8_t> m_bytes;
    size_t m_pos;
    int64_t m_index = 0;
    int64_t m_totalFrames = 0;
    int m_firstSpeechType = -1;
};

// A voice-engine stream: frames back to back, each an 8-byte header that gives
// its sample count, then the 4-bit codes.
class VoiceFileSource : public FrameSource {
public:
    VoiceFileSource(std::string path, std::vector<uint8_t> bytes)
        : m_path(std::move(path)), m_bytes(std::move(bytes))
    {
        for (size_t pos = 0; pos < m_bytes.size();) {
            int samples = 0;
            const size_t extent = Extent(pos, &samples);
            if (extent == 0 || pos + extent > m_bytes.size())
                break;
            m_totalSamples += samples;
            ++m_totalFrames;
            pos += extent;
        }
    }

    bool Next(Frame& frame) override
    {
        if (m_pos >= m_bytes.size() || !m_error.empty())
            return false;
        const size_t left = m_bytes.size() - m_pos;
        if (left < static_cast<size_t>(kVoiceHeaderBytes)) {
            m_error = Where() + "truncated last frame: " + std::to_string(left) +
                      " bytes, shorter than a frame header";
            return false;
        }
        if (m_bytes[m_pos] != kVoiceMarker) {
            char text[80];
            snprintf(text, sizeof text, "bad frame marker 0x%02X (want 0x%02X)", m_bytes[m_pos], kVoiceMarker);
            m_error = Where() + text;
            return false;
        }
        int samples = 0;
        const size_t extent = Extent(m_pos, &samples);
        if (extent == 0) {
            m_error = Where() + "frame of " + std::to_string(samples) + " samples (at most " +
                      std::to_string(kVoiceMaxSamples) + ")";
            return false;
        }
        if (extent > left) {
            m_error = Where() + "truncated last frame: its header calls for " + std::to_string(extent) +
                      " bytes, the file holds " + std::to_string(left);
            return false;
        }
        frame.data = &m_bytes[m_pos];
        frame.length = static_cast<int>(extent);
        frame.type = kPayloadVoice;
        frame.startSample = m_position;
        frame.samples = samples;
        m_pos += extent;
        m_position += samples;
        return true;
    }

    int64_t TotalSamples() const override { return m_totalSamples; }

    std::string Describe() const override
    {
        return "voice-engine stream, " + std::to_string(m_totalFrames) + " frames (" + Seconds(m_totalSamples) +
               ")";
    }

private:
    // Whole length of the frame at `pos` (0 when its header is not a frame's),
    // and its sample count.
    size_t Extent(size_t pos, int* samples) const
    {
        if (m_bytes.size() - pos < static_cast<size_t>(kVoiceHeaderBytes) || m_bytes[pos] != kVoiceMarker)
            return 0;
        *samples = m_bytes[pos + 2] | (m_bytes[pos + 3] << 8);
        if (*samples > kVoiceMaxSamples)
            return 0;
        return kVoiceHeaderBytes + (*samples + 1) / 2;
    }

    std::string Where() const { return m_path + ": byte " + std::to_string(m_pos) + ": "; }

    std::string m_path;
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
    int64_t m_position = 0;
    int64_t m_totalSamples = 0;
    int64_t m_totalFrames = 0;
};

// Any file libsndfile reads: mixed down to mono, resampled to 8 kHz with soxr
// and encoded one frame at a time as playback asks for it.
class SndfileSource : public FrameSource {
public:
    ~SndfileSource() override
    {
        if (m_soxr != nullptr)
            soxr_delete(m_soxr);
        if (m_file != nullptr)
            sf_close(m_file);
        if (m_amr != 0)
            AMR_Encode_Exit(&m_amr);
    }

    bool Open(const std::string& path, const SourceOptions& options, std::string* error)
    {
        m_path = path;
        m_codec = options.codec;
        m_amrMode = options.amrMode;
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
        if (m_codec == Codec::Amr) {
            if (AMR_Encode_Init(&m_amr) != 0 || m_amr == 0) {
                *error = "cannot start the AMR encoder";
                return false;
            }
        } else if (HI_VOICE_EncReset(m_voiceState, 3) != 0) {
            *error = "cannot start the voice-engine encoder";
            return false;
        }
        return true;
    }

    bool Next(Frame& frame) override
    {
        const int want = m_codec == Codec::Amr ? kAmrFrameSamples : kVoiceFrameSamples;
        while (static_cast<int>(m_pcm.size()) < want && !m_drained)
            Pull();
        if (m_pcm.empty())
            return false;
        int samples = std::min<int>(want, static_cast<int>(m_pcm.size()));
        int16_t pcm[kVoiceFrameSamples] = {};
        std::copy(m_pcm.begin(), m_pcm.begin() + samples, pcm);
        m_pcm.erase(m_pcm.begin(), m_pcm.begin() + samples);

        if (m_codec == Codec::Amr) {
            // AMR frames are always 160 samples: the tail is padded with silence.
            const int n = AMR_Encode_Frame(m_amr, pcm, m_out, m_amrMode);
            if (n <= 0) {
                m_error = m_path + ": the AMR encoder refused a frame";
                return false;
            }
            frame.length = n;
            frame.type = kPayloadAmr;
            samples = kAmrFrameSamples;
        } else {
            int n = 0;
            if (HI_VOICE_EncodeFrame(m_voiceState, pcm, samples, m_out, &n) != 0 || n <= 0) {
                m_error = m_path + ": the voice-engine encoder refused a frame";
                return false;
            }
            frame.length = n;
            frame.type = kPayloadVoice;
        }
        frame.data = m_out;
        frame.startSample = m_position;
        frame.samples = samples;
        m_position += samples;
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
    AMR_HANDLE m_amr = 0;
    alignas(8) unsigned char m_voiceState[HI_VOICE_STATE_BYTES] = {};
    uint8_t m_out[kVoiceHeaderBytes + kVoiceMaxSamples] = {};
};

} // namespace

int AmrFrameBodyBytes(uint8_t header)
{
    static const int kBody[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0};
    return kBody[(header >> 3) & 0x0F];
}

std::unique_ptr<FrameSource> OpenSource(const std::string& path, const SourceOptions& options, std::string* error)
{
    if (options.amrMode < 0 || options.amrMode > 7) {
        *error = "AMR mode " + std::to_string(options.amrMode) + " is not one of 0..7";
        return nullptr;
    }
    std::vector<uint8_t> head;
    {
        // Only the first bytes decide the format; libsndfile reads the rest.
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            *error = path + ": cannot open: " + strerror(errno);
            return nullptr;
        }
        char buf[16] = {};
        in.read(buf, sizeof buf);
        head.assign(buf, buf + in.gcount());
    }
    const bool amrName = EndsWith(path, ".amr");
    const bool voiceName = EndsWith(path, ".ve");

    if (StartsWith(head, kAmrWbMagic)) {
        *error = path + ": AMR-WB is not supported (only AMR-NB, \"#!AMR\\n\")";
        return nullptr;
    }
    if (StartsWith(head, kAmrMultiChannelMagic)) {
        *error = path + ": multi-channel AMR is not supported (only single-channel \"#!AMR\\n\")";
        return nullptr;
    }
    if (StartsWith(head, kAmrMagic)) {
        std::vector<uint8_t> bytes;
        if (!LoadFile(path, &bytes, error))
            return nullptr;
        return std::make_unique<AmrFileSource>(path, std::move(bytes));
    }
    if (amrName) {
        *error = path + ": not an AMR-NB file: it does not begin with the magic \"#!AMR\\n\"";
        return nullptr;
    }
    if (!head.empty() && head[0] == kVoiceMarker) {
        std::vector<uint8_t> bytes;
        if (!LoadFile(path, &bytes, error))
            return nullptr;
        return std::make_unique<VoiceFileSource>(path, std::move(bytes));
    }
    if (voiceName) {
        if (head.empty())
            *error = path + ": empty file";
        else
            *error = path + ": not a voice-engine stream: its first byte is not the frame marker 0xA5";
        return nullptr;
    }
    auto source = std::make_unique<SndfileSource>();
    if (!source->Open(path, options, error))
        return nullptr;
    return source;
}

} // namespace svtool
