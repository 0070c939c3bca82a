// The Windows console: console handles and its control events.
#include <windows.h>

#include <atomic>

#include "console.h"

namespace svtool {

namespace {

std::atomic<bool> g_interrupted{false};

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    g_interrupted.store(true);
    return TRUE;
}

} // namespace

bool StdoutIsConsole()
{
    // A console handle has a mode; a pipe, a file and NUL have none.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool Interrupted() { return g_interrupted.load(); }

// Windows has no file-size signal: such a write fails as any other does.
void FailWritesPastSizeLimit() {}

} // namespace svtool
