// The capture object and the four capture exports, on the stand-in's test
// input device: the reader's rules, open, clear and close, the shared handle
// and its count, failures (with the bounded close counted through the sleep
// hook), and the recorded signal coming out of SV_ReadAudioBuffer sample for
// sample.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "sonavex.h"
#include "audio/audio.h"
#include "audio/audiocapture.h"
#include "audio/audioframebuffer.h"
#include "support/autocri.h"
#include "support/systems.h"
#include "test_access.h"
#include "test_wave_common.h"

namespace {

using wavetest::Ramp;

const DWORD kFrame = 320;  // one recorded buffer, queued as one frame
// The debugger text of a failed device open: 24 stars and "failed to open"
// in code page 936.
const std::string kOpenFailedTrace =
    "************************\xB4\xF2\xBF\xAA\xCA\xA7\xB0\xDC"
    "WaveInOpen()";

class Capture : public wavetest::TestDeviceTest {
protected:
    void SetUp() override
    {
        TestDeviceTest::SetUp();
        SvSetDebugOutputSink(&Capture::Trace, this);
    }
    void TearDown() override
    {
        // Whatever a failed test left open is closed, so the next starts at 0.
        while (g_Systems.GetCaptureRefs() > 0)
            SV_CloseAudioCapture(reinterpret_cast<SV_CAPTURE>(g_Systems.GetCapture()));
        SvSetDebugOutputSink(nullptr, nullptr);
        TestDeviceTest::TearDown();
    }

    static void Trace(const char* text, void* user)
    {
        Capture* self = static_cast<Capture*>(user);
        std::lock_guard<std::mutex> lock(self->traceMutex_);
        self->traces_.push_back(text);
    }

    std::vector<std::string> Traces(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(traceMutex_);
        std::vector<std::string> some;
        for (const std::string& t : traces_) {
            if (t == text)
                some.push_back(t);
        }
        return some;
    }
    size_t CallsOf(int kind) { return Calls(kind).size(); }
    size_t Succeeded(int kind)
    {
        std::vector<SvWaveCall> calls = Calls(kind);
        return static_cast<size_t>(std::count_if(calls.begin(), calls.end(),
                                                 [](const SvWaveCall& c) { return c.mmr == MMSYSERR_NOERROR; }));
    }
    void FailDeviceOpens()
    {
        SvWaveTestFaults refuse = {};
        refuse.mmrOpen = MMSYSERR_ALLOCATED;
        SvWaveTestSetFaults(&refuse);
    }
    void Feed(const std::vector<BYTE>& bytes) { SvWaveTestFeedInput(bytes.data(), static_cast<DWORD>(bytes.size())); }
    DWORD Record(size_t frames) { return SvWaveTestRecord(SvWaveTestLatestInHandle(), static_cast<DWORD>(frames * kFrame)); }
    // One read of up to `room` bytes; the frame delivered, or nothing.
    bool Read(SV_CAPTURE h, std::vector<BYTE>* frame, uint32_t room = 4096)
    {
        frame->assign(room, 0xEE);
        uint32_t length = room;
        const int32_t got = SV_ReadAudioBuffer(h, frame->data(), &length, 0);
        frame->resize(got == 1 ? length : 0);
        return got == 1;
    }
    // Pushes and reads eight frames, so that the frame buffer's one-time
    // pre-buffer is behind it.
    void PassPreBuffer(CAudioCapture& c)
    {
        const std::vector<BYTE> frame(kFrame, 1);
        for (int i = 0; i < 8; ++i)
            Inside(c).m_pFrameBuffer->PushFrame(frame.data(), static_cast<int>(frame.size()));
        for (int i = 0; i < 8; ++i) {
            unsigned char out[kFrame];
            unsigned int len = kFrame;
            ASSERT_EQ(c.ReadAudioBuffer(out, &len), 1);
        }
        ASSERT_EQ(Inside(c).m_pFrameBuffer->GetDataSize(), 0);
    }

    std::mutex traceMutex_;
    std::vector<std::string> traces_;
};

// ---- The capture object ------------------------------------------------------

// Every read that delivers nothing reports 0 bytes delivered, whatever kept
// the frame back.
TEST_F(Capture, AReadWithoutRoomOrFrameBufferReturnsZeroAndDeliversZeroBytes)
{
    CAudioCapture c;
    unsigned char out[kFrame];
    unsigned int len = kFrame;
    EXPECT_EQ(c.ReadAudioBuffer(out, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(c.ReadAudioBuffer(out, nullptr), 0);

    ASSERT_EQ(c.CreateFrameBuffer(), 1);
    PassPreBuffer(c);
    const std::vector<BYTE> frame = Ramp(kFrame);
    Inside(c).m_pFrameBuffer->PushFrame(frame.data(), kFrame);
    len = 0;
    EXPECT_EQ(c.ReadAudioBuffer(out, &len), 0);
    EXPECT_EQ(len, 0u);
    len = kFrame;
    EXPECT_EQ(c.ReadAudioBuffer(nullptr, &len), 0);
    EXPECT_EQ(len, 0u);
    // Nothing was taken by the refused reads.
    EXPECT_EQ(Inside(c).m_pFrameBuffer->GetDataSize(), static_cast<int>(kFrame));
    len = kFrame;
    EXPECT_EQ(c.ReadAudioBuffer(out, &len), 1);
    EXPECT_EQ(memcmp(out, frame.data(), kFrame), 0);
}

TEST_F(Capture, TheReaderHoldsBackUntil130BytesAreQueuedThenTakesOneFrame)
{
    CAudioCapture c;
    ASSERT_EQ(c.CreateFrameBuffer(), 1);
    PassPreBuffer(c);
    const std::vector<BYTE> bytes = Ramp(130, 5);
    Inside(c).m_pFrameBuffer->PushFrame(bytes.data(), 129);
    unsigned char out[kFrame];
    unsigned int len = 999;
    EXPECT_EQ(c.ReadAudioBuffer(out, &len), 0);
    EXPECT_EQ(len, 0u);
    Inside(c).m_pFrameBuffer->PushFrame(bytes.data() + 129, 1);
    len = kFrame;
    ASSERT_EQ(c.ReadAudioBuffer(out, &len), 1);
    EXPECT_EQ(len, 129u);
    EXPECT_EQ(memcmp(out, bytes.data(), 129), 0);
    // One frame per read: the 1-byte frame is still queued, below the mark.
    EXPECT_EQ(Inside(c).m_pFrameBuffer->GetDataSize(), 1);
    EXPECT_EQ(c.ReadAudioBuffer(out, &len), 0);
}

TEST_F(Capture, AFrameLongerThanTheHostsRoomIsCutToIt)
{
    CAudioCapture c;
    ASSERT_EQ(c.CreateFrameBuffer(), 1);
    PassPreBuffer(c);
    const std::vector<BYTE> frame = Ramp(kFrame, 6);
    Inside(c).m_pFrameBuffer->PushFrame(frame.data(), kFrame);
    Inside(c).m_pFrameBuffer->PushFrame(frame.data(), kFrame);
    std::vector<unsigned char> out(kFrame, 0xEE);
    unsigned int len = 100;
    ASSERT_EQ(c.ReadAudioBuffer(out.data(), &len), 1);
    EXPECT_EQ(len, 100u);
    EXPECT_EQ(memcmp(out.data(), frame.data(), 100), 0);
    EXPECT_EQ(out[100], 0xEE);
    // The rest of that frame is gone; the next read starts the next frame.
    EXPECT_EQ(Inside(c).m_pFrameBuffer->GetDataSize(), static_cast<int>(kFrame));
}

TEST_F(Capture, ClearWorksWithAndWithoutAFrameBuffer)
{
    CAudioCapture c;
    EXPECT_EQ(c.Clear(), 1);
    ASSERT_EQ(c.CreateFrameBuffer(), 1);
    const std::vector<BYTE> frame(kFrame, 3);
    Inside(c).m_pFrameBuffer->PushFrame(frame.data(), kFrame);
    EXPECT_EQ(c.Clear(), 1);
    EXPECT_EQ(Inside(c).m_pFrameBuffer->GetDataSize(), 0);
}

TEST_F(Capture, OpenRecordsCloseTwiceGivesOneThenZeroAndTheFrameBufferStays)
{
    CAudioCapture c;
    ASSERT_EQ(c.Open(), 1);
    ASSERT_NE(Inside(c).m_pAudio, nullptr);
    ASSERT_NE(Inside(c).m_pFrameBuffer, nullptr);
    CAudioTestAccess audio = Inside(*Inside(c).m_pAudio);
    EXPECT_EQ(audio.m_pFrameBuffer, Inside(c).m_pFrameBuffer);
    EXPECT_EQ(audio.m_dwInBufferSize, kFrame);
    EXPECT_EQ(audio.m_cInState.load(), 0);
    ASSERT_EQ(Record(3), 3 * kFrame);
    CAudioFrameBuffer* fb = Inside(c).m_pFrameBuffer;
    EXPECT_EQ(fb->GetFrameCount(), 3u);

    EXPECT_EQ(c.Close(), 1);
    EXPECT_EQ(Inside(c).m_pAudio, nullptr);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_CLOSE), 1u);
    EXPECT_EQ(c.Close(), 0);
    EXPECT_EQ(Inside(c).m_pFrameBuffer, fb);
    EXPECT_EQ(fb->GetFrameCount(), 3u);
    EXPECT_EQ(c.Clear(), 1);
    EXPECT_EQ(fb->GetFrameCount(), 0u);
}

TEST_F(Capture, OpenIsRefusedWhileAWaveDeviceIsPresent)
{
    CAudioCapture c;
    ASSERT_EQ(c.Open(), 1);
    CAudio* audio = Inside(c).m_pAudio;
    CAudioFrameBuffer* fb = Inside(c).m_pFrameBuffer;
    EXPECT_EQ(c.Open(), 0);
    EXPECT_EQ(Inside(c).m_pAudio, audio);
    EXPECT_EQ(Inside(c).m_pFrameBuffer, fb);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_OPEN), 1u);
}

// A device that cannot be opened, or that opens but gets no buffer recording
// (every prepare, every add or the start refused), fails the open alike: the
// trace, the bounded close that gives back whatever device was opened, the
// frame buffer kept.
TEST_F(Capture, AFailedDeviceOpenTracesClosesWithinItsBoundAndKeepsTheFrameBuffer)
{
    struct Row {
        const char* name;
        SvWaveTestFaults faults;
        DWORD slept;  // the 200 ms pause, and 2 s when no close notice can come
    };
    SvWaveTestFaults open = {}, prepare = {}, add = {}, start = {};
    open.mmrOpen = MMSYSERR_ALLOCATED;
    prepare.nPrepareFailAt = 1;
    prepare.nPrepareFailCount = 10;
    prepare.mmrPrepare = MMSYSERR_NOMEM;
    add.mmrWrite = MMSYSERR_NOMEM;
    start.mmrStart = MMSYSERR_ERROR;
    const Row rows[] = {{"open", open, 2200}, {"prepare", prepare, 200}, {"add", add, 200}, {"start", start, 200}};
    for (const Row& row : rows) {
        SvWaveTestReset();
        sleeps_.clear();
        {
            std::lock_guard<std::mutex> lock(traceMutex_);
            traces_.clear();
        }
        Faults(row.faults);
        CAudioCapture c;
        EXPECT_EQ(c.Open(), 0) << row.name;
        EXPECT_EQ(Inside(c).m_pAudio, nullptr) << row.name;
        EXPECT_NE(Inside(c).m_pFrameBuffer, nullptr) << row.name;
        EXPECT_EQ(Traces(kOpenFailedTrace).size(), 1u) << row.name;
        EXPECT_EQ(Slept(), row.slept) << row.name;
        EXPECT_EQ(Succeeded(SV_WAVE_CALL_IN_OPEN), Succeeded(SV_WAVE_CALL_IN_CLOSE)) << row.name;
        // Open once more: the device is tried again.
        SvWaveTestSetFaults(nullptr);
        EXPECT_EQ(c.Open(), 1) << row.name;
    }
}

// ---- The exports -------------------------------------------------------------

TEST_F(Capture, TwoOpensShareOneObjectAndTheFirstCloseKeepsItRecording)
{
    SV_CAPTURE a = SV_OpenAudioCapture();
    SV_CAPTURE b = SV_OpenAudioCapture();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 2);
    EXPECT_EQ(reinterpret_cast<SV_CAPTURE>(g_Systems.GetCapture()), a);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_OPEN), 1u);

    EXPECT_EQ(SV_CloseAudioCapture(a), 1);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 1);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_CLOSE), 0u);
    ASSERT_EQ(Record(9), 9 * kFrame);
    std::vector<BYTE> frame;
    EXPECT_TRUE(Read(b, &frame));
    EXPECT_EQ(frame.size(), kFrame);

    EXPECT_EQ(SV_CloseAudioCapture(b), 1);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 0);
    EXPECT_EQ(g_Systems.GetCapture(), nullptr);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_CLOSE), 1u);

    // A new first open makes a new object on a new device.
    SV_CAPTURE c = SV_OpenAudioCapture();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_OPEN), 2u);
    EXPECT_EQ(SV_CloseAudioCapture(c), 1);
}

TEST_F(Capture, AFailedOpenReturnsNullAfterItsBoundedCloseAndLeavesTheCountAtZero)
{
    FailDeviceOpens();
    EXPECT_EQ(SV_OpenAudioCapture(), nullptr);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 0);
    EXPECT_EQ(g_Systems.GetCapture(), nullptr);
    EXPECT_EQ(Slept(), 2200u);
    EXPECT_EQ(Traces(kOpenFailedTrace).size(), 1u);

    SvWaveTestSetFaults(nullptr);
    SV_CAPTURE h = SV_OpenAudioCapture();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 1);
    EXPECT_EQ(SV_CloseAudioCapture(h), 1);
}

TEST_F(Capture, NullHandlesAreAnsweredWithZeroAndChangeNothing)
{
    SV_CAPTURE h = SV_OpenAudioCapture();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(Record(9), 9 * kFrame);
    uint8_t out[kFrame];
    uint32_t len = kFrame;
    EXPECT_EQ(SV_CloseAudioCapture(nullptr), 0);
    EXPECT_EQ(SV_ReadAudioBuffer(nullptr, out, &len, 0), 0);
    EXPECT_EQ(len, kFrame);
    EXPECT_EQ(SV_AudioCapClear(nullptr), 0);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 1);
    EXPECT_EQ(Inside(*g_Systems.GetCapture()).m_pFrameBuffer->GetFrameCount(), 9u);
    EXPECT_EQ(SV_AudioCapClear(h), 1);
    EXPECT_EQ(Inside(*g_Systems.GetCapture()).m_pFrameBuffer->GetFrameCount(), 0u);
    EXPECT_EQ(SV_CloseAudioCapture(h), 1);
}

TEST_F(Capture, ACloseAfterTheLastIsRefusedInsteadOfFreeingTwice)
{
    SV_CAPTURE h = SV_OpenAudioCapture();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(SV_CloseAudioCapture(h), 1);
    EXPECT_EQ(SV_CloseAudioCapture(h), 0);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 0);
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_CLOSE), 1u);
}

TEST_F(Capture, TheRecordedSignalComesOutOfTheReaderSampleForSampleAfterThePreBuffer)
{
    const std::vector<BYTE> signal = Ramp(40 * kFrame, 7);
    Feed(signal);
    SV_CAPTURE h = SV_OpenAudioCapture();
    ASSERT_NE(h, nullptr);
    std::vector<BYTE> frame, heard;

    // Seven frames are not yet the pre-buffer of eight: the reader gives
    // nothing (and a length of 0).
    ASSERT_EQ(Record(7), 7 * kFrame);
    std::vector<BYTE> buf(kFrame);
    uint32_t len = kFrame;
    EXPECT_EQ(SV_ReadAudioBuffer(h, buf.data(), &len, 0xDEADBEEF), 0);
    EXPECT_EQ(len, 0u);

    ASSERT_EQ(Record(1), kFrame);
    while (Read(h, &frame)) {
        EXPECT_EQ(frame.size(), kFrame);
        heard.insert(heard.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(heard.size(), 8 * kFrame);
    // From now on every frame is read as soon as it is there, one per read;
    // the fourth argument plays no part.
    for (int i = 8; i < 40; ++i) {
        ASSERT_EQ(Record(1), kFrame);
        len = kFrame;
        buf.assign(kFrame, 0);
        ASSERT_EQ(SV_ReadAudioBuffer(h, buf.data(), &len, static_cast<uint32_t>(i)), 1) << i;
        ASSERT_EQ(len, kFrame);
        heard.insert(heard.end(), buf.begin(), buf.end());
        EXPECT_FALSE(Read(h, &frame)) << i;
    }
    ASSERT_EQ(heard.size(), signal.size());
    for (size_t i = 0; i < heard.size(); i += 2)
        ASSERT_EQ(memcmp(&heard[i], &signal[i], 2), 0) << "sample " << i / 2;
    EXPECT_EQ(SV_CloseAudioCapture(h), 1);
}

TEST_F(Capture, AHostThatFallsBehindLosesTheOldestSixtyFramesAndAClearDropsTheRest)
{
    const std::vector<BYTE> signal = Ramp(80 * kFrame, 8);
    Feed(signal);
    SV_CAPTURE h = SV_OpenAudioCapture();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(Record(70), 70 * kFrame);
    std::vector<BYTE> frame;
    ASSERT_TRUE(Read(h, &frame));
    EXPECT_EQ(frame, std::vector<BYTE>(signal.begin() + 60 * kFrame, signal.begin() + 61 * kFrame));
    ASSERT_TRUE(Read(h, &frame));
    EXPECT_EQ(frame, std::vector<BYTE>(signal.begin() + 61 * kFrame, signal.begin() + 62 * kFrame));

    EXPECT_EQ(SV_AudioCapClear(h), 1);
    EXPECT_FALSE(Read(h, &frame));
    // The pre-buffer was passed once: after a clear the next frame comes at once.
    ASSERT_EQ(Record(1), kFrame);
    ASSERT_TRUE(Read(h, &frame));
    EXPECT_EQ(frame, std::vector<BYTE>(signal.begin() + 70 * kFrame, signal.begin() + 71 * kFrame));
    EXPECT_EQ(SV_CloseAudioCapture(h), 1);
}

}  // namespace
