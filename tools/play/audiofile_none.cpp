// The Windows build reads no audio files but the compressed streams: it has
// no libsndfile to decode them with.
#include "streams_detail.h"

namespace svtool {

std::unique_ptr<FrameSource> OpenAudioFile(const std::string& path, const SourceOptions&, std::string* error)
{
    *error = path + ": not an AMR-NB or voice-engine stream (other audio files need libsndfile, which this "
                    "Windows build of sonavex-play does not include)";
    return nullptr;
}

} // namespace svtool
