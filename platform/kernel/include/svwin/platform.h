// Controls of the kernel stand-in that Windows itself has no call for: where
// debugger output goes, and substitute clocks and module paths for tests.
// Host programs and tests use these; the library never does (apart from
// asking whether anyone listens to debug output, to skip formatting).
#pragma once

#include <svwin/windows.h>

// Debugger output. As on Windows with no debugger attached, text handed to
// OutputDebugStringA goes nowhere until a sink is attached, and costs one
// atomic load. The sink is called on whatever thread wrote the text, with no
// lock of the stand-in held; it must be thread-safe.
typedef void (*SvDebugOutputSink)(const char* text, void* user);
SVWIN_API void SvSetDebugOutputSink(SvDebugOutputSink sink, void* user);
// Routes debugger output to standard error (a host program's --verbose).
SVWIN_API void SvRouteDebugOutputToStderr(void);
SVWIN_API BOOL SvIsDebugOutputAttached(void);

// Local wall clock. Tests substitute a clock of their own to test the daily log
// without waiting for midnight; null restores the real clock.
typedef void (*SvLocalTimeSource)(LPSYSTEMTIME st, void* user);
SVWIN_API void SvSetLocalTimeSource(SvLocalTimeSource source, void* user);

// Sleep. Tests substitute a hook so bounded waits (the device close sequences)
// run instantly while their total length is still measured; null restores the
// real sleep. The hook runs on the sleeping thread.
typedef void (*SvSleepHook)(DWORD milliseconds, void* user);
SVWIN_API void SvSetSleepHook(SvSleepHook hook, void* user);

// Module paths. GetModuleFileNameA reports the path of the loaded object whose
// handle it is given; a test may give a made-up handle a path of its choice
// (path null removes it). Handles of real objects come from SvModuleOf.
SVWIN_API void SvSetModuleFileName(HMODULE module, const char* path);
// The handle of the loaded object (executable or shared library) that holds
// the given address.
SVWIN_API HMODULE SvModuleOf(const void* address);
