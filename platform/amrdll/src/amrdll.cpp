// AMR-NB over opencore-amrnb. A handle is the address of the opencore state
// itself; the library adds the storage-format length table, refuses the frame
// types opencore has no decoding for, and keeps the caller's samples intact.
#include "AmrDll.h"

#include <string.h>

#include <opencore-amrnb/interf_dec.h>
#include <opencore-amrnb/interf_enc.h>

namespace {

// Bytes after the header byte, by frame type (RFC 4867, table of frame sizes):
// the eight speech modes, SID, four reserved and unused types, no data.
const int kPayloadBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 0, 0, 0, 0, 0, 0, 0};

bool IsDecodable(unsigned type) { return type <= 8 || type == AMR_FRAME_NO_DATA; }

void* StateOf(AMR_HANDLE handle) { return reinterpret_cast<void*>(handle); }

} // namespace

AMRDLL_API int AMRDLL_CALL AMR_Decode_Init(AMR_HANDLE* handle)
{
    if (!handle)
        return -1;
    *handle = reinterpret_cast<AMR_HANDLE>(Decoder_Interface_init());
    return *handle ? 0 : -1;
}

AMRDLL_API int AMRDLL_CALL AMR_Get_Length(int /*mode*/, unsigned int header)
{
    return kPayloadBytes[AMR_FRAME_TYPE(header)];
}

AMRDLL_API int AMRDLL_CALL AMR_Decode_Frame(AMR_HANDLE handle, const unsigned char* data,
                                            unsigned char* pcm, int /*mode*/)
{
    if (!handle || !data || !pcm)
        return -1;
    if (!IsDecodable(AMR_FRAME_TYPE(data[0])))
        return -2;
    // opencore writes 16-bit samples; the caller's byte buffer may not be
    // aligned for them, and a 320-byte copy is noise beside the decode.
    short samples[AMR_FRAME_SAMPLES];
    Decoder_Interface_Decode(StateOf(handle), data, samples, 0);
    memcpy(pcm, samples, sizeof samples);
    return 0;
}

AMRDLL_API int AMRDLL_CALL AMR_Decode_Exit(AMR_HANDLE* handle)
{
    if (!handle || !*handle)
        return -1;
    Decoder_Interface_exit(StateOf(*handle));
    *handle = 0;
    return 0;
}

AMRDLL_API int AMRDLL_CALL AMR_Encode_Init(AMR_HANDLE* handle)
{
    if (!handle)
        return -1;
    *handle = reinterpret_cast<AMR_HANDLE>(Encoder_Interface_init(0));
    return *handle ? 0 : -1;
}

AMRDLL_API int AMRDLL_CALL AMR_Encode_Frame(AMR_HANDLE handle, const short* pcm, unsigned char* out,
                                            int mode)
{
    if (!handle || !pcm || !out || mode < MR475 || mode > MR122)
        return -1;
    // opencore filters its input in place (the pre-processing writes the
    // high-passed, halved samples back), so it works on a copy: the caller's
    // samples are const, and may even be read-only memory.
    short samples[AMR_FRAME_SAMPLES];
    memcpy(samples, pcm, sizeof samples);
    return Encoder_Interface_Encode(StateOf(handle), static_cast<Mode>(mode), samples, out, 0);
}

AMRDLL_API int AMRDLL_CALL AMR_Encode_Exit(AMR_HANDLE* handle)
{
    if (!handle || !*handle)
        return -1;
    Encoder_Interface_exit(StateOf(*handle));
    *handle = 0;
    return 0;
}
