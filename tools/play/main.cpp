// sonavex-play: plays a compressed audio stream through the Sonavex library the
// way a video-recorder client does, through the SV_ exports only. The sound
// settings (which device, recording to a file, the virtual device's speed)
// are the platform's part (play_platform.h).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "play_platform.h"
#include "sonavex.h"
#include "streams.h"

namespace {

using Clock = std::chrono::steady_clock;
using svtool::Frame;
using svtool::FrameSource;
using svplay::Device;

// The device keeps ten 40 ms buffers queued ahead of what it plays.
const double kDeviceQueueMs = 400.0;

struct Options {
    std::string input;
    bool live = true;
    int prebuffer = 8;
    bool volumeSet = false;
    uint32_t volume = 0xFFFF;
    bool mute = false;
    double stopAt = -1;
    int stopState = SV_STOP_NOW;
    svtool::SourceOptions source;
    svplay::SoundSettings sound;
    svplay::NetworkSettings network;
    std::string statsPath;
    bool quiet = false;
};

// --volume: a percentage, or a level in hexadecimal.
std::string ParseVolume(const std::string& v, uint32_t* volume)
{
    if (v.compare(0, 2, "0x") == 0 || v.compare(0, 2, "0X") == 0) {
        const std::string digits = v.substr(2);
        const unsigned long level = strtoul(digits.c_str(), nullptr, 16);
        if (digits.empty() || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
            level > 0xFFFF)
            return "--volume: a level is 0x0000..0xFFFF";
        *volume = static_cast<uint32_t>(level);
        return "";
    }
    double percent = 0;
    if (!svtool::ParsePercent(v, &percent))
        return "--volume: a percentage is 0..100";
    *volume = static_cast<uint32_t>(std::lround(percent * 0xFFFF / 100.0));
    return "";
}

// --stop-file SEC[:1|2]
std::string ParseStop(std::string v, Options* o)
{
    const size_t colon = v.find(':');
    if (colon != std::string::npos) {
        const std::string state = v.substr(colon + 1);
        if (state != "1" && state != "2")
            return "--stop-file: the stop state is 1 or 2";
        o->stopState = state == "1" ? SV_STOP_DRAIN : SV_STOP_NOW;
        v.resize(colon);
    }
    if (!svtool::ParseDuration(v, svtool::TimeUnit::Seconds, &o->stopAt) || o->stopAt < 0)
        return "--stop-file takes a position in seconds";
    return "";
}

Options ParseOptions(int argc, char** argv)
{
    Options o;
    svtool::CommandLine line("sonavex-play", std::string("Plays FILE through the Sonavex library on the default "
                                                         "output device.\n") + svplay::kInputHelp);
    line.options = {
        svtool::Flag("--file", "file playback: keep the queue topped up (default: live,\n"
                               "frames arrive at the stream's real-time pace)", &o.live, false),
        svtool::Choice("--prebuffer", "live pre-buffer depth in frames (default 8)", &o.prebuffer, {{"8", 8}, {"20", 20}}),
        {"--volume", "V", "output level: 0..100 (percent) or 0x0000..0xFFFF",
         [&o](const char* v) { return ParseVolume(v, &o.volume); }},
        svtool::Flag("--mute", "play muted (the stream still runs)", &o.mute),
        {"--stop-file", "SEC[:1|2]", "file playback: stop at SEC seconds of the stream\n"
                                     "(1 drains the queue to 18 frames, 2 drops it; default 2)",
         [&o](const char* v) { return ParseStop(v, &o); }},
    };
    svplay::AddPlatformOptions(&line, &o.sound, &o.source, &o.network);
    line.options.push_back(svtool::Text("--stats", "FILE.csv",
                                        "write the stream's health to FILE.csv, a row a second\n"
                                        "(scripts/plot-stats draws it)",
                                        &o.statsPath, "a file name"));
    line.options.push_back(svtool::Flag("--quiet|-q", "no progress and no summary", &o.quiet));
    // FILE, unless the stream comes from the network.
    line.arguments = {{"FILE", &o.input, ""}};
    line.tooMany = "one input file only";
    line.Parse(argc, argv);

    o.network.enabled = line.Given("--rtp");
    if (o.network.enabled) {
        if (!o.input.empty())
            line.Fail("--rtp plays the stream that arrives on the network: no FILE with it");
        if (!o.live)
            line.Fail("--rtp plays a live stream; --file cannot be used with it");
        o.input = "RTP " + o.network.endpoint.ToString();
        o.network.prebufferFrames = o.prebuffer;
    } else if (o.input.empty()) {
        line.Fail("no input file");
    } else {
        for (const char* option : {"--payload-type", "--bandwidth-efficient", "--timeout", "--ssrc", "--from",
                                   "--srtp-key", "--srtp-suite", "--playout"})
            if (line.Given(option))
                line.Fail(std::string(option) + " is for --rtp streams");
    }

    o.volumeSet = line.Given("--volume");
    o.sound.speedSet = line.Given("--speed");
    if (o.network.enabled && o.sound.speedSet && o.sound.speed <= 0)
        line.Fail("--speed 0 paces the device by the player's feed; a network stream keeps its own pace "
                  "(give a factor above 0)");
    if (o.sound.speedSet && o.sound.recordPath.empty())
        line.Fail("--speed needs --out: only the virtual device can run faster than real time");
    if (!o.sound.recordPath.empty() && o.sound.device == Device::Alsa)
        line.Fail("--out records on the virtual device; it cannot be used with --device alsa");
    if (o.stopAt >= 0 && o.live)
        fprintf(stderr, "sonavex-play: note: --stop-file acts on file playback only (add --file)\n");
    return o;
}

std::string FormatTime(double ms) { return svtool::FormatTime(ms / 1000.0); }

// What the player observes of the stream while it runs.
class Player {
public:
    Player(const Options& options, FrameSource& source, SV_DECODER handle)
        : m_o(options), m_source(source), m_handle(handle),
          m_progress(!options.quiet, std::chrono::seconds(1)),
          m_stall("sonavex-play", "the output device has not taken audio", "the output device takes audio again")
    {
    }

    // Feeds the whole stream and waits for it to play out. Returns false when
    // interrupted.
    bool Run();
    void PrintSummary();

    int64_t Fed() const { return m_fed; }
    // A network source waiting for its next frame: the player watches the
    // library meanwhile.
    void Idle() { Observe(); }
    // Writes a row of statistics a second of stream time to `file` (its
    // header first).
    void WriteStatsTo(FILE* file);

private:
    double Speed() const { return m_o.sound.speedSet ? m_o.sound.speed : 1.0; }
    // Wall time for a span of stream time at the configured speed (above 0).
    Clock::duration Wall(double streamMs) const
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(streamMs / Speed()));
    }
    // Stream time that has passed since the start: wall time at the
    // configured speed, or when the device is paced the time the player has
    // let it play.
    double StreamNowMs() const
    {
        if (m_o.sound.Paced())
            return m_pacedMs;
        return std::chrono::duration<double, std::milli>(Clock::now() - m_start).count() * Speed();
    }
    // Lets `streamMs` of stream time pass: sleeps for its wall time, at most
    // until the next progress line is due, or has the paced device play it.
    void Pause(double streamMs);
    // Lets the queue play out after the last frame was fed.
    void PlayOut();
    void Observe();
    // The recording has failed: playing on would record nothing.
    bool RecordingFailed() const { return !svplay::RecordingError(m_o.sound).empty(); }
    void Progress(bool final);
    // Frames the library dropped to cut the latency, as the host can tell:
    // the playing stamp jumped over more frames than the time since the last
    // look can have played.
    void CountDrops(int64_t pts);
    void WriteStats();
    bool StopDue() const { return !m_o.live && m_o.stopAt >= 0 && m_playingMs >= m_o.stopAt * 1000.0; }

    const Options& m_o;
    FrameSource& m_source;
    SV_DECODER m_handle;
    svtool::ProgressLine m_progress;
    // A device that stops taking frames while it has some is reported.
    svtool::StallWatch m_stall;
    int64_t m_seenPts = 0;     // the playing stamp at the last look

    Clock::time_point m_start;
    double m_pacedMs = 0;      // stream time the paced device has played
    int64_t m_fed = 0;
    double m_fedEndMs = 0;     // stream time up to the end of the last frame fed
    double m_frameMs = 20;     // duration of the last frame fed
    int m_queued = 0;
    double m_playingMs = 0;    // furthest stream position seen playing
    bool m_started = false;    // playback has begun (past the live pre-buffer)
    bool m_feeding = true;
    bool m_wasEmpty = false;
    int m_underruns = 0;
    double m_finalLatencyMs = -1;
    int m_finalQueued = 0;
    int m_leftQueued = 0;
    bool m_stopped = false;

    // For the statistics.
    std::vector<int64_t> m_fedStamps;  // every frame's stamp, in feeding order
    int64_t m_lastPts = 0;             // the last stamp seen playing
    double m_lastPtsAtMs = 0;          // and when it was seen
    int64_t m_dropped = 0;
    int64_t m_fedAtUnderrun = 0;  // frames fed when the last underrun began
    // Added delay of each received frame: from its packet's arrival to its
    // turn on the device (the frames queued ahead of it), the device's own
    // queue apart.
    svtool::DelayHistogram m_added;
    double m_addedRowSum = 0;
    int m_addedRowCount = 0;
    double m_addedRowMs = 0;
    FILE* m_stats = nullptr;
    double m_nextStatsMs = 0;
};

void Player::CountDrops(int64_t pts)
{
    // A queue run dry plays nothing for a while: the count starts again from
    // the next frame fed (see Run).
    if (pts <= 0 && m_queued == 0)
        m_lastPts = 0;
    if (pts <= 0 || pts == m_lastPts)
        return;
    const double now = StreamNowMs();
    if (m_lastPts > 0 && pts > m_lastPts) {
        const auto at = [this](int64_t stamp) {
            return std::lower_bound(m_fedStamps.begin(), m_fedStamps.end(), stamp) - m_fedStamps.begin();
        };
        const int64_t passed = static_cast<int64_t>(at(pts) - at(m_lastPts));
        const int64_t played = std::lround((now - m_lastPtsAtMs) / m_frameMs);
        // Two frames of slack for when the device took its buffers.
        if (passed - played > 2)
            m_dropped += passed - played;
    }
    m_lastPts = pts;
    m_lastPtsAtMs = now;
}

void Player::WriteStatsTo(FILE* file)
{
    m_stats = file;
    fputs("time_s,packets,lost,late,reordered,duplicates,invalid,frames_fed,frames_queued,playing_pts,"
          "latency_ms,underruns,dropped_frames,foreign,filtered,auth_failed,replayed,"
          "target_delay_ms,added_delay_ms,device_delay_ms,concealed_loss,concealed_late,concealed_pause,"
          "interruptions,lowered_pause,lowered_speech\n",
          m_stats);
    m_nextStatsMs = 1000;
}

void Player::WriteStats()
{
    const svtool::NetworkCounters none;
    const svtool::NetworkCounters* net = m_source.Network() != nullptr ? m_source.Network() : &none;
    const double latency = m_started ? std::max(0.0, m_fedEndMs - m_playingMs) + kDeviceQueueMs : 0;
    if (m_addedRowCount > 0)
        m_addedRowMs = m_addedRowSum / m_addedRowCount;
    m_addedRowSum = 0;
    m_addedRowCount = 0;
    fprintf(m_stats, "%.3f,%llu,%llu,%llu,%llu,%llu,%llu,%lld,%d,%lld,%.0f,%d,%lld,%llu,%llu,%llu,%llu,"
                     "%.0f,%.0f,%.0f,%llu,%llu,%llu,%llu,%llu,%llu\n",
            StreamNowMs() / 1000.0, static_cast<unsigned long long>(net->packets),
            static_cast<unsigned long long>(net->lost), static_cast<unsigned long long>(net->late),
            static_cast<unsigned long long>(net->reordered), static_cast<unsigned long long>(net->duplicates),
            static_cast<unsigned long long>(net->invalid), static_cast<long long>(m_fed), m_queued,
            static_cast<long long>(m_lastPts), latency, m_underruns, static_cast<long long>(m_dropped),
            static_cast<unsigned long long>(net->foreign), static_cast<unsigned long long>(net->filtered),
            static_cast<unsigned long long>(net->authFailed), static_cast<unsigned long long>(net->replayed),
            net->targetMs, m_addedRowMs, kDeviceQueueMs, static_cast<unsigned long long>(net->concealedLoss),
            static_cast<unsigned long long>(net->concealedLate), static_cast<unsigned long long>(net->concealedPause),
            static_cast<unsigned long long>(net->interruptions), static_cast<unsigned long long>(net->loweredPause),
            static_cast<unsigned long long>(net->loweredSpeech));
    fflush(m_stats);
}

void Player::Pause(double streamMs)
{
    if (m_o.sound.Paced()) {
        svplay::AdvanceDevice(streamMs);
        m_pacedMs += streamMs;
        return;
    }
    Clock::time_point until = Clock::now() + Wall(streamMs);
    if (m_progress.Shown() && until > m_progress.NextDue())
        until = m_progress.NextDue();
    if (until > Clock::now())
        std::this_thread::sleep_until(until);
    else
        std::this_thread::yield();
}

void Player::Observe()
{
    int64_t pts = 0;
    int64_t next = 0;
    SV_GetPts(m_handle, &pts, &next);
    m_queued = std::max<int32_t>(SV_AudioDecGetFrames(m_handle), 0);
    CountDrops(pts);
    // A paced device moves only as the player lets it.
    if (!m_o.sound.Paced())
        m_stall.Look(pts != m_seenPts, m_started && m_queued > 0);
    m_seenPts = pts;
    // The clock reads 0 between frames when the queue has run dry.
    if (pts > 0 || m_queued > 0)
        m_playingMs = std::max(m_playingMs, static_cast<double>(pts));
    if (!m_started && m_fed > 0)
        m_started = !m_o.live || m_fed >= m_o.prebuffer;
    // An underrun, as a host sees one: the queue empty while the stream still
    // has frames to come.
    const bool empty = m_started && m_feeding && m_queued == 0;
    if (empty && !m_wasEmpty) {
        ++m_underruns;
        m_fedAtUnderrun = m_fed;
    }
    m_wasEmpty = empty;
    if (m_stats != nullptr && StreamNowMs() >= m_nextStatsMs) {
        WriteStats();
        m_nextStatsMs += 1000;
    }
    if (m_progress.Shown() && m_progress.Due())
        Progress(false);
}

void Player::Progress(bool final)
{
    const double totalMs = static_cast<double>(m_source.TotalSamples()) * 1000.0 / svtool::kSampleRate;
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - m_start).count();
    const double position = final ? std::max(m_playingMs, m_fedEndMs) : m_playingMs;
    const svtool::NetworkCounters* net = m_source.Network();
    if (net != nullptr) {
        // A network stream has no known length: what arrived, and how late it plays.
        const double latency = m_started ? std::max(0.0, m_fedEndMs - m_playingMs) + kDeviceQueueMs : 0;
        char line[200];
        snprintf(line, sizeof line, "%s packets %llu lost %llu late %llu queue %3d latency %4.0f ms ",
                 FormatTime(position).c_str(), static_cast<unsigned long long>(net->packets),
                 static_cast<unsigned long long>(net->lost), static_cast<unsigned long long>(net->late), m_queued,
                 latency);
        if (m_progress.InPlace() || !final)
            m_progress.Show(line);
        if (final)
            m_progress.End();
        return;
    }
    char text[160];
    if (m_progress.InPlace()) {
        const int width = 30;
        const double share = totalMs > 0 ? std::min(1.0, position / totalMs) : 0;
        const std::string bar = svtool::ProgressLine::Bar(static_cast<int>(share * width), width, '#', '-');
        snprintf(text, sizeof text, "%s / %s [%s] queue %3d  elapsed %s ", FormatTime(position).c_str(),
                 FormatTime(totalMs).c_str(), bar.c_str(), m_queued, FormatTime(elapsed).c_str());
        m_progress.Show(text);
    } else if (!final) {
        snprintf(text, sizeof text, "position %s of %s, queue %d frames, elapsed %s", FormatTime(position).c_str(),
                 FormatTime(totalMs).c_str(), m_queued, FormatTime(elapsed).c_str());
        m_progress.Show(text);
    }
    if (final)
        m_progress.End();
}

bool Player::Run()
{
    m_start = Clock::now();
    // A file host keeps the queue as deep as the library lets it stay without
    // trimming it back: the pre-buffer plus 20 frames.
    const int topUp = m_o.prebuffer + 20;

    Frame frame;
    bool have = m_source.Next(frame);
    while (have && !svtool::Interrupted() && !RecordingFailed()) {
        Observe();
        if (StopDue()) {
            SV_StopFileAudio(m_handle, m_o.stopState);
            m_stopped = true;
            break;
        }
        if (m_source.Network() != nullptr) {
            // A network stream's frames are fed as they arrive.
        } else if (m_o.live) {
            // A recorder sends each frame when its time has come.
            const double ahead = static_cast<double>(frame.Pts()) - StreamNowMs();
            if (ahead > 0) {
                Pause(ahead);
                continue;
            }
        } else if (m_queued >= topUp) {
            Pause(m_frameMs);
            continue;
        }
        const int32_t r = SV_InputAudioBuffer(m_handle, frame.data, frame.length, frame.type, frame.Pts(), 1);
        if (r != 1)
            fprintf(stderr, "sonavex-play: frame %lld was refused (%d)\n", static_cast<long long>(m_fed),
                    static_cast<int>(r));
        if (frame.holdMs >= 0) {
            const double added = static_cast<double>(frame.holdMs) + m_queued * m_frameMs;
            m_added.Add(added);
            m_addedRowSum += added;
            ++m_addedRowCount;
        }
        ++m_fed;
        ++m_queued;
        m_fedStamps.push_back(frame.Pts());
        if (m_lastPts == 0) {
            // The frame the device plays next, about now.
            m_lastPts = frame.Pts();
            m_lastPtsAtMs = StreamNowMs();
        }
        m_frameMs = frame.samples * 1000.0 / svtool::kSampleRate;
        m_fedEndMs = static_cast<double>(frame.startSample + frame.samples) * 1000.0 / svtool::kSampleRate;
        have = m_source.Next(frame);
    }
    // A network stream ends when its sender has been quiet for a while: the
    // queue ran dry at its end, not in an underrun.
    if (m_source.Network() != nullptr && m_wasEmpty && m_fed == m_fedAtUnderrun)
        --m_underruns;
    m_feeding = false;
    Observe();
    m_finalQueued = m_queued;
    m_finalLatencyMs = m_fedEndMs - m_playingMs + kDeviceQueueMs;
    PlayOut();
    if (!m_o.quiet)
        Progress(true);
    return !svtool::Interrupted();
}

void Player::PlayOut()
{

    // Let the queue play out; the clock stalls only when the stream is shorter
    // than a live pre-buffer, which never starts. In stream time: a second,
    // and half a second of the wall's for a player held up, which a paced
    // device waits for.
    double lastMoveMs = StreamNowMs();
    int lastQueued = m_queued;
    const double stallLimitMs = 1000 + (m_o.sound.Paced() ? 0 : 500 * Speed());
    while (m_queued > 0 && !svtool::Interrupted() && !RecordingFailed()) {
        Observe();
        if (StopDue() && !m_stopped) {
            SV_StopFileAudio(m_handle, m_o.stopState);
            m_stopped = true;
        }
        if (m_queued != lastQueued) {
            lastQueued = m_queued;
            lastMoveMs = StreamNowMs();
        } else if (StreamNowMs() - lastMoveMs > stallLimitMs) {
            break;
        }
        Pause(m_frameMs);
    }
    m_leftQueued = m_queued;
    // The last frame taken still has the device's queue ahead of it, and the
    // device's concealment replays two buffers after it: wait until silence
    // has come round (a buffer of it, or 20 ms of the wall's for a device
    // that runs behind).
    if (m_queued == 0 && !svtool::Interrupted()) {
        const double endMs =
            StreamNowMs() + kDeviceQueueMs + 160 + (m_o.sound.Paced() ? 40 : 20 * Speed());
        while (StreamNowMs() < endMs && !svtool::Interrupted() && !RecordingFailed()) {
            Observe();
            Pause(std::min(40.0, endMs - StreamNowMs()));
        }
    }
}

void Player::PrintSummary()
{
    const double elapsed = std::chrono::duration<double>(Clock::now() - m_start).count();
    printf("frames fed %lld, frames played %lld, underruns seen %d, final latency %.0f ms "
           "(%d frames queued + %.0f ms in the device), %.2f s\n",
           static_cast<long long>(m_fed), static_cast<long long>(m_fed - m_leftQueued), m_underruns,
           m_finalLatencyMs, m_finalQueued, kDeviceQueueMs, elapsed);
    if (const svtool::NetworkCounters* net = m_source.Network())
        printf("packets %llu, lost %llu, late %llu, reordered %llu, duplicates %llu, invalid %llu, "
               "frames concealed %llu, new streams %llu, foreign %llu, filtered %llu, auth failed %llu, "
               "replayed %llu; frames dropped by the library %lld\n",
               static_cast<unsigned long long>(net->packets), static_cast<unsigned long long>(net->lost),
               static_cast<unsigned long long>(net->late), static_cast<unsigned long long>(net->reordered),
               static_cast<unsigned long long>(net->duplicates), static_cast<unsigned long long>(net->invalid),
               static_cast<unsigned long long>(net->concealed), static_cast<unsigned long long>(net->restarts),
               static_cast<unsigned long long>(net->foreign), static_cast<unsigned long long>(net->filtered),
               static_cast<unsigned long long>(net->authFailed), static_cast<unsigned long long>(net->replayed),
               static_cast<long long>(m_dropped));
    const svtool::NetworkCounters* net = m_source.Network();
    if (net != nullptr && net->adaptive)
        printf("adaptive playout: target delay %.0f ms, added delay mean %.0f ms, 95th percentile %.0f ms "
               "(the device's own %.0f ms apart); frames concealed for loss %llu, late %llu, pauses %llu; "
               "interruptions %llu; frames dropped to lower the delay %llu (pause frames %llu, speech frames %llu)\n",
               net->targetMs, m_added.Mean(), m_added.Percentile(0.95), kDeviceQueueMs,
               static_cast<unsigned long long>(net->concealedLoss), static_cast<unsigned long long>(net->concealedLate),
               static_cast<unsigned long long>(net->concealedPause), static_cast<unsigned long long>(net->interruptions),
               static_cast<unsigned long long>(net->loweredPause + net->loweredSpeech),
               static_cast<unsigned long long>(net->loweredPause), static_cast<unsigned long long>(net->loweredSpeech));
    else if (net != nullptr && m_added.Count() > 0)
        printf("fixed playout: added delay mean %.0f ms, 95th percentile %.0f ms (the device's own %.0f ms apart)\n",
               m_added.Mean(), m_added.Percentile(0.95), kDeviceQueueMs);
    if (m_leftQueued > 0 && m_stall.Stalled())
        printf("%d frames never played: the output device stopped taking audio\n", m_leftQueued);
    else if (m_leftQueued > 0)
        printf("%d frames never played: a live stream shorter than its pre-buffer of %d frames does not start\n",
               m_leftQueued, m_o.prebuffer);
}

const char* DeviceName(Device device)
{
    switch (device) {
    case Device::Virtual:
        return "virtual device";
    case Device::Alsa:
        return "ALSA default";
    default:
        return "default device";
    }
}

// The stream to play, from the file or the network, or null after saying why.
std::unique_ptr<FrameSource> OpenInput(const Options& o, Player** player)
{
    std::string error;
    std::unique_ptr<FrameSource> source =
        o.network.enabled
            ? svplay::OpenNetworkSource(o.network, o.sound.speedSet ? o.sound.speed : 1.0,
                                        [player] {
                                            if (*player != nullptr)
                                                (*player)->Idle();
                                        },
                                        &error)
            : svtool::OpenSource(o.input, o.source, &error);
    if (!source) {
        fprintf(stderr, "sonavex-play: %s\n", error.c_str());
        return nullptr;
    }
    // The recording is created at the device's open: it must not be the file
    // being played.
    struct stat in = {}, out = {};
    if (!o.sound.recordPath.empty() && stat(o.input.c_str(), &in) == 0 &&
        stat(o.sound.recordPath.c_str(), &out) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        fprintf(stderr, "sonavex-play: %s: --out names the input file; recording would overwrite it\n",
                o.sound.recordPath.c_str());
        return nullptr;
    }
    return source;
}

// The decoder on the output device, set as the options say, or null after
// saying why.
SV_DECODER OpenDecoder(const Options& o)
{
    SV_DECODER handle = SV_OpenSonavex(o.prebuffer == 20 ? SV_PREBUFFER_20 : SV_PREBUFFER_8,
                                       o.live ? SV_LIVE_STREAM : SV_FILE_PLAYBACK);
    if (handle == nullptr) {
        // The device opens the recording: a file it could not create is the
        // reason to give.
        const std::string recordError = svplay::RecordingError(o.sound);
        if (!recordError.empty())
            fprintf(stderr, "sonavex-play: %s\n", recordError.c_str());
        else
            fprintf(stderr, "sonavex-play: the library could not open the output device%s%s\n",
                    o.sound.recordPath.empty() ? "" : " or the recording ", o.sound.recordPath.c_str());
        return nullptr;
    }
    if (o.volumeSet && SV_AudioDecSetVolume(handle, o.volume) != 1)
        fprintf(stderr, "sonavex-play: the device refused the volume\n");
    if (o.mute)
        SV_SetMuteAudio(handle, 1);
    return handle;
}

void PrintHeader(const Options& o, const FrameSource& source)
{
    printf("%s: %s\n", o.input.c_str(), source.Describe().c_str());
    const svplay::SoundSettings& sound = o.sound;
    const Device device = sound.recordPath.empty() ? sound.device : Device::Virtual;
    printf("playing %s on the %s", o.live ? "live" : "as a file", DeviceName(device));
    if (!sound.recordPath.empty()) {
        printf(", recording to %s", sound.recordPath.c_str());
        if (sound.speedSet)
            printf(sound.speed > 0 ? " at %gx speed" : " as fast as it goes", sound.speed);
    }
    printf("\n");
    fflush(stdout);
}

// The exit status once the device is closed, after saying what went wrong.
int Outcome(const Options& o, const FrameSource& source, int64_t fed, bool finished)
{
    // Asked after the close, which finishes the file: a failed write, or the
    // header that could not be updated. Playback stopped at a failed write.
    const std::string recordError = svplay::RecordingError(o.sound);

    int status = 0;
    if (!recordError.empty()) {
        fprintf(stderr, "sonavex-play: %s (the file holds what was recorded before it)\n", recordError.c_str());
        status = 1;
    } else if (source.Error().empty() && fed == 0 && finished) {
        fprintf(stderr, "sonavex-play: %s: no audio in it\n", o.input.c_str());
        status = 1;
    }
    if (!source.Error().empty()) {
        fprintf(stderr, "sonavex-play: %s (the %lld frames before it were played)\n", source.Error().c_str(),
                static_cast<long long>(fed));
        status = 1;
    }
    if (!finished) {
        fprintf(stderr, "sonavex-play: interrupted\n");
        status = 130;
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = ParseOptions(argc, argv);

    Player* player = nullptr;
    std::unique_ptr<FrameSource> source = OpenInput(o, &player);
    if (!source)
        return 1;
    FILE* stats = nullptr;
    if (!o.statsPath.empty() && (stats = fopen(o.statsPath.c_str(), "w")) == nullptr) {
        fprintf(stderr, "sonavex-play: %s: cannot create it: %s\n", o.statsPath.c_str(), strerror(errno));
        return 1;
    }

    svplay::ApplySoundSettings(o.sound);
    svtool::CatchInterrupts();
    SV_DECODER handle = OpenDecoder(o);
    if (handle == nullptr)
        return 1;
    if (!o.quiet)
        PrintHeader(o, *source);

    Player playback(o, *source, handle);
    if (stats != nullptr)
        playback.WriteStatsTo(stats);
    player = &playback;
    const bool finished = playback.Run();
    player = nullptr;
    SV_CloseSonavex(handle);
    if (!o.quiet)
        playback.PrintSummary();
    if (stats != nullptr && fclose(stats) != 0) {
        fprintf(stderr, "sonavex-play: %s: writing failed: %s\n", o.statsPath.c_str(), strerror(errno));
        return 1;
    }
    return Outcome(o, *source, playback.Fed(), finished);
}
