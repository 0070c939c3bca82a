// Wave input on the stand-in's test device, which records only what the test
// feeds it and only when the test steps it: the notices and their threads,
// start, stop and reset, the header rules, faults, the call record, and the
// choice of device. What every device shares is tested in
// test_capture_devices.cpp.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>
#include <vector>

#include "test_wave_common.h"

namespace {

using namespace wavetest;
typedef InListener Listener;

// ALSA sees no device in this process, so the automatic choice is known.
const bool kAlsaHasNoDevice = setenv("ALSA_CONFIG_PATH", SV_ALSA_NODEVICE_CONF, 1) == 0;

class TestInput : public StandInTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kAlsaHasNoDevice);
        StandInTest::SetUp();
    }
    void TearDown() override
    {
        listener_.action = nullptr;
        open_.CloseAll();
        StandInTest::TearDown();
    }

    HWAVEIN Open(const WAVEFORMATEX& format = Pcm16()) { return open_.Open(format, &listener_); }
    MMRESULT Close(HWAVEIN h) { return open_.Close(h); }
    void Feed(const std::vector<BYTE>& bytes) { SvWaveTestFeedInput(bytes.data(), static_cast<DWORD>(bytes.size())); }
    // Opens into *h, feeds `fed`, adds three buffers of 160 bytes and starts;
    // false when the stand-in refused any of it.
    bool OpenAndStart(const std::vector<BYTE>& fed, HWAVEIN* h)
    {
        *h = Open();
        Feed(fed);
        bufs_.Make(3, 160);
        return bufs_.AddAll(*h) && waveInStart(*h) == MMSYSERR_NOERROR;
    }

    Listener listener_;
    Buffers bufs_;
    OpenDevices<HWAVEIN> open_;
};

TEST_F(TestInput, NothingIsRecordedBeforeStartNorIntoNoBufferAndPartOfABufferStaysQueued)
{
    HWAVEIN h = Open();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(SvWaveGetInDeviceKind(h), SV_WAVE_DEVICE_TEST);
    const std::vector<BYTE> fed = Ramp(2 * 160 + 40);
    Feed(fed);
    bufs_.Make(2, 160);
    ASSERT_TRUE(bufs_.AddAll(h));
    EXPECT_EQ(SvWaveTestRecord(h, 320), 0u);
    EXPECT_EQ(SvWaveTestInputLeft(), 360u);
    EXPECT_TRUE(listener_.Data().empty());

    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveTestRecord(h, 100), 100u);
    EXPECT_TRUE(listener_.Data().empty());
    EXPECT_EQ(SvWaveTestRecord(h, 220), 220u);
    EXPECT_EQ(Joined(listener_.Data()), std::vector<BYTE>(fed.begin(), fed.begin() + 320));
    // With no buffer queued nothing more is recorded.
    EXPECT_EQ(SvWaveTestRecord(h, 40), 0u);
    EXPECT_EQ(SvWaveTestInputLeft(), 40u);
}

TEST_F(TestInput, AddBufferRefusesUnpreparedAndQueuedHeadersAndStartsTheCountAtZero)
{
    HWAVEIN h = Open();
    bufs_.Make(2, 160);
    EXPECT_EQ(waveInAddBuffer(h, &bufs_[0], kHdr), static_cast<MMRESULT>(WAVERR_UNPREPARED));
    ASSERT_EQ(waveInPrepareHeader(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    bufs_[0].dwBytesRecorded = 77;
    bufs_[0].dwFlags |= WHDR_DONE;
    ASSERT_EQ(waveInAddBuffer(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(bufs_[0].dwBytesRecorded, 0u);
    EXPECT_EQ(bufs_[0].dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_EQ(waveInAddBuffer(h, &bufs_[0], kHdr), static_cast<MMRESULT>(WAVERR_STILLPLAYING));
    EXPECT_EQ(waveInUnprepareHeader(h, &bufs_[0], kHdr), static_cast<MMRESULT>(WAVERR_STILLPLAYING));
    EXPECT_EQ(waveInAddBuffer(h, &bufs_[1], sizeof(WAVEHDR) - 1), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(SvWaveTestQueuedIn(h), 1u);
}

TEST_F(TestInput, StopReturnsOnlyThePartlyFilledBufferAndStartGoesOnIntoTheNext)
{
    const auto me = std::this_thread::get_id();
    const std::vector<BYTE> fed = Ramp(1000);
    HWAVEIN h = nullptr;
    ASSERT_TRUE(OpenAndStart(fed, &h));

    ASSERT_EQ(SvWaveTestRecord(h, 100), 100u);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    std::vector<Notice> data = listener_.Data();
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].hdr, &bufs_[0]);
    EXPECT_EQ(data[0].thread, me);
    EXPECT_EQ(data[0].bytes, 100u);
    EXPECT_EQ(data[0].data, std::vector<BYTE>(fed.begin(), fed.begin() + 100));
    EXPECT_EQ(SvWaveTestQueuedIn(h), 2u);

    // Stopped: nothing is recorded, and a stop with an empty current buffer
    // returns nothing.
    EXPECT_EQ(SvWaveTestRecord(h, 160), 0u);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    EXPECT_EQ(listener_.Data().size(), 1u);

    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_EQ(SvWaveTestRecord(h, 160), 160u);
    data = listener_.Data();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1].hdr, &bufs_[1]);
    EXPECT_NE(data[1].thread, me);
    EXPECT_EQ(data[1].data, std::vector<BYTE>(fed.begin() + 100, fed.begin() + 260));
}

TEST_F(TestInput, ResetReturnsEveryQueuedBufferOnTheCallerInOrderAndStopsRecording)
{
    const auto me = std::this_thread::get_id();
    HWAVEIN h = nullptr;
    ASSERT_TRUE(OpenAndStart(Ramp(1000), &h));
    ASSERT_EQ(SvWaveTestRecord(h, 60), 60u);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);

    std::vector<Notice> data = listener_.Data();
    ASSERT_EQ(data.size(), 3u);
    const DWORD bytes[] = {60, 0, 0};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(data[i].hdr, &bufs_[i]) << i;
        EXPECT_EQ(data[i].thread, me) << i;
        EXPECT_EQ(data[i].bytes, bytes[i]) << i;
        EXPECT_EQ(data[i].flags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE)) << i;
    }
    EXPECT_EQ(SvWaveTestQueuedIn(h), 0u);

    // The reset stopped recording: a buffer added afterwards waits for a start.
    ASSERT_EQ(waveInAddBuffer(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveTestRecord(h, 160), 0u);
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveTestRecord(h, 160), 160u);
}

TEST_F(TestInput, TheCallbackAddsBuffersAgainAndResetsFromInsideWithoutNesting)
{
    const std::vector<BYTE> fed = Ramp(12 * 160);
    Feed(fed);
    bufs_.Make(3, 160);
    int returned = 0;
    size_t dataWhenResetReturned = 0;
    listener_.action = [&](HWAVEIN hwi, UINT msg, LPWAVEHDR hdr) {
        if (msg != WIM_DATA || ++returned > 12)
            return;
        if (returned < 12) {
            EXPECT_EQ(waveInAddBuffer(hwi, hdr, kHdr), MMSYSERR_NOERROR);
        } else {
            EXPECT_EQ(waveInReset(hwi), MMSYSERR_NOERROR);
            dataWhenResetReturned = listener_.Data().size();
        }
    };
    HWAVEIN h = Open();
    ASSERT_TRUE(bufs_.AddAll(h));
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveTestRecord(h, 12 * 160), 12u * 160u);
    ASSERT_TRUE(listener_.WaitData(14));

    std::vector<Notice> data = listener_.Data();
    ASSERT_EQ(data.size(), 14u);
    EXPECT_EQ(dataWhenResetReturned, 12u);
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i].hdr, &bufs_[i % 3]) << i;
        EXPECT_EQ(data[i].depth, 1) << i;
        EXPECT_EQ(data[i].bytes, i < 12 ? 160u : 0u) << i;
    }
    data.resize(12);
    EXPECT_EQ(Joined(data), fed);
    EXPECT_EQ(SvWaveTestQueuedIn(h), 0u);
    EXPECT_EQ(Close(h), MMSYSERR_NOERROR);
}

TEST_F(TestInput, AClosedHandleIsRefusedEverywhere)
{
    HWAVEIN h = Open();
    bufs_.Make(1, 160);
    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInStart(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveInStop(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveInReset(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveInAddBuffer(h, &bufs_[0], kHdr), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveInPrepareHeader(h, &bufs_[0], kHdr), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveInClose(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

TEST_F(TestInput, InputAndOutputHandlesAreNotInterchangeable)
{
    HWAVEIN in = Open();
    const WAVEFORMATEX f = Pcm16();
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInStart(reinterpret_cast<HWAVEIN>(out)), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveInClose(reinterpret_cast<HWAVEIN>(out)), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutClose(reinterpret_cast<HWAVEOUT>(in)), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(SvWaveGetDeviceKind(reinterpret_cast<HWAVEOUT>(in)), SV_WAVE_DEVICE_AUTO);
    EXPECT_EQ(SvWaveTestLatestInHandle(), in);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(TestInput, OpenChecksItsArguments)
{
    HWAVEIN h = nullptr;
    WAVEFORMATEX f = Pcm16();
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, nullptr, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveInOpen(&h, 7, &f, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_EVENT), static_cast<MMRESULT>(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &f, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    f.nAvgBytesPerSec = 1;
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(WAVERR_BADFORMAT));
    EXPECT_EQ(h, nullptr);
}

TEST_F(TestInput, InjectedFaultsFailTheOpenOrKeepTheCloseNoticeAway)
{
    SvWaveTestFaults faults = {};
    faults.mmrOpen = MMSYSERR_ALLOCATED;
    SvWaveTestSetFaults(&faults);
    HWAVEIN h = nullptr;
    const WAVEFORMATEX f = Pcm16();
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Listener::Proc),
                         reinterpret_cast<DWORD_PTR>(&listener_), CALLBACK_FUNCTION),
              static_cast<MMRESULT>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(listener_.All().empty());

    faults = {};
    faults.bNoCloseNotice = TRUE;
    faults.nPrepareFailAt = 2;
    faults.mmrPrepare = MMSYSERR_NOMEM;
    SvWaveTestSetFaults(&faults);
    h = Open();
    bufs_.Make(2, 160);
    EXPECT_EQ(waveInPrepareHeader(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInPrepareHeader(h, &bufs_[1], kHdr), static_cast<MMRESULT>(MMSYSERR_NOMEM));
    EXPECT_EQ(bufs_[1].dwFlags, 0u);
    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);
    std::vector<Notice> all = listener_.All();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].msg, static_cast<UINT>(WIM_OPEN));
}

TEST_F(TestInput, EveryCallAndNoticeIsRecordedWithTheInputHandle)
{
    HWAVEIN h = Open();
    bufs_.Make(1, 160);
    ASSERT_TRUE(bufs_.AddAll(h));
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    ASSERT_EQ(SvWaveTestRecord(h, 160), 160u);
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInUnprepareHeader(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);

    struct Expected {
        int call;
        UINT arg;
        BOOL deviceThread;
    };
    // Calls are recorded as they return, callbacks as they start.
    const Expected expected[] = {
        {SV_WAVE_CALLBACK, WIM_OPEN, FALSE},         {SV_WAVE_CALL_IN_OPEN, WAVE_MAPPER, FALSE},
        {SV_WAVE_CALL_IN_PREPARE, kHdr, FALSE},      {SV_WAVE_CALL_IN_ADDBUFFER, kHdr, FALSE},
        {SV_WAVE_CALL_IN_START, 0, FALSE},           {SV_WAVE_CALLBACK, WIM_DATA, TRUE},
        {SV_WAVE_CALL_IN_STOP, 0, FALSE},            {SV_WAVE_CALL_IN_RESET, 0, FALSE},
        {SV_WAVE_CALL_IN_UNPREPARE, kHdr, FALSE},    {SV_WAVE_CALLBACK, WIM_CLOSE, FALSE},
        {SV_WAVE_CALL_IN_CLOSE, 0, FALSE},
    };
    std::vector<SvWaveCall> calls = SvWaveTestCalls();
    ASSERT_EQ(calls.size(), sizeof(expected) / sizeof(expected[0]));
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].nCall, expected[i].call) << i;
        EXPECT_EQ(calls[i].uArg, expected[i].arg) << i;
        EXPECT_EQ(calls[i].bDeviceThread, expected[i].deviceThread) << i;
        EXPECT_EQ(calls[i].hwi, h) << i;
        EXPECT_EQ(calls[i].hwo, nullptr) << i;
        EXPECT_EQ(calls[i].mmr, MMSYSERR_NOERROR) << i;
    }
    EXPECT_EQ(calls[1].dwArg, static_cast<DWORD>(CALLBACK_FUNCTION));
    EXPECT_EQ(calls[1].dwInstance, reinterpret_cast<DWORD_PTR>(&listener_));
    EXPECT_EQ(calls[1].wfx.nSamplesPerSec, 8000u);
    EXPECT_EQ(calls[5].pwh, &bufs_[0]);
}

TEST(AutomaticInputDevice, IsVirtualWhenAlsaHasNoCaptureDevice)
{
    ASSERT_TRUE(kAlsaHasNoDevice);
    if (getenv(SV_WAVE_DEVICE_ENV) != nullptr)
        GTEST_SKIP() << SV_WAVE_DEVICE_ENV << " chooses the device in this environment";
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
    const WAVEFORMATEX f = Pcm16();
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveGetInDeviceKind(h), SV_WAVE_DEVICE_VIRTUAL);
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
}

}  // namespace
