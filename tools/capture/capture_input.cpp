#include "capture_input.h"

#include <stdio.h>
#include <string.h>

#include <utility>

namespace svtool {

namespace {

const int kRate = 8000;

// --source: silence, tone, tone:HZ or a WAV file.
std::string ParseSource(const std::string& text, CaptureSettings* s)
{
    if (text.empty())
        return "--source needs a value";
    if (text == "tone" || text.compare(0, 5, "tone:") == 0) {
        s->source.kind = SV_WAVE_INPUT_TONE;
        double hz = 0;
        if (text.size() > 5 && (!ParseNumber(text.substr(5), &hz) || hz <= 0 || hz >= kRate / 2))
            return "--source takes silence, tone, tone:HZ (below 4000) or a WAV file";
        if (hz > 0)
            s->source.toneHz = hz;
    } else if (text != "silence") {
        s->source.kind = SV_WAVE_INPUT_FILE;
        s->sourcePath = text;
    }
    return "";
}

// Whether the virtual input device can record from the WAV file at `path`;
// says why not when it cannot. `note` describes the file, for the first line.
bool CheckSourceFile(const char* program, const std::string& path, std::string* note)
{
    SvWaveInputFileInfo info = {};
    char why[256] = "";
    if (!SvWaveVirtualCheckInputFile(path.c_str(), &info, why, sizeof why)) {
        fprintf(stderr, "%s: --source %s: %s\n", program, path.c_str(), why);
        return false;
    }
    const double seconds = static_cast<double>(info.dwFrames) / info.nSamplesPerSec;
    char text[160];
    snprintf(text, sizeof text, "%s: %u-bit %s, %u Hz, %.2f s looped", path.c_str(),
             static_cast<unsigned>(info.wBitsPerSample), info.nChannels == 1 ? "mono" : "stereo",
             static_cast<unsigned>(info.nSamplesPerSec), seconds);
    *note = text;
    // A file cut short (or one whose writer never came back to its header)
    // plays what it holds; its header's promise is no error, but is told.
    if (info.dwFramesPromised > info.dwFrames)
        fprintf(stderr,
                "%s: note: --source %s: its header promises %.2f s of samples, the file holds "
                "%.2f s; those are looped\n",
                program, path.c_str(), static_cast<double>(info.dwFramesPromised) / info.nSamplesPerSec, seconds);
    return true;
}

// The device the library's open will find: a short open of the default input
// device, as the platform chooses it, tells which one it is.
SvWaveDeviceKind ProbeDevice()
{
    WAVEFORMATEX f = {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = kRate;
    f.nAvgBytesPerSec = 2 * kRate;
    f.nBlockAlign = 2;
    f.wBitsPerSample = 16;
    HWAVEIN h = nullptr;
    if (waveInOpen(&h, WAVE_MAPPER, &f, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
        return SV_WAVE_DEVICE_AUTO;
    const SvWaveDeviceKind kind = SvWaveGetInDeviceKind(h);
    waveInClose(h);
    return kind;
}

}  // namespace

void AddCaptureOptions(CommandLine* line, CaptureSettings* s, bool speed)
{
    line->options.push_back(Choice("--device", "input device (default: the platform's)", &s->device,
                                   {{"auto", SV_WAVE_DEVICE_AUTO},
                                    {"virtual", SV_WAVE_DEVICE_VIRTUAL},
                                    {"alsa", SV_WAVE_DEVICE_ALSA}}));
    line->options.push_back({"--source", "SOURCE",
                             "what the virtual device hears: silence, tone, tone:HZ,\n"
                             "or a WAV file (looped); implies the virtual device",
                             [s](const char* v) { return ParseSource(v, s); }});
    if (speed)
        line->options.push_back(Number("--speed", "N", "virtual device: record N times faster than real time",
                                       &s->speed, Above(0), "a factor"));
    line->options.push_back(Flag("--debug-output", "show the library's debugger traces on stderr", &s->debugOutput));
}

void CheckCaptureOptions(const CommandLine& line, CaptureSettings* s)
{
    s->speedSet = line.Given("--speed");
    s->sourceSet = line.Given("--source");
    const bool virtualOnly = s->speedSet || s->sourceSet;
    if (virtualOnly && s->device == SV_WAVE_DEVICE_ALSA)
        line.Fail(std::string(s->speedSet ? "--source and --speed apply" : "--source applies") +
                  " to the virtual device; " + (s->speedSet ? "they" : "it") + " cannot be used with --device alsa");
    if (virtualOnly)
        s->device = SV_WAVE_DEVICE_VIRTUAL;
}

bool ApplyCaptureSettings(const char* program, CaptureSettings& s, std::string* note)
{
    if (s.debugOutput)
        SvRouteDebugOutputToStderr();
    if (s.sourceSet) {
        // The device reads the file at its open, and an open that fails says
        // only that it failed: the file is asked about first, by the same
        // rules, for what is wrong with it.
        s.source.path = s.source.kind == SV_WAVE_INPUT_FILE ? s.sourcePath.c_str() : nullptr;
        if (s.source.kind == SV_WAVE_INPUT_FILE && !CheckSourceFile(program, s.sourcePath, note))
            return false;
        SvWaveVirtualSetInput(&s.source);
    }
    if (s.speedSet)
        SvWaveVirtualSetSpeed(s.speed);
    if (s.device != SV_WAVE_DEVICE_AUTO)
        SvWaveSetDefaultDevice(s.device);
    return true;
}

const char* InputDeviceName(SvWaveDeviceKind kind)
{
    static const std::pair<SvWaveDeviceKind, const char*> kNames[] = {
        {SV_WAVE_DEVICE_VIRTUAL, "virtual input device"},
        {SV_WAVE_DEVICE_ALSA, "ALSA capture device (\"default\")"},
        {SV_WAVE_DEVICE_TEST, "test input device"},
    };
    for (const auto& name : kNames)
        if (name.first == kind)
            return name.second;
    return "default input device";
}

SV_CAPTURE OpenCapture(const char* program, const CaptureSettings& s, SvWaveDeviceKind* kind)
{
    *kind = ProbeDevice();
    if (*kind != SV_WAVE_DEVICE_AUTO)
        SvWaveSetDefaultDevice(*kind);
    SV_CAPTURE capture = SV_OpenAudioCapture();
    if (capture == nullptr)
        fprintf(stderr, "%s: the %s could not be opened for recording\n", program,
                InputDeviceName(*kind != SV_WAVE_DEVICE_AUTO ? *kind : s.device));
    return capture;
}

bool CaptureReader::Read(std::vector<int16_t>* pcm)
{
    uint32_t length = kRoom;
    if (SV_ReadAudioBuffer(m_capture, m_bytes.data(), &length, 0) != 1)
        return false;
    const size_t samples = length / 2;
    const size_t at = pcm->size();
    pcm->resize(at + samples);
    memcpy(pcm->data() + at, m_bytes.data(), samples * 2);
    return true;
}

}  // namespace svtool
