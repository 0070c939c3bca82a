// What differs between the player's two builds: the Linux build plays on the
// wave stand-in's devices and has their controls, the Windows build plays on
// the real default output device and nothing else; and the console.
#pragma once

#include <atomic>
#include <string>

namespace svplay {

// Output devices of the Linux build; the Windows build has only the default.
enum class Device { Default, Virtual, Alsa };

// The sound settings a user makes before the player opens the library.
struct SoundSettings {
    Device device = Device::Default;
    // Play on the virtual device and record what it plays to this WAV file.
    std::string recordPath;
    // With recordPath: the virtual device runs this many times faster than
    // real time (0: as fast as it goes).
    bool speedSet = false;
    double speed = 1.0;
    // Show the library's debugger traces.
    bool debugOutput = false;
};

// For the usage text: what FILE may be, and the options only this build has
// (one line or more each, ending in a newline).
extern const char kInputHelp[];
extern const char kPlatformOptionsHelp[];

// Why this build does not take `option`, as a whole message, or null when it
// takes it.
const char* RefusedOption(const std::string& option);

// Makes the settings; called before the library opens its device.
void ApplySoundSettings(const SoundSettings& settings);

// Whether standard output is a terminal or console: then the progress line is
// updated in place.
bool StdoutIsConsole();

// From now on an interrupt (Ctrl+C) sets `flag` instead of ending the program,
// so that the player closes the device as at a normal end.
void CatchInterrupts(std::atomic<bool>* flag);

} // namespace svplay
