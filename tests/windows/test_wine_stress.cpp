// Close while playing, as busy hosts do it, on wine's winmm: several host
// threads at once, each cycling through open (live or file), a burst of
// frames, a random wait of 0 to 60 ms while the device plays, and close.
// Every close returns 1, no line reaches the log, no device calls back after
// its close returned, and none after the library is unloaded. The run is
// bounded in time as well as in cycles, so that it keeps to about a minute.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "AmrDll.h"
#include "sv_host.h"
#include "sv_spy.h"
#include "tests/test_codec_signals.h"

namespace {

const int kThreads = 4;
const int kCyclesPerThread = 250;
const DWORD kBudgetMs = 45000;  // no cycle starts after this
const int kBurstFrames = 40;    // 800 ms of AMR: more than the device ring holds

// kBurstFrames AMR frames of synthetic voice.
std::vector<std::vector<uint8_t>> Burst()
{
    const std::vector<short> pcm = codectest::SyntheticSpeech(kBurstFrames * 160);
    std::vector<std::vector<uint8_t>> frames;
    AMR_HANDLE enc = 0;
    EXPECT_EQ(AMR_Encode_Init(&enc), 0);
    for (int i = 0; i < kBurstFrames; ++i) {
        std::vector<uint8_t> f(AMR_MAX_FRAME_BYTES);
        const int n = AMR_Encode_Frame(enc, pcm.data() + 160 * i, f.data(), 7);
        f.resize(n > 0 ? static_cast<size_t>(n) : 0);
        frames.push_back(f);
    }
    AMR_Encode_Exit(&enc);
    return frames;
}

TEST(CloseWhilePlaying, ManyHostThreadsCloseEveryDecoderCleanlyAndNothingCallsBackAfterTheUnload)
{
    // A folder of the library's own, so that any log line it writes shows.
    svhost::TempDir dir;
    for (const char* dll : {"Sonavex.dll", "AmrDll.dll", "lib_VoiceEngine_dll.dll"})
        ASSERT_TRUE(dir.CopyFromBin(dll, dll)) << dll;
    svhost::Library lib;
    ASSERT_TRUE(lib.Load(dir / "Sonavex.dll")) << lib.error();
    svspy::Spy& spy = svspy::Spy::Get();
    ASSERT_TRUE(spy.Attach(lib.module()));
    spy.Reset();
    const std::vector<std::vector<uint8_t>> burst = Burst();

    const DWORD begin = GetTickCount();
    std::atomic<int> cycles{0}, failedOpens{0}, failedCloses{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(7919 * (t + 1)));
            for (int c = 0; c < kCyclesPerThread && GetTickCount() - begin < kBudgetMs; ++c) {
                const int live = static_cast<int>(random() % 2) ? SV_LIVE_STREAM : SV_FILE_PLAYBACK;
                SV_DECODER h = lib->SV_OpenSonavex(SV_PREBUFFER_8, live);
                if (h == nullptr) {
                    ++failedOpens;
                    continue;
                }
                for (int i = 0; i < kBurstFrames; ++i)
                    lib->SV_InputAudioBuffer(h, burst[i].data(), static_cast<int32_t>(burst[i].size()), SV_PAYLOAD_AMR,
                                             static_cast<int64_t>(1000 + 20 * i), 1);
                Sleep(static_cast<DWORD>(random() % 61));
                if (lib->SV_CloseSonavex(h) != 1)
                    ++failedCloses;
                ++cycles;
            }
        });
    }
    for (std::thread& host : hosts)
        host.join();
    const DWORD elapsed = GetTickCount() - begin;

    // Time for a device left running to call back after the unload (it is
    // counted, not forwarded into the unloaded library).
    spy.StopForwarding();
    lib.Unload();
    for (int i = 0; i < 10; ++i)
        spy.WaitNotice(50);
    const long late = spy.LateNotices();

    printf("%d close-while-playing cycles on %d host threads in %lu ms\n", cycles.load(), kThreads,
           static_cast<unsigned long>(elapsed));
    EXPECT_EQ(failedOpens.load(), 0);
    EXPECT_EQ(failedCloses.load(), 0);
    EXPECT_GE(cycles.load(), kThreads * 50) << "too few cycles in the time budget to mean anything";
    EXPECT_EQ(late, 0) << "a device called back after its close returned";
    EXPECT_TRUE(dir.Files("SoSonavexLog").empty()) << "a line reached the log";
}

}  // namespace
