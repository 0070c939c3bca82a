// Sonavex.dll with the modules around it, each case in a folder of its own
// that holds a copy of the DLL: its imports (a missing codec DLL fails the
// load; codec DLLs that refuse every frame leave a stream that plays
// silence), and its log file beside it, written by the guard that catches a
// real allocation failure, after threads came and went.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "sv_host.h"
#include "sv_spy.h"

namespace {

using svhost::Library;
using svhost::TempDir;

const uint8_t kEmptyVoiceFrame[8] = {0xA5, 3, 0, 0, 0, 0, 0, 0};

TEST(Imports, AMissingCodecDllFailsTheLoadLikeAnyImport)
{
    for (const char* missing : {"AmrDll.dll", "lib_VoiceEngine_dll.dll"}) {
        SCOPED_TRACE(missing);
        TempDir dir;
        ASSERT_FALSE(dir.path().empty());
        for (const char* dll : {"Sonavex.dll", "AmrDll.dll", "lib_VoiceEngine_dll.dll"}) {
            if (strcmp(dll, missing) != 0) {
                ASSERT_TRUE(dir.CopyFromBin(dll, dll)) << dll;
            }
        }
        Library lib;
        EXPECT_FALSE(lib.Load(dir / "Sonavex.dll"));
        EXPECT_EQ(lib.error(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
        // Wine's loader keeps an import it had already loaded when a later
        // one is missing; it is let go here, so that no case finds it.
        for (const char* dll : {"AmrDll.dll", "lib_VoiceEngine_dll.dll"}) {
            for (HMODULE m; (m = GetModuleHandleA(dll)) != nullptr;) {
                ASSERT_EQ(svhost::DirectoryOf(svhost::ModulePath(m)), dir.path()) << dll;
                FreeLibrary(m);
            }
        }
        // The same folder loads once the DLL is there.
        ASSERT_TRUE(dir.CopyFromBin(missing, missing));
        EXPECT_TRUE(lib.Load(dir / "Sonavex.dll")) << lib.error();
    }
}

TEST(Imports, CodecDllsThatRefuseEveryFrameLeaveAStreamOfSilence)
{
    TempDir dir;
    ASSERT_TRUE(dir.CopyFromBin("Sonavex.dll", "Sonavex.dll"));
    ASSERT_TRUE(dir.CopyFromBin("svtest_refusing_amr.dll", "AmrDll.dll"));
    ASSERT_TRUE(dir.CopyFromBin("svtest_refusing_voice.dll", "lib_VoiceEngine_dll.dll"));
    Library lib;
    ASSERT_TRUE(lib.Load(dir / "Sonavex.dll")) << lib.error();
    typedef long(__cdecl * Refusals)(void);
    const HMODULE amr = GetModuleHandleA("AmrDll.dll");
    const HMODULE voice = GetModuleHandleA("lib_VoiceEngine_dll.dll");
    ASSERT_NE(amr, nullptr);
    ASSERT_NE(voice, nullptr);
    EXPECT_EQ(svhost::DirectoryOf(svhost::ModulePath(amr)), dir.path()) << "the refusing AmrDll.dll was loaded";
    EXPECT_EQ(svhost::DirectoryOf(svhost::ModulePath(voice)), dir.path()) << "the refusing voice DLL was loaded";
    const Refusals amrRefusals = svhost::As<Refusals>(GetProcAddress(amr, "SvTestRefusals"));
    const Refusals voiceRefusals = svhost::As<Refusals>(GetProcAddress(voice, "SvTestRefusals"));
    ASSERT_NE(amrRefusals, nullptr);
    ASSERT_NE(voiceRefusals, nullptr);

    svspy::Spy& spy = svspy::Spy::Get();
    ASSERT_TRUE(spy.Attach(lib.module()));
    spy.Reset();
    SV_DECODER h = lib->SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);
    svspy::Device& device = spy.Last();

    // A 12.2 kbit/s AMR frame and a voice frame of 160 samples, both well
    // formed: only the codec says no.
    uint8_t amrFrame[32] = {0x3C};
    uint8_t voiceFrame[88] = {0xA5, 3, 160, 0, 0, 0, 0, 0};
    const int kFrames = 30;
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(lib->SV_InputAudioBuffer(h, amrFrame, sizeof amrFrame, SV_PAYLOAD_AMR, i, 1), 1);
        EXPECT_EQ(lib->SV_InputAudioBuffer(h, voiceFrame, sizeof voiceFrame, i % 2 ? SV_PAYLOAD_VOICE : SV_PAYLOAD_VOICE_B, i, 1), 1);
    }
    EXPECT_EQ(amrRefusals(), kFrames) << "every AMR frame reached the codec";
    EXPECT_EQ(voiceRefusals(), kFrames) << "every voice frame reached the codec";
    EXPECT_EQ(lib->SV_AudioDecGetFrames(h), 0);
    // The device goes on round its ring with nothing to play.
    ASSERT_TRUE(spy.WaitBuffers(device, device.buffers.load() + 15));
    EXPECT_EQ(lib->SV_AudioDecGetFrames(h), 0);
    int64_t pts = -1;
    lib->SV_GetPts(h, &pts, nullptr);
    EXPECT_EQ(pts, 0);
    EXPECT_EQ(lib->SV_CloseSonavex(h), 1);
    EXPECT_EQ(device.closeResult.load(), static_cast<MMRESULT>(MMSYSERR_NOERROR));
}

// Takes the memory a 26624-byte allocation would come from, for a moment:
// first every free region of the address space that can be reserved in
// bounded time (wine keeps a record per page, so a reservation costs time in
// proportion to its size: regions of many gigabytes are left alone), then the
// msvcrt heap, which the host and Sonavex.dll share, in ever smaller blocks
// until each size fails. On i686 the address space runs out; on x86_64 the
// heap stops growing where the kernel refuses the process further mappings,
// after some 64 Ki blocks of 1 MiB (the block count is capped, and a machine
// where that does not end it skips the test). The blocks of 8 KiB and less
// are then given back: small allocations (an exception, the log file's
// stream) succeed again, while no free piece of 16 KiB or more exists.
class MemoryHog {
public:
    MemoryHog()
    {
        reserved_.reserve(kMaxReservations);
        blocks_.reserve(kMaxBlocks);
    }
    ~MemoryHog() { Release(); }

    // True when a 26624-byte allocation now fails.
    bool Exhaust()
    {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        const uintptr_t grain = si.dwAllocationGranularity;
        uintptr_t p = reinterpret_cast<uintptr_t>(si.lpMinimumApplicationAddress);
        const uintptr_t end = reinterpret_cast<uintptr_t>(si.lpMaximumApplicationAddress);
        while (p < end && reserved_.size() < kMaxReservations) {
            MEMORY_BASIC_INFORMATION m;
            if (VirtualQuery(reinterpret_cast<void*>(p), &m, sizeof m) == 0)
                break;
            const uintptr_t next = reinterpret_cast<uintptr_t>(m.BaseAddress) + m.RegionSize;
            const uintptr_t from = (reinterpret_cast<uintptr_t>(m.BaseAddress) + grain - 1) & ~(grain - 1);
            const uintptr_t to = next & ~(grain - 1);
            if (m.State == MEM_FREE && to > from && to - from <= kMaxRegion) {
                if (void* r = VirtualAlloc(reinterpret_cast<void*>(from), to - from, MEM_RESERVE, PAGE_NOACCESS))
                    reserved_.push_back(r);
            }
            p = next;
        }
        for (size_t size = size_t{1} << 20; size >= 16; size /= 2) {
            while (blocks_.size() < kMaxBlocks) {
                void* b = malloc(size);
                if (b == nullptr)
                    break;
                blocks_.push_back({b, size});
            }
        }
        for (Block& b : blocks_) {
            if (b.size <= kSlack) {
                free(b.p);
                b.p = nullptr;
            }
        }
        void* probe = malloc(26624);
        free(probe);
        return probe == nullptr;
    }
    void Release()
    {
        for (Block& b : blocks_)
            free(b.p);
        blocks_.clear();
        for (void* r : reserved_)
            VirtualFree(r, 0, MEM_RELEASE);
        reserved_.clear();
    }
    size_t blocks() const { return blocks_.size(); }

private:
    struct Block {
        void* p;
        size_t size;
    };
    static const size_t kMaxReservations = 4096;
    static const size_t kMaxBlocks = size_t{1} << 17;
    static constexpr uint64_t kMaxRegion = uint64_t{1} << 36;
    static const size_t kSlack = 8192;
    std::vector<void*> reserved_;
    std::vector<Block> blocks_;
};

bool operator<=(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    FILETIME fa, fb;
    SystemTimeToFileTime(&a, &fa);
    SystemTimeToFileTime(&b, &fb);
    return CompareFileTime(&fa, &fb) <= 0;
}

// The guard of SV_InputAudioBuffer catches the failure of the first voice
// decode's allocations and writes one line to the day's log beside the DLL:
// the module's path less its last nine characters, then the file's name.
// Threads started and ended first (DLL_THREAD_ATTACH and DETACH) leave the
// library's own module handle, and so the log's place, as they found it.
TEST(Log, TheGuardsLineLandsBesideTheDllAfterThreadsCameAndWent)
{
    TempDir dir;
    for (const char* dll : {"Sonavex.dll", "AmrDll.dll", "lib_VoiceEngine_dll.dll"})
        ASSERT_TRUE(dir.CopyFromBin(dll, dll)) << dll;
    Library lib;
    ASSERT_TRUE(lib.Load(dir / "Sonavex.dll")) << lib.error();
    SV_DECODER h = lib->SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK);
    ASSERT_NE(h, nullptr);

    for (int round = 0; round < 4; ++round) {
        std::thread t([&] { EXPECT_EQ(lib->SV_AudioDecGetFrames(h), 0); });
        t.join();
        std::thread idle([] {});
        idle.join();
    }

    SYSTEMTIME before, after;
    GetLocalTime(&before);
    before.wMilliseconds = 0;
    int32_t result = 0;
    size_t blocks = 0;
    {
        MemoryHog hog;
        if (!hog.Exhaust()) {
            hog.Release();
            EXPECT_EQ(lib->SV_CloseSonavex(h), 1);
            GTEST_SKIP() << "a 26624-byte allocation still succeeds after " << hog.blocks()
                         << " heap blocks: memory cannot be exhausted within this test's bounds here";
        }
        blocks = hog.blocks();
        result = lib->SV_InputAudioBuffer(h, kEmptyVoiceFrame, sizeof kEmptyVoiceFrame, SV_PAYLOAD_VOICE, 1, 1);
    }
    GetLocalTime(&after);
    EXPECT_EQ(result, SV_FAILED) << "after " << blocks << " heap blocks";
    EXPECT_EQ(lib->SV_AudioDecGetFrames(h), 0);

    const std::string module = svhost::ModulePath(lib.module());
    ASSERT_EQ(module, dir / "Sonavex.dll");
    std::string line;
    for (const SYSTEMTIME& day : {before, after}) {
        char name[40];
        snprintf(name, sizeof name, "SonavexLog_%04d%02d%02d.txt", day.wYear, day.wMonth, day.wDay);
        std::vector<uint8_t> bytes;
        if (svhost::ReadWholeFile(module.substr(0, module.size() - 9) + name, &bytes))
            line.assign(bytes.begin(), bytes.end());
    }
    ASSERT_FALSE(line.empty()) << "no log beside " << module;
    EXPECT_EQ(dir.Files("So").size(), 2u) << "Sonavex.dll and the log, nothing else";

    const std::string kMessage = "CAudioDec::InputAudioBuffer\t\t";
    ASSERT_EQ(line.compare(0, kMessage.size(), kMessage), 0) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    SYSTEMTIME stamp = {};
    int y, mo, d, hh, mi, s, used = 0;
    ASSERT_EQ(sscanf(line.c_str() + kMessage.size(), "%d-%d-%d-%d-%d-%d%n", &y, &mo, &d, &hh, &mi, &s, &used), 6) << line;
    EXPECT_EQ(line.substr(kMessage.size() + used), "\r\n");
    stamp.wYear = static_cast<WORD>(y);
    stamp.wMonth = static_cast<WORD>(mo);
    stamp.wDay = static_cast<WORD>(d);
    stamp.wHour = static_cast<WORD>(hh);
    stamp.wMinute = static_cast<WORD>(mi);
    stamp.wSecond = static_cast<WORD>(s);
    EXPECT_TRUE(before <= stamp && stamp <= after) << "stamped " << line;

    EXPECT_EQ(lib->SV_CloseSonavex(h), 1);
}

}  // namespace
