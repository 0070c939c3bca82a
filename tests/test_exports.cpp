// The playback exports and the decoder object behind them: null handles, the
// forwarding of each export, the open and close of CAudioDec, its exception
// guard, and the export table of libSonavex.so. The exports are compiled into
// this test with the library's classes, so the objects behind a handle can be
// looked at.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <set>
#include <string>

#include <svwin/wavedevice.h>

#include "sonavex.h"
#include "audio/audio.h"
#include "audio/audiodec.h"
#include "audio/audioframebuffer.h"
#include "support/systems.h"
#include "test_access.h"
#include "test_module_log.h"

// Array allocations of one chosen size fail once when armed: the frame
// buffer's decode buffer is the only array of its size, so decoding can be
// made to throw where an allocation failure would.
namespace {
std::atomic<size_t> g_failArrayOf{0};
} // namespace

void* operator new[](size_t size)
{
    size_t armed = size;
    if (size != 0 && g_failArrayOf.compare_exchange_strong(armed, 0))
        throw std::bad_alloc();
    return ::operator new(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    size_t armed = size;
    if (size != 0 && g_failArrayOf.compare_exchange_strong(armed, 0))
        return nullptr;
    return ::operator new(size, std::nothrow);
}
// Arrays are plain allocations underneath, so they are freed as such.
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }

namespace {

const uint8_t kEmptyVoiceFrame[8] = {0xA5, 3, 0, 0, 0, 0, 0, 0};

CAudioDec* Dec(SV_DECODER h) { return reinterpret_cast<CAudioDec*>(h); }

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
        SvWaveTestReset();
    }
    void TearDown() override
    {
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    }
    // Makes the test device answer `fault` with `result`, until the end of
    // the test.
    static void Fail(MMRESULT SvWaveTestFaults::*fault, MMRESULT result)
    {
        SvWaveTestFaults faults = {};
        faults.*fault = result;
        SvWaveTestSetFaults(&faults);
    }
};

TEST_F(ExportsTest, ANullHandleReachesNoObject)
{
    uint8_t byte = 0;
    int64_t pts = 111;
    int64_t next = 222;
    EXPECT_EQ(SV_CloseSonavex(nullptr), 0);
    EXPECT_EQ(SV_InputAudioBuffer(nullptr, &byte, 1, SV_PAYLOAD_AMR, 1, 1), SV_FAILED);
    SV_GetPts(nullptr, &pts, &next);
    EXPECT_EQ(pts, 111);
    EXPECT_EQ(next, 222);
    SV_SetPts(nullptr, 1, 2);
    EXPECT_EQ(SV_ClearAudioFrames(nullptr, 0, 1, 0, &pts, &next), SV_E_NULL_HANDLE);
    EXPECT_EQ(SV_ClearAudioFrames(nullptr, 0, 1, 0, &pts, &next), 0x80060001u);
    EXPECT_EQ(pts, 111);
    EXPECT_EQ(next, 222);
    EXPECT_EQ(SV_AudioDecClear(nullptr), 0);
    EXPECT_EQ(SV_SetMuteAudio(nullptr, 1), 0);
    EXPECT_EQ(SV_StopFileAudio(nullptr, 1), 0);
    EXPECT_EQ(SV_AudioDecSetVolume(nullptr, 0xFFFF), 0);
    EXPECT_EQ(SV_AudioDecGetVolume(nullptr), 0u);
    EXPECT_EQ(SV_AudioDecGetFrames(nullptr), -1);
    EXPECT_EQ(SvWaveTestCallCount(), 0u) << "nothing reached the platform";
}

TEST_F(ExportsTest, OpenConfiguresTheFrameBufferAndTheDevice)
{
    struct Case {
        int mode, live, prebuffer, isLive;
    };
    for (const Case c : {Case{0, 1, 8, 1}, Case{1, 0, 20, 0}, Case{1, 1, 20, 1}, Case{5, 9, 8, 1}, Case{-1, 0, 8, 0}}) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " live " << c.live);
        SV_DECODER h = SV_OpenSonavex(c.mode, c.live);
        ASSERT_NE(h, nullptr);
        CAudioDecTestAccess dec = Inside(*Dec(h));
        ASSERT_NE(dec.m_pAudio, nullptr);
        ASSERT_NE(dec.m_pFrameBuffer, nullptr);
        EXPECT_EQ(dec.m_nMode, c.mode);
        EXPECT_EQ(dec.m_nLive, c.live);
        CAudioFrameBufferTestAccess fb = Inside(*dec.m_pFrameBuffer);
        EXPECT_EQ(fb.m_nPrebufferFrames, c.prebuffer);
        EXPECT_EQ(fb.m_bLive.load(), c.isLive);
        EXPECT_EQ(fb.m_nRingSize, 0x100000);
        EXPECT_EQ(Inside(*dec.m_pAudio).m_pFrameBuffer, dec.m_pFrameBuffer);
        EXPECT_EQ(Inside(*dec.m_pAudio).m_dwOutDataLen, 640u);
        EXPECT_EQ(SV_CloseSonavex(h), 1);
    }
    // Every open asked the default device for 16-bit mono PCM at 8 kHz.
    int opens = 0;
    for (const SvWaveCall& call : SvWaveTestCalls()) {
        if (call.nCall != SV_WAVE_CALL_OPEN)
            continue;
        ++opens;
        EXPECT_EQ(call.uArg, WAVE_MAPPER);
        EXPECT_EQ(call.dwArg, static_cast<DWORD>(CALLBACK_FUNCTION));
        EXPECT_EQ(call.wfx.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(call.wfx.nChannels, 1);
        EXPECT_EQ(call.wfx.nSamplesPerSec, 8000u);
        EXPECT_EQ(call.wfx.wBitsPerSample, 16);
    }
    EXPECT_EQ(opens, 5);
}

TEST_F(ExportsTest, EachExportForwardsToItsDecoder)
{
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    CAudioFrameBuffer* fb = Inside(*Dec(h)).m_pFrameBuffer;

    EXPECT_EQ(SV_InputAudioBuffer(h, kEmptyVoiceFrame, 8, SV_PAYLOAD_VOICE, 0x123456789LL, 0), 1);
    EXPECT_EQ(SV_AudioDecGetFrames(h), 1) << "a frame of no samples still counts";
    EXPECT_EQ(Inside(*fb).m_nInputPts.load(), 0x123456789LL);
    EXPECT_EQ(Inside(*fb).m_bStoreData, 0);
    EXPECT_EQ(SV_InputAudioBuffer(h, kEmptyVoiceFrame, 8, SV_PAYLOAD_VOICE, 5, 1), 1);
    EXPECT_EQ(Inside(*fb).m_bStoreData, 1);

    SV_SetPts(h, 0x100000001LL, -7);
    EXPECT_EQ(Inside(*fb).m_nHostPts.load(), 0x100000001LL);
    EXPECT_EQ(Inside(*fb).m_nHostPts2.load(), -7);

    Inside(*fb).m_nCurPts.store(41);
    Inside(*fb).m_nNextPts.store(42);
    int64_t pts = 0;
    int64_t next = 0;
    SV_GetPts(h, &pts, &next);
    EXPECT_EQ(pts, 41);
    EXPECT_EQ(next, 42);
    SV_GetPts(h, nullptr, nullptr);

    EXPECT_EQ(SV_SetMuteAudio(h, 2), 1);
    EXPECT_EQ(Inside(*fb).m_bMute.load(), 2);
    EXPECT_EQ(SV_StopFileAudio(h, 2), 1);
    EXPECT_EQ(Inside(*fb).m_nStopFile.load(), 2);

    EXPECT_EQ(SV_ClearAudioFrames(h, 7, 0, 0, nullptr, nullptr), SV_E_BAD_TYPE);
    EXPECT_EQ(SV_AudioDecGetFrames(h), 2);
    EXPECT_EQ(SV_AudioDecClear(h), 1);
    EXPECT_EQ(SV_AudioDecGetFrames(h), 0);

    EXPECT_EQ(SV_AudioDecSetVolume(h, 0xABCD1234), 1);
    EXPECT_EQ(Inside(*Dec(h)).m_nVolume.load(), 0xABCD1234u);
    EXPECT_EQ(SV_AudioDecGetVolume(h), 0x12341234u);
    EXPECT_EQ(Inside(*Dec(h)).m_nVolume.load(), 0x12341234u) << "a read keeps what the device reported";
    EXPECT_EQ(SV_CloseSonavex(h), 1);
}

TEST_F(ExportsTest, NetProtocolVersionIsKept)
{
    SV_SetNetProtocolVersion(7);
    EXPECT_EQ(g_Systems.GetNetProtocolVersion(), 7);
    SV_SetNetProtocolVersion(-3);
    EXPECT_EQ(g_Systems.GetNetProtocolVersion(), -3);
}

// A device that cannot be opened, or that takes none of the ten buffers,
// fails the open: no handle, and every device opened is closed again.
TEST_F(ExportsTest, AFailedDeviceOpenLeavesNoDeviceBehind)
{
    for (MMRESULT SvWaveTestFaults::*fault : {&SvWaveTestFaults::mmrOpen, &SvWaveTestFaults::mmrWrite}) {
        SvWaveTestReset();
        Fail(fault, MMSYSERR_NOMEM);
        CAudioDec dec;
        EXPECT_EQ(dec.Open(0, 1), 0);
        EXPECT_EQ(Inside(dec).m_pAudio, nullptr);
        EXPECT_EQ(SV_OpenSonavex(0, 1), nullptr);
        int opened = 0;
        for (const SvWaveCall& call : SvWaveTestCalls()) {
            if ((call.nCall == SV_WAVE_CALL_OPEN || call.nCall == SV_WAVE_CALL_CLOSE) && call.mmr == MMSYSERR_NOERROR)
                opened += call.nCall == SV_WAVE_CALL_OPEN ? 1 : -1;
        }
        EXPECT_EQ(opened, 0);
    }
    SvWaveTestSetFaults(nullptr);
}

// A device that never lets go: the close tries a bounded number of times,
// answers 1, and leaves the wave object and the frame buffer its callback
// reads allocated rather than freeing them under the device.
TEST_F(ExportsTest, ADeviceThatNeverLetsGoKeepsTheMemoryItMayStillUse)
{
    SvWaveTestFaults faults = {};
    faults.bCloseRefused = TRUE;
    SvWaveTestSetFaults(&faults);
    CAudioDec dec;
    ASSERT_EQ(dec.Open(0, 0), 1);
    CAudio* audio = Inside(dec).m_pAudio;
    CAudioFrameBuffer* frameBuffer = Inside(dec).m_pFrameBuffer;
    EXPECT_EQ(dec.Close(), 1);
    EXPECT_EQ(Inside(dec).m_pAudio, nullptr);
    EXPECT_EQ(Inside(dec).m_pFrameBuffer, nullptr);
    size_t closes = 0;
    for (const SvWaveCall& call : SvWaveTestCalls())
        closes += call.nCall == SV_WAVE_CALL_CLOSE ? 1 : 0;
    EXPECT_EQ(closes, static_cast<size_t>(CAudio::kCloseAttempts));
    EXPECT_NE(Inside(*audio).m_pOutBuffer[0], nullptr);
    // What the library left to the device, given back by the test.
    delete audio;
    delete frameBuffer;
    SvWaveTestSetFaults(nullptr);
}

TEST_F(ExportsTest, DecoderWithoutAFrameBuffer)
{
    CAudioDec dec;
    EXPECT_EQ(Inside(dec).m_nVolume.load(), 0xFFFFFFFFu);
    EXPECT_EQ(dec.InputAudioBuffer(kEmptyVoiceFrame, 8, 2, 0, 1), -1);
    EXPECT_EQ(static_cast<uint32_t>(dec.ClearAudioFrames(0, 1, 0, nullptr, nullptr)), SV_E_NO_FRAME_BUFFER);
    EXPECT_EQ(dec.Clear(), 1);
    EXPECT_EQ(dec.SetMuteAudio(1), 1);
    int64_t pts = 5;
    dec.GetPts(&pts, nullptr);
    EXPECT_EQ(pts, 5);
    EXPECT_EQ(dec.Close(), 0);
}

TEST_F(ExportsTest, OpenTwiceRefusesAndCloseKeepsTheQueue)
{
    CAudioDec dec;
    ASSERT_EQ(dec.Open(1, 0), 1);
    CAudio* device = Inside(dec).m_pAudio;
    CAudioFrameBuffer* fb = Inside(dec).m_pFrameBuffer;
    EXPECT_EQ(dec.Open(0, 1), 0);
    EXPECT_EQ(Inside(dec).m_pAudio, device);
    EXPECT_EQ(Inside(dec).m_pFrameBuffer, fb);
    EXPECT_EQ(Inside(dec).m_nMode, 1);

    EXPECT_EQ(dec.InputAudioBuffer(kEmptyVoiceFrame, 8, 2, 9, 1), 1);
    EXPECT_EQ(dec.Close(), 1);
    EXPECT_EQ(Inside(dec).m_pAudio, nullptr);
    EXPECT_EQ(Inside(dec).m_pFrameBuffer, fb);
    EXPECT_EQ(dec.GetFrames(), 1u);
    EXPECT_EQ(dec.Close(), 0);

    // A closed object can open again, with a new frame buffer.
    ASSERT_EQ(dec.Open(0, 1), 1);
    EXPECT_EQ(dec.GetFrames(), 0u);
}

TEST_F(ExportsTest, ARefusedVolumeIsStillKept)
{
    Fail(&SvWaveTestFaults::mmrVolume, MMSYSERR_NOTSUPPORTED);
    CAudioDec dec;
    ASSERT_EQ(dec.Open(0, 1), 1);
    EXPECT_EQ(dec.SetVolume(0x1234), 0);
    EXPECT_EQ(Inside(dec).m_nVolume.load(), 0x1234u);
    SvWaveTestSetFaults(nullptr);
}

// The decoder object's guard: a failure inside decoding is logged and
// answered with -1, and the object goes on working.
class GuardTest : public ExportsTest {
protected:
    void SetUp() override
    {
        ExportsTest::SetUp();
        ASSERT_TRUE(log_.Start());
    }
    void TearDown() override
    {
        g_failArrayOf.store(0);
        EXPECT_TRUE(log_.Remove());
        ExportsTest::TearDown();
    }
    // The day's log (whatever the day).
    std::string Log() const { return log_.ReadAll(); }

    testlog::ModuleLog log_{reinterpret_cast<HMODULE>(0x7100)};
};

TEST_F(GuardTest, AFailureInsideDecodingIsLoggedAndAnsweredWithMinusOne)
{
    SV_DECODER h = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    g_failArrayOf.store(CAudioFrameBuffer::kDecodeBufferBytes);
    EXPECT_EQ(SV_InputAudioBuffer(h, kEmptyVoiceFrame, 8, SV_PAYLOAD_VOICE, 1, 1), SV_FAILED);
    EXPECT_EQ(g_failArrayOf.load(), 0u) << "the decode buffer was asked for";
    const std::string log = Log();
    EXPECT_EQ(log.rfind("CAudioDec::InputAudioBuffer\t\t", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(SV_AudioDecGetFrames(h), 0);

    EXPECT_EQ(SV_InputAudioBuffer(h, kEmptyVoiceFrame, 8, SV_PAYLOAD_VOICE, 2, 1), 1);
    EXPECT_EQ(SV_AudioDecGetFrames(h), 1);
    EXPECT_EQ(SV_CloseSonavex(h), 1);
}

// libSonavex.so shows the host the SV_ functions and nothing else.
TEST(ExportTable, OnlyTheSvFunctionsAreExported)
{
    const std::set<std::string> playback = {
        "SV_AudioDecClear",     "SV_AudioDecGetFrames", "SV_AudioDecGetVolume", "SV_AudioDecSetVolume",
        "SV_ClearAudioFrames",  "SV_CloseSonavex",      "SV_GetPts",            "SV_InputAudioBuffer",
        "SV_OpenSonavex",       "SV_SetMuteAudio",      "SV_SetNetProtocolVersion",
        "SV_SetPts",            "SV_StopFileAudio"};
    const std::set<std::string> capture = {"SV_OpenAudioCapture", "SV_CloseAudioCapture", "SV_ReadAudioBuffer",
                                           "SV_AudioCapClear"};
    FILE* nm = popen("nm -D --defined-only '" SV_LIBRARY_PATH "'", "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (fgets(line, sizeof line, nm) != nullptr) {
        char address[64];
        char type = 0;
        char name[400];
        if (sscanf(line, "%63s %c %399s", address, &type, name) == 3 && type != 'A')
            exported.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0);
    for (const std::string& name : playback)
        EXPECT_EQ(exported.count(name), 1u) << name << " is not exported";
    for (const std::string& name : exported)
        EXPECT_TRUE(playback.count(name) == 1 || capture.count(name) == 1) << name << " should not be exported";
}

} // namespace
