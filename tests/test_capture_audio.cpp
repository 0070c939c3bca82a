// The wave device's capture half (CAudio) on the stand-in's test device: what
// it asks of the platform, where the recorded samples go (checked sample by
// sample), and its close sequence with and without the close notice (sleeps
// are counted, not slept).
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <vector>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "test_wave_common.h"
#include "test_access.h"

namespace {

using wavetest::kHdr;
using wavetest::Ramp;

const DWORD kBuf = 320;  // bytes of one capture buffer: 20 ms

class WaveIn : public wavetest::TestDeviceTest {
protected:
    void SetUp() override
    {
        TestDeviceTest::SetUp();
        fb_.AllocRing(0x100000);
        audio_.reset(new CAudio);
        audio_->SetFrameBuffer(&fb_);
    }
    void TearDown() override
    {
        audio_.reset();
        TestDeviceTest::TearDown();
    }

    bool Open()
    {
        memset(&format_, 0xCC, sizeof format_);
        return audio_->WaveInOpen(&format_, kBuf);
    }
    DWORD Record(DWORD bytes) { return SvWaveTestRecord(Inside(*audio_).m_hWaveIn, bytes); }
    void Feed(const std::vector<BYTE>& bytes) { SvWaveTestFeedInput(bytes.data(), static_cast<DWORD>(bytes.size())); }
    // The frames queued in the frame buffer, oldest first, taken out.
    std::vector<std::vector<BYTE>> TakeFrames()
    {
        std::vector<std::vector<BYTE>> frames;
        for (;;) {
            std::vector<BYTE> frame(CAudioFrameBuffer::kDecodeBufferBytes);
            int len = static_cast<int>(frame.size());
            if (fb_.ReadFrame(frame.data(), &len, nullptr, nullptr) == 0)
                break;
            frame.resize(static_cast<size_t>(len));
            frames.push_back(frame);
        }
        return frames;
    }
    bool BuffersFreed() const
    {
        for (unsigned char* p : Inside(*audio_).m_pInBuffer) {
            if (p != nullptr)
                return false;
        }
        return true;
    }

    CAudioFrameBuffer fb_;
    std::unique_ptr<CAudio> audio_;
    WAVEFORMATEX format_;
};

// ---- Open --------------------------------------------------------------------

TEST_F(WaveIn, OpenFillsTheFormatQueuesTenBuffersOnTheDefaultDeviceAndStarts)
{
    ASSERT_TRUE(Open());
    EXPECT_EQ(format_.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format_.nChannels, 1);
    EXPECT_EQ(format_.nSamplesPerSec, 8000u);
    EXPECT_EQ(format_.nAvgBytesPerSec, 16000u);
    EXPECT_EQ(format_.nBlockAlign, 2);
    EXPECT_EQ(format_.wBitsPerSample, 16);
    EXPECT_EQ(format_.cbSize, 0);
    EXPECT_EQ(Inside(*audio_).m_dwInBufferSize, kBuf);
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 0);
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);

    std::vector<SvWaveCall> calls = Calls();
    // WIM_OPEN, the open, ten prepare-and-add pairs, the start.
    ASSERT_EQ(calls.size(), 1u + 1u + 20u + 1u);
    EXPECT_EQ(calls[0].nCall, SV_WAVE_CALLBACK);
    EXPECT_EQ(calls[0].uArg, static_cast<UINT>(WIM_OPEN));
    const SvWaveCall& open = calls[1];
    EXPECT_EQ(open.nCall, SV_WAVE_CALL_IN_OPEN);
    EXPECT_EQ(open.hwi, Inside(*audio_).m_hWaveIn);
    EXPECT_EQ(open.uArg, WAVE_MAPPER);
    EXPECT_EQ(open.dwArg, static_cast<DWORD>(CALLBACK_FUNCTION));
    EXPECT_EQ(open.dwCallback, reinterpret_cast<DWORD_PTR>(&CAudio::waveInProc));
    EXPECT_EQ(open.dwInstance, reinterpret_cast<DWORD_PTR>(audio_.get()));
    EXPECT_EQ(memcmp(&open.wfx, &format_, sizeof format_), 0);
    for (int i = 0; i < 10; ++i) {
        const SvWaveCall& prepare = calls[2 + 2 * i];
        const SvWaveCall& add = calls[3 + 2 * i];
        EXPECT_EQ(prepare.nCall, SV_WAVE_CALL_IN_PREPARE) << i;
        EXPECT_EQ(prepare.pwh, &Inside(*audio_).m_WaveHdrIn[i]) << i;
        EXPECT_EQ(prepare.uArg, kHdr) << i;
        EXPECT_EQ(add.nCall, SV_WAVE_CALL_IN_ADDBUFFER) << i;
        EXPECT_EQ(add.pwh, &Inside(*audio_).m_WaveHdrIn[i]) << i;
        EXPECT_EQ(add.mmr, MMSYSERR_NOERROR) << i;
        const WAVEHDR& h = Inside(*audio_).m_WaveHdrIn[i];
        EXPECT_EQ(h.lpData, reinterpret_cast<LPSTR>(Inside(*audio_).m_pInBuffer[i])) << i;
        EXPECT_EQ(h.dwBufferLength, kBuf) << i;
        EXPECT_EQ(h.dwLoops, 1u) << i;
        EXPECT_EQ(h.dwUser, 0u) << i;
        EXPECT_EQ(h.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE)) << i;
    }
    EXPECT_EQ(calls[22].nCall, SV_WAVE_CALL_IN_START);
    EXPECT_EQ(SvWaveTestQueuedIn(Inside(*audio_).m_hWaveIn), 10u);
    // The playback half is untouched.
    EXPECT_EQ(Inside(*audio_).m_hWaveOut, nullptr);
}

TEST_F(WaveIn, ASecondOpenWhileOpenIsRefusedAndLeavesTheDeviceAlone)
{
    ASSERT_TRUE(Open());
    HWAVEIN h = Inside(*audio_).m_hWaveIn;
    unsigned char* first = Inside(*audio_).m_pInBuffer[0];
    const size_t calls = Calls().size();
    WAVEFORMATEX again;
    EXPECT_FALSE(audio_->WaveInOpen(&again, 640));
    EXPECT_EQ(Calls().size(), calls);
    EXPECT_EQ(Inside(*audio_).m_hWaveIn, h);
    EXPECT_EQ(Inside(*audio_).m_pInBuffer[0], first);
    EXPECT_EQ(Inside(*audio_).m_dwInBufferSize, kBuf);
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 0);
}

// ---- Recording ---------------------------------------------------------------

TEST_F(WaveIn, EachFilledBufferIsQueuedAsOneFrameAndGoesStraightBackToTheDevice)
{
    const std::vector<BYTE> signal = Ramp(25 * kBuf, 3);
    Feed(signal);
    ASSERT_TRUE(Open());
    const size_t before = Calls().size();
    ASSERT_EQ(Record(25 * kBuf), 25 * kBuf);

    EXPECT_EQ(fb_.GetFrameCount(), 25u);
    EXPECT_EQ(fb_.GetDataSize(), static_cast<int>(25 * kBuf));
    std::vector<std::vector<BYTE>> frames = TakeFrames();
    ASSERT_EQ(frames.size(), 25u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], std::vector<BYTE>(signal.begin() + i * kBuf, signal.begin() + (i + 1) * kBuf)) << i;

    // Every WIM_DATA is answered, on the device thread, by adding the same
    // buffer again: ten stay queued.
    std::vector<SvWaveCall> calls = Calls(0, before);
    ASSERT_EQ(calls.size(), 50u);
    for (size_t i = 0; i < 25; ++i) {
        const SvWaveCall& done = calls[2 * i];
        const SvWaveCall& add = calls[2 * i + 1];
        EXPECT_EQ(done.nCall, SV_WAVE_CALLBACK) << i;
        EXPECT_EQ(done.uArg, static_cast<UINT>(WIM_DATA)) << i;
        EXPECT_EQ(done.pwh, &Inside(*audio_).m_WaveHdrIn[i % 10]) << i;
        EXPECT_EQ(add.nCall, SV_WAVE_CALL_IN_ADDBUFFER) << i;
        EXPECT_EQ(add.pwh, done.pwh) << i;
        EXPECT_EQ(add.hwi, Inside(*audio_).m_hWaveIn) << i;
        EXPECT_EQ(add.mmr, MMSYSERR_NOERROR) << i;
        EXPECT_TRUE(add.bDeviceThread) << i;
    }
    EXPECT_EQ(SvWaveTestQueuedIn(Inside(*audio_).m_hWaveIn), 10u);
}

TEST_F(WaveIn, WithoutAFrameBufferRecordingGoesOnAndNothingIsKept)
{
    audio_->SetFrameBuffer(nullptr);
    ASSERT_TRUE(Open());
    ASSERT_EQ(Record(30 * kBuf), 30 * kBuf);
    EXPECT_EQ(Calls(SV_WAVE_CALL_IN_ADDBUFFER).size(), 10u + 30u);
    EXPECT_EQ(fb_.GetFrameCount(), 0u);
}

// ---- Close -------------------------------------------------------------------

TEST_F(WaveIn, ANeverOpenedCaptureClosesWithoutAPlatformCall)
{
    EXPECT_TRUE(audio_->WaveInClose());
    EXPECT_TRUE(audio_->WaveInClose());
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(sleeps_.empty());
}

TEST_F(WaveIn, CloseStopsWaitsResetsClosesAndReturnsOnTheCloseNoticeRequeueingNothing)
{
    Feed(Ramp(4 * kBuf));
    ASSERT_TRUE(Open());
    HWAVEIN h = Inside(*audio_).m_hWaveIn;
    ASSERT_EQ(Record(3 * kBuf + 100), 3 * kBuf + 100);  // the fourth buffer part full
    const size_t before = Calls().size();
    EXPECT_TRUE(audio_->WaveInClose());

    std::vector<SvWaveCall> calls = Calls(0, before);
    // The stop returns the part-filled buffer, the reset the nine others, the
    // close notice unprepares all ten; none is added again.
    ASSERT_EQ(calls.size(), 1u + 1u + 9u + 1u + 1u + 10u + 1u);
    EXPECT_EQ(calls[0].nCall, SV_WAVE_CALLBACK);
    EXPECT_EQ(calls[0].uArg, static_cast<UINT>(WIM_DATA));
    EXPECT_EQ(calls[0].pwh, &Inside(*audio_).m_WaveHdrIn[3]);
    EXPECT_EQ(calls[1].nCall, SV_WAVE_CALL_IN_STOP);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(calls[2 + i].nCall, SV_WAVE_CALLBACK) << i;
        EXPECT_EQ(calls[2 + i].uArg, static_cast<UINT>(WIM_DATA)) << i;
        EXPECT_EQ(calls[2 + i].pwh, &Inside(*audio_).m_WaveHdrIn[(4 + i) % 10]) << i;
    }
    EXPECT_EQ(calls[11].nCall, SV_WAVE_CALL_IN_RESET);
    EXPECT_EQ(calls[12].nCall, SV_WAVE_CALLBACK);
    EXPECT_EQ(calls[12].uArg, static_cast<UINT>(WIM_CLOSE));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(calls[13 + i].nCall, SV_WAVE_CALL_IN_UNPREPARE) << i;
        EXPECT_EQ(calls[13 + i].hwi, h) << i;
        EXPECT_EQ(calls[13 + i].pwh, &Inside(*audio_).m_WaveHdrIn[i]) << i;
        EXPECT_EQ(calls[13 + i].mmr, wavetest::CloseNoticeUnprepareResult()) << i;
    }
    EXPECT_EQ(calls[23].nCall, SV_WAVE_CALL_IN_CLOSE);
    EXPECT_EQ(calls[23].mmr, MMSYSERR_NOERROR);

    // 200 ms between stop and reset, and the notice was there at the first look.
    EXPECT_EQ(sleeps_, std::vector<DWORD>{200});
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 2);
    EXPECT_TRUE(BuffersFreed());
    // Only the three full buffers became frames.
    EXPECT_EQ(fb_.GetFrameCount(), 3u);

    const size_t after = Calls().size();
    EXPECT_TRUE(audio_->WaveInClose());
    EXPECT_EQ(Calls().size(), after);
    EXPECT_EQ(sleeps_.size(), 1u);
}

// As for playback: a buffer the callback adds again after the reset (a strict
// device does not wait for that callback) makes the close reset and close
// again, and the buffers are freed only once the device has handed all back.
TEST_F(WaveIn, ABufferAddedAgainAfterTheResetIsResetAgainBeforeTheBuffersAreFreed)
{
    wavetest::HoldCallbackAt(SV_WAVE_CALL_IN_ADDBUFFER);
    ASSERT_TRUE(Open());
    HWAVEIN h = Inside(*audio_).m_hWaveIn;
    wavetest::CloseWhileACallbackIsHeld([h] { SvWaveTestRecord(h, kBuf); },
                                        [this] { EXPECT_TRUE(audio_->WaveInClose()); });
    EXPECT_EQ(wavetest::HeldAtClose(Calls(), SV_WAVE_CALL_IN_ADDBUFFER, WIM_DATA, SV_WAVE_CALL_IN_CLOSE), 0);
    EXPECT_EQ(Calls(SV_WAVE_CALL_IN_CLOSE).size(), SvWaveGetStrict() ? 2u : 1u);
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 2);
    EXPECT_TRUE(BuffersFreed());
    EXPECT_EQ(fb_.GetFrameCount(), 1u);
}

TEST_F(WaveIn, WithoutTheCloseNoticeTheCloseGivesUpAfterTwoSecondsAndStillFrees)
{
    NoCloseNotice();
    ASSERT_TRUE(Open());
    EXPECT_TRUE(audio_->WaveInClose());
    std::vector<DWORD> expected(21, 100);
    expected[0] = 200;
    EXPECT_EQ(sleeps_, expected);
    EXPECT_EQ(Slept(), 2200u);
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 1);
    EXPECT_TRUE(BuffersFreed());
    EXPECT_TRUE(Calls(SV_WAVE_CALL_IN_UNPREPARE).empty());

    // Closing state: a new open is allowed and records again.
    SvWaveTestSetFaults(nullptr);
    ASSERT_TRUE(Open());
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 0);
    ASSERT_EQ(Record(kBuf), kBuf);
    EXPECT_EQ(fb_.GetFrameCount(), 1u);
}

TEST_F(WaveIn, AFailedDeviceOpenLeavesTheStateOpenAndTheCloseRunsItsWholeSequence)
{
    RefuseOpens(MMSYSERR_ALLOCATED);
    EXPECT_FALSE(Open());
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 0);
    EXPECT_EQ(Inside(*audio_).m_dwInBufferSize, kBuf);
    EXPECT_EQ(format_.nSamplesPerSec, 8000u);
    EXPECT_TRUE(BuffersFreed());
    EXPECT_TRUE(Calls(SV_WAVE_CALL_IN_PREPARE).empty());

    EXPECT_TRUE(audio_->WaveInClose());
    EXPECT_EQ(Slept(), 2200u);
    EXPECT_EQ(sleeps_.size(), 21u);
    const int kinds[] = {SV_WAVE_CALL_IN_STOP, SV_WAVE_CALL_IN_RESET, SV_WAVE_CALL_IN_CLOSE};
    for (int kind : kinds) {
        std::vector<SvWaveCall> calls = Calls(kind);
        ASSERT_EQ(calls.size(), 1u) << kind;
        EXPECT_EQ(calls[0].mmr, static_cast<MMRESULT>(MMSYSERR_INVALHANDLE)) << kind;
    }
    EXPECT_EQ(Inside(*audio_).m_cInState.load(), 1);
}

TEST_F(WaveIn, DestroyingACAudioClosesPlaybackFirstThenCapture)
{
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    ASSERT_TRUE(Open());
    HWAVEIN h = Inside(*audio_).m_hWaveIn;
    audio_.reset();
    std::vector<SvWaveCall> calls = Calls();
    size_t outClose = calls.size(), inStop = calls.size(), inClose = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].nCall == SV_WAVE_CALL_CLOSE)
            outClose = i;
        else if (calls[i].nCall == SV_WAVE_CALL_IN_STOP)
            inStop = i;
        else if (calls[i].nCall == SV_WAVE_CALL_IN_CLOSE)
            inClose = i;
    }
    ASSERT_LT(inClose, calls.size());
    EXPECT_LT(outClose, inStop);
    EXPECT_LT(inStop, inClose);
    EXPECT_EQ(sleeps_, std::vector<DWORD>{200});
    EXPECT_EQ(waveInStart(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

}  // namespace
