// The host programs' side of recording: the sound settings a user gives for
// the input (which device, what the virtual device hears, its speed), the
// capture opened through the Sonavex library's exports on the device the
// platform picks, and the frames read back from it. The recorder writes them
// to a file; the sender encodes them and sends them live.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "options.h"
#include "sonavex.h"

namespace svtool {

struct CaptureSettings {
    SvWaveDeviceKind device = SV_WAVE_DEVICE_AUTO;
    // What the virtual device hears, and the file it reads for it.
    bool sourceSet = false;
    SvWaveInputSource source = {SV_WAVE_INPUT_SILENCE, 1000.0, 0.5, nullptr};
    std::string sourcePath;
    double speed = 1.0;
    bool speedSet = false;
    bool debugOutput = false;
};

// The rows of --device, --source, --speed and --debug-output. `speed`: whether
// the program offers --speed.
void AddCaptureOptions(CommandLine* line, CaptureSettings* settings, bool speed);
// After the parse: --source and --speed imply the virtual device and refuse
// --device alsa.
void CheckCaptureOptions(const CommandLine& line, CaptureSettings* settings);

// Makes the sound settings. Returns false, having said why on stderr (as
// `program`), for a source file the virtual device cannot read; `note`
// describes one it can, for the program's first line.
bool ApplyCaptureSettings(const char* program, CaptureSettings& settings, std::string* note);

// "virtual input device", "ALSA capture device (\"default\")", ...
const char* InputDeviceName(SvWaveDeviceKind kind);

// Opens the library's capture on the device the platform picks, which `kind`
// tells; null, having said so on stderr, when it cannot be opened.
SV_CAPTURE OpenCapture(const char* program, const CaptureSettings& settings, SvWaveDeviceKind* kind);

// Reads the capture's frames: 16-bit mono PCM at 8 kHz, 20 ms a frame.
class CaptureReader {
public:
    explicit CaptureReader(SV_CAPTURE capture) : m_capture(capture), m_bytes(kRoom) {}
    // Appends the next frame the capture holds to `pcm`; false when it holds
    // none yet.
    bool Read(std::vector<int16_t>* pcm);

private:
    // Comfortably more than one recorded frame (320 bytes).
    static const uint32_t kRoom = 4096;
    SV_CAPTURE m_capture;
    std::vector<uint8_t> m_bytes;
};

}  // namespace svtool
