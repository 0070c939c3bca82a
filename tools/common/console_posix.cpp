// Signals and terminals.
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "console.h"

namespace svtool {

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

} // namespace

bool StdoutIsConsole() { return isatty(STDOUT_FILENO) != 0; }

void CatchInterrupts()
{
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return g_interrupted.load(); }

void FailWritesPastSizeLimit() { signal(SIGXFSZ, SIG_IGN); }

} // namespace svtool
