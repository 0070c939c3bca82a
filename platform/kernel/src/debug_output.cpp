// The debugger-output sink. With none attached, OutputDebugStringA costs one
// atomic load, as text sent to no debugger goes nowhere on Windows too.
#include <stdio.h>

#include <atomic>

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
    // The replaced sink is leaked: a writer on another thread may still hold it.
    g_sink.store(sink ? new Sink{sink, user} : nullptr, std::memory_order_release);
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
