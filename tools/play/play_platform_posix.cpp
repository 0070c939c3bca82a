// The Linux build: the sound settings go through the wave stand-in's own
// controls, as a user's sound settings would.
#include <svwin/platform.h>
#include <svwin/wavedevice.h>

#include "console.h"
#include "play_platform.h"
#include "srtp_session.h"

namespace svplay {

const char kInputHelp[] =
    "FILE is an AMR-NB file (\"#!AMR\\n\"), a voice-engine stream (.ve), or any\n"
    "audio file libsndfile reads (WAV, FLAC, ...), encoded on the fly.\n";

void AddPlatformOptions(svtool::CommandLine* line, SoundSettings* sound, svtool::SourceOptions* source,
                        NetworkSettings* network)
{
    using svtool::Codec;
    line->options.insert(
        line->options.end(),
        {svtool::Choice("--codec", "codec for audio files that are not compressed (amr)", &source->codec,
                        {{"amr", Codec::Amr}, {"voice", Codec::Voice}}),
         svtool::Integer("--amr-mode", "0..7", "AMR bit rate for such files, 4.75..12.2 kbit/s (7)", &source->amrMode,
                         0, 7),
         svtool::Choice("--device", "output device (default: the platform's)", &sound->device,
                        {{"auto", Device::Default}, {"virtual", Device::Virtual}, {"alsa", Device::Alsa}}),
         svtool::Text("--out", "FILE.wav", "play on the virtual device and record what it played", &sound->recordPath,
                      "a file name"),
         svtool::Number("--speed", "N",
                        "with --out: run N times faster than real time; 0: as\n"
                        "fast as it goes, the device kept in step with the\n"
                        "player, so that the file holds what a real-time run\n"
                        "plays (the device's leading silence, then the stream)",
                        &sound->speed, svtool::AtLeast(0), "a factor"),
         svtool::Flag("--debug-output", "show the library's debugger traces on stderr", &sound->debugOutput),
         svtool::AddressPort("--rtp", "[ADDR:]PORT",
                             "instead of FILE: play the live AMR-NB (or voice-engine)\n"
                             "RTP stream that arrives on this UDP port (address\n"
                             "127.0.0.1 unless given)",
                             &network->endpoint),
         svtool::Integer("--payload-type", "N", "with --rtp: the AMR payload type (default: the first\n"
                                                "packet's)", &network->payloadType, 0, 127),
         svtool::Flag("--bandwidth-efficient", "with --rtp: AMR in the bandwidth-efficient packing",
                      &network->bandwidthEfficient),
         svtool::Duration("--timeout", "SEC", "with --rtp: the stream has ended when nothing came for\n"
                                              "SEC seconds (2)", &network->timeoutSeconds,
                          svtool::TimeUnit::Seconds, svtool::Above(0)),
         svtool::Integer("--ssrc", "N", "with --rtp: take the source with this SSRC at once, and\n"
                                        "no other (default: a source that proves itself)",
                         &network->onlySsrc, 0, 0xFFFFFFFFll),
         {"--from", "ADDR[:PORT]", "with --rtp: take datagrams from this sender only",
          [network](const char* v) {
              // A sender without a port: any of its ports.
              const std::string text = v;
              const bool port = text.find(':') != std::string::npos;
              std::string why;
              if (!svtool::ParseEndpoint(port ? text : text + ":1", &network->from, &why))
                  return "--from: " + why;
              if (!port)
                  network->from.port = 0;
              network->fromSet = true;
              return std::string();
          }},
         {"--srtp-key", "BASE64", "with --rtp: the stream is SRTP with this master key and\n"
                                  "salt (30 bytes in base64, as SDES gives them)",
          [network](const char* v) {
              std::string why;
              return svrtp::ParseSrtpKey(v, &network->srtpKey, &why) ? std::string() : "--srtp-key " + why;
          }},
         svtool::Choice("--srtp-suite", "with --srtp-key: AES_CM_128_HMAC_SHA1_80 (default) or _32", &network->srtp32,
                        {{"AES_CM_128_HMAC_SHA1_80", false}, {"AES_CM_128_HMAC_SHA1_32", true}}),
         svtool::Choice("--playout", "with --rtp: adaptive (default) feeds the library on the\n"
                                     "stream's time at a delay that follows the network's;\n"
                                     "fixed passes each frame on as it arrives",
                        &network->adaptive, {{"adaptive", true}, {"fixed", false}})});
}

void ApplySoundSettings(const SoundSettings& settings)
{
    if (settings.debugOutput)
        SvRouteDebugOutputToStderr();
    if (!settings.recordPath.empty()) {
        svtool::FailWritesPastSizeLimit();
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

} // namespace svplay
