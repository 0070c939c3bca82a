// sonavex-relay: a network between a sender and its receivers, on the
// loopback. Every datagram that arrives (RTP or anything else) is delayed or
// dropped as a trace says and then sent on, unchanged, to every receiver at
// the same moment, so that any sender and any receiver, ours or another
// program's, meet exactly the same network. A log on the monotonic clock says
// when each datagram arrived and when it left, so that a receiver's output
// can be set against its input. It also writes the standard traces.
#include <errno.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "console.h"
#include "numbers.h"
#include "options.h"
#include "trace.h"
#include "udp.h"

namespace {

struct Options {
    std::string argument;  // the port to listen on, or with --generate the file
    svtool::Endpoint listen;
    std::vector<svtool::Endpoint> to;
    std::string tracePath;
    std::string logPath;
    bool logData = false;
    double idleSeconds = 3;
    std::string generate;
    double seconds = 0;
    bool quiet = false;
};

Options ParseOptions(int argc, char** argv)
{
    Options o;
    svtool::CommandLine line(
        "sonavex-relay",
        "Listens for UDP datagrams on [ADDR:]PORT (address 127.0.0.1 when left out) and\n"
        "sends each one on to every --to receiver, at once or as the trace says: the\n"
        "n-th datagram to arrive takes the trace's n-th line (a delay in ms, or\n"
        "'drop'; a stream longer than the trace meets it again from its start).\n"
        "Ends when nothing has come for --idle seconds after the first datagram, or\n"
        "on Ctrl-C. With --generate: writes a standard trace to FILE instead.\n");
    line.options = {
        {"--to", "[ADDR:]PORT", "a receiver (give it once for each)",
         [&o](const char* v) {
             svtool::Endpoint e;
             std::string why;
             if (!svtool::ParseEndpoint(v, &e, &why))
                 return "--to: the receiver " + why;
             o.to.push_back(e);
             return std::string();
         }},
        svtool::Text("--trace", "FILE", "delay or drop each datagram as FILE says (default: no\ndelay, no loss)",
                     &o.tracePath, "a file name"),
        svtool::Text("--log", "FILE", "write a line a datagram to FILE: its index, when it\n"
                                      "arrived and left (ms on the monotonic clock, or 'drop')\n"
                                      "and its length", &o.logPath, "a file name"),
        svtool::Flag("--log-data", "with --log: each datagram's bytes too, in hex", &o.logData),
        svtool::Duration("--idle", "SEC", "end when nothing came for SEC seconds (default 3)", &o.idleSeconds,
                         svtool::TimeUnit::Seconds, svtool::Above(0)),
        svtool::Choice("--generate", "write the standard trace of this name to FILE and end", &o.generate,
                       {{"T0", std::string("T0")}, {"T1", std::string("T1")}, {"T2", std::string("T2")},
                        {"T3", std::string("T3")}, {"T4", std::string("T4")}, {"T5", std::string("T5")}}),
        svtool::Duration("--seconds", "SEC", "with --generate: the stream time the trace covers\n"
                                             "(default 120 s; T5 600 s)", &o.seconds,
                         svtool::TimeUnit::Seconds, svtool::Above(0)),
        svtool::Flag("--quiet|-q", "no summary", &o.quiet),
    };
    line.arguments = {{"[ADDR:]PORT|FILE", &o.argument, "no port to listen on"}};
    line.Parse(argc, argv);
    if (!o.generate.empty()) {
        for (const char* option : {"--to", "--trace", "--log", "--log-data", "--idle"})
            if (line.Given(option))
                line.Fail(std::string(option) + " is for relaying, not with --generate");
        return o;
    }
    if (line.Given("--seconds"))
        line.Fail("--seconds is for --generate");
    if (o.logData && o.logPath.empty())
        line.Fail("--log-data needs --log");
    std::string why;
    if (!svtool::ParseEndpoint(o.argument, &o.listen, &why))
        line.Fail("the port to listen on: " + why);
    return o;
}

double MonotonicMs()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Held {
    double dueMs;
    uint64_t index;  // arrival order: ties leave in it
    double arrivedMs;
    std::vector<uint8_t> bytes;
    bool operator>(const Held& other) const
    {
        return dueMs != other.dueMs ? dueMs > other.dueMs : index > other.index;
    }
};

class Relay {
public:
    Relay(const Options& o, const svrelay::Trace* trace) : m_o(o), m_trace(trace) {}

    bool Open(std::string* error)
    {
        if (!m_in.Bind({m_o.listen.Address(), m_o.listen.port}, error))
            return false;
        for (const svtool::Endpoint& e : m_o.to) {
            m_out.emplace_back(new svrtp::UdpSocket);
            if (!m_out.back()->SetPeer({e.Address(), e.port}, error))
                return false;
        }
        if (!m_o.logPath.empty() && (m_log = fopen(m_o.logPath.c_str(), "w")) == nullptr) {
            *error = m_o.logPath + ": cannot create it: " + strerror(errno);
            return false;
        }
        if (m_log != nullptr)
            fputs("# sonavex-relay log: index arrived_ms left_ms|drop bytes [hex]; CLOCK_MONOTONIC\n", m_log);
        return true;
    }

    // Relays until idle or interrupted; the exit status.
    int Run()
    {
        svtool::CatchInterrupts();
        double lastArrivalMs = -1;
        while (!svtool::Interrupted()) {
            const double now = MonotonicMs();
            SendDue(now);
            if (lastArrivalMs >= 0 && m_held.empty() && now - lastArrivalMs > m_o.idleSeconds * 1000)
                break;
            // Wake for the next packet due, or at least every 50 ms to see
            // the idle limit and Ctrl-C.
            double waitMs = 50;
            if (!m_held.empty())
                waitMs = std::min(waitMs, std::max(0.0, m_held.top().dueMs - now));
            pollfd p = {m_in.Descriptor(), POLLIN, 0};
            const timespec wait = {static_cast<time_t>(waitMs / 1000),
                                   static_cast<long>(fmod(waitMs, 1000.0) * 1e6)};
            if (ppoll(&p, 1, &wait, nullptr) <= 0)
                continue;
            // Everything that is waiting, each with its own arrival time.
            for (;;) {
                size_t length = 0;
                std::string error;
                const int got = m_in.Receive(m_buffer, sizeof m_buffer, 0, &length, &error);
                if (got < 0) {
                    fprintf(stderr, "sonavex-relay: %s\n", error.c_str());
                    return 1;
                }
                if (got == 0)
                    break;
                lastArrivalMs = MonotonicMs();
                Arrived(std::min(length, sizeof m_buffer), lastArrivalMs);
            }
        }
        return Finish();
    }

private:
    void Arrived(size_t length, double nowMs)
    {
        const uint64_t index = m_arrived++;
        svrelay::TraceStep step;
        if (m_trace != nullptr)
            step = m_trace->Step(static_cast<size_t>(index));
        if (step.drop) {
            ++m_dropped;
            Log(index, nowMs, -1, m_buffer, length);
            return;
        }
        m_largestDelayMs = std::max(m_largestDelayMs, step.delayMs);
        m_held.push({nowMs + step.delayMs, index, nowMs, std::vector<uint8_t>(m_buffer, m_buffer + length)});
    }

    void SendDue(double nowMs)
    {
        while (!m_held.empty() && m_held.top().dueMs <= nowMs) {
            const Held& h = m_held.top();
            for (auto& socket : m_out) {
                std::string error;
                // A receiver that is not listening (yet, or any more) loses
                // the datagram, as on a network; the others still get it.
                if (!socket->Send(h.bytes.data(), h.bytes.size(), &error))
                    ++m_sendErrors;
            }
            ++m_sent;
            Log(h.index, h.arrivedMs, MonotonicMs(), h.bytes.data(), h.bytes.size());
            m_held.pop();
        }
    }

    void Log(uint64_t index, double arrivedMs, double leftMs, const uint8_t* data, size_t length)
    {
        if (m_log == nullptr)
            return;
        if (leftMs >= 0)
            fprintf(m_log, "%llu %.3f %.3f %zu", static_cast<unsigned long long>(index), arrivedMs, leftMs, length);
        else
            fprintf(m_log, "%llu %.3f drop %zu", static_cast<unsigned long long>(index), arrivedMs, length);
        if (m_o.logData) {
            fputc(' ', m_log);
            for (size_t i = 0; i < length; ++i)
                fprintf(m_log, "%02x", data[i]);
        }
        fputc('\n', m_log);
    }

    int Finish()
    {
        int status = 0;
        if (m_log != nullptr && (ferror(m_log) != 0 || fclose(m_log) != 0)) {
            fprintf(stderr, "sonavex-relay: %s: writing failed: %s\n", m_o.logPath.c_str(), strerror(errno));
            status = 1;
        }
        if (!m_o.quiet)
            printf("relayed %llu of %llu datagrams to %zu receivers, dropped %llu, left waiting %zu, largest "
                   "delay %.1f ms, sends refused %llu%s\n",
                   static_cast<unsigned long long>(m_sent), static_cast<unsigned long long>(m_arrived),
                   m_out.size(), static_cast<unsigned long long>(m_dropped), m_held.size(), m_largestDelayMs,
                   static_cast<unsigned long long>(m_sendErrors), svtool::Interrupted() ? " (interrupted)" : "");
        return svtool::Interrupted() && status == 0 ? 130 : status;
    }

    const Options& m_o;
    const svrelay::Trace* m_trace;
    svrtp::UdpSocket m_in;
    std::vector<std::unique_ptr<svrtp::UdpSocket>> m_out;
    FILE* m_log = nullptr;
    std::priority_queue<Held, std::vector<Held>, std::greater<Held>> m_held;
    uint64_t m_arrived = 0;
    uint64_t m_sent = 0;
    uint64_t m_dropped = 0;
    uint64_t m_sendErrors = 0;
    double m_largestDelayMs = 0;
    uint8_t m_buffer[65536];
};

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);
    std::string error;
    if (!o.generate.empty()) {
        svrelay::Trace trace;
        svrelay::MakeStandardTrace(o.generate, o.seconds, &trace);
        if (!svrelay::WriteTrace(o.argument, trace, &error)) {
            fprintf(stderr, "sonavex-relay: %s\n", error.c_str());
            return 1;
        }
        if (!o.quiet)
            printf("%s", trace.about.c_str());
        return 0;
    }
    svrelay::Trace trace;
    if (!o.tracePath.empty() && !svrelay::ReadTrace(o.tracePath, &trace, &error)) {
        fprintf(stderr, "sonavex-relay: %s\n", error.c_str());
        return 1;
    }
    Relay relay(o, o.tracePath.empty() ? nullptr : &trace);
    if (!relay.Open(&error)) {
        fprintf(stderr, "sonavex-relay: %s\n", error.c_str());
        return 1;
    }
    if (!o.quiet) {
        printf("relaying %s to %zu receivers%s%s\n", o.listen.ToString().c_str(), o.to.size(),
               o.tracePath.empty() ? "" : " through ", o.tracePath.c_str());
        fflush(stdout);
    }
    return relay.Run();
}
