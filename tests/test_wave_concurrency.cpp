// The wave device and the stand-in with two threads at work: a close that
// meets a busy callback, a host that queues frames while the device plays, and
// resets that race the device thread. Run under ThreadSanitizer (label tsan).
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <svwin/wavedevice.h>

#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "test_access.h"
#include "test_wave_common.h"

namespace {

const DWORD kBuf = 640;

using wavetest::Frame;
using wavetest::kHdr;

// Polls `done` every millisecond, for at most 20 s.
template <typename F>
bool Eventually(F done)
{
    for (int i = 0; i < 20000; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

class WaveThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
        fb_.AllocRing(0x100000);
        fb_.SetPlayMode(0, 0);
    }
    void TearDown() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveVirtualSetRecordPath(nullptr);
        SvWaveVirtualSetSpeed(1);
        SvWaveTestReset();
    }
    void Push(const std::vector<BYTE>& f) { fb_.PushFrame(f.data(), static_cast<int>(f.size())); }

    CAudioFrameBuffer fb_;
};

TEST_F(WaveThreads, NoCallbackRunsAfterACloseThatMetABusyCallback)
{
    CAudio audio;
    audio.SetFrameBuffer(&fb_);
    for (int i = 0; i < 4; ++i)
        Push(Frame(kBuf, i));
    ASSERT_EQ(audio.WaveOutOpen(3), 1);
    const HWAVEOUT h = Inside(audio).m_hWaveOut;

    // Holding the frame buffer's lock stalls the next refill inside ReadFrame.
    EnterCriticalSection(&Inside(fb_).m_cs);
    std::thread stepper([&] { SvWaveTestStep(h, 1); });
    ASSERT_TRUE(Eventually([&] {
        for (const SvWaveCall& c : SvWaveTestCalls()) {
            if (c.nCall == SV_WAVE_CALL_PREPARE && c.bDeviceThread)
                return true;
        }
        return false;
    }));
    // The callback has passed its state check; now the close begins...
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        audio.WaveOutClose();
        closed = true;
    });
    ASSERT_TRUE(Eventually([&] { return Inside(audio).m_cOutState.load() != 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(closed.load());  // waiting for the callback to let go
    // ...and the callback, released, queues its buffer again after the close began.
    LeaveCriticalSection(&Inside(fb_).m_cs);
    closer.join();
    stepper.join();
    const UINT recordedAtClose = SvWaveTestCallCount();

    EXPECT_EQ(Inside(audio).m_cOutState.load(), 2);
    for (unsigned char* p : Inside(audio).m_pOutBuffer)
        EXPECT_EQ(p, nullptr);
    const std::vector<SvWaveCall> calls = SvWaveTestCalls();
    int lateWrites = 0, returnedByReset = 0, closes = 0;
    for (const SvWaveCall& c : calls) {
        if (c.nCall == SV_WAVE_CALL_WRITE && c.bDeviceThread)
            ++lateWrites;
        if (c.nCall == SV_WAVE_CALLBACK && c.uArg == WOM_DONE && !c.bDeviceThread)
            ++returnedByReset;
        if (c.nCall == SV_WAVE_CALL_CLOSE) {
            ++closes;
            EXPECT_EQ(c.mmr, MMSYSERR_NOERROR);  // nothing was left queued
        }
    }
    EXPECT_EQ(lateWrites, 1);
    EXPECT_EQ(returnedByReset, 10);  // the nine queued and the late one
    EXPECT_EQ(closes, 1);
    // The device is gone: nothing can call back any more.
    EXPECT_EQ(SvWaveTestStep(h, 1), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(SvWaveTestCallCount(), recordedAtClose);
}

TEST_F(WaveThreads, TheHostQueuesFramesWhileTheDevicePlaysThemInOrder)
{
    CAudio audio;
    audio.SetFrameBuffer(&fb_);
    const int frames = 400;  // 320 bytes each: 200 buffers
    std::vector<std::vector<BYTE>> f;
    for (int i = 0; i < frames; ++i)
        f.push_back(Frame(320, i));
    ASSERT_EQ(audio.WaveOutOpen(3), 1);
    const HWAVEOUT h = Inside(audio).m_hWaveOut;

    // The host feeds and turns the volume knob; the stepper plays only while
    // a whole buffer's worth is queued, so no refill ever runs short.
    std::thread host([&] {
        for (int i = 0; i < frames; ++i) {
            Push(f[i]);
            audio.SetVolume(0xFFFF);
            audio.GetVolume();
            if (i % 7 == 0)
                std::this_thread::yield();
        }
    });
    // Each step refills one buffer from two frames; the last ten refills are
    // heard in the ten steps after.
    int refills = 0;
    ASSERT_TRUE(Eventually([&] {
        while (refills < frames / 2 && fb_.GetFrameCount() >= 2) {
            if (SvWaveTestStep(h, 1) != 1)
                return false;
            ++refills;
        }
        return refills == frames / 2;
    }));
    host.join();
    ASSERT_EQ(SvWaveTestStep(h, 10), 10u);
    audio.WaveOutClose();

    std::vector<BYTE> expected;
    for (const auto& frame : f)
        expected.insert(expected.end(), frame.begin(), frame.end());
    std::vector<BYTE> out(expected.size());
    ASSERT_EQ(SvWaveTestReadOutput(10 * kBuf, out.data(), static_cast<DWORD>(out.size())), out.size());
    EXPECT_TRUE(out == expected);
}

TEST_F(WaveThreads, TheVirtualDevicePlaysAndRecordsTheQueueThroughTheWaveDevice)
{
    const std::string wav = "/tmp/sonavex-wave-threads-" + std::to_string(getpid()) + ".wav";
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetSpeed(0);
    SvWaveVirtualSetRecordPath(wav.c_str());
    std::vector<BYTE> expected;
    for (int i = 0; i < 24; ++i) {
        const std::vector<BYTE> frame = Frame(320, i);
        Push(frame);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    CAudio audio;
    audio.SetFrameBuffer(&fb_);
    ASSERT_EQ(audio.WaveOutOpen(3), 1);
    ASSERT_TRUE(Eventually([&] {
        MMTIME t = {};
        t.wType = TIME_BYTES;
        waveOutGetPosition(Inside(audio).m_hWaveOut, &t, sizeof(t));
        return t.u.cb >= expected.size() + 10 * kBuf;
    }));
    audio.WaveOutClose();
    EXPECT_EQ(Inside(audio).m_cOutState.load(), 2);

    std::ifstream in(wav, std::ios::binary);
    std::vector<BYTE> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    remove(wav.c_str());
    // As fast as it goes, the device may hand a buffer back before the open has
    // queued the rest, so the ten silent buffers need not all come first;
    // taken out, what remains begins with the frames, whole and in order.
    std::vector<BYTE> sound;
    int silent = 0;
    for (size_t at = 44; at + kBuf <= file.size() && sound.size() < expected.size(); at += kBuf) {
        if (std::all_of(file.begin() + at, file.begin() + at + kBuf, [](BYTE b) { return b == 0; }))
            ++silent;
        else
            sound.insert(sound.end(), file.begin() + at, file.begin() + at + kBuf);
    }
    EXPECT_LE(silent, 10);
    EXPECT_TRUE(sound == expected);
}

// A ring of three buffers that the callback keeps going on the device thread
// while another thread resets it; each reset must return every buffer once.
TEST_F(WaveThreads, ResetsFromAnotherThreadRaceTheCallbacksThatRequeue)
{
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetSpeed(0);
    struct Ring {
        std::atomic<bool> requeue{true};
        std::atomic<int> notices{0};
    } ring;
    auto proc = [](HDRVR hdrvr, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
        HWAVEOUT hwo = reinterpret_cast<HWAVEOUT>(hdrvr);
        Ring* r = reinterpret_cast<Ring*>(instance);
        if (msg != WOM_DONE)
            return;
        ++r->notices;
        if (r->requeue.load())
            waveOutWrite(hwo, reinterpret_cast<LPWAVEHDR>(p1), kHdr);
    };
    const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    std::vector<BYTE> data(3 * 64, 1);
    for (int round = 0; round < 50; ++round) {
        HWAVEOUT h = nullptr;
        ASSERT_EQ(waveOutOpen(&h, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(+proc),
                              reinterpret_cast<DWORD_PTR>(&ring), CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        WAVEHDR hdrs[3] = {};
        ring.requeue = true;
        for (int i = 0; i < 3; ++i) {
            hdrs[i].lpData = reinterpret_cast<LPSTR>(&data[64 * i]);
            hdrs[i].dwBufferLength = 64;
            ASSERT_EQ(waveOutPrepareHeader(h, &hdrs[i], kHdr), MMSYSERR_NOERROR);
            ASSERT_EQ(waveOutWrite(h, &hdrs[i], kHdr), MMSYSERR_NOERROR);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
        ring.requeue = false;
        ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
        for (const WAVEHDR& hdr : hdrs)
            EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE)) << round;
        EXPECT_EQ(SvWaveTestQueued(h), 0u);
        ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR) << round;
    }
}

}  // namespace
