// The Windows build: the library plays on the default output device, and the
// stand-in devices of the Linux build, with their controls, do not exist.
#include <stdio.h>
#include <windows.h>

#include "play_platform.h"

namespace svplay {

const char kInputHelp[] = "FILE is an AMR-NB file (\"#!AMR\\n\") or a voice-engine stream (.ve).\n";

const char kPlatformOptionsHelp[] =
    "  --debug-output     say where the library's debugger traces go (on Windows\n"
    "                     to the debugger: one attached, or a debug-output viewer)\n";

namespace {

// The Linux build's options that this one refuses, and why.
struct Refusal {
    const char* option;
    const char* message;
};

const Refusal kRefusals[] = {
    {"--device", "--device chooses among the devices of the Linux build; on Windows the player plays on "
                 "the default output device only"},
    {"--out", "--out needs the virtual device of the Linux build; on Windows the player plays on the default "
              "output device only"},
    {"--speed", "--speed needs the virtual device of the Linux build; on Windows the player plays on the "
                "default output device only, in real time"},
    {"--codec", "--codec is for audio files encoded on the fly, which need libsndfile; this Windows build "
                "plays AMR-NB files and voice-engine streams only"},
    {"--amr-mode", "--amr-mode is for audio files encoded on the fly, which need libsndfile; this Windows "
                   "build plays AMR-NB files and voice-engine streams only"},
};

std::atomic<bool>* g_interruptFlag = nullptr;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    g_interruptFlag->store(true);
    return TRUE;
}

} // namespace

const char* RefusedOption(const std::string& option)
{
    for (const Refusal& r : kRefusals)
        if (option == r.option)
            return r.message;
    return nullptr;
}

void ApplySoundSettings(const SoundSettings& settings)
{
    // The library writes its traces with OutputDebugString, which only a
    // debugger sees.
    if (settings.debugOutput)
        fprintf(stderr, "sonavex-play: note: on Windows the library's traces go to the debugger; "
                        "run under a debugger or a debug-output viewer to see them\n");
}

// The Windows build takes no --speed and records nothing: neither is asked.
void AdvanceDevice(double) {}

std::string RecordingError(const SoundSettings&) { return ""; }

bool StdoutIsConsole()
{
    // A console handle has a mode; a pipe, a file and NUL have none.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void CatchInterrupts(std::atomic<bool>* flag)
{
    g_interruptFlag = flag;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

} // namespace svplay
