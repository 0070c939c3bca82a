// The Windows build: the library plays on the default output device, and the
// stand-in devices of the Linux build, with their controls, do not exist.
#include <stdio.h>

#include "play_platform.h"

namespace svplay {

const char kInputHelp[] = "FILE is an AMR-NB file (\"#!AMR\\n\") or a voice-engine stream (.ve).\n";

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
    {"--rtp", "--rtp receives live streams over the network in the Linux build; this Windows build plays "
              "AMR-NB files and voice-engine streams"},
    {"--payload-type", "--payload-type is for --rtp, which needs the Linux build"},
    {"--bandwidth-efficient", "--bandwidth-efficient is for --rtp, which needs the Linux build"},
    {"--timeout", "--timeout is for --rtp, which needs the Linux build"},
    {"--ssrc", "--ssrc is for --rtp, which needs the Linux build"},
    {"--from", "--from is for --rtp, which needs the Linux build"},
    {"--srtp-key", "--srtp-key is for --rtp, which needs the Linux build"},
    {"--srtp-suite", "--srtp-suite is for --rtp, which needs the Linux build"},
    {"--playout", "--playout is for --rtp, which needs the Linux build"},
    {"--codec", "--codec is for audio files encoded on the fly, which need libsndfile; this Windows build "
                "plays AMR-NB files and voice-engine streams only"},
    {"--amr-mode", "--amr-mode is for audio files encoded on the fly, which need libsndfile; this Windows "
                   "build plays AMR-NB files and voice-engine streams only"},
};

} // namespace

void AddPlatformOptions(svtool::CommandLine* line, SoundSettings* sound, svtool::SourceOptions*, NetworkSettings*)
{
    line->options.push_back(svtool::Flag("--debug-output",
                                         "say where the library's debugger traces go (on Windows\n"
                                         "to the debugger: one attached, or a debug-output viewer)",
                                         &sound->debugOutput));
    // Unlisted, and refused before any value they would take.
    for (const Refusal& r : kRefusals)
        line->options.push_back({r.option, "", "", [&r](const char*) { return std::string(r.message); }});
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

std::unique_ptr<svtool::FrameSource> OpenNetworkSource(const NetworkSettings&, double, std::function<void()>,
                                                       std::string* error)
{
    *error = "--rtp needs the Linux build";
    return nullptr;
}

} // namespace svplay
