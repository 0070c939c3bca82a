// sonavex-relay and what measures a receiver behind it: trace files and the
// standard traces, datagrams delayed, dropped and fanned out as a trace says
// (with sonavex-send --dtx leaving its pauses out), and playout-score's
// figures for an output whose faults are known.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <thread>

#include "test_player_common.h"
#include "test_rtp_common.h"
#include "trace.h"
#include "udp.h"

namespace {

// A port for each run: the process id spreads parallel test programs apart.
int Port(int n) { return 24000 + (static_cast<int>(getpid()) % 1000) * 6 + n; }

struct LogLine {
    long index;
    double arrivedMs;
    double leftMs;  // -1: dropped
    std::string hex;
};

std::vector<LogLine> ReadRelayLog(const std::string& path)
{
    std::vector<LogLine> lines;
    std::istringstream in(ReadText(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream f(line);
        LogLine l;
        std::string left, bytes;
        f >> l.index >> l.arrivedMs >> left >> bytes >> l.hex;
        l.leftMs = left == "drop" ? -1 : atof(left.c_str());
        lines.push_back(l);
    }
    return lines;
}

std::string Hex(const rtptest::Bytes& b)
{
    std::string s;
    char two[3];
    for (uint8_t c : b) {
        snprintf(two, sizeof two, "%02x", c);
        s += two;
    }
    return s;
}

// -------------------------------------------------------------- trace files

TEST(RelayTraceTest, ReadsDelaysDropsAndComments)
{
    const std::string path = "/tmp/svrelay-trace-" + std::to_string(getpid());
    std::ofstream(path) << "# a trace\n\n  12.5 \ndrop\n0\n# end\n600000\n";
    svrelay::Trace trace;
    std::string error;
    ASSERT_TRUE(svrelay::ReadTrace(path, &trace, &error)) << error;
    ASSERT_EQ(trace.steps.size(), 4u);
    EXPECT_DOUBLE_EQ(trace.steps[0].delayMs, 12.5);
    EXPECT_TRUE(trace.steps[1].drop);
    EXPECT_DOUBLE_EQ(trace.Step(6).delayMs, 0);  // the trace again from its start
    EXPECT_EQ(trace.about, " a trace\n end\n");
    remove(path.c_str());
}

TEST(RelayTraceTest, AMalformedFileIsRefusedWithItsLine)
{
    const std::string path = "/tmp/svrelay-bad-" + std::to_string(getpid());
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"1\n2\nlate\n", ":3: 'late' is neither a delay"},
        {"5\n-1\n", ":2: '-1' is neither"},
        {"600001\n", ":1: '600001'"},
        {"12ms\n", ":1: '12ms'"},
        {"nan\n", ":1: 'nan'"},
        {"# only a comment\n\n", ": no packets in it"},
    };
    for (const auto& c : cases) {
        std::ofstream(path) << c.text;
        svrelay::Trace trace;
        std::string error;
        EXPECT_FALSE(svrelay::ReadTrace(path, &trace, &error)) << c.text;
        EXPECT_EQ(error.find(path), 0u) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    remove(path.c_str());
    svrelay::Trace trace;
    std::string error;
    EXPECT_FALSE(svrelay::ReadTrace(path, &trace, &error));
    EXPECT_NE(error.find("cannot open it"), std::string::npos) << error;
}

// What each standard trace promises, over its whole length.
TEST(RelayTraceTest, StandardTracesAreWhatTheySay)
{
    for (const std::string& name : svrelay::StandardTraceNames()) {
        SCOPED_TRACE(name);
        svrelay::Trace a, b;
        ASSERT_TRUE(svrelay::MakeStandardTrace(name, 0, &a));
        ASSERT_TRUE(svrelay::MakeStandardTrace(name, 0, &b));
        const double packetMs = svrelay::PacketMs(name);
        const double seconds = name == "T5" ? 600 : 120;
        ASSERT_EQ(a.steps.size(), static_cast<size_t>(ceil(seconds * 1000 / packetMs)));
        std::vector<double> delays;
        size_t drops = 0, reordered = 0;
        double lastLeave = -1;
        for (size_t i = 0; i < a.steps.size(); ++i) {
            EXPECT_EQ(a.steps[i].drop, b.steps[i].drop);
            EXPECT_EQ(a.steps[i].delayMs, b.steps[i].delayMs);
            if (a.steps[i].drop) {
                ++drops;
                continue;
            }
            const double leave = static_cast<double>(i) * packetMs + a.steps[i].delayMs;
            reordered += leave < lastLeave;
            lastLeave = std::max(lastLeave, leave);
            delays.push_back(a.steps[i].delayMs);
            if (name == "T2") {
                const double at = static_cast<double>(i) * packetMs;
                const double into = fmod(at - 2000, 10000);
                if (at >= 2000 && into < 300) {
                    EXPECT_NEAR(leave, at - into + 300, 0.5) << "packet " << i << " in a stall";
                }
            }
        }
        std::sort(delays.begin(), delays.end());
        const double p95 = delays[delays.size() * 95 / 100];
        const double share = 100.0 / static_cast<double>(a.steps.size());
        if (name == "T1") {
            EXPECT_NEAR(p95, 60, 15);
            EXPECT_NEAR(static_cast<double>(drops) * share, 1.0, 0.3);
            EXPECT_NEAR(static_cast<double>(reordered) * share, 0.5, 0.25);
        } else {
            EXPECT_EQ(drops, 0u);
            EXPECT_EQ(reordered, 0u);
        }
        const double largest = name == "T0" ? 0 : name == "T3" ? 100 : name == "T4" ? 20 : name == "T5" ? 10 : 300;
        EXPECT_LE(delays.back(), largest);
        EXPECT_NE(a.about.find(name + ":"), std::string::npos);
    }
    svrelay::Trace t;
    EXPECT_FALSE(svrelay::MakeStandardTrace("T9", 0, &t));
}

// ------------------------------------------------------------- the relay

class RelayTest : public PlayerTest {
protected:
    // Starts a program with its output in `out`; its process id.
    pid_t Spawn(const std::vector<std::string>& args, const std::string& out) const
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    // Waits (bounded) until `path` holds `text`.
    static bool WaitFor(const std::string& path, const std::string& text)
    {
        for (int i = 0; i < 200; ++i) {
            if (ReadText(path).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }
    static int Finish(pid_t pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(RelayTest, DelaysDropsAndFansOutAnyDatagram)
{
    std::ofstream(Temp("t.trace")) << "0\n60\ndrop\n0\n";
    svrtp::UdpSocket a, b, sender;
    std::string error;
    ASSERT_TRUE(a.Bind({svrtp::kLoopback, Port(1)}, &error)) << error;
    ASSERT_TRUE(b.Bind({svrtp::kLoopback, Port(2)}, &error)) << error;
    const pid_t relay = Spawn({SV_RELAY_EXE, std::to_string(Port(0)), "--to", std::to_string(Port(1)), "--to",
                               std::to_string(Port(2)), "--trace", Temp("t.trace"), "--log", Temp("relay.log"),
                               "--log-data", "--idle", "0.5"},
                              Temp("relay.out"));
    ASSERT_TRUE(WaitFor(Temp("relay.out"), "relaying")) << ReadText(Temp("relay.out"));
    ASSERT_TRUE(sender.SetPeer({svrtp::kLoopback, Port(0)}, &error)) << error;
    // Not RTP, RTP, anything, an empty datagram, and the fifth meets the
    // trace's first line again.
    const std::vector<rtptest::Bytes> sent = {
        {'n', 'o', 't', ' ', 'R', 'T', 'P'}, rtptest::Header(7, 160), {0xFF}, {}, {1, 2, 3}};
    for (const rtptest::Bytes& d : sent)
        ASSERT_TRUE(sender.Send(d.data(), d.size(), &error)) << error;
    // The second is held 60 ms: the fourth and the fifth overtake it.
    const std::vector<size_t> order = {0, 3, 4, 1};
    for (svrtp::UdpSocket* socket : {&a, &b}) {
        for (size_t want : order) {
            uint8_t got[64];
            size_t length = 0;
            ASSERT_EQ(socket->Receive(got, sizeof got, 5000, &length, &error), 1) << "datagram " << want;
            EXPECT_EQ(rtptest::Bytes(got, got + length), sent[want]) << "datagram " << want;
        }
    }
    ASSERT_EQ(Finish(relay), 0) << ReadText(Temp("relay.out"));
    EXPECT_NE(ReadText(Temp("relay.out")).find("relayed 4 of 5 datagrams to 2 receivers, dropped 1"),
              std::string::npos)
        << ReadText(Temp("relay.out"));
    std::map<long, LogLine> log;
    for (const LogLine& l : ReadRelayLog(Temp("relay.log")))
        log[l.index] = l;
    ASSERT_EQ(log.size(), sent.size());
    EXPECT_EQ(log[2].leftMs, -1);
    EXPECT_GE(log[1].leftMs, log[1].arrivedMs + 60);
    for (long i = 0; i < 5; ++i)
        EXPECT_EQ(log[i].hex, Hex(sent[static_cast<size_t>(i)])) << i;
}

TEST_F(RelayTest, UsageMistakesAndMissingTracesAreRefused)
{
    EXPECT_EQ(Run(SV_RELAY_EXE, "").status, 2);
    EXPECT_EQ(Run(SV_RELAY_EXE, "5000 --log-data").status, 2);
    EXPECT_EQ(Run(SV_RELAY_EXE, "--generate T1 --to 5000 x.trace").status, 2);
    const Result missing = Run(SV_RELAY_EXE, "5000 --trace '" + Temp("none.trace") + "'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find(Temp("none.trace") + ": cannot open it"), std::string::npos) << missing.err;
    // What --generate writes, the relay reads back.
    ASSERT_EQ(Run(SV_RELAY_EXE, "--generate T3 --seconds 7 -q '" + Temp("t3.trace") + "'").status, 0);
    svrelay::Trace trace;
    std::string error;
    ASSERT_TRUE(svrelay::ReadTrace(Temp("t3.trace"), &trace, &error)) << error;
    EXPECT_EQ(trace.steps.size(), 10u);
}

// A sender in discontinuous transmission: nothing for the no-data frames of
// a pause, the sequence unbroken, the timestamp telling the gap.
TEST_F(RelayTest, SenderLeavesPausesOutInDiscontinuousTransmission)
{
    const pid_t relay = Spawn({SV_RELAY_EXE, std::to_string(Port(3)), "--log", Temp("relay.log"), "--log-data",
                               "--idle", "0.5"},
                              Temp("relay.out"));
    ASSERT_TRUE(WaitFor(Temp("relay.out"), "relaying"));
    const Result send = Run(SV_SEND_EXE, "--dtx --speed 20 -q '" + Sample("speech-dtx.amr") + "' " +
                                             std::to_string(Port(3)));
    ASSERT_EQ(send.status, 0) << send.err;
    ASSERT_EQ(Finish(relay), 0);
    const std::vector<codectest::AmrFrame> frames = AmrFrames(ReadBytes(Sample("speech-dtx.amr")));
    std::vector<uint32_t> sentAt;  // frame index of each frame that had to go
    for (size_t i = 0; i < frames.size(); ++i)
        if ((frames[i][0] >> 3 & 0x0F) != svrtp::kAmrFrameTypeNoData)
            sentAt.push_back(static_cast<uint32_t>(i));
    const std::vector<LogLine> log = ReadRelayLog(Temp("relay.log"));
    ASSERT_EQ(log.size(), sentAt.size());
    ASSERT_LT(sentAt.size(), frames.size());
    svrtp::RtpPacket first;
    for (size_t i = 0; i < log.size(); ++i) {
        std::vector<uint8_t> d;
        for (size_t k = 0; k + 1 < log[i].hex.size(); k += 2)
            d.push_back(static_cast<uint8_t>(strtoul(log[i].hex.substr(k, 2).c_str(), nullptr, 16)));
        svrtp::RtpPacket p;
        ASSERT_EQ(svrtp::ParseRtp(d.data(), d.size(), &p), svrtp::RtpError::None);
        if (i == 0)
            first = p;
        EXPECT_EQ(static_cast<uint16_t>(p.sequence - first.sequence), i);
        EXPECT_EQ(p.timestamp - first.timestamp, (sentAt[i] - sentAt[0]) * 160) << "packet " << i;
    }
}

// ------------------------------------------------------------ the measure

// A receiver's output made by hand from the reference decode, with known
// faults: playout-score must find each of them, and the delays it was given.
TEST_F(RelayTest, ScoreFindsWhatAnOutputAddedAndLeftOut)
{
    const std::vector<codectest::AmrFrame> frames = AmrFrames(ReadBytes(Sample("speech.amr")));
    ASSERT_GT(frames.size(), 300u);
    // Packet i left the relay at 1000 + 20 i ms; packet 50 was dropped.
    const size_t kLost = 50;
    std::ofstream log(Temp("relay.log"));
    std::vector<codectest::AmrFrame> heard;
    for (size_t i = 0; i < frames.size(); ++i) {
        const rtptest::Bytes packet =
            rtptest::Cat(rtptest::Header(static_cast<int>(i), static_cast<uint32_t>(1000 + 160 * i)),
                         rtptest::AmrPayload({rtptest::Bytes(frames[i].begin(), frames[i].end())}));
        const double at = 1000 + 20.0 * static_cast<double>(i);
        log << i << " " << at << " ";
        if (i == kLost)
            log << "drop";
        else
            log << at;
        log << " " << packet.size() << " " << Hex(packet) << "\n";
        heard.push_back(i == kLost ? codectest::AmrFrame{svrtp::kAmrNoDataFrame} : frames[i]);
    }
    log.close();
    const std::vector<short> reference = codectest::OpencoreDecode(heard);
    // The output: 30 slots of silence, frames 0..149 (the lost one
    // concealed as the reference has it), 10 slots of silence, frames
    // 150..199, then 200..209 left out, and the rest.
    std::vector<short> out(30 * 160, 0);
    const auto add = [&](size_t from, size_t to) {
        out.insert(out.end(), reference.begin() + static_cast<long>(from * 160),
                   reference.begin() + static_cast<long>(to * 160));
    };
    add(0, 150);
    out.resize(out.size() + 10 * 160, 0);
    add(150, 200);
    add(210, frames.size());
    Bytes wav = SilentWav(1, 8000, static_cast<uint32_t>(out.size()));
    memcpy(wav.data() + 44, out.data(), out.size() * 2);
    WriteBytes(Temp("out.wav"), wav);
    // The output's first sample played at 1000 ms: frame 0 at 1600 ms,
    // 600 ms after it left, 200 ms of it added before the device's 400.
    const Result r = Run(SV_SCORE_EXE, "--log '" + Temp("relay.log") + "' --wav '" + Temp("out.wav") +
                                           "' --start-ms 1000");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* figure : {"lost=1 ", "concealed_beyond=10 ", "interruptions=1 ", "jitter_interruptions=1 ",
                               "dropped=10 ", "p95_ms=400.0 ", "max_ms=400.0 "})
        EXPECT_NE(r.out.find(figure), std::string::npos) << figure << " in " << r.out;
    // 149 frames at 200 ms, 50 at 400, and the rest at 200 again.
    const double count = static_cast<double>(frames.size()) - 11;
    const double mean = (200 * (count - 50) + 400 * 50) / count;
    char text[40];
    snprintf(text, sizeof text, "mean_ms=%.1f ", mean);
    EXPECT_NE(r.out.find(text), std::string::npos) << text << " in " << r.out;
    // The same log through Speex's jitter buffer: a clean stream but for the
    // one loss, played with nothing beyond it concealed for long.
    const Result speex = Run(SV_SCORE_EXE, "--log '" + Temp("relay.log") + "' --speex");
    if (speex.status == 77)
        GTEST_SKIP() << speex.out;
    ASSERT_EQ(speex.status, 0) << speex.err;
    EXPECT_NE(speex.out.find(" interruptions=0 "), std::string::npos) << speex.out;
}

} // namespace
