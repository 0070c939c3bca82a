// Diagnostic output: the daily log file beside the module, and debugger traces.
#pragma once

#include "support/winapi.h"

// Appends "<message>\t\t<y>-<m>-<d>-<h>-<min>-<s>" and CR LF to the day's log
// file "SonavexLog_YYYYMMDD.txt" beside the module. Returns 1 when the line was
// written, 0 otherwise; never throws. Safe on any thread; takes no lock.
int WriteLog(const char* message);

// printf-style text (at most 1023 characters; longer text is cut) to the
// debugger output. Formats nothing when no one listens.
void DebugTrace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
