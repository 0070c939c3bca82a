// Capture through the exports of the real Sonavex.dll on wine's winmm. Wine
// records from a private PulseAudio server (pulse-fixture.sh) whose default
// source reads a FIFO; this program feeds the FIFO a ramp at real-time pace
// for as long as it runs, so what the reader gets can be checked sample for
// sample: against what the device handed the library (svspy keeps a copy)
// and against the signal fed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sv_host.h"
#include "sv_spy.h"

namespace {

using svhost::Library;
using svspy::Device;
using svspy::Spy;

const uint32_t kFrameBytes = 320;  // one recorded buffer: 20 ms
const size_t kRingBuffers = 10;

// The fed signal: sample k is (7k mod 65536) - 32768, so consecutive samples
// differ by 7 (mod 65536) and 8 s pass before a value repeats.
int16_t Ramp(uint64_t k) { return static_cast<int16_t>(static_cast<int32_t>((k * 7) % 65536) - 32768); }
bool Follows(int16_t prev, int16_t next) { return static_cast<uint16_t>(next - prev) == 7; }

// Writes the ramp into the FIFO from a thread, 200 ms ahead of real time.
class Feeder {
public:
    bool Start(const std::string& fifo)
    {
        file_ = CreateFileA(fifo.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file_ == INVALID_HANDLE_VALUE)
            return false;
        thread_ = std::thread([this] {
            const DWORD start = GetTickCount();
            uint64_t sent = 0;
            int16_t chunk[160];
            while (!stop_.load()) {
                const uint64_t due = static_cast<uint64_t>(GetTickCount() - start) * 8 + 1600;
                while (sent < due) {
                    for (int16_t& s : chunk)
                        s = Ramp(sent++);
                    DWORD written = 0;
                    if (!WriteFile(file_, chunk, sizeof chunk, &written, nullptr))
                        return;
                }
                Sleep(10);
            }
        });
        return true;
    }
    void Stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

Feeder g_feeder;

class Capture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lib_.Load()) << lib_.error();
        ASSERT_TRUE(spy().Attach(lib_.module()));
        spy().Reset();
        spy().RecordInput(400 * kFrameBytes);
    }
    void TearDown() override
    {
        while (open_ > 0 && handle_ != nullptr && lib_->SV_CloseAudioCapture(handle_) == 1)
            --open_;
    }
    static Spy& spy() { return Spy::Get(); }

    SV_CAPTURE Open()
    {
        SV_CAPTURE h = lib_->SV_OpenAudioCapture();
        if (h != nullptr) {
            handle_ = h;
            ++open_;
        }
        return h;
    }
    int32_t Close(SV_CAPTURE h)
    {
        const int32_t r = lib_->SV_CloseAudioCapture(h);
        if (r == 1)
            --open_;
        return r;
    }
    // One read with room for a few frames: the frame delivered, or nothing.
    bool Read(SV_CAPTURE h, std::vector<uint8_t>* frame)
    {
        frame->assign(4 * kFrameBytes, 0xEE);
        uint32_t length = static_cast<uint32_t>(frame->size());
        const int32_t got = lib_->SV_ReadAudioBuffer(h, frame->data(), &length, 0);
        frame->resize(got == 1 ? length : 0);
        return got == 1;
    }
    // Reads as a host does, whenever the device hands a buffer back, until a
    // frame comes (bounded).
    bool ReadNext(SV_CAPTURE h, std::vector<uint8_t>* frame)
    {
        const DWORD start = GetTickCount();
        while (!Read(h, frame)) {
            if (GetTickCount() - start > 20000)
                return false;
            spy().WaitNotice(100);
        }
        return true;
    }

    Library lib_;
    SV_CAPTURE handle_ = nullptr;
    int open_ = 0;
};

TEST_F(Capture, NestedOpensShareOneRecordingDeviceUntilTheLastClose)
{
    SV_CAPTURE a = Open();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Open(), a);
    EXPECT_EQ(Open(), a);
    ASSERT_EQ(spy().Count(), 1) << "one device for all opens";
    Device& device = spy()[0];
    EXPECT_EQ(device.opened.load(), 1) << "WIM_OPEN";
    EXPECT_EQ(device.format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(device.format.nChannels, 1);
    EXPECT_EQ(device.format.nSamplesPerSec, 8000u);
    EXPECT_EQ(device.format.wBitsPerSample, 16);
    // More buffers back than the ring holds: each was added again.
    ASSERT_TRUE(spy().WaitBuffers(device, 2 * kRingBuffers));

    EXPECT_EQ(Close(a), 1);
    EXPECT_EQ(Close(a), 1);
    ASSERT_TRUE(spy().WaitBuffers(device, device.buffers.load() + kRingBuffers)) << "still recording";
    EXPECT_FALSE(device.closeReturned.load());
    const long waits = spy().Sleeps100();
    EXPECT_EQ(Close(a), 1);
    EXPECT_EQ(device.closeResult.load(), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    EXPECT_EQ(device.closed.load(), 1) << "WIM_CLOSE";
    EXPECT_LT(spy().Sleeps100() - waits, 20) << "the close timed out instead of seeing WIM_CLOSE";
    EXPECT_EQ(Close(a), 0) << "a close after the last";

    // The next first open records on a device of its own.
    SV_CAPTURE b = Open();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(spy().Count(), 2);
    ASSERT_TRUE(spy().WaitBuffers(spy()[1], kRingBuffers));
    EXPECT_EQ(Close(b), 1);
    for (int i = 0; i < 5; ++i)
        spy().WaitNotice(50);
    for (int i = 0; i < spy().Count(); ++i)
        EXPECT_EQ(spy()[i].late.load(), 0) << "device " << i << " called back after its close returned";
}

// A host reading as frames come gets, once eight are recorded, every buffer
// the device recorded, in order and whole: the ramp that was fed.
TEST_F(Capture, TheReaderGetsTheRecordedSignalSampleForSample)
{
    SV_CAPTURE h = Open();
    ASSERT_NE(h, nullptr);
    Device& device = spy().Last();
    std::vector<uint8_t> heard, frame;
    long firstAt = -1;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(ReadNext(h, &frame)) << "frame " << i;
        // Counted before the library queues a buffer: at least the buffers
        // queued when the read succeeded.
        if (firstAt < 0)
            firstAt = device.buffers.load();
        EXPECT_EQ(frame.size(), kFrameBytes) << "frame " << i;
        heard.insert(heard.end(), frame.begin(), frame.end());
    }
    EXPECT_GE(firstAt, 8) << "the first frame comes once eight are recorded";
    EXPECT_EQ(Close(h), 1);

    const std::vector<uint8_t> recorded = spy().Recorded();
    ASSERT_GE(recorded.size(), heard.size());
    std::vector<int16_t> samples(heard.size() / 2), device16(heard.size() / 2);
    memcpy(samples.data(), heard.data(), heard.size());
    memcpy(device16.data(), recorded.data(), heard.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(samples[i], device16[i]) << "sample " << i << " differs from what the device recorded";
        if (i > 0) {
            ASSERT_TRUE(Follows(samples[i - 1], samples[i]))
                << "sample " << i << ": " << samples[i - 1] << " then " << samples[i] << " is not the fed ramp";
        }
    }
}

// A clear drops what is queued: after it, the reader's next frame is one the
// device recorded after the clear (or the one on its way in).
TEST_F(Capture, AClearDropsTheQueuedFrames)
{
    SV_CAPTURE h = Open();
    ASSERT_NE(h, nullptr);
    Device& device = spy().Last();
    std::vector<uint8_t> frame;
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(ReadNext(h, &frame)) << "frame " << i;
    // Twenty frames pile up unread.
    ASSERT_TRUE(spy().WaitBuffers(device, device.buffers.load() + 20));
    const long recordedBefore = device.buffers.load();
    EXPECT_EQ(lib_->SV_AudioCapClear(h), 1);
    ASSERT_TRUE(ReadNext(h, &frame));
    ASSERT_EQ(frame.size(), kFrameBytes);
    EXPECT_EQ(Close(h), 1);

    const std::vector<uint8_t> recorded = spy().Recorded();
    long index = -1;
    for (size_t at = 0; at + kFrameBytes <= recorded.size() && index < 0; at += kFrameBytes) {
        if (memcmp(recorded.data() + at, frame.data(), kFrameBytes) == 0)
            index = static_cast<long>(at / kFrameBytes);
    }
    ASSERT_GE(index, 0) << "the frame read is not one the device recorded";
    EXPECT_GE(index, recordedBefore - 1) << "a frame queued before the clear came out of the reader";
}

}  // namespace

int main(int argc, char** argv)
{
    // Without the private sound server there is no input to record from. The
    // fixture leaves a file beside its socket while the server runs.
    const std::string server = svhost::Env("PULSE_SERVER");
    const std::string fifo = svhost::Env("SV_WINE_CAPTURE_FIFO");
    const std::string ready = fifo.empty() ? std::string() : svhost::DirectoryOf(fifo) + "/ready";
    if (server.compare(0, 5, "unix:") != 0 || fifo.empty() ||
        GetFileAttributesA(svhost::WinePath(ready).c_str()) == INVALID_FILE_ATTRIBUTES) {
        printf("SKIPPED: no PulseAudio server for the capture tests (PULSE_SERVER=%s)\n", server.c_str());
        return 77;
    }
    if (!g_feeder.Start(svhost::WinePath(fifo))) {
        printf("cannot open the capture FIFO %s\n", fifo.c_str());
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    g_feeder.Stop();
    return result;
}
