// sonavex-send end to end, over a real UDP socket on the loopback: what a
// receiver makes of its packets is the file's frames, in order, at their
// stamps, through packing, reordering, jitter and loss; and its refusals.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "impairment.h"
#include "receiver.h"
#include "udp.h"

namespace {

typedef std::vector<uint8_t> Bytes;

struct Outcome {
    int status = -1;
    std::string output;
};

Outcome Command(const std::string& args)
{
    Outcome r;
    FILE* p = popen((std::string(SV_SEND_EXE) + " " + args + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct Stream {
    std::string path;
    std::map<int64_t, Bytes> byStamp; // each frame at its stamp, the first at 1000
};

void WriteFile(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
}

// 150 frames of every AMR type the format defines, bodies drawn at random.
Stream AmrFile(const std::string& dir)
{
    static const int kBody[] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0};
    static const int kType[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 15};
    svrtp::Random random(11);
    Stream s{dir + "/stream.amr", {}};
    Bytes file = {'#', '!', 'A', 'M', 'R', '\n'};
    for (int i = 0; i < 150; ++i) {
        const int k = i % 13 < 10 ? i % 13 : 7;
        Bytes f(1 + kBody[k]);
        f[0] = static_cast<uint8_t>(kType[k] << 3 | 0x04);
        for (size_t b = 1; b < f.size(); ++b)
            f[b] = static_cast<uint8_t>(random.Next());
        // The bits past the frame's last in its last byte are zero, as the
        // format has them.
        const int bits = svrtp::AmrFrameBits(kType[k]);
        if (bits % 8 != 0)
            f.back() &= static_cast<uint8_t>(0xFF << (8 - bits % 8));
        file.insert(file.end(), f.begin(), f.end());
        s.byStamp[1000 + 20 * i] = f;
    }
    WriteFile(s.path, file);
    return s;
}

// 80 voice frames of 160 and 320 samples, codes drawn at random.
Stream VoiceFile(const std::string& dir)
{
    svrtp::Random random(12);
    Stream s{dir + "/stream.ve", {}};
    Bytes file;
    int64_t at = 0;
    for (int i = 0; i < 80; ++i) {
        const int n = i % 3 == 0 ? 320 : 160;
        Bytes f(8 + n / 2);
        for (uint8_t& b : f)
            b = static_cast<uint8_t>(random.Next());
        f[0] = 0xA5;
        f[1] = 3;
        f[2] = static_cast<uint8_t>(n);
        f[3] = static_cast<uint8_t>(n >> 8);
        f[6] = 0;
        f[7] = 0;
        file.insert(file.end(), f.begin(), f.end());
        s.byStamp[1000 + at / 8] = f;
        at += n;
    }
    WriteFile(s.path, file);
    return s;
}

class RtpLoopback : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/sv_rtp_loopbackXXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override
    {
        unlink((m_dir + "/stream.amr").c_str());
        unlink((m_dir + "/stream.ve").c_str());
        unlink((m_dir + "/bad.ve").c_str());
        rmdir(m_dir.c_str());
    }
    std::string m_dir;
};

struct Received {
    int type;
    Bytes bytes;
    int64_t stamp;
    bool concealed;
};

TEST_F(RtpLoopback, ReceiverGetsTheFilesFrames)
{
    const Stream amr = AmrFile(m_dir), voice = VoiceFile(m_dir);
    const struct {
        const char* name;
        const Stream& stream;
        std::string args;
        svrtp::AmrPacking packing;
    } cases[] = {
        {"AMR, a frame a packet", amr, "", svrtp::AmrPacking::OctetAligned},
        {"AMR, five frames a packet, bandwidth-efficient, reordered", amr,
         "--frames-per-packet 5 --bandwidth-efficient --reorder 30 --seed 3", svrtp::AmrPacking::BandwidthEfficient},
        // Seed 5 keeps the first packet, from which the stamps count.
        {"AMR, two frames a packet, lossy", amr, "--frames-per-packet 2 --loss 20 --seed 5",
         svrtp::AmrPacking::OctetAligned},
        {"voice, three frames a packet, jittered", voice, "--frames-per-packet 3 --jitter 80 --seed 9",
         svrtp::AmrPacking::OctetAligned},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        svrtp::UdpSocket socket;
        std::string error;
        ASSERT_TRUE(socket.Bind({svrtp::kLoopback, 0}, &error)) << error;

        std::vector<Received> got;
        svrtp::ReceiverConfig config;
        config.amrPacking = c.packing;
        svrtp::Receiver rx(config, [&](const svrtp::ReceivedFrame& f) {
            got.push_back({f.type, Bytes(f.data, f.data + f.length), f.stampMs, f.concealed});
        });
        std::atomic<bool> done{false};
        Outcome sender;
        std::thread send([&] {
            sender = Command("--speed 0 " + c.args + " " + c.stream.path + " " + std::to_string(socket.LocalPort()));
            done = true;
        });
        // The receiver's clock is the packet count: the test is about what
        // arrives, not when, and the hold never expires under it.
        int64_t now = 0;
        uint8_t buf[65536];
        for (int idle = 0; idle < 4;) {
            size_t length = 0;
            const int r = socket.Receive(buf, sizeof buf, 100, &length, &error);
            ASSERT_GE(r, 0) << error;
            if (r == 1)
                rx.Push(buf, length, ++now);
            else if (done)
                ++idle;
        }
        send.join();
        rx.Flush();
        ASSERT_EQ(sender.status, 0) << sender.output;

        const svrtp::ReceiverStats& s = rx.Stats();
        EXPECT_EQ(s.Invalid(), 0u);
        EXPECT_EQ(s.late, 0u);
        EXPECT_EQ(s.duplicates, 0u);
        ASSERT_FALSE(got.empty());
        // Every frame at its stamp, received or made up for a lost packet;
        // a lossless run ends with the file's last frame.
        auto expected = c.stream.byStamp.begin();
        size_t concealed = 0;
        for (const Received& r : got) {
            ASSERT_NE(expected, c.stream.byStamp.end()) << "more frames than the file has";
            EXPECT_EQ(r.stamp, expected->first);
            if (r.concealed)
                ++concealed;
            else
                EXPECT_EQ(r.bytes, expected->second) << "at stamp " << r.stamp;
            ++expected;
        }
        if (c.args.find("--loss") == std::string::npos) {
            EXPECT_EQ(concealed, 0u);
            EXPECT_EQ(got.size(), c.stream.byStamp.size());
        } else {
            EXPECT_GT(concealed, 0u);
            EXPECT_EQ(concealed % 2, 0u) << "whole packets of two frames";
        }
        if (c.args.find("--reorder") != std::string::npos) {
            EXPECT_GT(s.reordered, 0u);
        }
    }
}

TEST_F(RtpLoopback, SenderRefusals)
{
    const std::string amr = AmrFile(m_dir).path, voice = VoiceFile(m_dir).path;
    WriteFile(m_dir + "/bad.ve", {0xA5, 3, 0xFF, 0x7F, 0, 0, 0, 0});
    const struct {
        std::string args;
        int status;
        std::string says;
    } cases[] = {
        {amr, 2, "no destination port"},
        {amr + " 0", 2, "destination"},
        {"--frames-per-packet 257 " + amr + " 5004", 2, "--frames-per-packet"},
        {"--loss 101 " + amr + " 5004", 2, "--loss"},
        {"--speed -1 " + amr + " 5004", 2, "--speed"},
        {"--bandwidth-efficient " + voice + " 5004", 2, "for AMR streams"},
        {m_dir + "/bad.ve 5004", 1, "bad.ve: byte 0: frame of 32767 samples"},
        {m_dir + "/missing.amr 5004", 1, "missing.amr: cannot open"},
        // Talking back: the input device is the source, and a file's options do not apply.
        {"--capture 5004 " + amr, 2, "no FILE or destination"},
        {"--capture 5004 --loss 5", 2, "--loss is for stream files"},
        {"--amr-mode 3 " + amr + " 5004", 2, "--amr-mode is for --capture"},
        {"--capture 5004 --codec voice --bandwidth-efficient", 2, "--bandwidth-efficient is for AMR"},
        {"--capture 5004 --source " + m_dir + "/missing.wav", 1, "--source " + m_dir + "/missing.wav"},
        {"--capture 5004 --stats " + m_dir + "/no/such/dir.csv", 1, "dir.csv: cannot create it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = Command(c.args);
        EXPECT_EQ(r.status, c.status) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    }
}

} // namespace
