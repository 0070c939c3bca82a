// Encodes 8 kHz mono 16-bit raw PCM to an AMR-NB storage file with
// discontinuous transmission on, so the file holds SID and no-data frames
// where the speech pauses, as a recorder's stream does. The library's own
// encoder wrapper has no DTX switch; this reaches the codec directly.
// usage: make_dtx_amr MODE INPUT.raw OUTPUT.amr   (MODE 0..7)
#include <stdio.h>
#include <stdlib.h>

#include <opencore-amrnb/interf_enc.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: make_dtx_amr MODE INPUT.raw OUTPUT.amr\n");
        return 2;
    }
    char* end = nullptr;
    const long mode = strtol(argv[1], &end, 10);
    if (*end != '\0' || mode < 0 || mode > 7) {
        fprintf(stderr, "make_dtx_amr: MODE is 0..7\n");
        return 2;
    }
    FILE* in = fopen(argv[2], "rb");
    if (!in) {
        perror(argv[2]);
        return 1;
    }
    FILE* out = fopen(argv[3], "wb");
    if (!out) {
        perror(argv[3]);
        fclose(in);
        return 1;
    }
    void* encoder = Encoder_Interface_init(1);
    fwrite("#!AMR\n", 1, 6, out);
    short pcm[160];
    unsigned char frame[64];
    long frames = 0, comfort = 0;
    size_t got;
    while ((got = fread(pcm, sizeof pcm[0], 160, in)) > 0) {
        for (size_t i = got; i < 160; ++i)
            pcm[i] = 0;
        const int bytes = Encoder_Interface_Encode(encoder, static_cast<Mode>(mode), pcm, frame, 0);
        if (bytes <= 0)
            break;
        fwrite(frame, 1, static_cast<size_t>(bytes), out);
        ++frames;
        const int type = (frame[0] >> 3) & 0x0F;
        if (type == 8 || type == 15)
            ++comfort;
    }
    Encoder_Interface_exit(encoder);
    fclose(in);
    const bool ok = fclose(out) == 0;
    if (!ok) {
        perror(argv[3]);
        return 1;
    }
    printf("%s: %ld frames, %ld of them SID or no data\n", argv[3], frames, comfort);
    return comfort > 0 ? 0 : 1;
}
