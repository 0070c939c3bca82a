// Properties every device behind the wave stand-in keeps, run against each of
// them: the test device (stepped), the virtual device (recording to a WAV
// file) as fast as possible on a thread of its own and paced at 50 times real
// time by the pacer, and the ALSA device (through ALSA's file plugin, so
// the real ALSA path runs without a sound card and leaves what it played in a
// file).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <svwin/mmsystem.h>
#include <svwin/wavedevice.h>

#include "test_wave_common.h"

namespace {

using namespace wavetest;
typedef OutListener Listener;

std::string TempPath(const char* what) { return wavetest::TempPath("sonavex-wave-", what); }

// ALSA reads its configuration at the first open; this process's "default" is
// the file plugin of tests/alsa/asound.conf, writing to a file of its own.
const std::string kAlsaFile = TempPath(".raw");
const std::string kVirtualFile = TempPath(".wav");
const bool kAlsaConfigured = setenv("ALSA_CONFIG_PATH", SV_ALSA_FILE_CONF, 1) == 0 &&
                             setenv("SONAVEX_ALSA_FILE", kAlsaFile.c_str(), 1) == 0;

const auto kPatience = std::chrono::seconds(20);

std::vector<BYTE> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le(const std::vector<BYTE>& b, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | b[at + i];
    return v;
}

int16_t Sample(const std::vector<BYTE>& b, size_t i)
{
    int16_t v;
    memcpy(&v, &b[2 * i], 2);
    return v;
}

// A device, and for the virtual one its speed (0: as fast as possible).
struct DeviceParam {
    SvWaveDeviceKind kind;
    double speed;
};

class Device : public ::testing::TestWithParam<DeviceParam> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kAlsaConfigured);
        SvWaveTestReset();
        SvWaveVirtualSetSpeed(GetParam().speed);
        SvWaveVirtualSetRecordPath(kVirtualFile.c_str());
        SvWaveSetDefaultDevice(Kind());
    }
    SvWaveDeviceKind Kind() const { return GetParam().kind; }
    void TearDown() override
    {
        listener_.action = other_.action = nullptr;
        open_.CloseAll();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveVirtualSetRecordPath(nullptr);
        SvWaveVirtualSetSpeed(1);
        SvWaveTestReset();
        remove(kAlsaFile.c_str());
        remove(kVirtualFile.c_str());
    }

    HWAVEOUT Open(const WAVEFORMATEX& format, Listener* listener)
    {
        HWAVEOUT h = open_.Open(format, listener);
        if (h) {
            EXPECT_EQ(SvWaveGetDeviceKind(h), Kind());
        }
        return h;
    }
    MMRESULT Close(HWAVEOUT h) { return open_.Close(h); }

    // Lets the device play until `count` buffers have come back in all: the
    // test device is stepped, the others play by themselves.
    void PlayUntil(HWAVEOUT h, Listener& listener, size_t count)
    {
        if (Kind() == SV_WAVE_DEVICE_TEST) {
            const size_t have = listener.Done().size();
            if (count > have)
                SvWaveTestStep(h, static_cast<UINT>(count - have));
        }
        ASSERT_TRUE(listener.WaitFor(WOM_DONE, count, kPatience));
    }

    // What the device played, read once it is closed.
    std::vector<BYTE> Played(const WAVEFORMATEX& format)
    {
        switch (Kind()) {
        case SV_WAVE_DEVICE_TEST:
            return SvWaveTestOutput();
        case SV_WAVE_DEVICE_ALSA:
            return ReadAll(kAlsaFile);
        default: {
            std::vector<BYTE> wav = ReadAll(kVirtualFile);
            EXPECT_GE(wav.size(), 44u);
            if (wav.size() < 44)
                return {};
            EXPECT_EQ(memcmp(&wav[0], "RIFF", 4), 0);
            EXPECT_EQ(memcmp(&wav[8], "WAVEfmt ", 8), 0);
            EXPECT_EQ(Le(wav, 4, 4), wav.size() - 8);
            EXPECT_EQ(Le(wav, 20, 2), format.wFormatTag);
            EXPECT_EQ(Le(wav, 22, 2), format.nChannels);
            EXPECT_EQ(Le(wav, 24, 4), format.nSamplesPerSec);
            EXPECT_EQ(Le(wav, 28, 4), format.nAvgBytesPerSec);
            EXPECT_EQ(Le(wav, 32, 2), format.nBlockAlign);
            EXPECT_EQ(Le(wav, 34, 2), format.wBitsPerSample);
            EXPECT_EQ(memcmp(&wav[36], "data", 4), 0);
            EXPECT_EQ(Le(wav, 40, 4), wav.size() - 44);
            return std::vector<BYTE>(wav.begin() + 44, wav.end());
        }
        }
    }

    // `count` buffers of `samples` 16-bit samples, one ramp across them all.
    void MakeBuffers(int count, DWORD samples)
    {
        bufs_.MakeSamples(count, samples * 2, [samples](int i, DWORD s) {
            return static_cast<int16_t>(((i * samples + s) * 97) % 65536 - 32768);
        });
    }
    void QueueAll(HWAVEOUT h) { ASSERT_EQ(bufs_.Write(h, 0, bufs_.size()), MMSYSERR_NOERROR); }

    Listener listener_;
    Listener other_;
    OpenDevices<HWAVEOUT> open_;
    Buffers bufs_;
};

TEST_P(Device, NoticesComeInOrderOpenAndCloseOnTheCallerDoneOnTheDeviceThread)
{
    const auto me = std::this_thread::get_id();
    HWAVEOUT h = Open(Pcm16(1), &listener_);
    ASSERT_NE(h, nullptr);
    std::vector<Notice> all = listener_.All();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].msg, static_cast<UINT>(WOM_OPEN));
    EXPECT_EQ(all[0].thread, me);

    MakeBuffers(6, 160);
    QueueAll(h);
    PlayUntil(h, listener_, 6);
    std::vector<Notice> done = listener_.Done();
    ASSERT_EQ(done.size(), 6u);
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].hdr, &bufs_[i]) << i;
        EXPECT_NE(done[i].thread, me) << i;
        EXPECT_EQ(done[i].thread, done[0].thread) << i;
        EXPECT_EQ(done[i].flags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE)) << i;
    }

    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);
    all = listener_.All();
    EXPECT_EQ(all.back().msg, static_cast<UINT>(WOM_CLOSE));
    EXPECT_EQ(all.back().thread, me);
    EXPECT_EQ(all.size(), 8u);
}

TEST_P(Device, PlaysWhatWasWrittenSampleBySampleAtTheLevelSet)
{
    const WAVEFORMATEX format = Pcm16(2);
    HWAVEOUT h = Open(format, &listener_);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(waveOutSetVolume(h, 0x8000FFFF), MMSYSERR_NOERROR);  // left full, right half
    MakeBuffers(8, 320);
    QueueAll(h);
    PlayUntil(h, listener_, 8);
    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);

    const std::vector<BYTE> played = Played(format);
    ASSERT_EQ(played.size(), 8u * 640u);
    for (size_t i = 0; i < played.size() / 2; ++i) {
        const int16_t written = Sample(bufs_.Data(i / 320), i % 320);
        if (i % 2 == 0) {
            ASSERT_EQ(Sample(played, i), written) << i;
        } else {
            ASSERT_NEAR(Sample(played, i), written / 2.0, 1.0) << i;
        }
    }
}

TEST_P(Device, PositionNeverGoesBackNorPastWhatWasWrittenAndResetZeroesIt)
{
    HWAVEOUT h = Open(Pcm16(1), &listener_);
    MakeBuffers(8, 80);
    QueueAll(h);
    const DWORD written = 8 * 160;
    DWORD last = 0;
    for (size_t played = 1; played <= 8; ++played) {
        PlayUntil(h, listener_, played);
        MMTIME t = {};
        t.wType = TIME_BYTES;
        ASSERT_EQ(waveOutGetPosition(h, &t, sizeof(t)), MMSYSERR_NOERROR);
        EXPECT_GE(t.u.cb, last);
        EXPECT_LE(t.u.cb, written);
        EXPECT_GE(t.u.cb, played * 160);
        last = t.u.cb;
    }
    EXPECT_EQ(last, written);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    MMTIME t = {};
    t.wType = TIME_BYTES;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof(t)), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.cb, 0u);
}

TEST_P(Device, ResetReturnsEveryHeaderOnceInOrderAndNothingAfterwards)
{
    // In real time, so that some buffers are still queued at the reset.
    SvWaveVirtualSetSpeed(1);
    HWAVEOUT h = Open(Pcm16(1), &listener_);
    MakeBuffers(5, 800);  // 100 ms each
    QueueAll(h);
    PlayUntil(h, listener_, 1);
    ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);

    std::vector<Notice> done = listener_.Done();
    ASSERT_EQ(done.size(), 5u);
    const auto me = std::this_thread::get_id();
    bool returnedByReset = false;
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].hdr, &bufs_[i]) << i;
        EXPECT_EQ(done[i].flags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE)) << i;
        // Once the reset has returned one, it returned all that followed.
        if (done[i].thread == me)
            returnedByReset = true;
        else
            EXPECT_FALSE(returnedByReset) << i;
    }
    EXPECT_EQ(SvWaveTestQueued(h), 0u);
    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);
    EXPECT_EQ(listener_.Done().size(), 5u);
}

TEST_P(Device, TheCallbackKeepsARingGoingAndResetsFromInsideWithoutNesting)
{
    MakeBuffers(3, 80);
    int completions = 0;
    size_t noticesAfterInnerReset = 0;
    std::atomic<bool> allQueued{false};
    listener_.action = [&](HWAVEOUT hwo, UINT msg, LPWAVEHDR hdr) {
        if (msg != WOM_DONE || ++completions > 12)
            return;
        // A quick device may finish the first buffer before the others are
        // queued; the ring's order starts once all three are.
        for (int i = 0; i < 20000 && !allQueued.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (completions < 12) {
            waveOutUnprepareHeader(hwo, hdr, kHdr);
            waveOutPrepareHeader(hwo, hdr, kHdr);
            waveOutWrite(hwo, hdr, kHdr);
        } else {
            waveOutReset(hwo);
            // What the reset returned is not called back inside this callback.
            noticesAfterInnerReset = listener_.Done().size();
        }
    };
    HWAVEOUT h = Open(Pcm16(1), &listener_);
    QueueAll(h);
    allQueued = true;
    if (Kind() == SV_WAVE_DEVICE_TEST) {
        ASSERT_EQ(SvWaveTestStep(h, 12), 12u);
    }
    // Twelve played, and the two the reset inside the twelfth returned.
    ASSERT_TRUE(listener_.WaitDone(14));
    std::vector<Notice> done = listener_.Done();
    ASSERT_EQ(done.size(), 14u);
    EXPECT_EQ(noticesAfterInnerReset, 12u);
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].hdr, &bufs_[i % 3]) << i;
        EXPECT_EQ(done[i].depth, 1) << i;
    }
    EXPECT_EQ(SvWaveTestQueued(h), 0u);
    EXPECT_EQ(Close(h), MMSYSERR_NOERROR);
}

TEST_P(Device, CloseIsRefusedWhileBuffersAreQueuedAndAClosedHandleIsRefusedEverywhere)
{
    // The ALSA test sink takes every buffer at once, so none stays queued
    // long enough to try; the other two hold theirs.
    SvWaveVirtualSetSpeed(1);
    HWAVEOUT h = Open(Pcm16(1), &listener_);
    MakeBuffers(2, 8000);  // 1 s each
    if (Kind() != SV_WAVE_DEVICE_ALSA) {
        QueueAll(h);
        EXPECT_EQ(Close(h), static_cast<MMRESULT>(WAVERR_STILLPLAYING));
        DWORD volume = 0;
        EXPECT_EQ(waveOutGetVolume(h, &volume), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);
    DWORD volume = 0;
    EXPECT_EQ(waveOutGetVolume(h, &volume), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutWrite(h, &bufs_[0], kHdr), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutClose(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

TEST_P(Device, VolumeIsStoredExactlyPerHandle)
{
    HWAVEOUT a = Open(Pcm16(1), &listener_);
    HWAVEOUT b = Open(Pcm16(2), &other_);
    ASSERT_EQ(waveOutSetVolume(a, 0x0003C000), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutSetVolume(b, 0xFFFF0000), MMSYSERR_NOERROR);
    DWORD va = 0, vb = 0;
    ASSERT_EQ(waveOutGetVolume(a, &va), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutGetVolume(b, &vb), MMSYSERR_NOERROR);
    EXPECT_EQ(va, 0x0003C000u);
    EXPECT_EQ(vb, 0xFFFF0000u);
}

INSTANTIATE_TEST_SUITE_P(AllDevices, Device,
                         ::testing::Values(DeviceParam{SV_WAVE_DEVICE_TEST, 0}, DeviceParam{SV_WAVE_DEVICE_VIRTUAL, 0},
                                           DeviceParam{SV_WAVE_DEVICE_VIRTUAL, 50}, DeviceParam{SV_WAVE_DEVICE_ALSA, 0}),
                         [](const ::testing::TestParamInfo<DeviceParam>& p) {
                             return std::string(KindName(p.param.kind)) + (p.param.speed > 0 ? "Paced" : "");
                         });

// Paced virtual devices share one thread: each still plays its own buffers in
// order, one notice at a time, on a device thread that is not the caller's,
// and one stream's callback may reset and close another.
TEST(PacedDevices, ShareTheirThreadYetKeepEachStreamsOrderAndLetACallbackCloseAnother)
{
    const int kStreams = 12;
    const int kBuffers = 4;
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetRecordPath(nullptr);
    SvWaveVirtualSetSpeed(20);
    std::vector<Listener> listeners(kStreams);
    std::vector<Buffers> bufs(kStreams);
    OpenDevices<HWAVEOUT> open;
    std::vector<HWAVEOUT> h(kStreams);
    // Stream 0's first notice resets and closes the last stream, whose
    // buffers are long enough to be playing still.
    MMRESULT reset = MMSYSERR_ERROR, closed = MMSYSERR_ERROR;
    listeners[0].action = [&](HWAVEOUT, UINT msg, LPWAVEHDR) {
        if (msg == WOM_DONE && closed != MMSYSERR_NOERROR) {
            reset = waveOutReset(h[kStreams - 1]);
            closed = waveOutClose(h[kStreams - 1]);
        }
    };
    for (int i = 0; i < kStreams; ++i) {
        h[i] = open.Open(Pcm16(1), &listeners[i]);
        ASSERT_NE(h[i], nullptr);
        bufs[i].MakeSamples(kBuffers, i == kStreams - 1 ? 16000 : 320,
                            [](int b, DWORD s) { return static_cast<int16_t>(b * 1000 + s); });
    }
    for (int i = 0; i < kStreams; ++i)
        ASSERT_EQ(bufs[i].Write(h[i], 0, kBuffers), MMSYSERR_NOERROR);
    for (int i = 0; i < kStreams; ++i)
        ASSERT_TRUE(listeners[i].WaitDone(kBuffers)) << "stream " << i;
    EXPECT_EQ(reset, MMSYSERR_NOERROR);
    EXPECT_EQ(closed, MMSYSERR_NOERROR);
    open.Forget(h[kStreams - 1]);
    EXPECT_EQ(listeners[kStreams - 1].Of(WOM_CLOSE).size(), 1u);

    const auto me = std::this_thread::get_id();
    const std::thread::id pacer = listeners[0].Done()[0].thread;
    for (int i = 0; i < kStreams - 1; ++i) {
        const std::vector<Notice> done = listeners[i].Done();
        ASSERT_EQ(done.size(), static_cast<size_t>(kBuffers)) << "stream " << i;
        for (int b = 0; b < kBuffers; ++b) {
            EXPECT_EQ(done[b].hdr, &bufs[i][b]) << "stream " << i << ", buffer " << b;
            EXPECT_NE(done[b].thread, me) << "stream " << i << ", buffer " << b;
            EXPECT_EQ(done[b].thread, pacer) << "stream " << i << ", buffer " << b;
            EXPECT_EQ(done[b].depth, 1) << "stream " << i << ", buffer " << b;
        }
    }
    // The closed stream's buffers came back once each, in order.
    const std::vector<Notice> last = listeners[kStreams - 1].Done();
    ASSERT_EQ(last.size(), static_cast<size_t>(kBuffers));
    for (int b = 0; b < kBuffers; ++b)
        EXPECT_EQ(last[b].hdr, &bufs[kStreams - 1][b]) << b;
    open.CloseAll();
    SvWaveVirtualSetSpeed(1);
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
}

TEST(AutomaticDevice, IsAlsaWhenItsDefaultPcmOpens)
{
    ASSERT_TRUE(kAlsaConfigured);
    if (getenv(SV_WAVE_DEVICE_ENV) != nullptr)
        GTEST_SKIP() << SV_WAVE_DEVICE_ENV << " chooses the device in this environment";
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    const WAVEFORMATEX f = Pcm16(1);
    HWAVEOUT h = nullptr;
    ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveGetDeviceKind(h), SV_WAVE_DEVICE_ALSA);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    remove(kAlsaFile.c_str());
}

}  // namespace
