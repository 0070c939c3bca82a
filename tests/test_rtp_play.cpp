// sonavex-play receiving live streams over RTP on the loopback: from our own
// sender, with and without a network's trouble, and from a real peer (ffmpeg
// relaying an .amr file). What the virtual device played is compared with the
// reference decode sample for sample; the statistics show the library's live
// cut and latency trim as a host sees them.
#include <arpa/inet.h>
#include <ctype.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "impairment.h"
#include "test_player_common.h"

namespace {

typedef std::vector<codectest::AmrFrame> FrameList;

const char kNoData[] = {0x7C};

// The device's buffers hold 320 samples, and it keeps ten of them in a ring.
const size_t kBufferSamples = 320;
const size_t kRingSamples = 10 * kBufferSamples;

// `reference` whole and in order in what the device played, with nothing put
// between its samples but what the device plays when the queue has run dry:
// a buffer replayed from a trip round its ring ago (the first two misses),
// then silence.
::testing::AssertionResult PlayedInOrderWithGaps(const std::vector<short>& played,
                                                 const std::vector<short>& reference, size_t* gapSamples)
{
    const long start = StreamStart(played, reference);
    if (start < 0)
        return ::testing::AssertionFailure() << "stream not found";
    size_t i = static_cast<size_t>(start);
    *gapSamples = 0;
    const auto replayed = [&played](size_t at) {
        return at >= kRingSamples && at + kBufferSamples <= played.size() &&
               std::equal(played.begin() + static_cast<long>(at), played.begin() + static_cast<long>(at + kBufferSamples),
                          played.begin() + static_cast<long>(at - kRingSamples));
    };
    for (size_t j = 0; j < reference.size();) {
        if (i >= played.size())
            return ::testing::AssertionFailure() << "played " << j << " of " << reference.size() << " samples";
        if (played[i] == reference[j]) {
            ++i;
            ++j;
        } else if (played[i] == 0) {
            ++i;
            ++*gapSamples;
        } else if (replayed(i)) {
            i += kBufferSamples;
            *gapSamples += kBufferSamples;
        } else {
            return ::testing::AssertionFailure() << "sample " << j << " of the stream (at " << i << "): played "
                                                 << played[i] << ", reference " << reference[j];
        }
    }
    return ::testing::AssertionSuccess();
}

// A fresh SRTP master key and salt, in base64.
std::string FreshKey()
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::random_device device;
    std::string key;
    for (int group = 0; group < 10; ++group) {  // 30 bytes, 3 at a time
        const unsigned v = device() & 0xFFFFFF;
        for (int k = 3; k >= 0; --k)
            key += digits[v >> (6 * k) & 63];
    }
    return key;
}

// The number after `label` in a tool's summary ("label N"), or -1.
long long Count(const std::string& out, const std::string& label)
{
    long long n = -1;
    for (size_t at = out.find(label + " "); at != std::string::npos; at = out.find(label + " ", at + 1)) {
        const char* digits = out.c_str() + at + label.size() + 1;
        if (isdigit(static_cast<unsigned char>(*digits)))
            n = atoll(digits);
    }
    return n;
}

// A seeded flood at `port` from 127.0.0.2 while it runs, bounded in count and
// time: random bytes, RTP headers of random sources, and well-formed AMR
// packets of random sources and sequence numbers, as a stray or hostile
// sender makes them.
class Flood {
public:
    Flood(int port, int perSecond, int seconds) : m_thread([=] { Run(port, perSecond, seconds); }) {}
    ~Flood()
    {
        m_stop = true;
        m_thread.join();
    }
    long long Sent() const { return m_sent; }

private:
    void Run(int port, int perSecond, int seconds)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from = {}, to = {};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(static_cast<uint16_t>(port));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            ADD_FAILURE() << "no flood socket on 127.0.0.2";
            return;
        }
        svrtp::Random random(11);
        const Bytes speech = ReadBytes(std::string(SV_SAMPLES_DIR) + "/speech.amr");
        const auto start = std::chrono::steady_clock::now();
        for (long long n = 0; !m_stop && n < static_cast<long long>(perSecond) * seconds; ++n) {
            Bytes d(12 + random.Next() % 40);
            for (uint8_t& b : d)
                b = static_cast<uint8_t>(random.Next());
            if (n % 4 != 0) {
                d[0] = 0x80;  // RTP version 2
                d[1] = 97;    // the stream's AMR payload type
            }
            if (n % 2 == 1) {
                // A well-formed octet-aligned AMR packet: CMR, one ToC, a 12.2 frame.
                d.resize(12);
                d.push_back(0xF0);
                d.insert(d.end(), speech.begin() + 6, speech.begin() + 6 + 32);
                d[13] = 0x3C;
            }
            sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            ++m_sent;
            std::this_thread::sleep_until(start + std::chrono::microseconds(n * 1000000 / perSecond));
        }
        close(fd);
    }

    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_sent{0};
    std::thread m_thread;
};

// A port for each run: the process id spreads parallel test programs apart.
int Port(int n) { return 20000 + (static_cast<int>(getpid()) % 2000) * 8 + n; }

class RtpPlayTest : public PlayerTest {
protected:
    // Starts the player on `port`, waits until it listens, runs `sender` (a
    // whole shell command), and waits for the player to end. The player
    // passes each frame on as it arrives (--playout fixed) unless
    // `playerArgs` says otherwise: what the library does with them shows.
    Result Receive(int port, const std::string& playerArgs, const std::string& sender) const
    {
        const std::string out = Temp("stdout"), err = Temp("stderr"), senderOut = Temp("sender");
        const std::string playout = playerArgs.find("--playout") == std::string::npos ? "--playout fixed " : "";
        const std::string cmd = "'" + std::string(SV_PLAY_EXE) + "' --rtp " + std::to_string(port) + " --out '" +
                                Temp("out.wav") + "' --stats '" + Temp("stats.csv") + "' " + playout + playerArgs + " >'" +
                                out + "' 2>'" + err + "' </dev/null & player=$!; " +
                                "for i in $(seq 200); do grep -q '^RTP' '" + out + "' && break; sleep 0.05; done; " +
                                sender + " >'" + senderOut + "' 2>&1; wait $player";
        const int raw = system(("bash -c \"" + Escape(cmd) + "\"").c_str());
        Result r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = ReadText(out) + ReadText(senderOut);
        r.err = ReadText(err);
        return r;
    }
    std::string Send(const std::string& file, int port, const std::string& args) const
    {
        return "'" + std::string(SV_SEND_EXE) + "' " + args + " '" + Sample(file.c_str()) + "' " +
               std::to_string(port);
    }
    static std::string Escape(const std::string& s)
    {
        std::string e;
        for (char c : s) {
            if (c == '"' || c == '$' || c == '\\' || c == '`')
                e += '\\';
            e += c;
        }
        return e;
    }

    // The statistics, a row of numbers a second.
    std::vector<std::vector<double>> Stats() const
    {
        std::vector<std::vector<double>> rows;
        std::istringstream in(ReadText(Temp("stats.csv")));
        std::string line;
        std::getline(in, line);
        EXPECT_EQ(line, "time_s,packets,lost,late,reordered,duplicates,invalid,frames_fed,frames_queued,"
                        "playing_pts,latency_ms,underruns,dropped_frames,foreign,filtered,auth_failed,replayed,"
                        "target_delay_ms,added_delay_ms,device_delay_ms,concealed_loss,concealed_late,"
                        "concealed_pause,interruptions,lowered_pause,lowered_speech");
        while (std::getline(in, line)) {
            std::vector<double> row;
            std::istringstream fields(line);
            std::string f;
            while (std::getline(fields, f, ','))
                row.push_back(atof(f.c_str()));
            rows.push_back(row);
        }
        return rows;
    }
};

enum Column { kTime, kPackets, kLost, kLate, kReordered, kDups, kInvalid, kFed, kQueued, kPts, kLatency,
              kUnderruns, kDropped, kForeign, kFiltered, kAuthFailed, kReplayed, kTarget, kAdded, kDevice,
              kConcealedLoss, kConcealedLate, kConcealedPause, kInterruptions, kLoweredPause, kLoweredSpeech,
              kColumns };

struct LoopbackCase {
    const char* name;
    const char* file;
    const char* senderArgs;
    bool lossy;
};

// Our sender at four times real time into the player's device at the same
// speed: every frame that arrived plays as the reference decodes it, in its
// place; every frame lost plays as the decoder's concealment.
TEST_F(RtpPlayTest, LoopbackPlaysTheReferenceDecode)
{
    const LoopbackCase cases[] = {
        {"clean", "speech.amr", "", false},
        {"reordered within the window", "speech.amr", "--reorder 10 --jitter 15 --seed 3", false},
        {"three frames a packet, bandwidth-efficient", "speech-475-dtx.amr",
         "--frames-per-packet 3 --bandwidth-efficient", false},
        {"voice-engine frames", "speech.ve", "--frames-per-packet 2", false},
        {"five percent lost", "speech.amr", "--loss 5 --seed 7", true},
    };
    int n = 0;
    for (const LoopbackCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = Port(n++);
        const Bytes file = ReadBytes(Sample(c.file));
        const bool voice = std::string(c.file).find(".ve") != std::string::npos;
        std::vector<short> reference = voice ? VoiceReference(file) : codectest::OpencoreDecode(AmrFrames(file));
        const std::string extra = std::string(c.senderArgs) + (c.lossy ? " --drops-to '" + Temp("drops") + "'" : "");
        const bool packed = std::string(c.senderArgs).find("bandwidth") != std::string::npos;
        const std::string playerArgs = std::string("--speed 4 --prebuffer 20 ") + (packed ? "--bandwidth-efficient" : "");
        // An underrun puts silence into the stream; on a loaded machine the
        // player can be held up for longer than its slack (100 ms at 4x with
        // 20 frames queued), or a packet held up past the receiver's reorder
        // window (15 ms of the wall's at 4x) and concealed: such a run says
        // so in its summary and is made again.
        const auto clean = [&](const Result& run) {
            return run.out.find("underruns seen 0,") != std::string::npos &&
                   (c.lossy || run.out.find("lost 0, late 0,") != std::string::npos);
        };
        Result r;
        for (int attempt = 0; attempt < 3; ++attempt) {
            r = Receive(port, playerArgs, Send(c.file, port, "--speed 4 " + extra));
            if (clean(r))
                break;
        }
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        if (c.lossy) {
            // The frames the sender dropped decode, in place, as the decoder
            // conceals a no-data frame.
            FrameList frames = AmrFrames(file);
            std::istringstream drops(ReadText(Temp("drops")));
            size_t count = 0;
            for (std::string line; std::getline(drops, line); ++count)
                frames[static_cast<size_t>(atoi(line.c_str()))] = codectest::AmrFrame(kNoData, kNoData + 1);
            ASSERT_GT(count, 5u);
            reference = codectest::OpencoreDecode(frames);
            EXPECT_NE(r.out.find("lost " + std::to_string(count) + ","), std::string::npos) << r.out;
        }
        EXPECT_NE(r.out.find("underruns seen 0,"), std::string::npos) << r.out;
        EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
    }
}

// ffmpeg relays the DTX files at their real-time pace, in packets of 35 frames
// and of one; it leaves out a last packet it has not filled, so the reference
// is the decode of the frames it sent. Every frame arrives and decodes as the
// reference does; the queue may run dry meanwhile (a 35-frame packet every
// 700 ms outlasts the pre-buffer, and a pause in which the sender sends
// nothing is filled only when the next packet shows its length), and the
// device fills in there.
TEST_F(RtpPlayTest, FfmpegAsThePeerPlaysTheReferenceDecode)
{
    if (system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh --test installs it)";
    const struct {
        const char* file;
        const char* options;
        bool srtp;
    } cases[] = {
        {"speech-dtx.amr", "", false},
        {"speech-475-dtx.amr", "", false},
        {"speech-dtx.amr", "-packetsize 100", false},
        {"speech-475-dtx.amr", "-packetsize 100", false},
        // SRTP with a fresh key, as ffmpeg sends it.
        {"speech-dtx.amr", "-packetsize 100", true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.options + (c.srtp ? " SRTP" : ""));
        const int port = Port(n++);
        const std::string key = FreshKey();
        const std::string ffmpeg =
            std::string("ffmpeg -hide_banner -loglevel error -re -i '") + Sample(c.file) + "' -c:a copy " + c.options +
            (c.srtp ? " -f rtp -srtp_out_suite AES_CM_128_HMAC_SHA1_80 -srtp_out_params " + key + " srtp://"
                    : std::string(" -f rtp rtp://")) +
            "127.0.0.1:" + std::to_string(port);
        const Result r = Receive(port, "--timeout 1" + (c.srtp ? " --srtp-key " + key : std::string()), ffmpeg);
        if (c.srtp) {
            EXPECT_EQ(Count(r.out, "auth failed"), 0) << r.out;
        }
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_NE(r.out.find("lost 0, late 0,"), std::string::npos) << r.out;
        const size_t at = r.out.find("frames fed ");
        ASSERT_NE(at, std::string::npos) << r.out;
        const size_t fed = static_cast<size_t>(atoi(r.out.c_str() + at + 11));
        const FrameList all = AmrFrames(ReadBytes(Sample(c.file)));
        ASSERT_GE(fed, all.size() - 60) << r.out;
        ASSERT_LE(fed, all.size());
        const std::vector<short> reference = codectest::OpencoreDecode(FrameList(all.begin(), all.begin() + fed));
        size_t gaps = 0;
        EXPECT_TRUE(PlayedInOrderWithGaps(ReadWav(Temp("out.wav")), reference, &gaps));
        printf("%s %s: %zu frames, %zu samples of silence between them\n", c.file, c.options, fed, gaps);
    }
}

// Adaptive playout with ffmpeg's 35-frame packets, 700 ms apart, and its DTX
// pauses, in which nothing is sent: the library's queue never runs dry, no
// frame comes after its turn, nothing is lost, and the frames made up for
// the pauses are counted as pauses.
TEST_F(RtpPlayTest, AdaptivePlayoutFeedsTheDeviceBetweenBigPacketsAndThroughPauses)
{
    if (system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh --test installs it)";
    const int port = Port(7);
    const std::string ffmpeg = "ffmpeg -hide_banner -loglevel error -re -i '" + Sample("speech-dtx.amr") +
                               "' -c:a copy -f rtp rtp://127.0.0.1:" + std::to_string(port);
    // A player held up past its lead on a loaded machine underruns: such a
    // run is made again.
    Result r;
    for (int attempt = 0; attempt < 3; ++attempt) {
        r = Receive(port, "--playout adaptive --timeout 1", ffmpeg);
        if (r.out.find("underruns seen 0,") != std::string::npos)
            break;
    }
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("underruns seen 0,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("lost 0, late 0,"), std::string::npos) << r.out;
    EXPECT_EQ(Count(r.out, "interruptions"), 0) << r.out;
    EXPECT_NE(r.out.find("frames concealed for loss 0, late 0,"), std::string::npos) << r.out;
    EXPECT_GT(Count(r.out, "pauses"), 10) << r.out;
    // The library's queue stays far below its latency trim.
    for (const std::vector<double>& row : Stats())
        EXPECT_LE(row[kQueued], 8 + 20);
}

// A stall of 1.7 s, then its 85 frames at once: the queue runs far ahead and
// the library's live cut drops 60 of them at the next read (the host infers
// the drop, within a frame or two, from the playing stamp's jump).
TEST_F(RtpPlayTest, ABurstAfterAStallShowsTheLiveCut)
{
    const int port = Port(0);
    // The timeout outlasts the stall, which a loaded machine may stretch.
    const Result r = Receive(port, "--speed 4 --timeout 6", Send("speech.amr", port, "--speed 4 --stall 3:1700"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    double before = 0, after = 0, maxQueued = 0;
    for (const std::vector<double>& row : Stats()) {
        ASSERT_EQ(row.size(), static_cast<size_t>(kColumns));
        if (row[kDropped] == 0)
            before = row[kTime];
        else if (after == 0)
            after = row[kTime];
        maxQueued = std::max(maxQueued, row[kQueued]);
        EXPECT_TRUE(row[kDropped] == 0 || (row[kDropped] >= 58 && row[kDropped] <= 61)) << row[kDropped];
    }
    EXPECT_GT(after, before);
    // What is left after the cut: the burst less 60, well below the cut's line.
    EXPECT_LE(maxQueued, 8 + 60);
}

// A sender 2.5 % faster than the device: the queue grows by a frame every
// two seconds, stays above the pre-buffer plus 20 for 1000 reads without ever
// reaching the live cut's line, and the library trims it back to the
// pre-buffer. (A sender 10 % ahead would reach the cut first.)
TEST_F(RtpPlayTest, ASenderAheadOfTheDeviceShowsTheLatencyTrim)
{
    const int port = Port(1);
    const Result r = Receive(port, "--speed 4", Send("speech.amr", port, "--speed 4.1 --repeat 5"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    double peak = 0, dropped = 0, queuedAfter = 1e9;
    for (const std::vector<double>& row : Stats()) {
        if (row[kDropped] == 0)
            peak = std::max(peak, row[kQueued]);
        else if (dropped == 0) {
            dropped = row[kDropped];
            queuedAfter = row[kQueued];
        }
    }
    EXPECT_GT(peak, 8 + 20);
    EXPECT_LE(peak, 8 + 60);
    // One cut, down to about the pre-buffer.
    EXPECT_GE(dropped, peak - 8 - 4);
    EXPECT_LE(queuedAfter, 8 + 3);
}

// The stream's source is locked. A flood of random datagrams and packets of
// other sources on the same port does not touch it: every frame plays as the
// reference decodes it, and the flood shows in the counters; with --from the
// flood (from another address) is not even looked at.
TEST_F(RtpPlayTest, AFloodOnThePortLeavesTheStreamExact)
{
    const std::vector<short> reference = codectest::OpencoreDecode(AmrFrames(ReadBytes(Sample("speech.amr"))));
    for (const bool from : {false, true}) {
        SCOPED_TRACE(from ? "--from" : "no --from");
        const int port = Port(from ? 3 : 2);
        Result r;
        for (int attempt = 0; attempt < 3; ++attempt) {
            Flood flood(port, 5000, 4);
            r = Receive(port, std::string("--speed 4 --prebuffer 20") + (from ? " --from 127.0.0.1" : ""),
                        Send("speech.amr", port, "--speed 4"));
            if (r.out.find("underruns seen 0,") != std::string::npos && Count(r.out, "lost") == 0)
                break;
        }
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_EQ(Count(r.out, "packets"), 409) << r.out;
        EXPECT_EQ(Count(r.out, "new streams"), 0) << r.out;
        EXPECT_GT(from ? Count(r.out, "filtered") : Count(r.out, "foreign"), 1000) << r.out;
        EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
    }
}

// A second well-formed sender that starts mid-stream waits while the first is
// alive and takes over once it has gone quiet; the one --ssrc names is taken
// at once, and the other never.
TEST_F(RtpPlayTest, ASecondSenderTakesOverOnlyOnceTheFirstIsSilent)
{
    const struct {
        const char* playerArgs;
        long long newStreams;
    } cases[] = {{"", 1}, {" --ssrc 2", 0}};
    int n = 4;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.playerArgs);
        const int port = Port(n++);
        const std::string senders = Send("speech.amr", port, "--speed 4 --ssrc 1 -q") + " & first=$!; sleep 0.5; " +
                                    Send("speech.amr", port, "--speed 4 --ssrc 2 --seed 9 -q") + "; wait $first";
        const Result r = Receive(port, std::string("--speed 4") + c.playerArgs, senders);
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_EQ(Count(r.out, "new streams"), c.newStreams) << r.out;
        EXPECT_GT(Count(r.out, "foreign"), 50) << r.out;
        EXPECT_EQ(r.err.find("takes over") != std::string::npos, c.newStreams > 0) << r.err;
    }
}

// SRTP from our sender, both suites: every frame plays exact, the copies it
// sends again are refused as replays; with the wrong key nothing plays and
// every packet fails authentication.
TEST_F(RtpPlayTest, SrtpPlaysExactRefusesReplaysAndAWrongKey)
{
    const std::vector<short> reference = codectest::OpencoreDecode(AmrFrames(ReadBytes(Sample("speech.amr"))));
    const std::string key = FreshKey();
    int n = 6;
    for (const char* suite : {"AES_CM_128_HMAC_SHA1_80", "AES_CM_128_HMAC_SHA1_32"}) {
        SCOPED_TRACE(suite);
        const int port = Port(n++);
        const std::string srtp = std::string(" --srtp-key ") + key + " --srtp-suite " + suite;
        Result r;
        for (int attempt = 0; attempt < 3; ++attempt) {
            r = Receive(port, "--speed 4 --prebuffer 20" + srtp, Send("speech.amr", port, "--speed 4 --resend-every 10" + srtp));
            if (r.out.find("underruns seen 0,") != std::string::npos)
                break;
        }
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_EQ(Count(r.out, "replayed"), 40) << r.out;
        EXPECT_EQ(Count(r.out, "sent twice"), 40) << r.out;
        EXPECT_EQ(Count(r.out, "auth failed"), 0) << r.out;
        EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
    }
    // No stream ever begins, so the player waits for one until Ctrl-C.
    const int port = Port(n);
    const Result wrong = Receive(port, "--speed 4 --srtp-key " + FreshKey(),
                                 Send("speech.amr", port, "--speed 4 --srtp-key " + key) + "; kill -INT $player");
    ASSERT_EQ(wrong.status, 130) << wrong.err << wrong.out;
    EXPECT_EQ(Count(wrong.out, "frames fed"), 0) << wrong.out;
    EXPECT_EQ(Count(wrong.out, "auth failed"), 409) << wrong.out;
}

// scripts/plot-stats draws what --stats writes (with the adaptive playout's
// delays), and names the line of a file it cannot draw.
TEST_F(RtpPlayTest, PlotStatsDrawsTheStatisticsAndNamesAMalformedLine)
{
    if (system("command -v gnuplot >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnuplot is not installed (scripts/setup.sh --test installs it)";
    const std::string header = "time_s,packets,lost,late,reordered,duplicates,invalid,frames_fed,frames_queued,"
                               "playing_pts,latency_ms,underruns,dropped_frames,target_delay_ms,added_delay_ms\n";
    const std::string rows = header + "1,50,0,0,0,0,0,50,8,1000,560,0,0,140,150\n"
                                      "2,100,1,0,0,0,0,100,9,2000,580,0,0,90,110\n"
                                      "3,150,1,1,0,0,0,150,7,3000,540,1,2,90,95\n";
    WriteBytes(Temp("stats.csv"), Bytes(rows.begin(), rows.end()));
    const Result plot = Run(SV_PLOT_STATS, "'" + Temp("stats.csv") + "' '" + Temp("stats.png") + "'");
    EXPECT_EQ(plot.status, 0) << plot.err;
    struct stat png = {};
    EXPECT_EQ(stat(Temp("stats.png").c_str(), &png), 0);
    EXPECT_GT(png.st_size, 1000);

    const std::string bad = header + "1,50,0,0,0,0,0,50,8,1000,x,0,0,90,95\n";
    WriteBytes(Temp("bad.csv"), Bytes(bad.begin(), bad.end()));
    const Result refused = Run(SV_PLOT_STATS, "'" + Temp("bad.csv") + "'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("line 2: field 11 is not a number"), std::string::npos) << refused.err;
}

// Talking back: the virtual input device plays a known recording into the
// library's capture, sonavex-send --capture encodes what it reads and sends it
// live, and the player plays it on its own device: after that device's leading
// silence, every sample as the same recording encoded and decoded.
TEST_F(RtpPlayTest, TalkBackPlaysTheRecordingAsItsReferenceDecode)
{
    // The recording is at 8 kHz mono, so the capture reads it as it stands:
    // the speech sample's decode, three seconds of it.
    const size_t kSamples = 3 * 8000;
    std::vector<short> recording = codectest::OpencoreDecode(AmrFrames(ReadBytes(Sample("speech.amr"))));
    ASSERT_GE(recording.size(), kSamples);
    recording.resize(kSamples);
    Bytes wav = SilentWav(1, 8000, static_cast<uint32_t>(kSamples));
    memcpy(&wav[44], recording.data(), kSamples * 2);
    WriteBytes(Temp("in.wav"), wav);
    const struct {
        int mode;
        int framesPerPacket;
    } cases[] = {{7, 1}, {0, 2}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("AMR mode " + std::to_string(c.mode) + ", " + std::to_string(c.framesPerPacket) + " a packet");
        const int port = Port(n++);
        const std::vector<short> reference = codectest::OpencoreDecode(codectest::AmrEncode(recording, c.mode));
        const std::string sender = "'" + std::string(SV_SEND_EXE) + "' --capture " + std::to_string(port) +
                                   " --source '" + Temp("in.wav") + "' --duration 3 --amr-mode " +
                                   std::to_string(c.mode) + " --frames-per-packet " +
                                   std::to_string(c.framesPerPacket);
        // Both ends run in real time: a run that a loaded machine held up
        // past the player's slack says so in its summary and is made again.
        Result r;
        for (int attempt = 0; attempt < 3; ++attempt) {
            r = Receive(port, "--timeout 1", sender);
            if (r.out.find("underruns seen 0,") != std::string::npos && r.out.find("lost 0, late 0,") != std::string::npos)
                break;
        }
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_NE(r.out.find("sent " + std::to_string(150 / c.framesPerPacket) + " packets (150 frames"),
                  std::string::npos) << r.out;
        EXPECT_NE(r.out.find("underruns seen 0,"), std::string::npos) << r.out;
        EXPECT_TRUE(PlayedAfterSilence(ReadWav(Temp("out.wav")), reference, reference.size()));
    }
}

} // namespace
