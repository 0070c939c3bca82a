// The Linux build: the sound settings go through the wave stand-in's own
// controls, as a user's sound settings would.
#include <signal.h>
#include <unistd.h>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "play_platform.h"

namespace svplay {

const char kInputHelp[] =
    "FILE is an AMR-NB file (\"#!AMR\\n\"), a voice-engine stream (.ve), or any\n"
    "audio file libsndfile reads (WAV, FLAC, ...), encoded on the fly.\n";

const char kPlatformOptionsHelp[] =
    "  --codec amr|voice  codec for audio files that are not compressed (amr)\n"
    "  --amr-mode 0..7    AMR bit rate for such files, 4.75..12.2 kbit/s (7)\n"
    "  --device auto|virtual|alsa  output device (default: the platform's)\n"
    "  --out FILE.wav     play on the virtual device and record what it played\n"
    "  --speed N          with --out: run N times faster than real time; 0: as\n"
    "                     fast as it goes, the device kept in step with the\n"
    "                     player, so that the file holds what a real-time run\n"
    "                     plays (the device's leading silence, then the stream)\n"
    "  --debug-output     show the library's debugger traces on stderr\n";

const char* RefusedOption(const std::string&) { return nullptr; }

void ApplySoundSettings(const SoundSettings& settings)
{
    if (settings.debugOutput)
        SvRouteDebugOutputToStderr();
    if (!settings.recordPath.empty()) {
        // A write past the file-size limit is to fail and be reported, like
        // any other, rather than end the player with the file's header
        // never written.
        signal(SIGXFSZ, SIG_IGN);
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
        SvWaveVirtualSetRecordPath(settings.recordPath.c_str());
        SvWaveVirtualSetSpeed(settings.speedSet ? settings.speed : 1.0);
        SvWaveVirtualSetHostClock(settings.Paced() ? TRUE : FALSE);
    } else if (settings.device == Device::Virtual) {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_VIRTUAL);
    } else if (settings.device == Device::Alsa) {
        SvWaveSetDefaultDevice(SV_WAVE_DEVICE_ALSA);
    }
}

void AdvanceDevice(double ms)
{
    // FALSE only when the device has not caught up within its bound: the
    // player goes on, as a real-time host would after a hold-up.
    SvWaveVirtualAdvance(ms);
}

std::string RecordingError(const SoundSettings& settings)
{
    if (settings.recordPath.empty())
        return "";
    const std::string error = SvWaveVirtualRecordErrorText();
    return error.empty() ? error : settings.recordPath + ": " + error;
}

bool StdoutIsConsole() { return isatty(STDOUT_FILENO) != 0; }

namespace {

std::atomic<bool>* g_interruptFlag = nullptr;

void OnSignal(int) { g_interruptFlag->store(true); }

} // namespace

void CatchInterrupts(std::atomic<bool>* flag)
{
    g_interruptFlag = flag;
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

} // namespace svplay
