// lib_VoiceEngine_dll: the outside voice codec library. Every state lives in a
// 16-byte area owned by the caller; the library allocates nothing and keeps no
// global state, so any number of streams may run on any threads as long as
// each state is used by one thread at a time. The frame format is described in
// docs/voice-frame-format.md.
#pragma once

#if defined(_WIN32) && defined(HI_VOICE_BUILDING)
#define HI_VOICE_API extern "C" __declspec(dllexport)
#elif defined(_WIN32)
#define HI_VOICE_API extern "C" __declspec(dllimport)
#else
#define HI_VOICE_API extern "C" __attribute__((visibility("default")))
#endif

// Every function is __cdecl, said explicitly so that a host compiled with
// another default convention (stdcall or fastcall by compiler switch) still
// calls them correctly. __cdecl because it is the C default of every Windows
// compiler, so a header-less caller (GetProcAddress into a plain function
// pointer) agrees too, and because the DLL then exports the bare names
// (HI_VOICE_DecReset, not HI_VOICE_DecReset@8) on 32-bit Windows as on
// 64-bit, which has one convention only and ignores the keyword. Off Windows
// the macro is empty.
#if defined(_WIN32)
#define HI_VOICE_CALL __cdecl
#else
#define HI_VOICE_CALL
#endif

#define HI_VOICE_STATE_BYTES 16  // bytes of the caller's state area (any alignment)
#define HI_VOICE_MAX_SAMPLES 320  // most samples one frame carries (40 ms)
#define HI_VOICE_HEADER_BYTES 8   // bytes of a frame's header
// Bytes of a frame that carries `n` samples: the header, then two codes a byte.
#define HI_VOICE_FRAME_BYTES(n) (HI_VOICE_HEADER_BYTES + ((n) + 1) / 2)
#define HI_VOICE_MAX_FRAME_BYTES HI_VOICE_FRAME_BYTES(HI_VOICE_MAX_SAMPLES)

#define HI_VOICE_MARKER 0xA5 // the first byte of every frame
// The one codec the library implements: 4-bit IMA ADPCM at 8000 samples per
// second (32 kbit/s). States reset for any other type refuse every frame.
#define HI_VOICE_CODEC_IMA_ADPCM 3

// Results. 0 is the only success; the refusals say why.
#define HI_VOICE_OK 0
#define HI_VOICE_ERR_ARG (-1)      // a null pointer, or a sample count out of range
#define HI_VOICE_ERR_STATE (-2)    // the state was never reset (for this direction)
#define HI_VOICE_ERR_CODEC (-3)    // unsupported codec, or a frame of another codec type
#define HI_VOICE_ERR_MARKER (-4)   // first byte is not HI_VOICE_MARKER
#define HI_VOICE_ERR_LENGTH (-5)   // more than HI_VOICE_MAX_SAMPLES samples
#define HI_VOICE_ERR_STEP (-6)     // step index above 88
#define HI_VOICE_ERR_RESERVED (-7) // reserved header byte not 0

// Prepares the decoder state for `codecType`. Returns HI_VOICE_ERR_CODEC for a
// codec the library does not implement (the state is still marked reset, and
// refuses every frame).
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_DecReset(void* state, unsigned int codecType);
// Decodes the frame at `in`, whose extent its own header gives, into `out`
// (room for HI_VOICE_MAX_SAMPLES samples). Returns 0 and the number of samples
// in *len, or a refusal (and 0 in *len). Each frame carries its starting
// predictor and step index, so it decodes on its own. The header is checked
// before any code byte is read.
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_DecodeFrame(void* state, const unsigned char* in, short* out,
                                                   short* len);

// Encoder, for tests and tools: the predictor and step index run on across
// frames in the encoder's own state.
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_EncReset(void* state, unsigned int codecType);
// Encodes `samples` (0..320) samples into one frame at `out` (room for
// HI_VOICE_FRAME_BYTES(samples) bytes) and stores its byte count in *outLen.
// Returns 0 on success.
HI_VOICE_API int HI_VOICE_CALL HI_VOICE_EncodeFrame(void* state, const short* pcm, int samples,
                                                   unsigned char* out, int* outLen);
