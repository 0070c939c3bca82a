// The wave device's playback half (CAudio) on the stand-in's test device: what
// it asks of the platform, what it plays (checked sample by sample), its
// concealment, its volume, its close, and every fault the device can inject.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <iterator>
#include <thread>
#include <utility>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include <svwin/wavedevice.h>

#include "audio/audio.h"
#include "audio/audioframebuffer.h"
#include "support/systems.h"
#include "test_access.h"
#include "test_module_log.h"
#include "test_wave_common.h"

// Allocation faults for the exception guard: the n-th array allocation of a
// given size throws. Every array form is replaced, so all of them pair up.
static size_t g_failSize = 0;
static int g_failCountdown = 0;

void* operator new[](size_t size)
{
    if (size == g_failSize && g_failCountdown > 0 && --g_failCountdown == 0)
        throw std::bad_alloc();
    void* p = malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return malloc(size != 0 ? size : 1);
}
void operator delete[](void* p) noexcept
{
    free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    free(p);
}
void operator delete[](void* p, size_t) noexcept
{
    free(p);
}

namespace {

const DWORD kBuf = 640;  // bytes of one buffer at selector 3

using wavetest::Concat;
using wavetest::Frame;
using wavetest::kHdr;
using wavetest::Silence;

class WaveOut : public wavetest::TestDeviceTest {
protected:
    void SetUp() override
    {
        TestDeviceTest::SetUp();
        fb_.AllocRing(CAudioDec_kRing);
        fb_.SetPlayMode(0, 0);  // file playback: no pre-buffer
        audio_.reset(new CAudio);
    }
    void TearDown() override
    {
        audio_.reset();
        TestDeviceTest::TearDown();
    }

    void Push(const std::vector<BYTE>& frame) { fb_.PushFrame(frame.data(), static_cast<int>(frame.size())); }
    UINT Step(UINT n) { return SvWaveTestStep(Inside(*audio_).m_hWaveOut, n); }

    std::vector<BYTE> Output(size_t from, size_t bytes)
    {
        std::vector<BYTE> out(bytes);
        out.resize(SvWaveTestReadOutput(static_cast<DWORD>(from), out.data(), static_cast<DWORD>(bytes)));
        return out;
    }
    bool BuffersFreed()
    {
        for (unsigned char* p : Inside(*audio_).m_pOutBuffer) {
            if (p != nullptr)
                return false;
        }
        return Inside(*audio_).m_pFrame == nullptr;
    }

    static const int CAudioDec_kRing = 0x100000;
    CAudioFrameBuffer fb_;
    std::unique_ptr<CAudio> audio_;
};

// ---- Open, close and their calls ---------------------------------------------

// The wave API calls a CALLBACK_FUNCTION through LPDRVCALLBACK; a callback of
// any other type is called through a type not its own.
static_assert(std::is_same<decltype(&CAudio::waveOutProc), LPDRVCALLBACK>::value &&
                  std::is_same<decltype(&CAudio::waveInProc), LPDRVCALLBACK>::value,
              "the device callbacks are DRVCALLBACKs");

TEST_F(WaveOut, OpenQueuesTenPreparedBuffersOfSilenceOnTheDefaultDevice)
{
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 0);

    std::vector<SvWaveCall> open = Calls(SV_WAVE_CALL_OPEN);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].hwo, Inside(*audio_).m_hWaveOut);
    EXPECT_EQ(open[0].uArg, WAVE_MAPPER);
    EXPECT_EQ(open[0].dwArg, static_cast<DWORD>(CALLBACK_FUNCTION));
    EXPECT_EQ(open[0].dwCallback, reinterpret_cast<DWORD_PTR>(&CAudio::waveOutProc));
    EXPECT_EQ(open[0].dwInstance, reinterpret_cast<DWORD_PTR>(audio_.get()));

    std::vector<SvWaveCall> prepares = Calls(SV_WAVE_CALL_PREPARE);
    std::vector<SvWaveCall> writes = Calls(SV_WAVE_CALL_WRITE);
    ASSERT_EQ(prepares.size(), 10u);
    ASSERT_EQ(writes.size(), 10u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(prepares[i].pwh, &Inside(*audio_).m_WaveHdrOut[i]);
        EXPECT_EQ(prepares[i].uArg, kHdr);
        EXPECT_EQ(writes[i].pwh, &Inside(*audio_).m_WaveHdrOut[i]);
        EXPECT_EQ(writes[i].mmr, MMSYSERR_NOERROR);
        const WAVEHDR& h = Inside(*audio_).m_WaveHdrOut[i];
        EXPECT_EQ(h.lpData, reinterpret_cast<LPSTR>(Inside(*audio_).m_pOutBuffer[i]));
        EXPECT_EQ(h.dwBufferLength, kBuf);
        EXPECT_EQ(h.dwLoops, 1u);
        EXPECT_EQ(h.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    }
    EXPECT_EQ(Inside(*audio_).m_dwOutDataLen, kBuf);

    // With no frame ever queued, the device plays nothing but silence.
    ASSERT_EQ(Step(30), 30u);
    EXPECT_EQ(SvWaveTestOutput(), Silence(30 * kBuf));
    EXPECT_EQ(SvWaveTestQueued(Inside(*audio_).m_hWaveOut), 10u);
}

TEST_F(WaveOut, EachSelectorOpensItsRowOfTheFormatTable)
{
    struct Row {
        WORD tag, channels;
        DWORD rate, avg;
        WORD align, bits, cbSize;
        DWORD bytes;
    };
    const Row rows[] = {{7, 1, 8000, 8000, 1, 8, 0, 508},
                        {1, 2, 48000, 192000, 4, 16, 22, 9216},
                        {1, 1, 8000, 16000, 2, 16, 0, 4050},
                        {1, 1, 8000, 16000, 2, 16, 0, 640}};
    for (int selector = 0; selector < 4; ++selector) {
        SvWaveTestReset();
        CAudio audio;
        ASSERT_EQ(audio.WaveOutOpen(selector), 1) << selector;
        std::vector<SvWaveCall> open = Calls(SV_WAVE_CALL_OPEN);
        ASSERT_EQ(open.size(), 1u);
        const WAVEFORMATEX& f = open[0].wfx;
        const Row& r = rows[selector];
        EXPECT_EQ(f.wFormatTag, r.tag) << selector;
        EXPECT_EQ(f.nChannels, r.channels) << selector;
        EXPECT_EQ(f.nSamplesPerSec, r.rate) << selector;
        EXPECT_EQ(f.nAvgBytesPerSec, r.avg) << selector;
        EXPECT_EQ(f.nBlockAlign, r.align) << selector;
        EXPECT_EQ(f.wBitsPerSample, r.bits) << selector;
        EXPECT_EQ(f.cbSize, r.cbSize) << selector;
        EXPECT_EQ(Inside(audio).m_dwOutBufferSize, r.bytes) << selector;
        for (const WAVEHDR& h : Inside(audio).m_WaveHdrOut)
            EXPECT_EQ(h.dwBufferLength, r.bytes) << selector;
        audio.WaveOutClose();
        EXPECT_EQ(Inside(audio).m_cOutState.load(), 2);
    }
    SvWaveTestReset();
    EXPECT_EQ(audio_->WaveOutOpen(4), 0);
    EXPECT_EQ(audio_->WaveOutOpen(-1), 0);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(BuffersFreed());
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);
}

TEST_F(WaveOut, OpenWhileOpenFailsAndLeavesEverythingAlone)
{
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    unsigned char* first = Inside(*audio_).m_pOutBuffer[0];
    HWAVEOUT h = Inside(*audio_).m_hWaveOut;
    const size_t calls = Calls().size();
    EXPECT_EQ(audio_->WaveOutOpen(2), 0);
    EXPECT_EQ(Calls().size(), calls);
    EXPECT_EQ(Inside(*audio_).m_pOutBuffer[0], first);
    EXPECT_EQ(Inside(*audio_).m_hWaveOut, h);
    EXPECT_EQ(Inside(*audio_).m_dwOutBufferSize, kBuf);
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 0);
}

TEST_F(WaveOut, NothingReachesThePlatformBeforeTheFirstOpen)
{
    audio_->WaveOutClose();
    audio_->WaveOutClose();
    EXPECT_EQ(audio_->SetVolume(0x8000), 0);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(sleeps_.empty());
    EXPECT_EQ(Inside(*audio_).m_hWaveOut, nullptr);
}

TEST_F(WaveOut, CloseResetsClosesHearsTheNoticeAtOnceAndFreesTheBuffers)
{
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    HWAVEOUT h = Inside(*audio_).m_hWaveOut;
    const size_t before = Calls().size();
    audio_->WaveOutClose();

    std::vector<SvWaveCall> calls = Calls(0, before);
    // The reset returns the ten buffers, and none is queued again.
    ASSERT_EQ(calls.size(), 10u + 1u + 1u + 10u + 1u);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(calls[i].nCall, SV_WAVE_CALLBACK);
        EXPECT_EQ(calls[i].uArg, static_cast<UINT>(WOM_DONE));
        EXPECT_EQ(calls[i].pwh, &Inside(*audio_).m_WaveHdrOut[i]);
    }
    EXPECT_EQ(calls[10].nCall, SV_WAVE_CALL_RESET);
    EXPECT_EQ(calls[11].nCall, SV_WAVE_CALLBACK);
    EXPECT_EQ(calls[11].uArg, static_cast<UINT>(WOM_CLOSE));
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(calls[12 + i].nCall, SV_WAVE_CALL_UNPREPARE);
        EXPECT_EQ(calls[12 + i].hwo, h);
        EXPECT_EQ(calls[12 + i].pwh, &Inside(*audio_).m_WaveHdrOut[i]);
        EXPECT_EQ(calls[12 + i].mmr, wavetest::CloseNoticeUnprepareResult());
    }
    EXPECT_EQ(calls[22].nCall, SV_WAVE_CALL_CLOSE);
    EXPECT_EQ(calls[22].mmr, MMSYSERR_NOERROR);

    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);
    EXPECT_TRUE(sleeps_.empty());
    EXPECT_TRUE(BuffersFreed());
    EXPECT_EQ(Inside(*audio_).m_hWaveOut, h);  // kept, as the close leaves it

    // Closed twice: nothing more happens.
    const size_t after = Calls().size();
    audio_->WaveOutClose();
    EXPECT_EQ(Calls().size(), after);
    // And it opens again.
    EXPECT_EQ(audio_->WaveOutOpen(3), 1);
    EXPECT_NE(Inside(*audio_).m_hWaveOut, h);
}

TEST_F(WaveOut, ACloseThatGivesUpWaitingStillFreesAndAllowsTheNextOpen)
{
    NoCloseNotice();
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    audio_->WaveOutClose();
    EXPECT_EQ(sleeps_.size(), 20u);
    EXPECT_EQ(Slept(), 2000u);
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 1);
    EXPECT_TRUE(BuffersFreed());

    SvWaveTestSetFaults(nullptr);
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 0);
    Push(Frame(kBuf, 1));
    ASSERT_EQ(Step(11), 11u);
    EXPECT_EQ(Output(10 * kBuf, kBuf), Frame(kBuf, 1));
}

// A refill that found the device open just before the close began may queue
// its buffer after the reset (a strict device does not wait for it): the
// close, refused, resets and closes again, and frees the buffers only once
// the device has handed every one back.
TEST_F(WaveOut, ABufferRequeuedAfterTheResetIsResetAgainBeforeTheBuffersAreFreed)
{
    wavetest::HoldCallbackAt(SV_WAVE_CALL_PREPARE);
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    HWAVEOUT h = Inside(*audio_).m_hWaveOut;
    wavetest::CloseWhileACallbackIsHeld([h] { SvWaveTestStep(h, 1); },
                                        [this] { EXPECT_TRUE(audio_->WaveOutClose()); });
    EXPECT_EQ(wavetest::HeldAtClose(Calls(), SV_WAVE_CALL_WRITE, WOM_DONE, SV_WAVE_CALL_CLOSE), 0);
    EXPECT_EQ(Calls(SV_WAVE_CALL_CLOSE).size(), SvWaveGetStrict() ? 2u : 1u);
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);
    EXPECT_TRUE(BuffersFreed());
}

// A queue the host emptied, or a stopped file, is no gap to conceal: the
// refills that find nothing after it play silence at once, not the audio the
// host let go.
TEST_F(WaveOut, AfterAClearOrAStopTheRefillsThatFindNothingPlaySilence)
{
    const std::pair<const char*, std::function<void(CAudioFrameBuffer&)>> flushes[] = {
        {"Reset", [](CAudioFrameBuffer& fb) { fb.Reset(); }},
        {"emptying clear", [](CAudioFrameBuffer& fb) { fb.ClearFrames(0, 1, 0, nullptr, nullptr); }},
        {"stop now", [](CAudioFrameBuffer& fb) { fb.SetStopFile(2); }},
        {"stop and drain", [](CAudioFrameBuffer& fb) { fb.SetStopFile(1); }},
    };
    for (const auto& flush : flushes) {
        SvWaveTestReset();
        CAudioFrameBuffer fb;
        fb.AllocRing(CAudioDec_kRing);
        fb.SetPlayMode(0, 0);
        for (int i = 0; i < 22; ++i) {
            const std::vector<BYTE> frame = Frame(kBuf, i);
            fb.PushFrame(frame.data(), static_cast<int>(frame.size()));
        }
        CAudio audio;
        audio.SetFrameBuffer(&fb);
        ASSERT_EQ(audio.WaveOutOpen(3), 1);
        // Twenty refills took frames 0 to 19; two are still queued.
        ASSERT_EQ(SvWaveTestStep(Inside(audio).m_hWaveOut, 20), 20u);
        flush.second(fb);
        ASSERT_EQ(SvWaveTestStep(Inside(audio).m_hWaveOut, 14), 14u);
        EXPECT_EQ(Output(30 * kBuf, 4 * kBuf), Silence(4 * kBuf)) << flush.first;
    }
}

TEST_F(WaveOut, DestroyingAnOpenDeviceClosesIt)
{
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    HWAVEOUT h = Inside(*audio_).m_hWaveOut;
    audio_.reset();
    EXPECT_EQ(Calls(SV_WAVE_CALL_CLOSE).size(), 1u);
    DWORD v;
    EXPECT_EQ(waveOutGetVolume(h, &v), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

// ---- Refill ------------------------------------------------------------------

TEST_F(WaveOut, TwoRefillsWithoutAFrameReplayTheBufferThenSilenceAndAFrameStartsTheCountAgain)
{
    std::vector<std::vector<BYTE>> f;
    for (int i = 0; i < 20; ++i) {
        f.push_back(Frame(kBuf, i));
        Push(f.back());
    }
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    // Steps 0-19 play ten silent buffers then frames 0-9 and refill the
    // buffers with frames 0-19; steps 20-22 find the queue empty.
    ASSERT_EQ(Step(23), 23u);
    const std::vector<BYTE> g = Frame(kBuf, 99);
    Push(g);
    ASSERT_EQ(Step(17), 17u);

    EXPECT_EQ(Output(0, 10 * kBuf), Silence(10 * kBuf));
    EXPECT_EQ(Output(10 * kBuf, 20 * kBuf), Concat(std::vector<std::vector<BYTE>>(f.begin(), f.begin() + 20)));
    // Refills 20 and 21 missed: their buffers play frames 10 and 11 again;
    // refill 22 missed a third time: silence. Refill 23 found frame g, so
    // the misses at 24 and 25 replay again before silence returns.
    const std::vector<BYTE> expected = Concat({f[10], f[11], Silence(kBuf), g, f[14], f[15], Silence(4 * kBuf)});
    EXPECT_EQ(Output(30 * kBuf, 10 * kBuf), expected);
}

TEST_F(WaveOut, ARefillWithoutAFrameBufferDropsItsHeaderForGood)
{
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    const size_t before = Calls().size();
    ASSERT_EQ(Step(10), 10u);
    EXPECT_EQ(SvWaveTestQueued(Inside(*audio_).m_hWaveOut), 0u);
    EXPECT_EQ(Step(1), 0u);
    EXPECT_TRUE(Calls(SV_WAVE_CALL_WRITE, before).empty());
    // Each notice still re-prepared its (prepared) header.
    EXPECT_EQ(Calls(SV_WAVE_CALL_PREPARE, before).size(), 10u);
    audio_->WaveOutClose();
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);
}

class FrameSizes : public WaveOut, public ::testing::WithParamInterface<int> {};

// Frames of any size fill the buffers whole and in order; the last buffer
// that the frames reach is completed with silence.
TEST_P(FrameSizes, FillBuffersWholeAndInOrder)
{
    const int size = GetParam();
    const int count = 23;
    std::vector<std::vector<BYTE>> f;
    for (int i = 0; i < count; ++i) {
        f.push_back(Frame(static_cast<size_t>(size), i));
        Push(f.back());
    }
    const size_t total = static_cast<size_t>(size) * count;
    const size_t buffers = (total + kBuf - 1) / kBuf;
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    // One refill takes a buffer's worth of frames, whatever their size.
    ASSERT_EQ(Step(1), 1u);
    const size_t taken = (kBuf + static_cast<size_t>(size) - 1) / static_cast<size_t>(size);
    EXPECT_EQ(fb_.GetFrameCount(), count - taken);

    ASSERT_EQ(Step(static_cast<UINT>(9 + buffers)), 9 + buffers);
    std::vector<BYTE> expected = Concat(f);
    expected.resize(buffers * kBuf, 0);
    const std::vector<BYTE> played = Output(10 * kBuf, buffers * kBuf);
    ASSERT_EQ(played.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(played[i], expected[i]) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Bytes, FrameSizes, ::testing::Values(320, 640, 200, 500, 1000, 1600));

// A buffer that the queue fills only in part still reports the last frame in
// it as playing, not an empty clock.
TEST_F(WaveOut, ABufferTheQueueFillsInPartKeepsItsLastFrameOnTheClock)
{
    for (int i = 0; i < 3; ++i) {
        fb_.DecodePayload(nullptr, 0, 4, 1000 + i, 1);  // stamps the next push
        Push(Frame(320, i));
    }
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    ASSERT_EQ(Step(2), 2u);  // frames 0 and 1, then frame 2 and silence
    int64_t pts = -1;
    int64_t next = -1;
    fb_.GetPts(&pts, &next);
    EXPECT_EQ(pts, 1002);
    EXPECT_EQ(next, 0);
    ASSERT_EQ(Step(10), 10u);  // the ten buffers of silence queued by the open
    EXPECT_EQ(Output(11 * kBuf, kBuf), Concat({Frame(320, 2), Silence(320)}));
}

TEST_F(WaveOut, MutedFramesPlaySilenceButTakeTheirTimeFromTheQueue)
{
    for (int i = 0; i < 8; ++i)
        Push(Frame(320, i));
    fb_.SetMute(1);
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    ASSERT_EQ(Step(2), 2u);
    EXPECT_EQ(fb_.GetFrameCount(), 4u);  // two 320-byte frames per 640-byte buffer
    ASSERT_EQ(Step(12), 12u);
    EXPECT_EQ(fb_.GetFrameCount(), 0u);
    EXPECT_EQ(SvWaveTestOutput(), Silence(14 * kBuf));
}

// ---- Volume ------------------------------------------------------------------

TEST_F(WaveOut, SetVolumeSendsTheLowWordToBothChannels)
{
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    EXPECT_EQ(audio_->SetVolume(0x0003C000), 1);
    EXPECT_EQ(audio_->GetVolume(), 0xC000C000u);
    EXPECT_EQ(audio_->SetVolume(0xFFFF), 1);
    EXPECT_EQ(audio_->GetVolume(), 0xFFFFFFFFu);
    std::vector<SvWaveCall> sets = Calls(SV_WAVE_CALL_SETVOLUME);
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].dwArg, 0xC000C000u);
    EXPECT_EQ(sets[1].dwArg, 0xFFFFFFFFu);
    EXPECT_EQ(sets[0].hwo, Inside(*audio_).m_hWaveOut);
}

TEST_F(WaveOut, TheLevelSetIsHeardInTheSamples)
{
    const std::vector<BYTE> frame = Frame(kBuf, 5);
    Push(frame);
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    ASSERT_EQ(audio_->SetVolume(0x4000), 1);
    ASSERT_EQ(Step(11), 11u);
    const std::vector<BYTE> played = Output(10 * kBuf, kBuf);
    ASSERT_EQ(played.size(), kBuf);
    for (size_t i = 0; i < kBuf / 2; ++i) {
        int16_t in, out;
        memcpy(&in, &frame[2 * i], 2);
        memcpy(&out, &played[2 * i], 2);
        ASSERT_NEAR(out, in / 4.0, 1.0) << i;
    }
}

TEST_F(WaveOut, WhenTheDeviceCannotSayGetVolumeReturnsTheLastLevelKnown)
{
    EXPECT_EQ(audio_->GetVolume(), 0xFFFFFFFFu);  // no device yet: full, as devices start
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    ASSERT_EQ(audio_->SetVolume(0x1234), 1);
    audio_->WaveOutClose();

    SvWaveTestFaults failing = {};
    failing.mmrVolume = MMSYSERR_NOTSUPPORTED;
    Faults(failing);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    EXPECT_EQ(audio_->GetVolume(), 0x12341234u);
    EXPECT_EQ(audio_->SetVolume(0x5555), 0);
    EXPECT_EQ(audio_->GetVolume(), 0x12341234u);
}

// ---- Faults during the open --------------------------------------------------

TEST_F(WaveOut, AFailedDeviceOpenFreesTheBuffersAndChangesNothingElse)
{
    RefuseOpens(MMSYSERR_ALLOCATED);
    EXPECT_EQ(audio_->WaveOutOpen(3), 0);
    EXPECT_TRUE(BuffersFreed());
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);
    EXPECT_EQ(Inside(*audio_).m_hWaveOut, nullptr);
    EXPECT_EQ(Calls().size(), 1u);  // the open alone
}

TEST_F(WaveOut, PrepareAnsweringInvalidHandleIsRetriedOnTheSameHeader)
{
    SvWaveTestFaults faults = {};
    faults.nPrepareFailAt = 4;
    faults.nPrepareFailCount = 4;  // four failures, then the fifth attempt works
    faults.mmrPrepare = MMSYSERR_INVALHANDLE;
    Faults(faults);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    std::vector<SvWaveCall> prepares = Calls(SV_WAVE_CALL_PREPARE);
    ASSERT_EQ(prepares.size(), 14u);
    const int header[] = {0, 1, 2, 3, 3, 3, 3, 3, 4, 5, 6, 7, 8, 9};
    for (size_t i = 0; i < prepares.size(); ++i)
        EXPECT_EQ(prepares[i].pwh, &Inside(*audio_).m_WaveHdrOut[header[i]]) << i;
    EXPECT_EQ(Calls(SV_WAVE_CALL_WRITE).size(), 10u);
    EXPECT_EQ(SvWaveTestQueued(Inside(*audio_).m_hWaveOut), 10u);
}

TEST_F(WaveOut, FiveInvalidHandleAnswersOnTheTenthHeaderFailTheOpenAndCloseTheDevice)
{
    SvWaveTestFaults faults = {};
    faults.nPrepareFailAt = 10;
    faults.nPrepareFailCount = 5;
    faults.mmrPrepare = MMSYSERR_INVALHANDLE;
    Faults(faults);
    EXPECT_EQ(audio_->WaveOutOpen(3), 0);
    std::vector<SvWaveCall> prepares = Calls(SV_WAVE_CALL_PREPARE);
    ASSERT_EQ(prepares.size(), 14u);  // nine good, five on the tenth, none beyond it
    for (size_t i = 9; i < prepares.size(); ++i) {
        EXPECT_EQ(prepares[i].pwh, &Inside(*audio_).m_WaveHdrOut[9]) << i;
        EXPECT_EQ(prepares[i].mmr, static_cast<MMRESULT>(MMSYSERR_INVALHANDLE)) << i;
    }
    EXPECT_TRUE(Calls(SV_WAVE_CALL_WRITE).empty());
    std::vector<SvWaveCall> closes = Calls(SV_WAVE_CALL_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].mmr, MMSYSERR_NOERROR);
    EXPECT_EQ(closes[0].hwo, Inside(*audio_).m_hWaveOut);
    EXPECT_TRUE(BuffersFreed());
    EXPECT_NE(Inside(*audio_).m_cOutState.load(), 0);
    EXPECT_TRUE(sleeps_.empty());
    // The device is really gone, and the next open works.
    DWORD v;
    EXPECT_EQ(waveOutGetVolume(Inside(*audio_).m_hWaveOut, &v), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    SvWaveTestSetFaults(nullptr);
    EXPECT_EQ(audio_->WaveOutOpen(3), 1);
}

TEST_F(WaveOut, AnyOtherPrepareFailureFailsTheOpenAtOnce)
{
    SvWaveTestFaults faults = {};
    faults.nPrepareFailAt = 3;
    faults.mmrPrepare = MMSYSERR_NOMEM;
    faults.bNoCloseNotice = TRUE;  // and the device never confirms its close
    Faults(faults);
    EXPECT_EQ(audio_->WaveOutOpen(3), 0);
    EXPECT_EQ(Calls(SV_WAVE_CALL_PREPARE).size(), 3u);
    EXPECT_EQ(Calls(SV_WAVE_CALL_CLOSE).size(), 1u);
    EXPECT_EQ(Slept(), 2000u);  // the bounded wait for the notice
    EXPECT_TRUE(BuffersFreed());
    SvWaveTestSetFaults(nullptr);
    EXPECT_EQ(audio_->WaveOutOpen(3), 1);
}

TEST_F(WaveOut, ABufferThatComesBackBeforeTheOpenHasFinishedIsRefilledAndRequeued)
{
    SvWaveTestFaults quick = {};
    quick.nCompleteOnWrite = 1;  // buffer 0 plays out before buffer 1 is queued
    Faults(quick);
    const std::vector<BYTE> frame = Frame(kBuf, 3);
    Push(frame);
    audio_->SetFrameBuffer(&fb_);
    ASSERT_EQ(audio_->WaveOutOpen(3), 1);
    EXPECT_EQ(SvWaveTestQueued(Inside(*audio_).m_hWaveOut), 10u);
    EXPECT_EQ(fb_.GetFrameCount(), 0u);
    ASSERT_EQ(Step(10), 10u);
    // Buffer 0 played silence during the open and comes round first with the frame.
    EXPECT_EQ(Output(0, kBuf), Silence(kBuf));
    EXPECT_EQ(Output(kBuf, kBuf), frame);
}

// ---- Exception guard ---------------------------------------------------------

TEST_F(WaveOut, AnAllocationFailureInTheOpenIsLoggedAndFailsTheOpen)
{
    testlog::ModuleLog log(reinterpret_cast<HMODULE>(0x6100));
    ASSERT_TRUE(log.Start());
    // Stays for the rest of the process (see the sleep hook).
    SvSetLocalTimeSource(wavetest::FixedDay, nullptr);

    g_failSize = kBuf;
    g_failCountdown = 3;  // the third buffer: two are already allocated
    const int opened = audio_->WaveOutOpen(3);
    g_failSize = 0;
    g_failCountdown = 0;
    log.Stop();

    EXPECT_EQ(opened, 0);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(Inside(*audio_).m_cOutState.load(), 2);
    EXPECT_EQ(log.Read(testlog::kFixedDayLog), "CAudio::WaveOutOpen Exception\t\t2026-3-4-5-6-7\r\n");
    log.Remove();

    // Nothing was lost on the way (the leak checker would say so), and the
    // next open starts afresh.
    EXPECT_EQ(audio_->WaveOutOpen(3), 1);
}

}  // namespace
