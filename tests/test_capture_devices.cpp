// Properties every wave input device keeps, run against each of them: the
// test device (stepped, recording what the test feeds it), the virtual device
// (a tone, as fast as buffers come) and the ALSA device (through ALSA's file
// plugin, which records the samples of a file, so the real ALSA capture path
// runs without a sound card). Each records a known signal, and what comes back
// is compared with it sample by sample.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "test_wave_common.h"

namespace {

using namespace wavetest;
typedef InListener Listener;

const double kToneHz = 440.0;
const double kToneLevel = 0.5;
// Longer than any test records.
const size_t kSignalBytes = 2 * 64000;

std::string TempPath(const char* what) { return wavetest::TempPath("sonavex-wavein-", what); }

bool WriteFile(const std::string& path, const std::vector<BYTE>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// ALSA reads its configuration at the first open: in this process "default"
// records the raw samples of kAlsaInput, made before any test runs.
const std::string kAlsaInput = TempPath(".raw");
const bool kAlsaConfigured = WriteFile(kAlsaInput, Ramp(kSignalBytes, 1)) &&
                             setenv("ALSA_CONFIG_PATH", SV_ALSA_CAPTURE_CONF, 1) == 0 &&
                             setenv("SONAVEX_ALSA_INFILE", kAlsaInput.c_str(), 1) == 0;

// The virtual device's tone, as its source defines it.
std::vector<BYTE> Tone(size_t bytes, double hz, double level, DWORD rate = 8000)
{
    std::vector<BYTE> t(bytes);
    for (size_t n = 0; n < bytes / 2; ++n) {
        const int16_t v = static_cast<int16_t>(lround(level * 32767.0 * sin(2.0 * M_PI * hz * n / rate)));
        memcpy(&t[2 * n], &v, 2);
    }
    return t;
}

class InputDevice : public ::testing::TestWithParam<SvWaveDeviceKind> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kAlsaConfigured);
        SvWaveTestReset();
        SvWaveVirtualSetSpeed(0);
        SvWaveInputSource tone = {SV_WAVE_INPUT_TONE, kToneHz, kToneLevel, nullptr};
        SvWaveVirtualSetInput(&tone);
        SvWaveSetDefaultDevice(GetParam());
        switch (GetParam()) {
        case SV_WAVE_DEVICE_TEST:
            signal_ = Ramp(kSignalBytes, 2);
            SvWaveTestFeedInput(signal_.data(), static_cast<DWORD>(signal_.size()));
            break;
        case SV_WAVE_DEVICE_VIRTUAL:
            signal_ = Tone(kSignalBytes, kToneHz, kToneLevel);
            break;
        default:
            signal_ = Ramp(kSignalBytes, 1);
            break;
        }
    }
    void TearDown() override
    {
        listener_.action = nullptr;
        open_.CloseAll();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveVirtualSetInput(nullptr);
        SvWaveVirtualSetSpeed(1);
        SvWaveTestReset();
    }

    HWAVEIN Open()
    {
        HWAVEIN h = open_.Open(Pcm16(), &listener_);
        if (h != nullptr) {
            EXPECT_EQ(SvWaveGetInDeviceKind(h), GetParam());
        }
        return h;
    }
    MMRESULT Close(HWAVEIN h) { return open_.Close(h); }
    // Lets the device record until `count` buffers have come back in all:
    // the test device is stepped, the others record by themselves.
    void RecordUntil(HWAVEIN h, size_t count, DWORD bufferBytes)
    {
        if (GetParam() == SV_WAVE_DEVICE_TEST) {
            const size_t have = listener_.Data().size();
            if (count > have)
                SvWaveTestRecord(h, static_cast<DWORD>((count - have) * bufferBytes));
        }
        ASSERT_TRUE(listener_.WaitData(count));
    }
    std::vector<BYTE> Signal(size_t from, size_t bytes) const
    {
        return std::vector<BYTE>(signal_.begin() + from, signal_.begin() + from + bytes);
    }

    Listener listener_;
    Buffers bufs_;
    OpenDevices<HWAVEIN> open_;
    std::vector<BYTE> signal_;
};

TEST_P(InputDevice, RecordsItsSignalFromTheStartIntoFullBuffersInTheOrderAdded)
{
    const auto me = std::this_thread::get_id();
    HWAVEIN h = Open();
    ASSERT_NE(h, nullptr);
    bufs_.Make(6, 160);
    ASSERT_TRUE(bufs_.AddAll(h));
    // Not started: a device that records by itself has had time to, and
    // must not have.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(listener_.Data().empty());
    EXPECT_EQ(SvWaveTestQueuedIn(h), 6u);

    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    RecordUntil(h, 6, 160);
    std::vector<Notice> data = listener_.Data();
    ASSERT_EQ(data.size(), 6u);
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i].hdr, &bufs_[i]) << i;
        EXPECT_NE(data[i].thread, me) << i;
        EXPECT_EQ(data[i].bytes, 160u) << i;
        EXPECT_EQ(data[i].flags, static_cast<DWORD>(WHDR_PREPARED | WHDR_DONE)) << i;
    }
    // Sample for sample from the signal's start: nothing was recorded before
    // the start and nothing was lost between buffers.
    EXPECT_EQ(Joined(data), Signal(0, 960));

    ASSERT_EQ(Close(h), MMSYSERR_NOERROR);
    std::vector<Notice> all = listener_.All();
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all.front().msg, static_cast<UINT>(WIM_OPEN));
    EXPECT_EQ(all.front().thread, me);
    EXPECT_EQ(all.back().msg, static_cast<UINT>(WIM_CLOSE));
    EXPECT_EQ(all.back().thread, me);
}

TEST_P(InputDevice, ARingOfBuffersAddedAgainByTheCallbackRecordsWithoutAGap)
{
    const size_t kRounds = 25;
    size_t returned = 0;
    listener_.action = [&](HWAVEIN hwi, UINT msg, LPWAVEHDR hdr) {
        if (msg == WIM_DATA && ++returned <= kRounds - 3) {
            EXPECT_EQ(waveInAddBuffer(hwi, hdr, kHdr), MMSYSERR_NOERROR);
        }
    };
    HWAVEIN h = Open();
    bufs_.Make(3, 320);
    ASSERT_TRUE(bufs_.AddAll(h));
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    RecordUntil(h, kRounds, 320);
    std::vector<Notice> data = listener_.Data();
    ASSERT_EQ(data.size(), kRounds);
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i].hdr, &bufs_[i % 3]) << i;
        EXPECT_EQ(data[i].depth, 1) << i;
    }
    const std::vector<BYTE> recorded = Joined(data);
    const std::vector<BYTE> expected = Signal(0, kRounds * 320);
    ASSERT_EQ(recorded.size(), expected.size());
    for (size_t i = 0; i < recorded.size(); i += 2)
        ASSERT_EQ(memcmp(&recorded[i], &expected[i], 2), 0) << "sample " << i / 2;
    EXPECT_EQ(SvWaveTestQueuedIn(h), 0u);
    EXPECT_EQ(Close(h), MMSYSERR_NOERROR);
}

TEST_P(InputDevice, StopReturnsAtMostThePartlyFilledBufferAndRecordsNothingAfter)
{
    // In real time, so that the virtual device is part way through a buffer
    // when it stops. (The ALSA test source fills every buffer at once.)
    SvWaveVirtualSetSpeed(1);
    const DWORD kLen = 8000;  // 0.5 s
    const auto me = std::this_thread::get_id();
    HWAVEIN h = Open();
    bufs_.Make(4, kLen);
    ASSERT_TRUE(bufs_.AddAll(h));
    ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
    if (GetParam() == SV_WAVE_DEVICE_TEST) {
        ASSERT_EQ(SvWaveTestRecord(h, 1000), 1000u);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);

    std::vector<Notice> data = listener_.Data();
    size_t fromDevice = 0, fromStop = 0;
    for (const Notice& n : data) {
        if (n.thread == me) {
            ++fromStop;
            EXPECT_GT(n.bytes, 0u);
            EXPECT_LT(n.bytes, kLen);
        } else {
            EXPECT_EQ(fromStop, 0u) << "a full buffer came back after the stop";
            EXPECT_EQ(n.bytes, kLen);
            ++fromDevice;
        }
    }
    EXPECT_LE(fromStop, 1u);
    if (GetParam() == SV_WAVE_DEVICE_TEST) {
        EXPECT_EQ(fromStop, 1u);
        EXPECT_EQ(fromDevice, 0u);
    }
    // What came back is where the signal started, without a gap.
    const std::vector<BYTE> recorded = Joined(data);
    EXPECT_EQ(recorded, Signal(0, recorded.size()));

    // Stopped: the empty buffers stay queued and fill no more.
    EXPECT_EQ(SvWaveTestQueuedIn(h), 4u - data.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(listener_.Data().size(), data.size());

    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    std::vector<Notice> after = listener_.Data();
    ASSERT_EQ(after.size(), 4u);
    for (size_t i = data.size(); i < after.size(); ++i) {
        EXPECT_EQ(after[i].thread, me) << i;
        EXPECT_EQ(after[i].bytes, 0u) << i;
        EXPECT_EQ(after[i].hdr, &bufs_[i]) << i;
    }
    EXPECT_EQ(Close(h), MMSYSERR_NOERROR);
}

TEST_P(InputDevice, ResetReturnsEveryBufferOnTheCallerAndCloseIsRefusedUntilThen)
{
    const auto me = std::this_thread::get_id();
    HWAVEIN h = Open();
    bufs_.Make(3, 320);
    ASSERT_TRUE(bufs_.AddAll(h));
    EXPECT_EQ(Close(h), static_cast<MMRESULT>(WAVERR_STILLPLAYING));
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    std::vector<Notice> data = listener_.Data();
    ASSERT_EQ(data.size(), 3u);
    for (size_t i = 0; i < data.size(); ++i) {
        EXPECT_EQ(data[i].hdr, &bufs_[i]) << i;
        EXPECT_EQ(data[i].thread, me) << i;
        EXPECT_EQ(data[i].bytes, 0u) << i;
    }
    EXPECT_EQ(Close(h), MMSYSERR_NOERROR);
    EXPECT_EQ(listener_.All().back().msg, static_cast<UINT>(WIM_CLOSE));
}

INSTANTIATE_TEST_SUITE_P(AllDevices, InputDevice,
                         ::testing::Values(SV_WAVE_DEVICE_TEST, SV_WAVE_DEVICE_VIRTUAL, SV_WAVE_DEVICE_ALSA),
                         [](const ::testing::TestParamInfo<SvWaveDeviceKind>& p) { return KindName(p.param); });

// ---- The virtual device's sources and pace ----------------------------------

class VirtualInput : public ::testing::Test {
protected:
    void SetUp() override { SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL); }
    void TearDown() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveVirtualSetInput(nullptr);
        SvWaveVirtualSetSpeed(1);
        remove(wav_.c_str());
    }

    // Records `buffers` buffers of `bytes` bytes in `format`, two of them
    // going round, and returns what they held.
    std::vector<BYTE> Record(const WAVEFORMATEX& format, size_t buffers, DWORD bytes)
    {
        Listener listener;
        Buffers bufs;
        size_t returned = 0;
        listener.action = [&](HWAVEIN hwi, UINT msg, LPWAVEHDR hdr) {
            if (msg == WIM_DATA && ++returned <= buffers - 2)
                waveInAddBuffer(hwi, hdr, kHdr);
        };
        HWAVEIN h = nullptr;
        EXPECT_EQ(OpenDevice(&h, format, &listener), MMSYSERR_NOERROR);
        if (h == nullptr)
            return {};
        bufs.Make(2, bytes);
        EXPECT_TRUE(bufs.AddAll(h));
        EXPECT_EQ(waveInStart(h), MMSYSERR_NOERROR);
        EXPECT_TRUE(listener.WaitData(buffers));
        waveInReset(h);
        EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
        std::vector<Notice> data = listener.Data();
        data.resize(std::min(data.size(), buffers));
        return Joined(data);
    }

    std::string wav_ = TempPath(".wav");
};

TEST_F(VirtualInput, AWavFileIsConvertedToTheFormatOpenedAndLooped)
{
    // 16 kHz stereo, left a ramp and right the ramp plus 2: at 8 kHz mono
    // every other frame, both channels mixed.
    const size_t kFrames = 1000;
    std::vector<BYTE> wav(44 + kFrames * 4);
    auto put = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            wav[at + i] = static_cast<BYTE>(v >> (8 * i));
    };
    memcpy(&wav[0], "RIFF", 4);
    put(4, static_cast<uint32_t>(wav.size() - 8), 4);
    memcpy(&wav[8], "WAVEfmt ", 8);
    put(16, 16, 4);
    put(20, WAVE_FORMAT_PCM, 2);
    put(22, 2, 2);
    put(24, 16000, 4);
    put(28, 64000, 4);
    put(32, 4, 2);
    put(34, 16, 2);
    memcpy(&wav[36], "data", 4);
    put(40, kFrames * 4, 4);
    for (size_t f = 0; f < kFrames; ++f) {
        put(44 + 4 * f, static_cast<uint16_t>(f * 20 - 10000), 2);
        put(46 + 4 * f, static_cast<uint16_t>(f * 20 - 10000 + 2), 2);
    }
    ASSERT_TRUE(WriteFile(wav_, wav));
    SvWaveInputSource file = {SV_WAVE_INPUT_FILE, 0, 0, wav_.c_str()};
    SvWaveVirtualSetInput(&file);
    SvWaveVirtualSetSpeed(0);

    const std::vector<BYTE> got = Record(Pcm16(), 8, 320);  // 1280 frames: past one loop of 500
    ASSERT_EQ(got.size(), 8u * 320u);
    for (size_t n = 0; n < got.size() / 2; ++n) {
        int16_t v;
        memcpy(&v, &got[2 * n], 2);
        ASSERT_EQ(v, static_cast<int16_t>((n % 500) * 40 - 10000 + 1)) << "sample " << n;
    }
}

TEST_F(VirtualInput, EveryChannelRecordsTheToneAndSilenceIsTheDefault)
{
    SvWaveVirtualSetSpeed(0);
    std::vector<BYTE> got = Record(Pcm16(1), 4, 320);
    EXPECT_EQ(got, std::vector<BYTE>(4 * 320, 0));

    SvWaveInputSource tone = {SV_WAVE_INPUT_TONE, 1000, 0.25, nullptr};
    SvWaveVirtualSetInput(&tone);
    got = Record(Pcm16(2), 4, 640);
    const std::vector<BYTE> mono = Tone(4 * 320, 1000, 0.25);
    ASSERT_EQ(got.size(), 2 * mono.size());
    for (size_t n = 0; n < mono.size() / 2; ++n) {
        EXPECT_EQ(memcmp(&got[4 * n], &mono[2 * n], 2), 0) << n;
        EXPECT_EQ(memcmp(&got[4 * n + 2], &mono[2 * n], 2), 0) << n;
    }
}

TEST_F(VirtualInput, AFileThatCannotBeReadFailsTheOpen)
{
    SvWaveInputSource file = {SV_WAVE_INPUT_FILE, 0, 0, "/nonexistent/sonavex.wav"};
    SvWaveVirtualSetInput(&file);
    const WAVEFORMATEX f = Pcm16();
    HWAVEIN h = nullptr;
    EXPECT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_ERROR));
    EXPECT_EQ(h, nullptr);
}

// Only a lower bound: a busy machine may be slower, never faster.
TEST_F(VirtualInput, RecordsNoFasterThanItsSpeedAllows)
{
    SvWaveVirtualSetSpeed(4);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<BYTE> got = Record(Pcm16(), 10, 1600);  // 1 s of audio
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got.size(), 16000u);
    EXPECT_GE(took, std::chrono::milliseconds(240));
}

}  // namespace
