// What the stream readers of svtool_streams share among themselves.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "streams.h"

namespace svtool {

// A sample count at 8 kHz as seconds, "1.23 s".
std::string Seconds(int64_t samples);

// Opens `path`, a file that is neither an AMR nor a voice-engine stream, as an
// audio file to encode frame by frame while it is read. The Linux build reads
// such files with libsndfile (audiofile_sndfile.cpp); the Windows build has no
// reader for them (audiofile_none.cpp). On failure returns null with a message
// that names the file.
std::unique_ptr<FrameSource> OpenAudioFile(const std::string& path, const SourceOptions& options,
                                           std::string* error);

} // namespace svtool
