// sonavex-send: sends a compressed stream file as RTP over UDP at the
// stream's own pace, the way a recorder sends a live stream: AMR-NB as RFC
// 4867 has it, voice-engine frames as docs/rtp-voice-payload.md does. For
// tests and demonstrations it makes a network's trouble up from a seed, so an
// impaired run can be repeated exactly: jitter, loss and reordering. With
// --capture it is the talk-back side: it records from the default input
// device through the library's capture exports, encodes each frame as it is
// recorded and sends it at once.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "amr_payload.h"
#include "capture_input.h"
#include "console.h"
#include "frame_encoder.h"
#include "impairment.h"
#include "numbers.h"
#include "options.h"
#include "receiver.h"
#include "rtp_header.h"
#include "srtp_session.h"
#include "streams.h"
#include "udp.h"
#include "voice_payload.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string input;
    std::string to;
    svtool::Endpoint endpoint;
    double speed = 1;
    int framesPerPacket = 1;
    int payloadType = -1; // the codec's default
    bool bandwidthEfficient = false;
    double jitterMs = 0;
    double lossPercent = 0;
    double reorderPercent = 0;
    unsigned long long seed = 1;
    long long ssrc = -1; // from the seed
    int repeat = 1;
    double stallAtMs = -1;  // --stall: packets due in [stallAtMs, +stallMs)
    double stallMs = 0;     // leave together at its end
    std::string dropsPath;
    std::vector<uint8_t> srtpKey;  // empty: plain RTP
    bool srtp32 = false;
    int resendEvery = 0;           // send every Nth packet twice
    bool dtx = false;              // AMR no-data frames are not sent
    std::string statsPath;
    bool quiet = false;
    // --capture: the talk-back side.
    bool capture = false;
    svtool::CaptureSettings device;
    svtool::Codec codec = svtool::Codec::Amr;
    int amrMode = 7;
    double duration = -1;  // seconds; < 0: until interrupted
};

// --stall AT_SEC:MS
std::string ParseStall(const std::string& v, Options* o)
{
    const size_t colon = v.find(':');
    const char* what = "--stall takes AT_SEC:MS, such as 3:1600";
    if (colon == std::string::npos)
        return what;
    double at = 0, ms = 0;
    if (!svtool::ParseDuration(v.substr(0, colon), svtool::TimeUnit::Seconds, &at) || at < 0 ||
        !svtool::ParseDuration(v.substr(colon + 1), svtool::TimeUnit::Milliseconds, &ms) || ms <= 0)
        return what;
    o->stallAtMs = at * 1000;
    o->stallMs = ms;
    return "";
}

Options ParseOptions(int argc, char** argv)
{
    Options o;
    svtool::CommandLine line("sonavex-send",
                             "Sends FILE, an AMR-NB (.amr) or voice-engine (.ve) stream, as RTP over UDP\n"
                             "to ADDR:PORT (address 127.0.0.1 when left out), at the stream's real-time\n"
                             "pace. The impairments are drawn from the seed: the same seed and options\n"
                             "send the same packets at the same moments, in the same order.\n"
                             "With --capture [ADDR:]PORT it records from the default input device instead,\n"
                             "encodes what it records and sends it live.\n");
    line.options = {
        svtool::Number("--speed", "N", "N times real time; 0: as fast as possible (default 1)", &o.speed,
                       svtool::AtLeast(0), "a factor"),
        svtool::Integer("--frames-per-packet", "N", "frames in each packet, 1..256 (default 1)", &o.framesPerPacket,
                        1, svrtp::kMaxFramesPerPacket),
        svtool::Integer("--payload-type", "N", "RTP payload type, 0..127 (default 97 for AMR, 118 for\nvoice-engine frames)",
                        &o.payloadType, 0, 127),
        svtool::Flag("--bandwidth-efficient", "AMR in bandwidth-efficient mode (default: octet-aligned)",
                     &o.bandwidthEfficient),
        svtool::Duration("--jitter", "MS", "each packet leaves up to MS ms after it is due (default 0)", &o.jitterMs,
                         svtool::TimeUnit::Milliseconds, svtool::AtLeast(0)),
        svtool::Percent("--loss", "PCT", "drop PCT percent of the packets (default 0)", &o.lossPercent),
        svtool::Percent("--reorder", "PCT", "swap PCT percent of the packets with the next one (default 0)",
                        &o.reorderPercent),
        svtool::Integer("--seed", "N", "seed of the impairments, the SSRC and the first sequence\nnumber and "
                        "timestamp (default 1)", &o.seed, 0, 0x7FFFFFFFFFFFFFFFll),
        svtool::Integer("--ssrc", "N", "SSRC, 0..4294967295 (default: from the seed)", &o.ssrc, 0, 0xFFFFFFFFll),
        svtool::Integer("--repeat", "N", "send the file N times, one after the other, as one stream\n(default 1)",
                        &o.repeat, 1, 1000),
        {"--stall", "AT_SEC:MS", "the network stalls for MS ms at AT_SEC seconds: what is\n"
                                 "due meanwhile leaves at once at its end",
         [&o](const char* v) { return ParseStall(v, &o); }},
        svtool::Text("--drops-to", "FILE", "write the index of each frame --loss dropped to FILE, a\nline each",
                     &o.dropsPath, "a file name"),
        {"--srtp-key", "BASE64", "send SRTP with this master key and salt (30 bytes in\nbase64, as SDES gives them)",
         [&o](const char* v) {
             std::string why;
             return svrtp::ParseSrtpKey(v, &o.srtpKey, &why) ? std::string() : "--srtp-key " + why;
         }},
        svtool::Choice("--srtp-suite", "with --srtp-key: AES_CM_128_HMAC_SHA1_80 (default) or _32", &o.srtp32,
                       {{"AES_CM_128_HMAC_SHA1_80", false}, {"AES_CM_128_HMAC_SHA1_32", true}}),
        svtool::Integer("--resend-every", "N", "send every Nth packet a second time, as it went the first\n"
                                               "(under SRTP: a replay)", &o.resendEvery, 1, 1000000),
        svtool::Flag("--dtx", "AMR: send nothing for no-data frames, as a sender in\n"
                              "discontinuous transmission leaves its pauses out", &o.dtx),
        svtool::Text("--stats", "FILE.csv", "write what was sent to FILE.csv, a row a second", &o.statsPath,
                     "a file name"),
        svtool::AddressPort("--capture", "[ADDR:]PORT", "record from the default input device and send it live\n"
                                                        "to ADDR:PORT (no FILE)", &o.endpoint),
        svtool::Choice("--codec", "with --capture: the codec to encode with (default amr)", &o.codec,
                       {{"amr", svtool::Codec::Amr}, {"voice", svtool::Codec::Voice}}),
        svtool::Integer("--amr-mode", "0..7", "with --capture: AMR bit rate, 4.75..12.2 kbit/s (7)", &o.amrMode, 0, 7),
        svtool::Duration("--duration|-d", "SEC", "with --capture: stop after SEC seconds of audio (default:\n"
                                                 "until Ctrl-C)",
                         &o.duration, svtool::TimeUnit::Seconds, svtool::Above(0)),
    };
    svtool::AddCaptureOptions(&line, &o.device, false);
    line.options.push_back(svtool::Flag("--quiet|-q", "no progress and no summary", &o.quiet));
    // FILE and the destination, unless the stream is recorded.
    line.arguments = {{"FILE", &o.input, ""}, {"[ADDR:]PORT", &o.to, ""}};
    line.Parse(argc, argv);
    o.capture = line.Given("--capture");
    if (o.capture) {
        if (!o.input.empty())
            line.Fail("--capture sends what the input device records: no FILE or destination with it");
        for (const char* option :
             {"--speed", "--repeat", "--jitter", "--loss", "--reorder", "--stall", "--drops-to", "--dtx"})
            if (line.Given(option))
                line.Fail(std::string(option) + " is for stream files; a recorded stream leaves as it is recorded");
        svtool::CheckCaptureOptions(line, &o.device);
        return o;
    }
    for (const char* option : {"--codec", "--amr-mode", "--duration", "--device", "--source", "--debug-output"})
        if (line.Given(option))
            line.Fail(std::string(option) + " is for --capture");
    if (o.input.empty())
        line.Fail("no input file");
    if (o.to.empty())
        line.Fail("no destination port");
    std::string why;
    if (!svtool::ParseEndpoint(o.to, &o.endpoint, &why))
        line.Fail("the destination " + why);
    return o;
}

struct StreamFrame {
    std::vector<uint8_t> bytes;
    int64_t startSample;
    int samples;
};

struct Packet {
    std::vector<uint8_t> datagram;
    double dueMs; // at real-time pace, from the stream's start
    size_t firstFrame;
    int frames;
};

// The whole file's frames, or a message that names the file and the fault.
bool ReadFrames(const Options& o, std::vector<StreamFrame>* frames, int* type, std::string* error)
{
    std::unique_ptr<svtool::FrameSource> source = svtool::OpenSource(o.input, svtool::SourceOptions(), error);
    if (!source)
        return false;
    svtool::Frame f;
    while (source->Next(f)) {
        if (frames->empty())
            *type = f.type;
        frames->push_back({std::vector<uint8_t>(f.data, f.data + f.length), f.startSample, f.samples});
    }
    if (!source->Error().empty()) {
        *error = source->Error();
        return false;
    }
    if (frames->empty()) {
        *error = o.input + ": no frames to send";
        return false;
    }
    // Repeats run on in time: each copy starts where the last ended.
    const size_t once = frames->size();
    const int64_t length = frames->back().startSample + frames->back().samples;
    for (int copy = 1; copy < o.repeat; ++copy)
        for (size_t i = 0; i < once; ++i) {
            StreamFrame copyOf = (*frames)[i];
            copyOf.startSample += copy * length;
            frames->push_back(std::move(copyOf));
        }
    return true;
}

// The datagram of one packet: `header`, then `count` frames packed as the
// stream's codec and the options have them.
void BuildDatagram(const Options& o, int type, const svrtp::RtpPacket& header, const svrtp::ByteView* frames,
                   size_t count, std::vector<uint8_t>* payload, std::vector<uint8_t>* datagram)
{
    // Whole frames only are handed in, so packing cannot fail.
    if (type == svtool::kPayloadAmr)
        svrtp::PackAmrPayload(frames, count,
                              o.bandwidthEfficient ? svrtp::AmrPacking::BandwidthEfficient
                                                   : svrtp::AmrPacking::OctetAligned,
                              payload);
    else
        svrtp::PackVoicePayload(frames, count, payload);
    svrtp::BuildRtpDatagram(header, payload->data(), payload->size(), datagram);
}

// The header of a stream's packet `index`, whose first frame starts at `sample`.
svrtp::RtpPacket PacketHeader(int payloadType, uint32_t ssrc, uint16_t firstSeq, uint32_t firstTs, size_t index,
                              int64_t sample)
{
    svrtp::RtpPacket header;
    header.marker = index == 0;
    header.payloadType = payloadType;
    header.sequence = static_cast<uint16_t>(firstSeq + index);
    header.timestamp = static_cast<uint32_t>(firstTs + sample);
    header.ssrc = ssrc;
    return header;
}

std::vector<Packet> Packetise(const Options& o, const std::vector<StreamFrame>& frames, int type, int payloadType,
                              svrtp::Random& random, uint32_t ssrc)
{
    // RFC 3550 starts the sequence number and timestamp at random values.
    const uint16_t firstSeq = static_cast<uint16_t>(random.Next());
    const uint32_t firstTs = static_cast<uint32_t>(random.Next());
    std::vector<Packet> packets;
    std::vector<svrtp::ByteView> views;
    std::vector<uint8_t> payload;
    // In discontinuous transmission a pause goes out as nothing: the next
    // packet's timestamp says how long it was.
    const auto left = [&](size_t i) {
        return o.dtx && type == svtool::kPayloadAmr && !frames[i].bytes.empty() &&
               (frames[i].bytes[0] >> 3 & 0x0F) == svrtp::kAmrFrameTypeNoData;
    };
    for (size_t at = 0, end = 0; at < frames.size(); at = end) {
        views.clear();
        for (end = at; end < frames.size() && end < at + static_cast<size_t>(o.framesPerPacket) && !left(end); ++end)
            views.push_back({frames[end].bytes.data(), frames[end].bytes.size()});
        if (views.empty()) {
            ++end;
            continue;
        }
        Packet p;
        BuildDatagram(o, type, PacketHeader(payloadType, ssrc, firstSeq, firstTs, packets.size(), frames[at].startSample),
                      views.data(), views.size(), &payload, &p.datagram);
        p.dueMs = static_cast<double>(frames[at].startSample) * 1000 / svtool::kSampleRate;
        p.firstFrame = at;
        p.frames = static_cast<int>(views.size());
        packets.push_back(std::move(p));
    }
    return packets;
}

// The frames of the packets the plan leaves out, by their index in the stream.
bool WriteDrops(const std::string& path, const std::vector<Packet>& packets, const svrtp::ImpairmentPlan& plan,
                std::string* error)
{
    std::vector<bool> sent(packets.size(), false);
    for (const svrtp::Departure& d : plan.departures)
        sent[d.index] = true;
    FILE* file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        *error = path + ": cannot create it: " + strerror(errno);
        return false;
    }
    for (size_t i = 0; i < packets.size(); ++i)
        for (int k = 0; !sent[i] && k < packets[i].frames; ++k)
            fprintf(file, "%zu\n", packets[i].firstFrame + static_cast<size_t>(k));
    if (fclose(file) != 0) {
        *error = path + ": writing failed: " + strerror(errno);
        return false;
    }
    return true;
}

// What has been sent, a row a second of the wall's: the stream time sent,
// frames, packets and bytes, and how far behind its time the last packet
// left (a stalled input device or a held-up sender shows there).
class SendStats {
public:
    bool Open(const std::string& path, std::string* error)
    {
        if (path.empty())
            return true;
        m_file = fopen(path.c_str(), "w");
        if (m_file == nullptr) {
            *error = path + ": cannot create it: " + strerror(errno);
            return false;
        }
        fprintf(m_file, "time_s,audio_s,frames,packets,bytes,lag_ms\n");
        m_start = Clock::now();
        return true;
    }
    ~SendStats()
    {
        if (m_file != nullptr)
            fclose(m_file);
    }
    void Add(int frames, size_t bytes, double audioSeconds, double lagMs)
    {
        m_frames += static_cast<size_t>(frames);
        ++m_packets;
        m_bytes += bytes;
        m_audio = audioSeconds;
        m_lagMs = lagMs;
    }
    // Writes the rows due by now; `last` the row of the end as well.
    void Write(bool last = false)
    {
        if (m_file == nullptr)
            return;
        const double now = std::chrono::duration<double>(Clock::now() - m_start).count();
        while (m_next <= now || (last && m_next - 1 < now)) {
            fprintf(m_file, "%.0f,%.3f,%zu,%zu,%zu,%.1f\n", m_next, m_audio, m_frames, m_packets, m_bytes, m_lagMs);
            m_next += 1;
        }
        fflush(m_file);
    }
    size_t Frames() const { return m_frames; }
    size_t Packets() const { return m_packets; }
    size_t Bytes() const { return m_bytes; }

private:
    FILE* m_file = nullptr;
    Clock::time_point m_start;
    double m_next = 1;
    size_t m_frames = 0, m_packets = 0, m_bytes = 0;
    double m_audio = 0, m_lagMs = 0;
};

// Sends one datagram `copies` times, protected first when SRTP is on; false
// with the reason.
bool SendDatagram(const std::vector<uint8_t>& datagram, int copies, svrtp::UdpSocket& socket,
                  svrtp::SrtpSession& srtp, std::vector<uint8_t>* wire, std::string* error)
{
    wire->assign(datagram.begin(), datagram.end());
    size_t length = wire->size();
    if (srtp.Started()) {
        wire->resize(length + svrtp::kSrtpMaxTrailer);
        if (!srtp.Protect(wire->data(), &length, wire->size())) {
            *error = "SRTP could not protect it";
            return false;
        }
    }
    for (int copy = 0; copy < copies; ++copy)
        if (!socket.Send(wire->data(), length, error))
            return false;
    return true;
}

// Sends the packets as the plan has them leave, at the configured pace;
// returns the exit status.
int SendAll(const Options& o, const std::vector<Packet>& packets, const svrtp::ImpairmentPlan& plan,
            svrtp::UdpSocket& socket, svrtp::SrtpSession& srtp, SendStats& stats, double totalSeconds)
{
    std::string error;
    std::vector<uint8_t> wire;
    size_t resent = 0;
    svtool::CatchInterrupts();
    svtool::ProgressLine progress(!o.quiet, std::chrono::seconds(1));

    const Clock::time_point start = Clock::now();
    for (const svrtp::Departure& d : plan.departures) {
        const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::milli>(o.speed > 0 ? d.sendMs / o.speed : 0));
        if (o.speed > 0) {
            // Sleep in short steps, so that Ctrl-C is seen at once.
            while (!svtool::Interrupted() && Clock::now() < at) {
                std::this_thread::sleep_until(std::min(at, Clock::now() + std::chrono::milliseconds(50)));
                stats.Write();
            }
        }
        if (svtool::Interrupted())
            break;
        const Packet& p = packets[d.index];
        const bool twice = o.resendEvery > 0 && (stats.Packets() + 1) % static_cast<size_t>(o.resendEvery) == 0;
        if (!SendDatagram(p.datagram, twice ? 2 : 1, socket, srtp, &wire, &error)) {
            progress.End();
            fprintf(stderr, "sonavex-send: packet %zu of %zu: %s\n", stats.Packets() + 1, plan.departures.size(),
                    error.c_str());
            return 1;
        }
        resent += twice;
        stats.Add(p.frames, p.datagram.size(), p.dueMs / 1000,
                  o.speed > 0 ? std::chrono::duration<double, std::milli>(Clock::now() - at).count() : 0);
        stats.Write();
        if (progress.Shown() && progress.Due())
            progress.Show(svtool::FormatTime(p.dueMs / 1000) + " / " + svtool::FormatTime(totalSeconds) + "  " +
                          std::to_string(stats.Packets()) + " packets sent");
    }
    progress.End();
    stats.Write(true);
    if (!o.quiet) {
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        printf("sent %zu packets (%zu frames, %zu bytes) in %.2f s%s; dropped by --loss %zu, reordered %zu "
               "(out of order %zu), sent twice %zu\n",
               stats.Packets(), stats.Frames(), stats.Bytes(), wall, svtool::Interrupted() ? " (interrupted)" : "",
               plan.dropped, plan.swapped, plan.outOfOrder, resent);
    }
    return 0;
}

// The talk-back side: records from the input device through the library's
// capture, encodes each frame as it comes and sends a packet as soon as it
// holds --frames-per-packet frames; returns the exit status. The stream's
// time is the recording's: a frame's RTP timestamp is its first sample's
// place in what was recorded.
int SendCaptured(Options& o, int payloadType, svrtp::Random& random, uint32_t ssrc, svrtp::UdpSocket& socket,
                 svrtp::SrtpSession& srtp, SendStats& stats)
{
    const char* program = "sonavex-send";
    std::string note, error;
    if (!svtool::ApplyCaptureSettings(program, o.device, &note))
        return 1;
    svtool::FrameEncoder encoder;
    if (!encoder.Start(o.codec, o.amrMode, &error)) {
        fprintf(stderr, "%s: %s\n", program, error.c_str());
        return 1;
    }
    SvWaveDeviceKind kind = SV_WAVE_DEVICE_AUTO;
    SV_CAPTURE capture = svtool::OpenCapture(program, o.device, &kind);
    if (capture == nullptr)
        return 1;
    svtool::CatchInterrupts();
    if (!o.quiet) {
        printf("sending the %s%s%s%s, encoded to ", svtool::InputDeviceName(kind), note.empty() ? "" : " (",
               note.c_str(), note.empty() ? "" : ")");
        if (o.codec == svtool::Codec::Amr)
            printf("AMR-NB %g kbit/s", svtool::kAmrKbps[o.amrMode]);
        else
            printf("voice-engine frames");
        printf(", payload type %d, SSRC %u, to %s%s, live", payloadType, ssrc, o.endpoint.ToString().c_str(),
               srtp.Started() ? ", SRTP" : "");
        if (o.duration > 0)
            printf(" for %s\n", svtool::FormatTime(o.duration).c_str());
        else
            printf(" until Ctrl-C\n");
        fflush(stdout);
    }

    const uint16_t firstSeq = static_cast<uint16_t>(random.Next());
    const uint32_t firstTs = static_cast<uint32_t>(random.Next());
    const int64_t target = o.duration > 0 ? llround(o.duration * svtool::kSampleRate) : -1;
    const Clock::time_point start = Clock::now();
    // A device that delivers nothing ends a timed run two seconds after its
    // time, with what it gave.
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(o.duration > 0 ? o.duration + 2 : 0));
    svtool::StallWatch stall(program, "the input device has not delivered audio",
                             "the input device delivers audio again");
    svtool::ProgressLine progress(!o.quiet, std::chrono::seconds(1));
    svtool::CaptureReader reader(capture);
    std::vector<int16_t> pcm;
    size_t used = 0;              // of pcm, encoded already
    int64_t recorded = 0;         // samples encoded, the stream's time
    int64_t packetStart = 0;      // the first sample of the packet being filled
    std::vector<std::vector<uint8_t>> pending;  // its frames
    std::vector<svrtp::ByteView> views;
    std::vector<uint8_t> payload, datagram, wire;
    bool failed = false, cutShort = false;
    const auto flush = [&] {
        if (pending.empty() || failed)
            return;
        views.clear();
        for (const std::vector<uint8_t>& f : pending)
            views.push_back({f.data(), f.size()});
        BuildDatagram(o, encoder.FrameSamples() == svtool::kAmrFrameSamples ? svtool::kPayloadAmr
                                                                           : svtool::kPayloadVoice,
                      PacketHeader(payloadType, ssrc, firstSeq, firstTs, stats.Packets(), packetStart), views.data(),
                      views.size(), &payload, &datagram);
        const bool twice = o.resendEvery > 0 && (stats.Packets() + 1) % static_cast<size_t>(o.resendEvery) == 0;
        if (!SendDatagram(datagram, twice ? 2 : 1, socket, srtp, &wire, &error)) {
            progress.End();
            fprintf(stderr, "%s: packet %zu: %s\n", program, stats.Packets() + 1, error.c_str());
            failed = true;
            return;
        }
        // How far the packet left behind the wall's time for its last sample.
        const double audio = static_cast<double>(recorded) / svtool::kSampleRate;
        stats.Add(static_cast<int>(pending.size()), datagram.size(), audio,
                  std::chrono::duration<double, std::milli>(Clock::now() - start).count() - audio * 1000);
        pending.clear();
        packetStart = recorded;
    };
    while (!svtool::Interrupted() && !failed && (target < 0 || recorded < target)) {
        if (!reader.Read(&pcm)) {
            stall.Look(false, true);
            if (o.duration > 0 && Clock::now() >= deadline) {
                cutShort = true;
                break;
            }
            stats.Write();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        stall.Look(true, true);
        const int want = encoder.FrameSamples();
        while (pcm.size() - used >= static_cast<size_t>(want) && (target < 0 || recorded < target)) {
            svtool::Frame frame;
            if (!encoder.Encode(pcm.data() + used, want, &frame)) {
                fprintf(stderr, "%s: the encoder refused a frame at %s\n", program,
                        svtool::FormatTime(static_cast<double>(recorded) / svtool::kSampleRate).c_str());
                failed = true;
                break;
            }
            used += static_cast<size_t>(want);
            pending.emplace_back(frame.data, frame.data + frame.length);
            recorded += frame.samples;
            if (static_cast<int>(pending.size()) == o.framesPerPacket)
                flush();
        }
        pcm.erase(pcm.begin(), pcm.begin() + static_cast<long>(used));
        used = 0;
        stats.Write();
        if (progress.Shown() && progress.Due())
            progress.Show(svtool::FormatTime(static_cast<double>(recorded) / svtool::kSampleRate) + "  " +
                          std::to_string(stats.Packets()) + " packets sent");
    }
    flush();  // a packet not yet full leaves with what it holds
    progress.End();
    SV_CloseAudioCapture(capture);
    stats.Write(true);
    if (failed)
        return 1;
    if (!o.quiet)
        printf("sent %zu packets (%zu frames, %zu bytes, %s recorded)%s\n", stats.Packets(), stats.Frames(),
               stats.Bytes(), svtool::FormatTime(static_cast<double>(recorded) / svtool::kSampleRate).c_str(),
               svtool::Interrupted() ? " (interrupted)" : "");
    if (cutShort) {
        fprintf(stderr, "%s: the input device delivered %s of the %s asked for; that was sent\n", program,
                svtool::FormatTime(static_cast<double>(recorded) / svtool::kSampleRate).c_str(),
                svtool::FormatTime(o.duration).c_str());
        return 1;
    }
    return svtool::Interrupted() ? 130 : 0;
}

// The socket to the destination and the SRTP session when asked for; false,
// having said why.
bool OpenNetwork(const Options& o, svrtp::UdpSocket& socket, svrtp::SrtpSession& srtp)
{
    std::string error;
    if (!socket.SetPeer({o.endpoint.Address(), o.endpoint.port}, &error) ||
        (!o.srtpKey.empty() &&
         !srtp.Start(svrtp::SrtpSession::Direction::kSend,
                     o.srtp32 ? svrtp::SrtpSuite::AesCm128HmacSha1_32 : svrtp::SrtpSuite::AesCm128HmacSha1_80,
                     o.srtpKey, &error))) {
        fprintf(stderr, "sonavex-send: %s\n", error.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options o = ParseOptions(argc, argv);
    std::string error;
    SendStats stats;
    if (!stats.Open(o.statsPath, &error)) {
        fprintf(stderr, "sonavex-send: %s\n", error.c_str());
        return 1;
    }
    svrtp::UdpSocket socket;
    svrtp::SrtpSession srtp;
    svrtp::Random random(o.seed);
    const uint32_t drawnSsrc = static_cast<uint32_t>(random.Next());
    const uint32_t ssrc = o.ssrc >= 0 ? static_cast<uint32_t>(o.ssrc) : drawnSsrc;

    if (o.capture) {
        const bool amr = o.codec == svtool::Codec::Amr;
        if (!amr && o.bandwidthEfficient) {
            fprintf(stderr, "sonavex-send: --bandwidth-efficient is for AMR; --codec voice sends voice-engine frames\n");
            return 2;
        }
        if (!OpenNetwork(o, socket, srtp))
            return 1;
        const int payloadType = o.payloadType >= 0 ? o.payloadType
                                                   : (amr ? svrtp::kDefaultAmrPayloadType : svrtp::kVoicePayloadType);
        return SendCaptured(o, payloadType, random, ssrc, socket, srtp, stats);
    }

    std::vector<StreamFrame> frames;
    int type = 0;
    if (!ReadFrames(o, &frames, &type, &error)) {
        fprintf(stderr, "sonavex-send: %s\n", error.c_str());
        return 1;
    }
    const bool amr = type == svtool::kPayloadAmr;
    if (!amr && o.bandwidthEfficient) {
        fprintf(stderr, "sonavex-send: --bandwidth-efficient is for AMR streams; %s holds voice-engine frames\n",
                o.input.c_str());
        return 2;
    }
    const int payloadType = o.payloadType >= 0 ? o.payloadType
                                               : (amr ? svrtp::kDefaultAmrPayloadType : svrtp::kVoicePayloadType);
    const std::vector<Packet> packets = Packetise(o, frames, type, payloadType, random, ssrc);

    svrtp::ImpairmentConfig impair;
    impair.seed = random.Next();
    impair.jitterMs = o.jitterMs;
    impair.lossPercent = o.lossPercent;
    impair.reorderPercent = o.reorderPercent;
    std::vector<double> due;
    for (const Packet& p : packets)
        due.push_back(p.dueMs);
    svrtp::ImpairmentPlan plan = svrtp::PlanDepartures(impair, due);
    if (o.stallMs > 0)
        for (svrtp::Departure& d : plan.departures)
            if (d.sendMs >= o.stallAtMs && d.sendMs < o.stallAtMs + o.stallMs)
                d.sendMs = o.stallAtMs + o.stallMs;
    if (!o.dropsPath.empty() && !WriteDrops(o.dropsPath, packets, plan, &error)) {
        fprintf(stderr, "sonavex-send: %s\n", error.c_str());
        return 1;
    }
    if (!OpenNetwork(o, socket, srtp))
        return 1;

    const double totalSeconds = static_cast<double>(frames.back().startSample + frames.back().samples) /
                                svtool::kSampleRate;
    if (!o.quiet)
        printf("sending %s: %zu frames (%s) in %zu packets, payload type %d, SSRC %u, to %s%s%s\n", o.input.c_str(),
               frames.size(), svtool::FormatTime(totalSeconds).c_str(), packets.size(), payloadType, ssrc,
               o.endpoint.ToString().c_str(), srtp.Started() ? ", SRTP " : "",
               srtp.Started() ? svrtp::SrtpSuiteName(o.srtp32 ? svrtp::SrtpSuite::AesCm128HmacSha1_32
                                                              : svrtp::SrtpSuite::AesCm128HmacSha1_80)
                              : "");
    return SendAll(o, packets, plan, socket, srtp, stats, totalSeconds);
}
