// The compressed streams, read whole and handed out frame by frame, and the
// choice of reader by a file's first bytes.
#include "streams.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "streams_detail.h"

namespace svtool {

const char kAmrMagic[] = "#!AMR\n";
const double kAmrKbps[8] = {4.75, 5.15, 5.9, 6.7, 7.4, 7.95, 10.2, 12.2};

std::string Seconds(int64_t samples)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f s", static_cast<double>(samples) / kSampleRate);
    return text;
}

namespace {

const char kAmrWbMagic[] = "#!AMR-WB\n";
const char kAmrMultiChannelMagic[] = "#!AMR_MC1.0\n";

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

// Reads the file at `path`, or only its first `limit` bytes.
bool LoadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error, size_t limit = SIZE_MAX)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot open: " + strerror(errno);
        return false;
    }
    if (limit == SIZE_MAX) {
        bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        bytes->resize(limit);
        in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(limit));
        bytes->resize(static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        *error = path + ": read error";
        return false;
    }
    return true;
}

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

// Reads the whole file at `path` into a Source.
template <class Source>
std::unique_ptr<FrameSource> Load(const std::string& path, std::string* error)
{
    std::vector<uint8_t> bytes;
    if (!LoadFile(path, &bytes, error))
        return nullptr;
    return std::make_unique<Source>(path, std::move(bytes));
}

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
    auto refuse = [&](const std::string& why) -> std::unique_ptr<FrameSource> {
        *error = path + ": " + why;
        return nullptr;
    };
    // Linux opens a directory like a file and fails to read it, Windows
    // refuses to open it: on both it is named for what it is.
    struct stat info = {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return refuse("is a directory");
    // Only the first bytes decide the format; the reader reads the rest.
    std::vector<uint8_t> head;
    if (!LoadFile(path, &head, error, 16))
        return nullptr;
    if (head.empty())
        return refuse("empty file");
    if (StartsWith(head, kAmrWbMagic))
        return refuse("AMR-WB is not supported (only AMR-NB, \"#!AMR\\n\")");
    if (StartsWith(head, kAmrMultiChannelMagic))
        return refuse("multi-channel AMR is not supported (only single-channel \"#!AMR\\n\")");
    // A name insists on its format, whatever the bytes say.
    if (StartsWith(head, kAmrMagic))
        return Load<AmrFileSource>(path, error);
    if (EndsWith(path, ".amr"))
        return refuse("not an AMR-NB file: it does not begin with the magic \"#!AMR\\n\"");
    if (head[0] == kVoiceMarker)
        return Load<VoiceFileSource>(path, error);
    if (EndsWith(path, ".ve"))
        return refuse("not a voice-engine stream: its first byte is not the frame marker 0xA5");
    return OpenAudioFile(path, options, error);
}

} // namespace svtool
