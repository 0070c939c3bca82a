// Stand-ins for the two codec DLLs that accept every call and refuse every
// frame, for the test that puts them beside a copy of Sonavex.dll. Built
// twice: with SV_REFUSE_AMR as AmrDll's exports, otherwise as the voice
// engine's. SvTestRefusals tells how many frames were refused.
#include <atomic>

#if defined(SV_REFUSE_AMR)
#include "AmrDll.h"
#else
#include "hi_voice.h"
#endif

namespace {
std::atomic<long> g_refusals{0};
}

extern "C" __declspec(dllexport) long __cdecl SvTestRefusals(void) { return g_refusals.load(); }

#if defined(SV_REFUSE_AMR)

AMRDLL_API int AMRDLL_CALL AMR_Decode_Init(AMR_HANDLE* handle)
{
    // A state the library can hold; no frame ever decodes with it.
    static int state;
    *handle = reinterpret_cast<AMR_HANDLE>(&state);
    return 0;
}
AMRDLL_API int AMRDLL_CALL AMR_Get_Length(int, unsigned int) { return 0; }
AMRDLL_API int AMRDLL_CALL AMR_Decode_Frame(AMR_HANDLE, const unsigned char*, unsigned char*, int)
{
    g_refusals.fetch_add(1);
    return -1;
}
AMRDLL_API int AMRDLL_CALL AMR_Decode_Exit(AMR_HANDLE* handle)
{
    *handle = 0;
    return 0;
}
AMRDLL_API int AMRDLL_CALL AMR_Encode_Init(AMR_HANDLE* handle)
{
    *handle = 0;
    return -1;
}
AMRDLL_API int AMRDLL_CALL AMR_Encode_Frame(AMR_HANDLE, const short*, unsigned char*, int) { return -1; }
AMRDLL_API int AMRDLL_CALL AMR_Encode_Exit(AMR_HANDLE*) { return -1; }

#else

HI_VOICE_API int HI_VOICE_CALL HI_VOICE_DecReset(void*, unsigned int) { return HI_VOICE_OK; }
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_DecodeFrame(void*, const unsigned char*, short*, short* len)
{
    g_refusals.fetch_add(1);
    *len = 0;
    return HI_VOICE_ERR_CODEC;
}
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_EncReset(void*, unsigned int) { return HI_VOICE_ERR_CODEC; }
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_EncodeFrame(void*, const short*, int, unsigned char*, int* outLen)
{
    *outLen = 0;
    return HI_VOICE_ERR_CODEC;
}

#endif
