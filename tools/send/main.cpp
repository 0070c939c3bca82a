// sonavex-send: sends a compressed stream file as RTP over UDP at the
// stream's own pace, the way a recorder sends a live stream: AMR-NB as RFC
// 4867 has it, voice-engine frames as docs/rtp-voice-payload.md does. For
// tests and demonstrations it makes a network's trouble up from a seed, so an
// impaired run can be repeated exactly: jitter, loss and reordering.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "amr_payload.h"
#include "console.h"
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
    bool quiet = false;
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
                             "send the same packets at the same moments, in the same order.\n");
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
        svtool::Flag("--quiet|-q", "no progress and no summary", &o.quiet),
    };
    line.arguments = {{"FILE", &o.input, "no input file"}, {"[ADDR:]PORT", &o.to, "no destination port"}};
    line.Parse(argc, argv);
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
        // The reader hands out whole frames only, so packing cannot fail.
        if (type == svtool::kPayloadAmr)
            svrtp::PackAmrPayload(views.data(), views.size(),
                                  o.bandwidthEfficient ? svrtp::AmrPacking::BandwidthEfficient
                                                       : svrtp::AmrPacking::OctetAligned,
                                  &payload);
        else
            svrtp::PackVoicePayload(views.data(), views.size(), &payload);
        svrtp::RtpPacket header;
        header.marker = packets.empty();
        header.payloadType = payloadType;
        header.sequence = static_cast<uint16_t>(firstSeq + packets.size());
        header.timestamp = static_cast<uint32_t>(firstTs + frames[at].startSample);
        header.ssrc = ssrc;
        Packet p;
        svrtp::BuildRtpDatagram(header, payload.data(), payload.size(), &p.datagram);
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

// Sends the packets as the plan has them leave, at the configured pace;
// returns the exit status.
int SendAll(const Options& o, const std::vector<Packet>& packets, const svrtp::ImpairmentPlan& plan,
            svrtp::UdpSocket& socket, svrtp::SrtpSession& srtp, double totalSeconds)
{
    std::string error;
    std::vector<uint8_t> wire;
    size_t resent = 0;
    svtool::CatchInterrupts();
    svtool::ProgressLine progress(!o.quiet, std::chrono::seconds(1));

    size_t sent = 0;
    size_t sentFrames = 0;
    size_t bytes = 0;
    const Clock::time_point start = Clock::now();
    for (const svrtp::Departure& d : plan.departures) {
        if (o.speed > 0) {
            const auto at = start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double, std::milli>(d.sendMs / o.speed));
            // Sleep in short steps, so that Ctrl-C is seen at once.
            while (!svtool::Interrupted() && Clock::now() < at)
                std::this_thread::sleep_until(std::min(at, Clock::now() + std::chrono::milliseconds(50)));
        }
        if (svtool::Interrupted())
            break;
        const Packet& p = packets[d.index];
        wire.assign(p.datagram.begin(), p.datagram.end());
        size_t length = wire.size();
        if (srtp.Started()) {
            wire.resize(length + svrtp::kSrtpMaxTrailer);
            if (!srtp.Protect(wire.data(), &length, wire.size())) {
                progress.End();
                fprintf(stderr, "sonavex-send: packet %zu of %zu: SRTP could not protect it\n", sent + 1,
                        plan.departures.size());
                return 1;
            }
        }
        const bool twice = o.resendEvery > 0 && (sent + 1) % static_cast<size_t>(o.resendEvery) == 0;
        for (int copy = 0; copy < (twice ? 2 : 1); ++copy) {
            if (!socket.Send(wire.data(), length, &error)) {
                progress.End();
                fprintf(stderr, "sonavex-send: packet %zu of %zu: %s\n", sent + 1, plan.departures.size(),
                        error.c_str());
                return 1;
            }
        }
        resent += twice;
        ++sent;
        sentFrames += static_cast<size_t>(p.frames);
        bytes += p.datagram.size();
        if (progress.Shown() && progress.Due())
            progress.Show(svtool::FormatTime(p.dueMs / 1000) + " / " + svtool::FormatTime(totalSeconds) + "  " +
                          std::to_string(sent) + " packets sent");
    }
    progress.End();
    if (!o.quiet) {
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        printf("sent %zu packets (%zu frames, %zu bytes) in %.2f s%s; dropped by --loss %zu, reordered %zu "
               "(out of order %zu), sent twice %zu\n",
               sent, sentFrames, bytes, wall, svtool::Interrupted() ? " (interrupted)" : "", plan.dropped,
               plan.swapped, plan.outOfOrder, resent);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);

    std::vector<StreamFrame> frames;
    int type = 0;
    std::string error;
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

    svrtp::Random random(o.seed);
    const uint32_t drawnSsrc = static_cast<uint32_t>(random.Next());
    const uint32_t ssrc = o.ssrc >= 0 ? static_cast<uint32_t>(o.ssrc) : drawnSsrc;
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

    svrtp::UdpSocket socket;
    if (!socket.SetPeer({o.endpoint.Address(), o.endpoint.port}, &error)) {
        fprintf(stderr, "sonavex-send: %s\n", error.c_str());
        return 1;
    }
    svrtp::SrtpSession srtp;
    if (!o.srtpKey.empty() &&
        !srtp.Start(svrtp::SrtpSession::Direction::kSend,
                    o.srtp32 ? svrtp::SrtpSuite::AesCm128HmacSha1_32 : svrtp::SrtpSuite::AesCm128HmacSha1_80, o.srtpKey,
                    &error)) {
        fprintf(stderr, "sonavex-send: %s\n", error.c_str());
        return 1;
    }

    const double totalSeconds = static_cast<double>(frames.back().startSample + frames.back().samples) /
                                svtool::kSampleRate;
    if (!o.quiet)
        printf("sending %s: %zu frames (%s) in %zu packets, payload type %d, SSRC %u, to %s%s%s\n", o.input.c_str(),
               frames.size(), svtool::FormatTime(totalSeconds).c_str(), packets.size(), payloadType, ssrc,
               o.endpoint.ToString().c_str(), srtp.Started() ? ", SRTP " : "",
               srtp.Started() ? svrtp::SrtpSuiteName(o.srtp32 ? svrtp::SrtpSuite::AesCm128HmacSha1_32
                                                              : svrtp::SrtpSuite::AesCm128HmacSha1_80)
                              : "");
    return SendAll(o, packets, plan, socket, srtp, totalSeconds);
}
