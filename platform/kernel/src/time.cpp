// Local wall clock, Sleep and tick count, each with a substitute for tests.
#include <errno.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <svwin/platform.h>
#include <svwin/windows.h>

namespace {

struct TimeSource {
    SvLocalTimeSource fn;
    void* user;
};
struct SleepHook {
    SvSleepHook fn;
    void* user;
};

// Swapped whole, so a reader on another thread sees either the old or the new
// pair, never a mix.
std::atomic<TimeSource*> g_timeSource{nullptr};
std::atomic<SleepHook*> g_sleepHook{nullptr};

// A replaced pair may still be in use on another thread, so it is retired
// rather than freed; substitutes change a handful of times per test run.
template <typename T>
void Replace(std::atomic<T*>& slot, T* fresh)
{
    static std::mutex retiredLock;
    // Never destroyed: the retired pairs stay reachable until the process ends.
    static std::vector<T*>* retired = new std::vector<T*>;
    T* old = slot.exchange(fresh);
    if (old != nullptr) {
        std::lock_guard<std::mutex> lock(retiredLock);
        retired->push_back(old);
    }
}

}  // namespace

SVWIN_API void SvSetLocalTimeSource(SvLocalTimeSource source, void* user)
{
    Replace(g_timeSource, source ? new TimeSource{source, user} : nullptr);
}

SVWIN_API void SvSetSleepHook(SvSleepHook hook, void* user)
{
    Replace(g_sleepHook, hook ? new SleepHook{hook, user} : nullptr);
}

SVWIN_API void GetLocalTime(LPSYSTEMTIME st)
{
    if (TimeSource* source = g_timeSource.load()) {
        source->fn(st, source->user);
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    st->wYear = static_cast<WORD>(local.tm_year + 1900);
    st->wMonth = static_cast<WORD>(local.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st->wDay = static_cast<WORD>(local.tm_mday);
    st->wHour = static_cast<WORD>(local.tm_hour);
    st->wMinute = static_cast<WORD>(local.tm_min);
    st->wSecond = static_cast<WORD>(local.tm_sec);
    st->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

SVWIN_API void Sleep(DWORD milliseconds)
{
    if (SleepHook* hook = g_sleepHook.load()) {
        hook->fn(milliseconds, hook->user);
        return;
    }
    struct timespec left;
    left.tv_sec = milliseconds / 1000;
    left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

SVWIN_API DWORD GetTickCount(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                              static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}
