// Devices that stop moving. A close or a stop must return, and the host go on,
// whatever the sound server behind the device does: on the test device, a
// device call that never returns; on the ALSA device, a private PulseAudio
// server (ALSA's pulse plugin) whose sink writes to a FIFO nobody reads and
// whose source reads one nobody writes, as a suspended server or a headset
// that stopped streaming leaves them. Once the FIFOs move again, a new open
// plays and records.
//
// The bounds below are there to catch a hang, not to time the close: the
// close's own bound is 500 ms, and a loaded machine may take longer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <svwin/wavedevice.h>

#include "sonavex.h"
#include "test_codec_amr_streams.h"
#include "test_codec_signals.h"

namespace {

using namespace std::chrono_literals;

const auto kHang = 10s;  // longer than any bounded close on a loaded machine

// Runs `call` on a thread of its own; false when it has not returned within
// kHang (the thread is then left behind, and the test has failed).
template <typename Call>
bool Returns(Call call)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    return returned.wait_for(kHang) == std::future_status::ready;
}

// Waits up to kHang for `ready`, looking every 20 ms.
template <typename Ready>
bool Eventually(Ready ready)
{
    const auto end = std::chrono::steady_clock::now() + kHang;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::vector<codectest::AmrFrame> Speech(int frames)
{
    return codectest::AmrEncode(codectest::Sine(440, 8000, frames * 160), 7);
}

void Feed(SV_DECODER h, const std::vector<codectest::AmrFrame>& frames, int64_t firstPts)
{
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(SV_InputAudioBuffer(h, frames[i].data(), static_cast<int32_t>(frames[i].size()), SV_PAYLOAD_AMR,
                                      firstPts + static_cast<int64_t>(i) * 20, 1),
                  1);
}

int64_t Playing(SV_DECODER h)
{
    int64_t pts = 0;
    SV_GetPts(h, &pts, nullptr);
    return pts;
}

// ---- The test device: a device call that never returns ---------------------

class HungDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
        SvWaveTestReset();
        SvWaveTestFaults faults = {};
        faults.bHangDevice = TRUE;
        SvWaveTestSetFaults(&faults);
    }
    void TearDown() override
    {
        EXPECT_TRUE(SvWaveTestReleaseDevices()) << "an abandoned device thread did not end once released";
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    }
};

// Both directions: the device thread is caught in a call that ignores the
// reset and the close; the close returns all the same, and once the device is
// released its thread ends and lets go of everything (the sanitizer builds
// see any leak). The next open, on a device that moves, plays or records.
TEST_F(HungDeviceTest, TheCloseReturnsAndTheNextOpenWorks)
{
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(Eventually([] { return SvWaveTestQueued(SvWaveTestLatestHandle()) > 0; }));
    int closed = 0;
    EXPECT_TRUE(Returns([&] { closed = SV_CloseSonavex(h); }));
    EXPECT_EQ(closed, 1);

    SV_CAPTURE c = SV_OpenAudioCapture();
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(Returns([&] { closed = SV_CloseAudioCapture(c); }));
    EXPECT_EQ(closed, 1);

    ASSERT_TRUE(SvWaveTestReleaseDevices());
    SvWaveTestSetFaults(nullptr);
    h = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    Feed(h, Speech(4), 1000);
    EXPECT_EQ(SvWaveTestStep(SvWaveTestLatestHandle(), 1), 1u);
    EXPECT_GE(Playing(h), 1000);
    EXPECT_EQ(SV_CloseSonavex(h), 1);
}

// ---- ALSA over a stalled PulseAudio server --------------------------------

class StalledServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A short place: the server's socket lives in it.
        char tmpl[] = "/tmp/svstallXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        const std::string start = std::string("'") + SV_PULSE_FIXTURE + "' start '" + dir_ + "' stalled >/dev/null";
        ASSERT_EQ(system(start.c_str()), 0);
        if (access((dir_ + "/ready").c_str(), F_OK) != 0)
            GTEST_SKIP() << "pulseaudio is not installed (scripts/setup.sh --test installs it)";
        setenv("PULSE_SERVER", ("unix:" + dir_ + "/native").c_str(), 1);
        setenv("ALSA_CONFIG_PATH", SV_ALSA_PULSE_CONF, 1);
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_ALSA);
        // Without ALSA's pulse plugin, ALSA has no device here at all.
        WAVEFORMATEX f = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
        HWAVEOUT probe = nullptr;
        if (waveOutOpen(&probe, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
            GTEST_SKIP() << "ALSA cannot reach the PulseAudio server (libasound2-plugins has its pulse plugin)";
        waveOutClose(probe);
    }
    void TearDown() override
    {
        stop_ = true;
        if (mover_.joinable())
            mover_.join();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        if (!dir_.empty()) {
            const std::string stop = "'" SV_PULSE_FIXTURE "' stop '" + dir_ + "' >/dev/null && rm -rf '" + dir_ + "'";
            EXPECT_EQ(system(stop.c_str()), 0);
        }
    }

    // The server recovers: something reads what its sink plays, or writes
    // `signal` (looped) for its source to record.
    void Recover(const char* fifo, const std::vector<short>* signal)
    {
        const std::string path = dir_ + "/" + fifo;
        mover_ = std::thread([this, path, signal] {
            const int fd = open(path.c_str(), (signal ? O_WRONLY : O_RDONLY) | O_NONBLOCK);
            if (fd < 0)
                return;
            std::vector<short> buf(1600);
            size_t at = 0;
            while (!stop_) {
                if (signal) {
                    // 100 ms at a time, at about the source's pace.
                    for (size_t i = 0; i < buf.size(); ++i)
                        buf[i] = (*signal)[(at + i) % signal->size()];
                    const ssize_t n = write(fd, buf.data(), buf.size() * 2);
                    if (n > 0)
                        at = (at + static_cast<size_t>(n) / 2) % signal->size();
                    std::this_thread::sleep_for(100ms);
                } else if (read(fd, buf.data(), buf.size()) <= 0) {
                    std::this_thread::sleep_for(5ms);
                }
            }
            close(fd);
        });
    }

    // Runs a tool in the background with its output in files of the test's.
    pid_t Start(const std::string& program, const std::string& args)
    {
        const std::string cmd = "exec '" + program + "' " + args + " >'" + dir_ + "/out' 2>'" + dir_ + "/err'";
        const pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }
    std::string Err() const
    {
        std::string text;
        if (FILE* f = fopen((dir_ + "/err").c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                text.append(buf, n);
            fclose(f);
        }
        return text;
    }
    // The tool's exit status, or -1 when it has not ended within kHang.
    static int Exit(pid_t pid)
    {
        int status = 0;
        const bool ended = Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    std::thread mover_;
    std::atomic<bool> stop_{false};
};

TEST_F(StalledServerTest, PlaybackClosesOnAStalledSinkAndPlaysOnceItMoves)
{
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    Feed(h, Speech(100), 1000);
    // The sink takes what its buffers hold, then nothing more.
    int queued = 0;
    ASSERT_TRUE(Eventually([&] {
        queued = SV_AudioDecGetFrames(h);
        std::this_thread::sleep_for(300ms);
        return queued == SV_AudioDecGetFrames(h);
    }));
    EXPECT_GT(queued, 0) << "the stalled sink took the whole stream";
    int closed = 0;
    EXPECT_TRUE(Returns([&] { closed = SV_CloseSonavex(h); }));
    EXPECT_EQ(closed, 1);

    Recover("play.fifo", nullptr);
    h = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    Feed(h, Speech(50), 1000);
    EXPECT_TRUE(Eventually([&] { return SV_AudioDecGetFrames(h) == 0; })) << SV_AudioDecGetFrames(h) << " frames left";
    EXPECT_EQ(SV_CloseSonavex(h), 1);
}

TEST_F(StalledServerTest, CaptureClosesOnAStalledSourceAndRecordsOnceItMoves)
{
    SV_CAPTURE c = SV_OpenAudioCapture();
    ASSERT_NE(c, nullptr);
    std::vector<unsigned char> frame(4096);
    uint32_t length = static_cast<uint32_t>(frame.size());
    std::this_thread::sleep_for(300ms);
    EXPECT_NE(SV_ReadAudioBuffer(c, frame.data(), &length, 0), 1) << "a stalled source delivered audio";
    int closed = 0;
    EXPECT_TRUE(Returns([&] { closed = SV_CloseAudioCapture(c); }));
    EXPECT_EQ(closed, 1);

    // A ramp, so that what comes back can be found in what was written.
    std::vector<short> ramp(8000);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<short>(static_cast<int>(i) * 7 - 28000);
    Recover("capture.fifo", &ramp);
    c = SV_OpenAudioCapture();
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(Eventually([&] {
        length = static_cast<uint32_t>(frame.size());
        return SV_ReadAudioBuffer(c, frame.data(), &length, 0) == 1 && length >= 320;
    }));
    // Every sample steps by 7 from the one before, but where the ramp wraps.
    short prev;
    memcpy(&prev, frame.data(), 2);
    for (uint32_t i = 2; i + 1 < length; i += 2) {
        short s;
        memcpy(&s, frame.data() + i, 2);
        if (s != prev + 7) {
            EXPECT_EQ(s, -28000) << "sample " << i / 2 << " does not continue the ramp";
        }
        prev = s;
    }
    EXPECT_EQ(SV_CloseAudioCapture(c), 1);
}

// The tools on the stalled server: each says the device has stopped, ends on
// Ctrl-C with 130, and the recorder's duration ends it.
TEST_F(StalledServerTest, ToolsSayTheDeviceStoppedAndEndOnCtrlC)
{
    pid_t player = Start(SV_PLAY_EXE, std::string("--device alsa --file '") + SV_SAMPLES_DIR + "/speech.amr'");
    EXPECT_TRUE(Eventually([&] { return Err().find("output device has not taken audio for 5 s") != std::string::npos; }))
        << Err();
    kill(player, SIGINT);
    EXPECT_EQ(Exit(player), 130) << Err();

    pid_t recorder = Start(SV_RECORD_EXE, "--device alsa '" + dir_ + "/rec.wav'");
    EXPECT_TRUE(Eventually([&] { return Err().find("input device has not delivered audio for 5 s") != std::string::npos; }))
        << Err();
    kill(recorder, SIGINT);
    EXPECT_EQ(Exit(recorder), 130) << Err();

    recorder = Start(SV_RECORD_EXE, "--device alsa --duration 1 '" + dir_ + "/rec.wav'");
    EXPECT_EQ(Exit(recorder), 1) << Err();
    EXPECT_NE(Err().find("the input device delivered 00:00.0 of the 00:01.0 asked for"), std::string::npos) << Err();
}

} // namespace
