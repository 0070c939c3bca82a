// Many live AMR streams over RTP in one process, as a recorder client receives
// them: N streams (64 by default) sent over UDP loopback at real-time pace, one
// 20 ms frame per packet in the octet-aligned payload, into N sockets; one
// receive thread waits on all of them with one poll(), pushes each datagram
// into the stream's svrtp::Receiver, and the receiver's sink feeds the
// stream's decoder (SV_OpenSonavex live, pre-buffer 8) on its own virtual
// device at real-time pace. The streams' phases spread over the 20 ms.
//
// Every 10 ms the main thread looks at each queue as a host would: a stream
// that has started (more than its pre-buffer fed) and still has frames due,
// found with nothing queued (SV_AudioDecGetFrames == 0), has run dry. Such a
// sample also counts as the receive path's (rx_behind) when the sender had
// sent more of that stream than the decoder had been fed.
//
// Processor time of the receive thread (CLOCK_THREAD_CPUTIME_ID), per packet:
//   total     the whole thread: poll, recv, the receivers, the library
//   socket    poll and recv alone (total less the next two)
//   rx        parse and reorder: Receiver::Push and Poll less the sink's call
//   input     the bare SV_InputAudioBuffer calls for the same frames, timed in
//             the sink: the baseline
// The three parts are corrected by the cost of the clock reads that delimit
// them, measured first.
//
// PASS (exit 0) when no stream ran dry after it started, every frame sent was
// received and fed, and the receivers lost, dropped and concealed nothing;
// FAIL (exit 1) otherwise; exit 2 when a socket or decoder could not be had,
// or on a usage error.
//
//   rtp_streams [--streams N] [--seconds S]
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "amr_payload.h"
#include "live_streams.h"
#include "options.h"
#include "receiver.h"
#include "rtp_header.h"
#include "sonavex.h"
#include "udp.h"

namespace {

using benchlive::Bytes;
using benchlive::CpuSeconds;
using Clock = std::chrono::steady_clock;

const auto kFrame = std::chrono::milliseconds(20);
const auto kSample = std::chrono::milliseconds(10);
const auto kReport = std::chrono::seconds(10);
// How long the receive thread waits for stragglers once the sender is done.
const auto kDrain = std::chrono::seconds(1);
const int kPreBuffer = 8;
const int kWaitMsMax = 10;
const uint32_t kSsrcBase = 0x5EED0000;

struct Options {
    int streams = 64;
    double seconds = 60;
};

struct Stream {
    SV_DECODER handle = nullptr;
    svrtp::UdpSocket in;
    svrtp::UdpSocket out;
    std::unique_ptr<svrtp::Receiver> rx;
    Clock::time_point start; // when frame 0 is due
    int64_t frames = 0;      // the stream's length
    uint16_t seq0 = 0;
    uint32_t ts0 = 0;

    std::atomic<int64_t> sent{0};
    std::atomic<int64_t> received{0}; // datagrams taken from the socket
    std::atomic<int64_t> fed{0};      // received frames the library took
    // Receive thread only.
    int64_t concealed = 0; // frames made up for gaps, fed too
    int64_t refused = 0; // SV_InputAudioBuffer calls that did not return 1
    // Main thread only.
    int64_t underruns = 0;
    int64_t rxBehind = 0;
    int queueMin = INT_MAX;
    int queueMax = 0;
};

struct ReceiveCpu {
    double total = 0;
    double push = 0;  // Receiver::Push and Poll, the sink's calls included
    double input = 0; // the sink's SV_InputAudioBuffer calls
    int64_t pushes = 0;
    int64_t polls = 0;
    int64_t inputs = 0;
    int64_t wakes = 0;
    std::string error;
};

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Processor time of one clock read of the calling thread.
double ClockReadSeconds()
{
    const int n = 20000;
    const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < n - 1; ++i)
        CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    return (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0) / n;
}

// Sends every stream's frames, each when it is due; returns its processor time.
double Send(std::vector<Stream>& streams, const std::vector<Bytes>& payloads, std::string* error)
{
    const double c0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    Bytes datagram;
    datagram.reserve(svrtp::kRtpHeaderBytes + 64);
    for (;;) {
        bool more = false;
        Clock::time_point nextDue = Clock::time_point::max();
        for (size_t i = 0; i < streams.size(); ++i) {
            Stream& s = streams[i];
            for (int64_t k = s.sent.load(std::memory_order_relaxed); k < s.frames; ++k) {
                const Clock::time_point due = s.start + kFrame * k;
                if (due > Clock::now()) {
                    nextDue = std::min(nextDue, due);
                    more = true;
                    break;
                }
                svrtp::RtpPacket h;
                h.marker = k == 0;
                h.payloadType = svrtp::kDefaultAmrPayloadType;
                h.sequence = static_cast<uint16_t>(s.seq0 + k);
                h.timestamp = static_cast<uint32_t>(s.ts0 + static_cast<uint32_t>(k) * svrtp::kAmrFrameSamples);
                h.ssrc = kSsrcBase + static_cast<uint32_t>(i);
                const Bytes& p = payloads[static_cast<size_t>(k) % payloads.size()];
                svrtp::BuildRtpDatagram(h, p.data(), p.size(), &datagram);
                if (!s.out.Send(datagram.data(), datagram.size(), error))
                    return CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
                s.sent.store(k + 1, std::memory_order_relaxed);
            }
        }
        if (!more)
            break;
        std::this_thread::sleep_until(nextDue);
    }
    return CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
}

// Receives until the sender is done and every frame it sent has come in (or
// kDrain has passed since), then flushes the receivers.
void Receive(std::vector<Stream>& streams, const std::atomic<bool>& sendDone, ReceiveCpu* cpu)
{
    const double c0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    std::vector<pollfd> fds;
    for (Stream& s : streams)
        fds.push_back({s.in.Descriptor(), POLLIN, 0});
    uint8_t buffer[2048];
    Clock::time_point drainEnd = Clock::time_point::max();
    for (;;) {
        if (drainEnd == Clock::time_point::max() && sendDone.load())
            drainEnd = Clock::now() + kDrain;
        if (drainEnd != Clock::time_point::max()) {
            bool all = true;
            for (const Stream& s : streams)
                all = all && s.received.load(std::memory_order_relaxed) == s.sent.load(std::memory_order_relaxed);
            if (all || Clock::now() >= drainEnd)
                break;
        }
        int64_t now = NowMs();
        int wait = kWaitMsMax;
        for (const Stream& s : streams) {
            const int64_t w = s.rx->WaitMs(now);
            if (w >= 0)
                wait = static_cast<int>(std::min<int64_t>(wait, w));
        }
        const int ready = poll(fds.data(), fds.size(), wait);
        if (ready < 0 && errno != EINTR) {
            cpu->error = std::string("poll: ") + strerror(errno);
            break;
        }
        ++cpu->wakes;
        now = NowMs();
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0)
                continue;
            Stream& s = streams[i];
            size_t length = 0;
            int got;
            while ((got = s.in.Receive(buffer, sizeof buffer, 0, &length, &cpu->error)) == 1) {
                s.received.fetch_add(1, std::memory_order_relaxed);
                const double p0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                s.rx->Push(buffer, std::min(length, sizeof buffer), now);
                cpu->push += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - p0;
                ++cpu->pushes;
            }
            if (got < 0)
                break;
        }
        if (!cpu->error.empty())
            break;
        const double p0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        for (Stream& s : streams)
            s.rx->Poll(now);
        cpu->push += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - p0;
        ++cpu->polls;
    }
    for (Stream& s : streams)
        s.rx->Flush();
    cpu->total = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - c0;
}

Options ParseArgs(int argc, char** argv)
{
    Options opt;
    svtool::CommandLine line("rtp_streams", "Plays N live AMR streams received over RTP on the loopback in real "
                                            "time.\n");
    line.options = {
        svtool::Integer("--streams", "N", "streams at once, 1..512 (default 64)", &opt.streams, 1, 512),
        svtool::Number("--seconds", "S", "length of the run (default 60)", &opt.seconds, svtool::AtLeast(1),
                       "a number of seconds"),
    };
    line.Parse(argc, argv);
    return opt;
}

} // namespace

int main(int argc, char** argv)
{
    const Options opt = ParseArgs(argc, argv);
    benchlive::UseRealTimeVirtualDevice();

    // One frame per payload, packed once; the streams loop over them.
    const std::vector<Bytes> frames = benchlive::AmrFrames(4);
    std::vector<Bytes> payloads;
    for (const Bytes& f : frames) {
        const svrtp::ByteView view{f.data(), f.size()};
        Bytes p;
        if (!svrtp::PackAmrPayload(&view, 1, svrtp::AmrPacking::OctetAligned, &p) || p.size() > 64) {
            fprintf(stderr, "rtp_streams: an encoded frame does not pack\n");
            return 2;
        }
        payloads.push_back(p);
    }

    const int64_t perStream = static_cast<int64_t>(opt.seconds * 1000) / kFrame.count();
    ReceiveCpu cpu;
    const double clockRead = ClockReadSeconds();
    std::vector<Stream> streams(static_cast<size_t>(opt.streams));
    for (size_t i = 0; i < streams.size(); ++i) {
        Stream& s = streams[i];
        std::string error;
        svrtp::Endpoint local;
        if (!s.in.Bind(local, &error) || !s.out.SetPeer({svrtp::kLoopback, s.in.LocalPort()}, &error)) {
            fprintf(stderr, "rtp_streams: stream %zu: %s\n", i, error.c_str());
            return 2;
        }
        s.handle = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
        if (s.handle == nullptr) {
            fprintf(stderr, "rtp_streams: stream %zu: the decoder did not open\n", i);
            return 2;
        }
        s.frames = perStream;
        // Sequence numbers and timestamps that wrap on the way for some.
        s.seq0 = static_cast<uint16_t>(65000 + 977 * i);
        s.ts0 = static_cast<uint32_t>(0xFFF00000u + 0x10000u * i);
        svrtp::ReceiverConfig config;
        config.amrPayloadType = svrtp::kDefaultAmrPayloadType;
        s.rx.reset(new svrtp::Receiver(config, [&s, &cpu](const svrtp::ReceivedFrame& f) {
            const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            const int32_t r = SV_InputAudioBuffer(s.handle, f.data, f.length, f.type, f.stampMs, 1);
            cpu.input += CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - t0;
            ++cpu.inputs;
            if (r != 1)
                ++s.refused;
            else if (f.concealed)
                ++s.concealed;
            else
                s.fed.fetch_add(1, std::memory_order_relaxed);
        }));
    }

    printf("rtp_streams: %d AMR 12.2 streams over UDP loopback, 1 frame per packet (octet-aligned), "
           "%.0f s (%lld frames each), live decoders with a pre-buffer of %d on virtual devices in real time\n",
           opt.streams, opt.seconds, static_cast<long long>(perStream), kPreBuffer);
    const Clock::time_point t0 = Clock::now() + std::chrono::milliseconds(100);
    for (size_t i = 0; i < streams.size(); ++i)
        streams[i].start = t0 + kFrame * static_cast<int64_t>(i) / opt.streams;

    const double p0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    std::atomic<bool> sendDone{false};
    std::string sendError;
    double sendCpu = 0;
    std::thread receiver(Receive, std::ref(streams), std::cref(sendDone), &cpu);
    std::thread sender([&] {
        sendCpu = Send(streams, payloads, &sendError);
        sendDone.store(true);
    });

    // Sampling, as a host would, until the last frame is due.
    printf("%6s %9s %9s %9s %9s %9s\n", "t_s", "sent", "received", "fed", "underrun", "rx_behind");
    Clock::time_point nextReport = t0 + kReport;
    const Clock::time_point lastDue = t0 + kFrame * (perStream - 1) + kFrame;
    for (Clock::time_point next = t0 + kSample; next < lastDue && !sendDone.load(); next += kSample) {
        std::this_thread::sleep_until(next);
        for (Stream& s : streams) {
            const int64_t fed = s.fed.load(std::memory_order_relaxed);
            if (fed <= kPreBuffer || fed >= s.frames)
                continue;
            const int queued = SV_AudioDecGetFrames(s.handle);
            s.queueMin = std::min(s.queueMin, queued);
            s.queueMax = std::max(s.queueMax, queued);
            if (queued == 0) {
                ++s.underruns;
                if (s.sent.load(std::memory_order_relaxed) > s.fed.load(std::memory_order_relaxed))
                    ++s.rxBehind;
            }
        }
        if (next >= nextReport) {
            int64_t sent = 0, received = 0, fed = 0, underruns = 0, behind = 0;
            for (const Stream& s : streams) {
                sent += s.sent.load();
                received += s.received.load();
                fed += s.fed.load();
                underruns += s.underruns;
                behind += s.rxBehind;
            }
            printf("%6.0f %9lld %9lld %9lld %9lld %9lld\n", std::chrono::duration<double>(next - t0).count(),
                   static_cast<long long>(sent), static_cast<long long>(received), static_cast<long long>(fed),
                   static_cast<long long>(underruns), static_cast<long long>(behind));
            fflush(stdout);
            nextReport += kReport;
        }
    }
    sender.join();
    receiver.join();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double process = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - p0;

    printf("\n%6s %7s %8s %7s %6s %6s %5s %5s %9s %9s %6s %6s\n", "stream", "sent", "received", "fed", "lost",
           "late", "conc", "dup", "underrun", "rx_behind", "q_min", "q_max");
    bool ok = sendError.empty() && cpu.error.empty();
    int64_t sent = 0, received = 0, fed = 0, lost = 0, late = 0, underruns = 0, behind = 0;
    int queueMin = INT_MAX;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = streams[i];
        const svrtp::ReceiverStats& st = s.rx->Stats();
        printf("%6zu %7lld %8lld %7lld %6llu %6llu %5lld %5llu %9lld %9lld %6d %6d\n", i,
               static_cast<long long>(s.sent.load()), static_cast<long long>(s.received.load()),
               static_cast<long long>(s.fed.load()), static_cast<unsigned long long>(st.lost),
               static_cast<unsigned long long>(st.late), static_cast<long long>(s.concealed),
               static_cast<unsigned long long>(st.duplicates), static_cast<long long>(s.underruns),
               static_cast<long long>(s.rxBehind), s.queueMin == INT_MAX ? -1 : s.queueMin, s.queueMax);
        sent += s.sent.load();
        received += s.received.load();
        fed += s.fed.load();
        lost += static_cast<int64_t>(st.lost);
        late += static_cast<int64_t>(st.late);
        underruns += s.underruns;
        behind += s.rxBehind;
        queueMin = std::min(queueMin, s.queueMin);
        ok = ok && s.sent.load() == s.frames && s.received.load() == s.frames && s.fed.load() == s.frames &&
             st.lost == 0 && st.late == 0 && st.duplicates == 0 && st.Invalid() == 0 && s.concealed == 0 &&
             s.refused == 0 && s.underruns == 0;
    }
    for (Stream& s : streams)
        SV_CloseSonavex(s.handle);

    // Each timed span holds about one clock read's cost beyond what it
    // times; a push's span holds its inner input span's two reads as well.
    const double packets = static_cast<double>(std::max<int64_t>(received, 1));
    const double inputTrue = cpu.input - clockRead * static_cast<double>(cpu.inputs);
    const double pushTrue = cpu.push - clockRead * static_cast<double>(cpu.pushes + cpu.polls + 2 * cpu.inputs);
    const double rxTrue = pushTrue - inputTrue;
    const double timing = clockRead * static_cast<double>(2 * (cpu.pushes + cpu.polls + cpu.inputs));
    const double socketTrue = cpu.total - cpu.push - clockRead * static_cast<double>(cpu.pushes + cpu.polls);
    const auto us = [packets](double s) { return 1e6 * s / packets; };
    printf("\ntotals: %lld sent, %lld received, %lld fed, %lld lost, %lld late, %lld underruns "
           "(%lld with the receive path behind), shallowest queue after start %d\n",
           static_cast<long long>(sent), static_cast<long long>(received), static_cast<long long>(fed),
           static_cast<long long>(lost), static_cast<long long>(late), static_cast<long long>(underruns),
           static_cast<long long>(behind), queueMin == INT_MAX ? -1 : queueMin);
    printf("receive thread, processor time per packet (%lld packets, %lld wakes, clock read %.3f us):\n"
           "  total %.2f us = socket (poll, recv) %.2f + rx (parse, reorder) %.2f + input (bare "
           "SV_InputAudioBuffer) %.2f + clock reads %.2f\n"
           "  rx over input: %.3f; rx + input over input: %.3f\n",
           static_cast<long long>(received), static_cast<long long>(cpu.wakes), 1e6 * clockRead, us(cpu.total),
           us(socketTrue), us(rxTrue), us(inputTrue), us(timing), rxTrue / inputTrue,
           (rxTrue + inputTrue) / inputTrue);
    printf("sender %.2f us per packet; process %.2f cores over %.1f s\n", us(sendCpu), process / wall, wall);
    if (!sendError.empty())
        fprintf(stderr, "rtp_streams: sending: %s\n", sendError.c_str());
    if (!cpu.error.empty())
        fprintf(stderr, "rtp_streams: receiving: %s\n", cpu.error.c_str());
    printf("rtp_streams: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
