// The library's one way to the platform. On Windows this is the real Windows
// and wave API; elsewhere it is our stand-in (platform/), which declares the
// same names with the same values. Nothing else in the library includes a
// platform header.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>

// Without a debugger the debug output goes nowhere, but there is no cheap way
// to know whether a listener is attached, so always hand the text over.
inline bool SvDebugOutputWanted() { return true; }
#else
#include <svwin/mmsystem.h>
#include <svwin/platform.h>
#include <svwin/windows.h>

inline bool SvDebugOutputWanted() { return SvIsDebugOutputAttached() != FALSE; }
#endif
