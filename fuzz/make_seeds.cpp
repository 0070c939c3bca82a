// Writes a seed corpus for fuzz_decode_payload: real AMR frames at every bit
// rate, voice-engine frames of several lengths, and a mixed stream, each in the
// fuzzer's record format. Usage: fuzz_make_seeds <directory>
#include <math.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "AmrDll.h"
#include "hi_voice.h"

namespace {

typedef std::vector<unsigned char> Bytes;

void AddRecord(Bytes& input, int type, bool onGuardPage, const Bytes& payload)
{
    input.push_back(static_cast<unsigned char>((type + 1) | (onGuardPage ? 0x80 : 0)));
    input.push_back(1);
    input.push_back(static_cast<unsigned char>(payload.size() & 0xFF));
    input.push_back(static_cast<unsigned char>(payload.size() >> 8));
    input.insert(input.end(), payload.begin(), payload.end());
}

bool Write(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    short pcm[HI_VOICE_MAX_SAMPLES];
    for (int i = 0; i < HI_VOICE_MAX_SAMPLES; ++i)
        pcm[i] = static_cast<short>(9000 * sin(i * 0.3) + 3000 * sin(i * 1.7));

    Bytes mixed;
    bool ok = true;
    for (int mode = 0; mode <= 7; ++mode) {
        AMR_HANDLE encoder = 0;
        if (AMR_Encode_Init(&encoder) != 0)
            return 1;
        Bytes input;
        for (int k = 0; k < 3; ++k) {
            Bytes frame(AMR_MAX_FRAME_BYTES);
            const int bytes = AMR_Encode_Frame(encoder, pcm + 40 * k, frame.data(), mode);
            if (bytes <= 0)
                return 1;
            frame.resize(bytes);
            AddRecord(input, 1, k % 2 == 1, frame);
            if (k == 0)
                AddRecord(mixed, 1, mode % 2 == 0, frame);
        }
        AMR_Encode_Exit(&encoder);
        ok = Write(dir + "/amr_mode" + std::to_string(mode), input) && ok;
    }

    unsigned char state[HI_VOICE_STATE_BYTES];
    HI_VOICE_EncReset(state, HI_VOICE_CODEC_IMA_ADPCM);
    for (int samples : {0, 1, 160, 161, 320}) {
        Bytes frame(HI_VOICE_MAX_FRAME_BYTES);
        int bytes = 0;
        if (HI_VOICE_EncodeFrame(state, pcm, samples, frame.data(), &bytes) != 0)
            return 1;
        frame.resize(bytes);
        Bytes input;
        AddRecord(input, 2, false, frame);
        AddRecord(input, 3, true, frame);
        AddRecord(mixed, samples % 2 ? 3 : 2, samples % 2 == 0, frame);
        ok = Write(dir + "/voice_" + std::to_string(samples), input) && ok;
    }
    AddRecord(mixed, 4, false, Bytes(10, 0x11));
    AddRecord(mixed, 5, true, Bytes(3, 0x22));
    ok = Write(dir + "/mixed", mixed) && ok;
    return ok ? 0 : 1;
}
