// sonavex-encode: turns an audio file into a stream the player (or a host) can
// feed: an AMR-NB storage file (.amr) or a voice-engine stream (.ve).
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "streams.h"

namespace {

const char kUsage[] =
    "usage: sonavex-encode [--amr-mode 0..7] INPUT OUTPUT.amr|OUTPUT.ve\n"
    "Encodes any audio file libsndfile reads, at 8 kHz mono, to AMR-NB (.amr,\n"
    "mode 7 = 12.2 kbit/s by default) or to voice-engine frames (.ve).\n";

bool HasSuffix(const std::string& s, const char* suffix)
{
    const size_t n = strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    svtool::SourceOptions options;
    std::string in;
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--amr-mode" && i + 1 < argc) {
            char* end = nullptr;
            const long mode = strtol(argv[++i], &end, 10);
            if (*end != '\0' || mode < 0 || mode > 7) {
                fprintf(stderr, "sonavex-encode: --amr-mode takes 0..7\n");
                return 2;
            }
            options.amrMode = static_cast<int>(mode);
        } else if (in.empty()) {
            in = arg;
        } else if (out.empty()) {
            out = arg;
        } else {
            fputs(kUsage, stderr);
            return 2;
        }
    }
    if (in.empty() || out.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (HasSuffix(out, ".amr")) {
        options.codec = svtool::Codec::Amr;
    } else if (HasSuffix(out, ".ve")) {
        options.codec = svtool::Codec::Voice;
    } else {
        fprintf(stderr, "sonavex-encode: %s: the output name must end in .amr or .ve\n", out.c_str());
        return 2;
    }

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
    if (options.codec == svtool::Codec::Amr)
        fwrite(svtool::kAmrMagic, 1, svtool::kAmrMagicBytes, file);
    svtool::Frame frame;
    long frames = 0;
    const int wanted = options.codec == svtool::Codec::Amr ? svtool::kPayloadAmr : svtool::kPayloadVoice;
    while (source->Next(frame)) {
        if (frame.type != wanted) {
            fprintf(stderr, "sonavex-encode: %s: already a compressed stream of the other codec\n", in.c_str());
            fclose(file);
            remove(out.c_str());
            return 1;
        }
        fwrite(frame.data, 1, static_cast<size_t>(frame.length), file);
        ++frames;
    }
    const bool written = fclose(file) == 0;
    if (!source->Error().empty() || !written) {
        fprintf(stderr, "sonavex-encode: %s\n", written ? source->Error().c_str() : "write failed");
        remove(out.c_str());
        return 1;
    }
    printf("%s: %ld frames\n", out.c_str(), frames);
    return 0;
}
