// The wave API stand-in on its test device: stepping, header flags, handles,
// volume on the samples, position, argument checks, every injected fault, the
// call record and the choice of device. What every device shares is tested in
// test_wave_devices.cpp.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <svwin/mmsystem.h>
#include <svwin/wavedevice.h>

#include "test_wave_common.h"

namespace {

// ALSA sees no device in this process, whatever the machine has, so the
// automatic choice is known.
const bool kAlsaHasNoDevice = setenv("ALSA_CONFIG_PATH", SV_ALSA_NODEVICE_CONF, 1) == 0;

using namespace wavetest;
typedef OutListener Listener;

class StandIn : public StandInTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kAlsaHasNoDevice);
        StandInTest::SetUp();
    }
    void TearDown() override
    {
        // No test action may queue again what the reset returns.
        listener_.action = other_.action = third_.action = nullptr;
        open_.CloseAll();
        StandInTest::TearDown();
    }

    HWAVEOUT Open(const WAVEFORMATEX& format = Pcm(1), Listener* listener = nullptr)
    {
        return open_.Open(format, listener ? listener : &listener_);
    }
    void Forget(HWAVEOUT h) { open_.Forget(h); }

    // `count` buffers of `bytes` bytes; buffer i holds the samples
    // 1000 * i + 1, 1000 * i + 2, ...
    void MakeBuffers(int count, DWORD bytes)
    {
        bufs_.MakeSamples(count, bytes,
                          [](int i, DWORD s) { return static_cast<int16_t>(1000 * i + 1 + static_cast<int>(s)); });
    }
    void PrepareAndWrite(HWAVEOUT h, int first, int count)
    {
        ASSERT_EQ(bufs_.Write(h, static_cast<size_t>(first), static_cast<size_t>(count)), MMSYSERR_NOERROR);
    }

    // Listeners outlive the handles TearDown closes.
    Listener listener_;
    Listener other_;
    Listener third_;
    OpenDevices<HWAVEOUT> open_;
    Buffers bufs_;
};

TEST_F(StandIn, StepReturnsOnlyOnceTheCallbackHasReturned)
{
    std::atomic<int> returned{0};
    listener_.action = [&](HWAVEOUT, UINT msg, LPWAVEHDR) {
        if (msg != WOM_DONE)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ++returned;
    };
    HWAVEOUT h = Open();
    MakeBuffers(2, 32);
    PrepareAndWrite(h, 0, 2);
    EXPECT_EQ(SvWaveTestStep(h, 1), 1u);
    EXPECT_EQ(returned.load(), 1);
    EXPECT_EQ(SvWaveTestQueued(h), 1u);
    // More steps than buffers: stops when the queue is empty.
    EXPECT_EQ(SvWaveTestStep(h, 5), 1u);
    EXPECT_EQ(returned.load(), 2);
    EXPECT_EQ(SvWaveTestStep(h, 1), 0u);
    EXPECT_EQ(SvWaveTestStep(nullptr, 1), 0u);
}

TEST_F(StandIn, HeaderFlagsFollowPrepareWriteDoneAndUnprepare)
{
    HWAVEOUT h = Open();
    MakeBuffers(1, 32);
    WAVEHDR& hdr = bufs_[0];

    EXPECT_EQ(waveOutWrite(h, &hdr, kHdr), static_cast<MMRESULT>(WAVERR_UNPREPARED));
    ASSERT_EQ(waveOutPrepareHeader(h, &hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_PREPARED));
    ASSERT_EQ(waveOutPrepareHeader(h, &hdr, kHdr), MMSYSERR_NOERROR);  // again: nothing changes
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_PREPARED));

    hdr.dwFlags |= WHDR_DONE;  // as left by an earlier pass
    ASSERT_EQ(waveOutWrite(h, &hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));
    EXPECT_EQ(waveOutWrite(h, &hdr, kHdr), static_cast<MMRESULT>(WAVERR_STILLPLAYING));
    EXPECT_EQ(waveOutUnprepareHeader(h, &hdr, kHdr), static_cast<MMRESULT>(WAVERR_STILLPLAYING));
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_INQUEUE));

    ASSERT_EQ(SvWaveTestStep(h, 1), 1u);
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(waveOutUnprepareHeader(h, &hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, static_cast<DWORD>(WHDR_DONE));
    EXPECT_EQ(waveOutUnprepareHeader(h, &hdr, kHdr), MMSYSERR_NOERROR);
}

TEST_F(StandIn, HeaderSizeMustBeTheSizeOfWaveHdr)
{
    HWAVEOUT h = Open();
    MakeBuffers(1, 32);
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[0], kHdr - 1), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[0], kHdr + 8), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutPrepareHeader(h, nullptr, kHdr), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(bufs_[0].dwFlags, 0u);
    ASSERT_EQ(waveOutPrepareHeader(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(h, &bufs_[0], 32 + kHdr), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutUnprepareHeader(h, &bufs_[0], 0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

TEST_F(StandIn, AClosedHandleIsRefusedByEveryCallAndNeverHandedOutAgain)
{
    HWAVEOUT h = Open();
    MakeBuffers(1, 32);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    Forget(h);
    const MMRESULT bad = MMSYSERR_INVALHANDLE;
    DWORD volume = 0;
    MMTIME t = {};
    t.wType = TIME_BYTES;
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[0], kHdr), bad);
    EXPECT_EQ(waveOutUnprepareHeader(h, &bufs_[0], kHdr), bad);
    EXPECT_EQ(waveOutWrite(h, &bufs_[0], kHdr), bad);
    EXPECT_EQ(waveOutReset(h), bad);
    EXPECT_EQ(waveOutGetVolume(h, &volume), bad);
    EXPECT_EQ(waveOutSetVolume(h, 0), bad);
    EXPECT_EQ(waveOutGetPosition(h, &t, sizeof(t)), bad);
    EXPECT_EQ(waveOutClose(h), bad);
    EXPECT_EQ(waveOutClose(nullptr), bad);
    EXPECT_EQ(waveOutGetVolume(nullptr, &volume), bad);
    EXPECT_EQ(bufs_[0].dwFlags, 0u);

    HWAVEOUT again = Open();
    EXPECT_NE(again, h);
}

// Strict, the stand-in keeps no more than Windows documents: a reset does not
// wait for a callback in flight, so what that callback queues lands after the
// reset and the close is refused; from the close notice on, every call on the
// handle is invalid. Lenient, the reset waits and returns that buffer too.
TEST_F(StandIn, StrictModeWaitsForNoCallbackInFlightAndRefusesAClosingHandle)
{
    const BOOL before = SvWaveGetStrict();
    for (BOOL strict : {FALSE, TRUE}) {
        SvWaveTestReset();
        SvWaveSetStrict(strict);
        HoldCallbackAt(SV_WAVE_CALL_WRITE);
        MakeBuffers(2, 32);
        bool requeued = false;
        std::vector<MMRESULT> inClose;
        listener_.action = [&](HWAVEOUT hwo, UINT msg, LPWAVEHDR hdr) {
            if (msg == WOM_DONE && hdr == &bufs_[0] && !requeued)
                requeued = waveOutWrite(hwo, hdr, kHdr) == MMSYSERR_NOERROR;
            if (msg == WOM_CLOSE)
                inClose = {waveOutUnprepareHeader(hwo, &bufs_[0], kHdr), waveOutPrepareHeader(hwo, &bufs_[0], kHdr),
                           waveOutWrite(hwo, &bufs_[0], kHdr), waveOutReset(hwo), waveOutSetVolume(hwo, 0)};
        };
        HWAVEOUT h = Open();
        PrepareAndWrite(h, 0, 2);
        CloseWhileACallbackIsHeld([h] { SvWaveTestStep(h, 1); }, [h] { EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR); });
        EXPECT_TRUE(requeued);
        EXPECT_EQ(SvWaveTestQueued(h), strict ? 1u : 0u);
        EXPECT_EQ(waveOutClose(h), strict ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR);
        if (strict) {
            EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
            EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
        }
        Forget(h);
        const MMRESULT bad = MMSYSERR_INVALHANDLE;
        const std::vector<MMRESULT> expected = strict ? std::vector<MMRESULT>{bad, bad, bad, bad, bad}
                                                      : std::vector<MMRESULT>{MMSYSERR_NOERROR, bad, bad, bad,
                                                                              MMSYSERR_NOERROR};
        EXPECT_EQ(inClose, expected) << (strict ? "strict" : "lenient");
        listener_.action = nullptr;
    }
    SvWaveSetStrict(before);
}

TEST_F(StandIn, CloseFromInsideItsOwnCallbackIsRefused)
{
    MMRESULT fromCallback = MMSYSERR_NOERROR;
    listener_.action = [&](HWAVEOUT hwo, UINT msg, LPWAVEHDR) {
        if (msg == WOM_DONE)
            fromCallback = waveOutClose(hwo);
    };
    HWAVEOUT h = Open();
    MakeBuffers(1, 32);
    PrepareAndWrite(h, 0, 1);
    ASSERT_EQ(SvWaveTestStep(h, 1), 1u);
    EXPECT_EQ(fromCallback, static_cast<MMRESULT>(MMSYSERR_HANDLEBUSY));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    Forget(h);
}

// Plays one buffer of `format` holding `in` at `volume` and returns what the
// device played.
std::vector<BYTE> PlayAt(HWAVEOUT h, DWORD volume, std::vector<BYTE> in)
{
    EXPECT_EQ(waveOutSetVolume(h, volume), MMSYSERR_NOERROR);
    const DWORD before = SvWaveTestOutputSize();
    WAVEHDR hdr = {};
    hdr.lpData = reinterpret_cast<LPSTR>(in.data());
    hdr.dwBufferLength = static_cast<DWORD>(in.size());
    EXPECT_EQ(waveOutPrepareHeader(h, &hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(h, &hdr, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveTestStep(h, 1), 1u);
    std::vector<BYTE> out(in.size());
    EXPECT_EQ(SvWaveTestReadOutput(before, out.data(), static_cast<DWORD>(out.size())), in.size());
    return out;
}

std::vector<BYTE> Samples16(const std::vector<int16_t>& s)
{
    std::vector<BYTE> b(s.size() * 2);
    memcpy(b.data(), s.data(), b.size());
    return b;
}

int16_t SampleAt(const std::vector<BYTE>& b, size_t i)
{
    int16_t v;
    memcpy(&v, &b[2 * i], 2);
    return v;
}

TEST_F(StandIn, VolumeScalesTheSamplesLowWordLeftHighWordRightMonoTakesLeft)
{
    std::vector<int16_t> wave;
    for (int i = 0; i < 400; ++i)
        wave.push_back(static_cast<int16_t>((i * 331) % 65536 - 32768));
    const std::vector<BYTE> in = Samples16(wave);

    HWAVEOUT mono = Open(Pcm(1));
    EXPECT_EQ(PlayAt(mono, 0xFFFFFFFF, in), in);
    std::vector<BYTE> half = PlayAt(mono, 0x00008000, in);  // right word 0: ignored for mono
    std::vector<BYTE> silent = PlayAt(mono, 0xFFFF0000, in);
    for (size_t i = 0; i < wave.size(); ++i) {
        EXPECT_NEAR(SampleAt(half, i), wave[i] / 2.0, 1.0) << i;
        EXPECT_EQ(SampleAt(silent, i), 0) << i;
    }

    HWAVEOUT stereo = Open(Pcm(2), &other_);
    std::vector<BYTE> out = PlayAt(stereo, 0x4000FFFF, in);
    for (size_t i = 0; i < wave.size(); i += 2) {
        EXPECT_EQ(SampleAt(out, i), wave[i]) << i;
        EXPECT_NEAR(SampleAt(out, i + 1), wave[i + 1] / 4.0, 1.0) << i;
    }
}

TEST_F(StandIn, MulawAtZeroVolumeIsMulawSilence)
{
    HWAVEOUT h = Open(Pcm(1, 8, 8000, 7));
    const std::vector<BYTE> in = {0x00, 0x10, 0x7F, 0x80, 0xA5, 0xFF};
    EXPECT_EQ(PlayAt(h, 0xFFFFFFFF, in), in);
    EXPECT_EQ(PlayAt(h, 0, in), std::vector<BYTE>(in.size(), 0xFF));
}

TEST_F(StandIn, PositionCountsThePlayedBytesInTheUnitAsked)
{
    HWAVEOUT h = Open();
    MakeBuffers(3, 160);
    PrepareAndWrite(h, 0, 3);
    ASSERT_EQ(SvWaveTestStep(h, 2), 2u);
    MMTIME t = {};
    t.wType = TIME_SAMPLES;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof(t)), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.sample, 160u);
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof(t)), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.ms, 20u);
    t.wType = 0x0008;  // SMPTE: answered in bytes, and says so
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof(t)), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, static_cast<UINT>(TIME_BYTES));
    EXPECT_EQ(t.u.cb, 320u);
    EXPECT_EQ(waveOutGetPosition(h, &t, sizeof(t) - 1), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
}

TEST_F(StandIn, OpenChecksItsArguments)
{
    HWAVEOUT h = nullptr;
    const WAVEFORMATEX good = Pcm(1);
    WAVEFORMATEX badAlign = good;
    badAlign.nBlockAlign = 3;
    const DWORD_PTR cb = reinterpret_cast<DWORD_PTR>(&Listener::Proc);
    const DWORD_PTR me = reinterpret_cast<DWORD_PTR>(&listener_);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &badAlign, cb, me, CALLBACK_FUNCTION), static_cast<MMRESULT>(WAVERR_BADFORMAT));
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &good, cb, me, CALLBACK_FUNCTION | WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutOpen(&h, 7, &good, cb, me, CALLBACK_FUNCTION), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &good, cb, me, CALLBACK_FUNCTION), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, nullptr, cb, me, CALLBACK_FUNCTION), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(listener_.All().empty());
    // Row 1 of the library's table: plain PCM that carries cbSize 22.
    WAVEFORMATEX row1 = Pcm(2, 16, 48000);
    row1.cbSize = 22;
    EXPECT_NE(Open(row1), nullptr);
}

// ---- Faults ----------------------------------------------------------------

TEST_F(StandIn, AnOpenFaultFailsTheOpenWithItsCodeAndOpensNothing)
{
    SvWaveTestFaults faults = {};
    faults.mmrOpen = MMSYSERR_ALLOCATED;
    SvWaveTestSetFaults(&faults);
    HWAVEOUT h = reinterpret_cast<HWAVEOUT>(0x77);
    const WAVEFORMATEX f = Pcm(1);
    EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(&Listener::Proc),
                          reinterpret_cast<DWORD_PTR>(&listener_), CALLBACK_FUNCTION),
              static_cast<MMRESULT>(MMSYSERR_ALLOCATED));
    EXPECT_EQ(h, reinterpret_cast<HWAVEOUT>(0x77));
    EXPECT_TRUE(listener_.All().empty());
}

TEST_F(StandIn, ThePrepareFaultHitsTheCallsItNamesAndChangesNothing)
{
    SvWaveTestFaults faults = {};
    faults.nPrepareFailAt = 2;
    faults.nPrepareFailCount = 2;
    faults.mmrPrepare = MMSYSERR_INVALHANDLE;
    SvWaveTestSetFaults(&faults);
    HWAVEOUT h = Open();
    MakeBuffers(3, 32);
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[0], kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[1], kHdr), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(bufs_[1].dwFlags, 0u);
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[1], kHdr), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[1], kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(bufs_[1].dwFlags, static_cast<DWORD>(WHDR_PREPARED));
    EXPECT_EQ(waveOutPrepareHeader(h, &bufs_[2], kHdr), MMSYSERR_NOERROR);
    // A later open counts afresh.
    HWAVEOUT h2 = Open(Pcm(1), &other_);
    WAVEHDR fresh = bufs_[0];
    fresh.dwFlags = 0;
    EXPECT_EQ(waveOutPrepareHeader(h2, &fresh, kHdr), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(h2, &fresh, kHdr), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

TEST_F(StandIn, WithoutACloseNoticeTheCloseStillClosesButNobodyIsTold)
{
    SvWaveTestFaults faults = {};
    faults.bNoCloseNotice = TRUE;
    SvWaveTestSetFaults(&faults);
    HWAVEOUT h = Open();
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    Forget(h);
    EXPECT_TRUE(listener_.Of(WOM_CLOSE).empty());
    EXPECT_EQ(waveOutReset(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

TEST_F(StandIn, AVolumeFaultFailsBothVolumeCallsAndKeepsTheLevel)
{
    SvWaveTestFaults faults = {};
    faults.mmrVolume = MMSYSERR_NOTSUPPORTED;
    SvWaveTestSetFaults(&faults);
    HWAVEOUT h = Open();
    DWORD volume = 0x55;
    EXPECT_EQ(waveOutSetVolume(h, 0x1000), static_cast<MMRESULT>(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(waveOutGetVolume(h, &volume), static_cast<MMRESULT>(MMSYSERR_NOTSUPPORTED));
    EXPECT_EQ(volume, 0x55u);
    // The level was not taken: a buffer still plays at full volume.
    MakeBuffers(1, 32);
    PrepareAndWrite(h, 0, 1);
    ASSERT_EQ(SvWaveTestStep(h, 1), 1u);
    EXPECT_EQ(SvWaveTestOutput(), bufs_.Data(0));
}

TEST_F(StandIn, AQuickDeviceCompletesTheFirstWritesBeforeTheyReturn)
{
    SvWaveTestFaults faults = {};
    faults.nCompleteOnWrite = 1;
    SvWaveTestSetFaults(&faults);
    HWAVEOUT h = Open();
    MakeBuffers(2, 32);
    PrepareAndWrite(h, 0, 1);
    std::vector<Notice> done = listener_.Of(WOM_DONE);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_NE(done[0].thread, std::this_thread::get_id());
    PrepareAndWrite(h, 1, 1);
    EXPECT_EQ(listener_.Of(WOM_DONE).size(), 1u);
    EXPECT_EQ(SvWaveTestQueued(h), 1u);
}

// ---- Call record and device choice -------------------------------------------

TEST_F(StandIn, EveryCallIsRecordedWithItsArgumentsResultAndThread)
{
    listener_.action = [](HWAVEOUT hwo, UINT msg, LPWAVEHDR hdr) {
        if (msg == WOM_DONE)
            waveOutWrite(hwo, hdr, kHdr);
    };
    const WAVEFORMATEX f = Pcm(1);
    HWAVEOUT h = Open(f);
    MakeBuffers(1, 32);
    PrepareAndWrite(h, 0, 1);
    ASSERT_EQ(waveOutSetVolume(h, 0xC000C000), MMSYSERR_NOERROR);
    ASSERT_EQ(SvWaveTestStep(h, 1), 1u);

    const std::vector<SvWaveCall> calls = SvWaveTestCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].nCall, SV_WAVE_CALLBACK);  // WOM_OPEN, made inside the open
    EXPECT_EQ(calls[0].uArg, static_cast<UINT>(WOM_OPEN));
    EXPECT_EQ(calls[0].dwInstance, reinterpret_cast<DWORD_PTR>(&listener_));
    EXPECT_EQ(calls[1].nCall, SV_WAVE_CALL_OPEN);
    EXPECT_EQ(calls[1].hwo, h);
    EXPECT_EQ(calls[1].uArg, WAVE_MAPPER);
    EXPECT_EQ(calls[1].dwArg, static_cast<DWORD>(CALLBACK_FUNCTION));
    EXPECT_EQ(calls[1].dwCallback, reinterpret_cast<DWORD_PTR>(&Listener::Proc));
    EXPECT_EQ(memcmp(&calls[1].wfx, &f, sizeof(f)), 0);
    EXPECT_EQ(calls[2].nCall, SV_WAVE_CALL_PREPARE);
    EXPECT_EQ(calls[2].pwh, &bufs_[0]);
    EXPECT_EQ(calls[2].uArg, kHdr);
    EXPECT_EQ(calls[3].nCall, SV_WAVE_CALL_WRITE);
    EXPECT_EQ(calls[4].nCall, SV_WAVE_CALL_SETVOLUME);
    EXPECT_EQ(calls[4].dwArg, 0xC000C000u);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(calls[i].bDeviceThread) << i;
    EXPECT_EQ(calls[5].nCall, SV_WAVE_CALLBACK);
    EXPECT_EQ(calls[5].uArg, static_cast<UINT>(WOM_DONE));
    EXPECT_TRUE(calls[5].bDeviceThread);
    EXPECT_EQ(calls[6].nCall, SV_WAVE_CALL_WRITE);  // from inside the callback
    EXPECT_TRUE(calls[6].bDeviceThread);
    EXPECT_EQ(calls[6].mmr, MMSYSERR_NOERROR);
    EXPECT_FALSE(SvWaveTestCallsLost());

    // Calls on no handle are recorded too, failures included.
    DWORD v;
    EXPECT_EQ(waveOutGetVolume(nullptr, &v), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
    SvWaveCall last = {};
    ASSERT_TRUE(SvWaveTestGetCall(SvWaveTestCallCount() - 1, &last));
    EXPECT_EQ(last.nCall, SV_WAVE_CALL_GETVOLUME);
    EXPECT_EQ(last.mmr, static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

TEST_F(StandIn, TheDefaultDeviceIsThePlatformsChoice)
{
    HWAVEOUT test = Open();
    EXPECT_EQ(SvWaveGetDeviceKind(test), SV_WAVE_DEVICE_TEST);
    EXPECT_EQ(SvWaveTestLatestHandle(), test);

    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    HWAVEOUT virt = Open(Pcm(1), &other_);
    EXPECT_EQ(SvWaveGetDeviceKind(virt), SV_WAVE_DEVICE_VIRTUAL);
    EXPECT_EQ(SvWaveTestLatestHandle(), test);

    if (getenv(SV_WAVE_DEVICE_ENV) == nullptr) {
        // Automatic: ALSA has no device here, so the virtual one plays.
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        EXPECT_EQ(SvWaveGetDefaultDevice(), SV_WAVE_DEVICE_AUTO);
        HWAVEOUT autoChosen = Open(Pcm(1), &third_);
        EXPECT_EQ(SvWaveGetDeviceKind(autoChosen), SV_WAVE_DEVICE_VIRTUAL);
        // Not the test device: nothing more is recorded.
        const UINT recorded = SvWaveTestCallCount();
        DWORD v;
        waveOutGetVolume(autoChosen, &v);
        EXPECT_EQ(SvWaveTestCallCount(), recorded);
    }
    EXPECT_EQ(SvWaveGetDeviceKind(nullptr), SV_WAVE_DEVICE_AUTO);
}

TEST(StandInEnvironment, TheEnvironmentVariableChoosesWhenNoCallHas)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process: the variable is read once, at first use.
    EXPECT_EXIT(
        {
            setenv(SV_WAVE_DEVICE_ENV, "Test", 1);
            const bool fromEnv = SvWaveGetDefaultDevice() == SV_WAVE_DEVICE_TEST;
            SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
            const bool callWins = SvWaveGetDefaultDevice() == SV_WAVE_DEVICE_VIRTUAL;
            SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
            const bool backToEnv = SvWaveGetDefaultDevice() == SV_WAVE_DEVICE_TEST;
            exit(fromEnv && callWins && backToEnv ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
