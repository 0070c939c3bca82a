// Capture from several threads at once (run under ThreadSanitizer): opens and
// closes keep the count and the shared object together; the device's
// callback, the host's reads and clears meet only at the frame buffer's lock;
// and the stand-in's input keeps its books while stops and resets from one
// thread race callbacks that add buffers again on the device thread.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "sonavex.h"
#include "audio/audiocapture.h"
#include "support/autocri.h"
#include "support/systems.h"

namespace {

const DWORD kFrame = 320;
const int kThreads = 4;

// Sleeps of the close sequences pass at once; the hook may run on any thread.
void NoSleep(DWORD, void*) {}

class Barrier {
public:
    explicit Barrier(int count) : count_(count) {}
    void Wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const int generation = generation_;
        if (++waiting_ == count_) {
            waiting_ = 0;
            ++generation_;
            cv_.notify_all();
            return;
        }
        cv_.wait(lock, [&] { return generation_ != generation; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    const int count_;
    int waiting_ = 0;
    int generation_ = 0;
};

struct Shared {
    int refs;
    CAudioCapture* capture;
};

Shared Look()
{
    CAutoCri lock(g_Systems.GetCaptureLock());
    return {g_Systems.GetCaptureRefs(), g_Systems.GetCapture()};
}

size_t CallsOf(int kind)
{
    size_t n = 0;
    for (const SvWaveCall& c : SvWaveTestCalls())
        n += c.nCall == kind;
    return n;
}

class CaptureThreads : public ::testing::Test {
protected:
    void SetUp() override
    {
        SvSetSleepHook(&NoSleep, nullptr);
        SvWaveTestReset();
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_TEST);
    }
    void TearDown() override
    {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_AUTO);
        SvWaveTestReset();
        SvSetSleepHook(nullptr, nullptr);
    }
};

TEST_F(CaptureThreads, OpensAndClosesFromSeveralThreadsKeepTheCountAndTheObjectTogether)
{
    const int kRounds = 25;
    Barrier barrier(kThreads);
    std::vector<SV_CAPTURE> handles(kThreads);
    std::atomic<int> failures{0};
    auto worker = [&](int me) {
        for (int round = 0; round < kRounds; ++round) {
            // Everyone opens at once: one object, counted once per open.
            handles[me] = SV_OpenAudioCapture();
            barrier.Wait();
            const Shared s = Look();
            if (s.refs != kThreads || reinterpret_cast<SV_CAPTURE>(s.capture) != handles[me] || handles[me] == nullptr)
                ++failures;
            barrier.Wait();
            // Everyone closes at once; the last close ends it.
            if (SV_CloseAudioCapture(handles[me]) != 1)
                ++failures;
            barrier.Wait();
            const Shared after = Look();
            if (after.refs != 0 || after.capture != nullptr)
                ++failures;
            barrier.Wait();
        }
        // And without any order: each open is matched by its close.
        for (int i = 0; i < 40; ++i) {
            SV_CAPTURE h = SV_OpenAudioCapture();
            const Shared s = Look();
            if (h == nullptr || s.refs < 1 || reinterpret_cast<SV_CAPTURE>(s.capture) != h)
                ++failures;
            if (SV_CloseAudioCapture(h) != 1)
                ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(worker, i);
    for (std::thread& t : threads)
        t.join();

    EXPECT_EQ(failures.load(), 0);
    const Shared end = Look();
    EXPECT_EQ(end.refs, 0);
    EXPECT_EQ(end.capture, nullptr);
    // One device per object: every open of a device had its close.
    const size_t opens = CallsOf(SV_WAVE_CALL_IN_OPEN);
    EXPECT_GE(opens, static_cast<size_t>(kRounds));
    EXPECT_EQ(CallsOf(SV_WAVE_CALL_IN_CLOSE), opens);
}

// Frame n holds n in its first sample and n * 3 + k in sample k.
std::vector<BYTE> NumberedFrames(int count)
{
    std::vector<BYTE> bytes(static_cast<size_t>(count) * kFrame);
    for (int n = 0; n < count; ++n) {
        for (DWORD k = 0; k < kFrame / 2; ++k) {
            const int16_t v = static_cast<int16_t>(k == 0 ? n : n * 3 + static_cast<int>(k));
            memcpy(&bytes[n * kFrame + 2 * k], &v, 2);
        }
    }
    return bytes;
}

TEST_F(CaptureThreads, TheDeviceReadersAndClearsMeetOnlyAtTheFrameBuffersLock)
{
    const int kFrames = 400;
    const std::vector<BYTE> feed = NumberedFrames(kFrames);
    SvWaveTestFeedInput(feed.data(), static_cast<DWORD>(feed.size()));
    SV_CAPTURE anchor = SV_OpenAudioCapture();
    ASSERT_NE(anchor, nullptr);
    HWAVEIN hwi = SvWaveTestLatestInHandle();

    std::atomic<bool> recording{true};
    std::atomic<int> bad{0};
    std::atomic<int> delivered{0};
    std::thread device([&] {
        for (int i = 0; i < kFrames; ++i) {
            if (SvWaveTestRecord(hwi, kFrame) != kFrame)
                ++bad;
        }
        recording = false;
    });
    std::thread reader([&] {
        int last = -1;
        std::vector<uint8_t> buf(kFrame);
        for (;;) {
            const bool more = recording.load();
            uint32_t len = kFrame;
            if (SV_ReadAudioBuffer(anchor, buf.data(), &len, 0) == 1) {
                int16_t v[kFrame / 2];
                memcpy(v, buf.data(), kFrame);
                // Frames come whole and in order (clears and cuts may skip some).
                bool whole = len == kFrame && v[0] > last;
                for (DWORD k = 1; whole && k < kFrame / 2; ++k)
                    whole = v[k] == static_cast<int16_t>(v[0] * 3 + static_cast<int>(k));
                if (!whole)
                    ++bad;
                last = v[0];
                ++delivered;
            } else if (!more) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
    });
    std::thread clearer([&] {
        for (int i = 0; i < 20 && recording.load(); ++i) {
            if (SV_AudioCapClear(anchor) != 1)
                ++bad;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread sharer([&] {
        while (recording.load()) {
            SV_CAPTURE h = SV_OpenAudioCapture();
            if (h != anchor || SV_CloseAudioCapture(h) != 1)
                ++bad;
        }
    });
    device.join();
    reader.join();
    clearer.join();
    sharer.join();

    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(delivered.load(), 0);
    EXPECT_EQ(Look().refs, 1);
    EXPECT_EQ(SV_CloseAudioCapture(anchor), 1);
    EXPECT_EQ(Look().refs, 0);
}

TEST_F(CaptureThreads, StopsAndResetsRaceCallbacksThatAddBuffersAgainAndEveryBufferComesBackOnce)
{
    // The virtual device records as fast as buffers come, so the callbacks
    // never pause.
    SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    SvWaveVirtualSetSpeed(0);
    const DWORD kLen = 320;
    const int kBuffers = 4;
    std::vector<std::vector<BYTE>> data(kBuffers, std::vector<BYTE>(kLen));
    std::vector<WAVEHDR> hdrs(kBuffers);

    struct Books {
        std::atomic<bool> adding{true};
        std::atomic<long> added{0};
        std::atomic<long> returned{0};
        std::atomic<long> bad{0};
        std::thread::id control;
    } books;
    books.control = std::this_thread::get_id();
    auto proc = [](HDRVR hdrvr, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
        HWAVEIN hwi = reinterpret_cast<HWAVEIN>(hdrvr);
        Books* b = reinterpret_cast<Books*>(instance);
        if (msg != WIM_DATA)
            return;
        LPWAVEHDR hdr = reinterpret_cast<LPWAVEHDR>(param1);
        ++b->returned;
        const bool fromDevice = std::this_thread::get_id() != b->control;
        // The device returns full buffers only; a stop or reset the rest.
        if ((fromDevice && hdr->dwBytesRecorded != hdr->dwBufferLength) ||
            (!fromDevice && hdr->dwBytesRecorded >= hdr->dwBufferLength) || (hdr->dwFlags & WHDR_INQUEUE) ||
            !(hdr->dwFlags & WHDR_DONE))
            ++b->bad;
        if (fromDevice && b->adding.load() && waveInAddBuffer(hwi, hdr, sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
            ++b->added;
    };
    const WAVEFORMATEX f = {WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    HWAVEIN h = nullptr;
    ASSERT_EQ(waveInOpen(&h, WAVE_MAPPER, &f, reinterpret_cast<DWORD_PTR>(+proc), reinterpret_cast<DWORD_PTR>(&books),
                         CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    auto addIdle = [&] {
        for (int i = 0; i < kBuffers; ++i) {
            // A buffer the callback has added again refuses a second add.
            const MMRESULT r = waveInAddBuffer(h, &hdrs[i], sizeof(WAVEHDR));
            if (r == MMSYSERR_NOERROR)
                ++books.added;
            else if (r != WAVERR_STILLPLAYING)
                ++books.bad;
        }
    };
    for (int i = 0; i < kBuffers; ++i) {
        hdrs[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
        hdrs[i].dwBufferLength = kLen;
        ASSERT_EQ(waveInPrepareHeader(h, &hdrs[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    addIdle();
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(waveInStart(h), MMSYSERR_NOERROR);
        std::this_thread::yield();
        if (round % 3 == 0) {
            ASSERT_EQ(waveInStop(h), MMSYSERR_NOERROR);
        } else {
            ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
            addIdle();
        }
    }
    books.adding = false;
    ASSERT_EQ(waveInReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(SvWaveTestQueuedIn(h), 0u);
    EXPECT_EQ(books.bad.load(), 0);
    EXPECT_EQ(books.returned.load(), books.added.load());
    EXPECT_EQ(waveInClose(h), MMSYSERR_NOERROR);
    SvWaveVirtualSetSpeed(1);
}

}  // namespace
