// The debugger-output sink. With none attached, OutputDebugStringA costs one
// atomic load, as text sent to no debugger goes nowhere on Windows too.
#include <stdio.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <svwin/platform.h>
#include <svwin/windows.h>

namespace {

struct Sink {
    SvDebugOutputSink fn;
    void* user;
};

std::atomic<Sink*> g_sink{nullptr};

void WriteToStderr(const char* text, void*) { fputs(text, stderr); }

}  // namespace

SVWIN_API void SvSetDebugOutputSink(SvDebugOutputSink sink, void* user)
{
    // A writer on another thread may still be using the replaced sink, so it is
    // retired rather than freed; sinks change a handful of times per process.
    static std::mutex retiredLock;
    // Never destroyed: the retired sinks stay reachable until the process ends.
    static std::vector<Sink*>* retired = new std::vector<Sink*>;
    Sink* old = g_sink.exchange(sink ? new Sink{sink, user} : nullptr, std::memory_order_acq_rel);
    if (old != nullptr) {
        std::lock_guard<std::mutex> lock(retiredLock);
        retired->push_back(old);
    }
}

SVWIN_API void SvRouteDebugOutputToStderr(void) { SvSetDebugOutputSink(WriteToStderr, nullptr); }

SVWIN_API BOOL SvIsDebugOutputAttached(void)
{
    return g_sink.load(std::memory_order_relaxed) != nullptr ? TRUE : FALSE;
}

SVWIN_API void OutputDebugStringA(LPCSTR text)
{
    Sink* sink = g_sink.load(std::memory_order_acquire);
    if (sink != nullptr && text != nullptr)
        sink->fn(text, sink->user);
}
