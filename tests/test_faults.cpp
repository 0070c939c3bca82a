// Every exception guard of the library, one row each: a failure is injected
// where the guarded method allocates or calls the platform, and the row checks
// that the method writes exactly its own line to the log beside the module,
// that the host sees the failure result, and that the object then works on or
// closes. Run under the address sanitizer, its leak checker shows that nothing
// the failed call had was lost.
//
// Injections, all from this test binary or the stand-ins:
// - allocation: the n-th throwing operator new (of one size, or any) on the
//   test's thread throws std::bad_alloc; the library's classes are linked in
//   statically, so the replacement below is theirs;
// - wave call: the test device's n-th call of one kind does its work, then
//   throws (SvWaveTestFaults::nThrowCall);
// - debug output: the debugger-output sink throws from inside
//   OutputDebugStringA, once.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "sonavex.h"
#include "audio/audioframebuffer.h"
#include "support/systems.h"
#include "test_codec_voice_frames.h"
#include "test_module_log.h"
#include "test_replace_new.h"
#include "test_wave_common.h"

namespace {

// Armed per thread, so that a device thread never sees the failure.
thread_local size_t t_failSize = 0;  // 0: any size
thread_local int t_failCountdown = 0;

}  // namespace

void* SvTestNew(size_t size)
{
    if (t_failCountdown > 0 && (t_failSize == 0 || t_failSize == size) && --t_failCountdown == 0)
        throw std::bad_alloc();
    if (void* p = malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* SvTestNewNoThrow(size_t size) noexcept { return malloc(size != 0 ? size : 1); }

namespace {

const DWORD kOutBuffer = 640;    // one output buffer, and one voice frame decoded
const DWORD kInBuffer = 320;     // one input buffer, read as one frame
const DWORD kFrameScratch = CAudioFrameBuffer::kDecodeBufferBytes;  // the open's frame copy

std::atomic<bool> g_sinkThrows{false};

void ThrowingSink(const char*, void*)
{
    if (g_sinkThrows.exchange(false))
        throw std::runtime_error("debug output sink");
}

void NoSleep(DWORD, void*) {}

// Voice frames of a tone, each 320 samples (one output buffer).
const std::vector<std::vector<unsigned char>>& VoiceFrames()
{
    static const std::vector<std::vector<unsigned char>> frames = [] {
        std::vector<short> pcm(16 * 320);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<short>(8000 * std::sin(0.3 * static_cast<double>(i)));
        return codectest::VoiceEncode(pcm, {320}).frames;
    }();
    return frames;
}

// A 20 ms AMR frame (12.2 kbit/s) of silence.
const std::vector<unsigned char> kAmrFrame = [] {
    std::vector<unsigned char> f(32, 0);
    f[0] = 0x3C;
    return f;
}();

enum class Via { kAllocation, kWaveCall, kDebugOutput };

struct Injection {
    Via via;
    size_t size;  // allocation: this size only (0: any)
    int nth;      // allocation: the n-th of them; wave call: the n-th call
    int call;     // wave call: SV_WAVE_CALL_*
};

Injection Alloc(size_t size, int nth) { return {Via::kAllocation, size, nth, 0}; }
Injection Call(int call, int nth) { return {Via::kWaveCall, 0, nth, call}; }
Injection Sink() { return {Via::kDebugOutput, 0, 1, 0}; }

// What a row's act works on, made before the fault is armed (an open row
// makes its own).
enum class Object { kNone, kDecoder, kCapture };

struct Ctx {
    SV_DECODER dec = nullptr;
    HWAVEOUT hwo = nullptr;
    SV_CAPTURE cap = nullptr;
    HWAVEIN hwi = nullptr;
    int64_t pts = 0;
};

struct FaultCase {
    const char* name;
    const char* method;  // the guarded method
    Object object;
    Injection inject;
    int (*act)(Ctx&);    // the call made with the fault armed; its result as the host sees it
    int result;
    const char* log;     // the one line the guard writes
    void (*after)(Ctx&); // the object still works, or was closed and let go of everything
};

// ---- Acts --------------------------------------------------------------------

int OpenDecoder(Ctx& c)
{
    c.dec = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    c.hwo = SvWaveTestLatestHandle();
    return c.dec != nullptr;
}
int FirstVoiceFrame(Ctx& c)
{
    const std::vector<unsigned char>& f = VoiceFrames()[0];
    return SV_InputAudioBuffer(c.dec, f.data(), static_cast<int32_t>(f.size()), SV_PAYLOAD_VOICE, ++c.pts, 1);
}
int FirstAmrFrame(Ctx& c)
{
    return SV_InputAudioBuffer(c.dec, kAmrFrame.data(), static_cast<int32_t>(kAmrFrame.size()), SV_PAYLOAD_AMR,
                               ++c.pts, 1);
}
int PlayOneBuffer(Ctx& c) { return static_cast<int>(SvWaveTestStep(c.hwo, 1)); }
int CloseDecoder(Ctx& c)
{
    const int closed = SV_CloseSonavex(c.dec);
    c.dec = nullptr;
    return closed;
}
int OpenCapture(Ctx& c)
{
    c.cap = SV_OpenAudioCapture();
    c.hwi = SvWaveTestLatestInHandle();
    return c.cap != nullptr;
}
int ReadFrame(Ctx& c)
{
    unsigned char frame[kInBuffer];
    uint32_t length = sizeof frame;
    return SV_ReadAudioBuffer(c.cap, frame, &length, 0);
}
int RecordOneBuffer(Ctx& c) { return static_cast<int>(SvWaveTestRecord(c.hwi, kInBuffer)); }
int CloseCapture(Ctx& c)
{
    const int closed = SV_CloseAudioCapture(c.cap);
    c.cap = nullptr;
    return closed;
}

// ---- What follows ------------------------------------------------------------

size_t Calls(int kind, MMRESULT mmr = MMSYSERR_NOERROR)
{
    size_t n = 0;
    for (const SvWaveCall& call : SvWaveTestCalls())
        n += call.nCall == kind && call.mmr == mmr;
    return n;
}

// Frames fed to an open decoder are played: the device refills every buffer it
// hands back from them, and the stamp of the last one is the one playing.
void PlaysOn(Ctx& c)
{
    const std::vector<std::vector<unsigned char>>& frames = VoiceFrames();
    const unsigned queued = SvWaveTestQueued(c.hwo);
    EXPECT_GE(queued, 9u);
    for (const std::vector<unsigned char>& f : frames)
        ASSERT_EQ(SV_InputAudioBuffer(c.dec, f.data(), static_cast<int32_t>(f.size()), SV_PAYLOAD_VOICE, ++c.pts, 1),
                  1);
    EXPECT_EQ(SV_AudioDecGetFrames(c.dec), static_cast<int32_t>(frames.size()));
    const DWORD before = SvWaveTestOutputSize();
    EXPECT_EQ(SvWaveTestStep(c.hwo, static_cast<UINT>(frames.size())), frames.size());
    EXPECT_EQ(SvWaveTestOutputSize() - before, frames.size() * kOutBuffer);
    int64_t playing = 0;
    SV_GetPts(c.dec, &playing, nullptr);
    EXPECT_EQ(playing, c.pts) << "the last frame fed is the one playing";
    EXPECT_EQ(SvWaveTestQueued(c.hwo), queued) << "every buffer went back to the device";
}

// The decoder was closed and its device let go of.
void DeviceGone(Ctx& c)
{
    EXPECT_EQ(c.dec, nullptr);
    EXPECT_EQ(SvWaveGetDeviceKind(c.hwo), SV_WAVE_DEVICE_AUTO) << "no output device is left open";
}

// A failed open left no object and no device, and the next open plays.
void NextDecoderPlays(Ctx& c)
{
    EXPECT_EQ(c.dec, nullptr);
    EXPECT_EQ(SvWaveGetDeviceKind(c.hwo), SV_WAVE_DEVICE_AUTO) << "no output device is left open";
    EXPECT_EQ(Calls(SV_WAVE_CALL_OPEN), Calls(SV_WAVE_CALL_CLOSE)) << "every device opened was closed";
    ASSERT_EQ(OpenDecoder(c), 1);
    PlaysOn(c);
    EXPECT_EQ(CloseDecoder(c), 1);
}

// The failed frame queued nothing, and the next one decodes and plays.
void NothingQueuedThenPlaysOn(Ctx& c)
{
    EXPECT_EQ(SV_AudioDecGetFrames(c.dec), 0);
    PlaysOn(c);
}

// Recorded buffers still reach the reader, and every buffer is with the device.
void RecordsOn(Ctx& c)
{
    EXPECT_EQ(SvWaveTestQueuedIn(c.hwi), 10u) << "every buffer went back to the device";
    ASSERT_EQ(SvWaveTestRecord(c.hwi, 9 * kInBuffer), 9 * kInBuffer);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ReadFrame(c), 1) << i;
    EXPECT_EQ(SvWaveTestQueuedIn(c.hwi), 10u);
}

void NoCaptureLeft(Ctx& c)
{
    EXPECT_EQ(c.cap, nullptr);
    EXPECT_EQ(g_Systems.GetCaptureRefs(), 0);
    EXPECT_EQ(g_Systems.GetCapture(), nullptr);
    EXPECT_EQ(SvWaveGetInDeviceKind(c.hwi), SV_WAVE_DEVICE_AUTO) << "no input device is left open";
    EXPECT_EQ(Calls(SV_WAVE_CALL_IN_OPEN), Calls(SV_WAVE_CALL_IN_CLOSE)) << "every device opened was closed";
}

void NextCaptureRecords(Ctx& c)
{
    NoCaptureLeft(c);
    ASSERT_EQ(OpenCapture(c), 1);
    RecordsOn(c);
    EXPECT_EQ(CloseCapture(c), 1);
}

// ---- The table -----------------------------------------------------------------

const FaultCase kCases[] = {
    {"InputAudioBufferVoiceDecoder", "CAudioDec::InputAudioBuffer", Object::kDecoder, Alloc(0, 1), FirstVoiceFrame,
     SV_FAILED, "CAudioDec::InputAudioBuffer", NothingQueuedThenPlaysOn},
    {"InputAudioBufferAmrDecodeBuffer", "CAudioDec::InputAudioBuffer", Object::kDecoder, Alloc(0, 1),
     FirstAmrFrame, SV_FAILED, "CAudioDec::InputAudioBuffer", NothingQueuedThenPlaysOn},
    {"WaveOutOpenFrameCopy", "CAudio::WaveOutOpen", Object::kNone, Alloc(kFrameScratch, 1), OpenDecoder, 0,
     "CAudio::WaveOutOpen Exception", NextDecoderPlays},
    {"WaveOutOpenPrepare", "CAudio::WaveOutOpen", Object::kNone, Call(SV_WAVE_CALL_PREPARE, 1), OpenDecoder, 0,
     "CAudio::WaveOutOpen Exception", NextDecoderPlays},
    {"WaveOutOpenWrite", "CAudio::WaveOutOpen", Object::kNone, Call(SV_WAVE_CALL_WRITE, 1), OpenDecoder, 0,
     "CAudio::WaveOutOpen Exception", NextDecoderPlays},
    {"WaveOutWrite", "CAudio::WaveOutWrite", Object::kDecoder, Call(SV_WAVE_CALL_WRITE, 1), PlayOneBuffer, 1,
     "CAudio::WaveOutWrite Exception", PlaysOn},
    {"WaveOutProc", "CAudio::waveOutProc", Object::kDecoder, Call(SV_WAVE_CALL_PREPARE, 1), PlayOneBuffer, 1,
     "CAudio::waveOutProc Exception", PlaysOn},
    {"WaveOutClose", "CAudio::WaveOutClose", Object::kDecoder, Call(SV_WAVE_CALL_CLOSE, 1), CloseDecoder, 1,
     "CAudio::WaveOutClose Exception", DeviceGone},
    {"ReadAudioBuffer", "CAudioCapture::ReadAudioBuffer", Object::kCapture, Sink(), ReadFrame, 0,
     "CAudioCapture::ReadAudioBuffer", RecordsOn},
    {"WaveInOpenBuffer", "CAudio::WaveInOpen", Object::kNone, Alloc(kInBuffer, 3), OpenCapture, 0,
     "CAudio::WaveInOpen Exception", NextCaptureRecords},
    {"WaveInOpenDevice", "CAudio::WaveInOpen", Object::kNone, Call(SV_WAVE_CALL_IN_OPEN, 1), OpenCapture, 0,
     "CAudio::WaveInOpen Exception", NextCaptureRecords},
    {"OnMM_WIM_DATA", "CAudio::OnMM_WIM_DATA", Object::kCapture, Call(SV_WAVE_CALL_IN_ADDBUFFER, 1),
     RecordOneBuffer, static_cast<int>(kInBuffer), "CAudio::OnMM_WIM_DATA Exception", RecordsOn},
    {"WaveInClose", "CAudio::WaveInClose", Object::kCapture, Call(SV_WAVE_CALL_IN_CLOSE, 1), CloseCapture, 1,
     "CAudio::WaveInClose Exception", NoCaptureLeft},
    {"WaveInProc", "waveInProc", Object::kCapture, Call(SV_WAVE_CALL_IN_UNPREPARE, 1), CloseCapture, 1,
     "waveInProc Exception", NoCaptureLeft},
};

void PrintTo(const FaultCase& row, std::ostream* os) { *os << row.method; }

class Faults : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override
    {
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
        ASSERT_TRUE(log_.Start());
        SvSetLocalTimeSource(wavetest::FixedDay, nullptr);
        // The close sequences' bounded waits run at once.
        SvSetSleepHook(NoSleep, nullptr);
        SvSetDebugOutputSink(ThrowingSink, nullptr);
        // Made before any fault is armed: the test's own allocations never fail.
        VoiceFrames();
    }
    void TearDown() override
    {
        Disarm();
        if (c_.dec != nullptr)
            SV_CloseSonavex(c_.dec);
        if (c_.cap != nullptr)
            SV_CloseAudioCapture(c_.cap);
        SvSetDebugOutputSink(nullptr, nullptr);
        SvSetSleepHook(nullptr, nullptr);
        SvSetLocalTimeSource(nullptr, nullptr);
        log_.Remove();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveTestReset();
    }

    void Make(Object object)
    {
        if (object == Object::kDecoder) {
            ASSERT_EQ(OpenDecoder(c_), 1);
        } else if (object == Object::kCapture) {
            ASSERT_EQ(OpenCapture(c_), 1);
            // Past the reader's pre-buffer, with one frame more to read.
            ASSERT_EQ(SvWaveTestRecord(c_.hwi, 9 * kInBuffer), 9 * kInBuffer);
        }
    }
    static void Arm(const Injection& inject)
    {
        switch (inject.via) {
        case Via::kAllocation:
            t_failSize = inject.size;
            t_failCountdown = inject.nth;
            break;
        case Via::kWaveCall: {
            SvWaveTestFaults faults = {};
            faults.nThrowCall = inject.call;
            faults.nThrowAt = static_cast<UINT>(inject.nth);
            SvWaveTestSetFaults(&faults);
            break;
        }
        case Via::kDebugOutput:
            g_sinkThrows.store(true);
            break;
        }
    }
    // Tells whether the armed fault was reached.
    static bool Disarm()
    {
        const bool allocationLeft = t_failCountdown > 0;
        const bool sinkLeft = g_sinkThrows.exchange(false);
        t_failCountdown = 0;
        t_failSize = 0;
        SvWaveTestSetFaults(nullptr);
        return !allocationLeft && !sinkLeft;
    }
    std::string Log() const { return log_.Read(testlog::kFixedDayLog); }

    testlog::ModuleLog log_{reinterpret_cast<HMODULE>(0x7300)};
    Ctx c_;
};

TEST_P(Faults, TheGuardLogsItsLineAnswersTheFailureAndTheObjectGoesOn)
{
    const FaultCase& row = GetParam();
    SCOPED_TRACE(row.method);
    Make(row.object);
    ASSERT_FALSE(HasFatalFailure());
    const UINT callsBefore = SvWaveTestCallCount();

    Arm(row.inject);
    const int result = row.act(c_);
    const bool reached = Disarm();

    EXPECT_TRUE(reached) << "the injected failure was reached";
    if (row.inject.via == Via::kWaveCall) {
        EXPECT_GT(SvWaveTestCallCount(), callsBefore);
    }
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(Log(), std::string(row.log) + "\t\t2026-3-4-5-6-7\r\n");
    row.after(c_);
}

INSTANTIATE_TEST_SUITE_P(Guards, Faults, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& p) { return p.param.name; });

}  // namespace
