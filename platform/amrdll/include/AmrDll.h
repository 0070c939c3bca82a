// AmrDll: the outside AMR-NB codec library. Payloads are single frames in the
// AMR-NB storage format (RFC 4867, section 5: a header byte whose bits 6..3 are
// the frame type, then the frame's bytes); PCM is 16-bit mono at 8000 samples
// per second, 160 samples per frame. Each handle is one codec state, used by
// one thread at a time; the library keeps no other state.
#pragma once

#include <stdint.h>

#if defined(_WIN32) && defined(AMRDLL_BUILDING)
#define AMRDLL_API extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define AMRDLL_API extern "C" __declspec(dllimport)
#else
#define AMRDLL_API extern "C" __attribute__((visibility("default")))
#endif

// Every function is __cdecl, said explicitly so that a host compiled with
// another default convention (stdcall or fastcall by compiler switch) still
// calls them correctly. __cdecl because it is the C default of every Windows
// compiler, so a header-less caller (GetProcAddress into a plain function
// pointer) agrees too, and because the DLL then exports the bare names
// (AMR_Decode_Init, not AMR_Decode_Init@4) on 32-bit Windows as on 64-bit,
// which has one convention only and ignores the keyword. Off Windows the macro
// is empty.
#if defined(_WIN32)
#define AMRDLL_CALL __cdecl
#else
#define AMRDLL_CALL
#endif

// A codec state; pointer-sized, 0 when there is none.
typedef uintptr_t AMR_HANDLE;

#define AMR_FRAME_SAMPLES 160 // samples of one decoded frame (20 ms)
// The longest storage-format frame: the header byte and 31 bytes of 12.2 kbit/s.
#define AMR_MAX_FRAME_BYTES 32
#define AMR_FRAME_TYPE(header) (((header) >> 3) & 0x0F)
#define AMR_FRAME_NO_DATA 15

// Decoder. Each call returns 0 on success, non-zero on failure.
// Creates a decoder state and stores its handle at `handle` (0 on failure).
AMRDLL_API int AMRDLL_CALL AMR_Decode_Init(AMR_HANDLE* handle);
// Bytes that must follow the header byte `header` for its frame type: 12, 13,
// 15, 17, 19, 20, 26, 31 for types 0..7, 5 for SID (8), 0 for no data (15) and
// for the undecodable types 9..14. Every mode behaves as mode 0.
AMRDLL_API int AMRDLL_CALL AMR_Get_Length(int mode, unsigned int header);
// Decodes one frame (header byte first, then AMR_Get_Length bytes; nothing
// further is read) into 160 samples (320 bytes) at `pcm`, which needs no
// particular alignment. Returns 0 for a decoded frame; a no-data frame decodes
// to the codec's concealment output. Types 9..14 are refused.
AMRDLL_API int AMRDLL_CALL AMR_Decode_Frame(AMR_HANDLE handle, const unsigned char* data,
                                            unsigned char* pcm, int mode);
// Releases the state and sets the handle to 0.
AMRDLL_API int AMRDLL_CALL AMR_Decode_Exit(AMR_HANDLE* handle);

// Encoder, for tests and tools. `mode` 0..7 picks the bit rate (4.75 to 12.2
// kbit/s). AMR_Encode_Frame takes 160 samples and writes one storage-format
// frame (header byte first, at most 32 bytes); it returns the bytes written,
// or a negative value on failure.
AMRDLL_API int AMRDLL_CALL AMR_Encode_Init(AMR_HANDLE* handle);
AMRDLL_API int AMRDLL_CALL AMR_Encode_Frame(AMR_HANDLE handle, const short* pcm, unsigned char* out,
                                            int mode);
AMRDLL_API int AMRDLL_CALL AMR_Encode_Exit(AMR_HANDLE* handle);
