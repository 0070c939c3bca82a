// sonavex-encode: turns an audio file into a stream the player (or a host) can
// feed: an AMR-NB storage file (.amr) or a voice-engine stream (.ve).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "options.h"
#include "streams.h"

namespace {

bool HasSuffix(const std::string& s, const char* suffix)
{
    const size_t n = strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// Writes the stream's frames to `file`. Returns "", or why it stopped: a frame
// of the other codec.
std::string WriteFrames(svtool::FrameSource& source, svtool::Codec codec, const std::string& in, FILE* file,
                        long* frames)
{
    if (codec == svtool::Codec::Amr)
        fwrite(svtool::kAmrMagic, 1, svtool::kAmrMagicBytes, file);
    const int wanted = codec == svtool::Codec::Amr ? svtool::kPayloadAmr : svtool::kPayloadVoice;
    svtool::Frame frame;
    while (source.Next(frame)) {
        if (frame.type != wanted)
            return in + ": already a compressed stream of the other codec";
        fwrite(frame.data, 1, static_cast<size_t>(frame.length), file);
        ++*frames;
    }
    return "";
}

} // namespace

int main(int argc, char** argv)
{
    svtool::SourceOptions options;
    std::string in;
    std::string out;
    svtool::CommandLine line("sonavex-encode",
                             "Encodes any audio file libsndfile reads, at 8 kHz mono, to AMR-NB (.amr)\n"
                             "or to voice-engine frames (.ve).\n");
    line.options = {svtool::Integer("--amr-mode", "0..7", "AMR bit rate, 4.75..12.2 kbit/s (7)", &options.amrMode, 0, 7)};
    line.arguments = {{"INPUT", &in, "no input file"}, {"OUTPUT.amr|OUTPUT.ve", &out, "no output file"}};
    line.tooMany = "one input and one output file only";
    line.Parse(argc, argv);
    if (HasSuffix(out, ".amr"))
        options.codec = svtool::Codec::Amr;
    else if (HasSuffix(out, ".ve"))
        options.codec = svtool::Codec::Voice;
    else
        line.Fail(out + ": the output name must end in .amr or .ve");

    std::string error;
    std::unique_ptr<svtool::FrameSource> source = svtool::OpenSource(in, options, &error);
    if (!source) {
        fprintf(stderr, "sonavex-encode: %s\n", error.c_str());
        return 1;
    }
    FILE* file = fopen(out.c_str(), "wb");
    if (file == nullptr) {
        fprintf(stderr, "sonavex-encode: %s: cannot create: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    long frames = 0;
    std::string why = WriteFrames(*source, options.codec, in, file, &frames);
    const bool written = fclose(file) == 0;
    if (why.empty())
        why = written ? source->Error() : "write failed";
    if (!why.empty()) {
        fprintf(stderr, "sonavex-encode: %s\n", why.c_str());
        remove(out.c_str());
        return 1;
    }
    printf("%s: %ld frames\n", out.c_str(), frames);
    return 0;
}
