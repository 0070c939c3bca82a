// The support pieces: the scoped lock, the daily diagnostic log, debugger
// traces, and the kernel stand-in calls they stand on.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/autocri.h"
#include "support/log.h"
#include "support/systems.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved);

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

SYSTEMTIME g_now;
void FixedClock(LPSYSTEMTIME st, void*) { *st = g_now; }

void SetNow(int y, int mo, int d, int h, int mi, int s)
{
    g_now = SYSTEMTIME{};
    g_now.wYear = static_cast<WORD>(y);
    g_now.wMonth = static_cast<WORD>(mo);
    g_now.wDay = static_cast<WORD>(d);
    g_now.wHour = static_cast<WORD>(h);
    g_now.wMinute = static_cast<WORD>(mi);
    g_now.wSecond = static_cast<WORD>(s);
    g_now.wMilliseconds = 999;
}

// A made-up module handle whose path the test chooses.
HMODULE const kFakeModule = reinterpret_cast<HMODULE>(0x5000);

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/svlogXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        saved_ = g_hModule;
        g_hModule = kFakeModule;
        UseModulePath(dir_ + "/Sonavex.dll");
        SvSetLocalTimeSource(FixedClock, nullptr);
    }
    void TearDown() override
    {
        SvSetLocalTimeSource(nullptr, nullptr);
        SvSetModuleFileName(kFakeModule, nullptr);
        g_hModule = saved_;
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void UseModulePath(const std::string& path) { SvSetModuleFileName(kFakeModule, path.c_str()); }

    std::string dir_;
    HMODULE saved_ = nullptr;
};

TEST_F(LogTest, LineIsMessageTwoTabsUnpaddedStampAndCrLf)
{
    SetNow(2026, 1, 5, 0, 7, 9);
    EXPECT_EQ(WriteLog("CAudio::WaveOutOpen Exception"), 1);
    // The module's last nine characters give way to the name, which keeps its
    // leading zeros while the stamp inside has none.
    EXPECT_EQ(ReadFile(dir_ + "/SoSonavexLog_20260105.txt"),
              "CAudio::WaveOutOpen Exception\t\t2026-1-5-0-7-9\r\n");
}

TEST_F(LogTest, EmptyMessageStartsWithTheTabs)
{
    SetNow(2026, 12, 7, 9, 5, 3);
    EXPECT_EQ(WriteLog(""), 1);
    EXPECT_EQ(ReadFile(dir_ + "/SoSonavexLog_20261207.txt"), "\t\t2026-12-7-9-5-3\r\n");
}

TEST_F(LogTest, AppendsWithinADayAndStartsANewFileAfterMidnight)
{
    SetNow(2026, 12, 7, 23, 59, 59);
    EXPECT_EQ(WriteLog("first"), 1);
    EXPECT_EQ(WriteLog("second"), 1);
    SetNow(2026, 12, 8, 0, 0, 0);
    EXPECT_EQ(WriteLog("third"), 1);

    EXPECT_EQ(ReadFile(dir_ + "/SoSonavexLog_20261207.txt"),
              "first\t\t2026-12-7-23-59-59\r\nsecond\t\t2026-12-7-23-59-59\r\n");
    EXPECT_EQ(ReadFile(dir_ + "/SoSonavexLog_20261208.txt"), "third\t\t2026-12-8-0-0-0\r\n");
}

TEST_F(LogTest, AppendsToAFileLeftByAnEarlierRun)
{
    SetNow(2026, 3, 4, 5, 6, 7);
    {
        std::ofstream earlier(dir_ + "/SoSonavexLog_20260304.txt", std::ios::binary);
        earlier << "old\t\t2026-3-4-1-1-1\r\n";
    }
    EXPECT_EQ(WriteLog("new"), 1);
    EXPECT_EQ(ReadFile(dir_ + "/SoSonavexLog_20260304.txt"),
              "old\t\t2026-3-4-1-1-1\r\nnew\t\t2026-3-4-5-6-7\r\n");
}

TEST_F(LogTest, CutDoesNotDependOnTheModuleName)
{
    SetNow(2026, 12, 7, 1, 2, 3);
    UseModulePath(dir_ + "/libSonavex.so");
    EXPECT_EQ(WriteLog("x"), 1);
    EXPECT_TRUE(FileExists(dir_ + "/libSSonavexLog_20261207.txt"));
}

TEST_F(LogTest, NoPlaceForTheLogWritesNothing)
{
    SetNow(2026, 12, 7, 1, 2, 3);
    UseModulePath("short");  // fewer than nine characters
    EXPECT_EQ(WriteLog("x"), 0);

    // Fits in the path buffer, but not once the name is appended.
    UseModulePath("/" + std::string(245, 'a'));
    EXPECT_EQ(WriteLog("x"), 0);

    SvSetModuleFileName(kFakeModule, nullptr);  // a handle of nothing loaded
    EXPECT_EQ(WriteLog("x"), 0);

    UseModulePath("/nonexistent-dir/for/Sonavex.dll");
    EXPECT_EQ(WriteLog("x"), 0);
}

TEST(ModuleTest, PathOfALoadedLibraryAndOfTheExecutable)
{
    char path[MAX_PATH];
    HMODULE kernel = SvModuleOf(reinterpret_cast<const void*>(&GetModuleFileNameA));
    ASSERT_NE(kernel, nullptr);
    DWORD n = GetModuleFileNameA(kernel, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(std::string(path).find("libsvkernel.so"), std::string::npos);

    n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_NE(std::string(path).find("test_support"), std::string::npos);

    // Truncated to the buffer, terminated.
    EXPECT_EQ(GetModuleFileNameA(kernel, path, 4), 3u);
    EXPECT_EQ(strlen(path), 3u);
}

TEST(EntryPointTest, RecordsTheModuleOnAttachAndClearsItOnDetach)
{
    HMODULE saved = g_hModule;
    HMODULE module = reinterpret_cast<HMODULE>(0x1234);
    EXPECT_EQ(DllMain(module, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_EQ(g_hModule, module);
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_DETACH, nullptr), TRUE);
    EXPECT_EQ(g_hModule, module);
    EXPECT_EQ(DllMain(module, DLL_PROCESS_DETACH, nullptr), TRUE);
    EXPECT_EQ(g_hModule, nullptr);
    g_hModule = saved;
}

TEST(SystemsTest, StartsEmptyWithAUsableLock)
{
    CSystems systems;
    EXPECT_EQ(systems.GetCaptureRefs(), 0);
    EXPECT_EQ(systems.GetCapture(), nullptr);
    EXPECT_EQ(systems.GetNetProtocolVersion(), 0);
    CAutoCri lock(systems.GetCaptureLock());
    EXPECT_EQ(lock.Unlock(), 1);
}

TEST(AutoCriTest, UnlockTwiceAndNull)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    {
        CAutoCri lock(&cs);
        EXPECT_EQ(lock.Unlock(), 1);
        EXPECT_EQ(lock.Unlock(), 0);
    }  // the destructor leaves nothing: a second leave would fail the next check
    bool entered = false;
    std::thread other([&] {
        CAutoCri lock(&cs);
        entered = true;
    });
    other.join();
    EXPECT_TRUE(entered);

    CAutoCri none(nullptr);
    EXPECT_EQ(none.Unlock(), 0);
    DeleteCriticalSection(&cs);
}

TEST(AutoCriTest, SectionIsRecursiveAndExcludesOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                CAutoCri outer(&cs);
                CAutoCri inner(&cs);  // re-entered by the owner
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 4000);
    DeleteCriticalSection(&cs);
}

std::vector<std::string>* g_captured = nullptr;
void Capture(const char* text, void*) { g_captured->push_back(text); }

TEST(DebugTraceTest, FormatsToTheSinkAndCutsLongText)
{
    std::vector<std::string> captured;
    g_captured = &captured;
    DebugTrace("++++++++++++A:%d\n", 7);  // no sink yet: goes nowhere
    SvSetDebugOutputSink(Capture, nullptr);
    DebugTrace("++++++++++++A:%d\n", 7);
    std::string longText(3000, 'x');
    DebugTrace("%s", longText.c_str());
    OutputDebugStringA("1Not decoder!!!!\n");
    SvSetDebugOutputSink(nullptr, nullptr);
    DebugTrace("after\n");

    ASSERT_EQ(captured.size(), 3u);
    EXPECT_EQ(captured[0], "++++++++++++A:7\n");
    EXPECT_EQ(captured[1], std::string(1023, 'x'));
    EXPECT_EQ(captured[2], "1Not decoder!!!!\n");
}

TEST(WsprintfTest, TheSubsetTheLibraryUses)
{
    char out[1024];
    EXPECT_EQ(wsprintfA(out, "SonavexLog_%04d%02d%02d.txt", 2026, 1, 5), 23);
    EXPECT_STREQ(out, "SonavexLog_20260105.txt");
    wsprintfA(out, "%d|%5d|%-4d|%05d|%u|%x|%X|%s|%c|%%", -12, 42, 7, -3, 4000000000u, 255, 255, "ok", 'z');
    EXPECT_STREQ(out, "-12|   42|7   |-0003|4000000000|ff|FF|ok|z|%");
    std::string longText(2000, 'y');
    EXPECT_EQ(wsprintfA(out, "%s", longText.c_str()), 1023);
    EXPECT_EQ(strlen(out), 1023u);
}

TEST(SleepTest, HookReplacesTheRealSleep)
{
    DWORD total = 0;
    SvSetSleepHook([](DWORD ms, void* user) { *static_cast<DWORD*>(user) += ms; }, &total);
    Sleep(100);
    Sleep(2000);
    SvSetSleepHook(nullptr, nullptr);
    EXPECT_EQ(total, 2100u);
}

}  // namespace
