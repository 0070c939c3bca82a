// A host built as a Visual Studio project builds it: compiled for the MSVC ABI
// (clang --target=<arch>-pc-windows-msvc) and linked by lld-link against the
// package's .lib files alone. No C runtime exists for that target here, so the
// program has its own entry point and calls nothing but kernel32 (through an
// import library the build makes the same way) and the three DLLs.
//
// It calls every export of Sonavex.dll through the import library, checks the
// answers that need no device, and exits 0 when all hold. On 32-bit Windows
// each call is also measured: a callee that pops other than the bytes of the
// header's declaration fails the run.
#include <stdint.h>

#include "AmrDll.h"
#include "hi_voice.h"
#include "sonavex.h"

// The few kernel32 functions the host needs, declared as windows.h would.
extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(uint32_t which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, uint32_t length, uint32_t* written,
                                              void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(uint32_t code);
#if defined(_M_IX86)
// Declared with two arguments where the real one takes three (and pops 12
// bytes): the control that shows the measure sees a wrong stack size.
__declspec(dllimport) int __stdcall MulDiv(int a, int b);
#endif
}

namespace {

int g_failures = 0;
int g_checks = 0;

size_t Length(const char* s)
{
    size_t n = 0;
    while (s[n] != '\0')
        ++n;
    return n;
}

void Write(const char* s)
{
    uint32_t written = 0;
    WriteFile(GetStdHandle(static_cast<uint32_t>(-11)), s, static_cast<uint32_t>(Length(s)), &written, nullptr);
}

// Hexadecimal, so that no 64-bit division (a C runtime helper on x86) is
// needed.
void WriteNumber(int64_t v)
{
    char text[19] = "0x";
    const uint64_t u = static_cast<uint64_t>(v);
    for (int i = 0; i < 16; ++i)
        text[2 + i] = "0123456789abcdef"[(u >> (60 - 4 * i)) & 0xF];
    text[18] = '\0';
    Write(text);
}

void WriteCount(uint32_t n)
{
    char text[11];
    char* p = text + sizeof text - 1;
    *p = '\0';
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    Write(p);
}

void Check(const char* what, int64_t got, int64_t expected)
{
    ++g_checks;
    if (got == expected)
        return;
    ++g_failures;
    Write("FAILED: ");
    Write(what);
    Write(": got ");
    WriteNumber(got);
    Write(", expected ");
    WriteNumber(expected);
    Write("\n");
}

}  // namespace

#if defined(_M_IX86)
// The stack pointer before and after one call in the same frame: equal when
// the callee popped exactly what the declaration the compiler saw says. A
// difference is put right at once so the frame survives to report it.
#define SV_MEASURED(name, call)                                                  \
    do {                                                                         \
        uint32_t before_, after_;                                                \
        __asm__ volatile("movl %%esp, %0" : "=r"(before_)::"memory");            \
        call;                                                                    \
        __asm__ volatile("movl %%esp, %0" : "=r"(after_)::"memory");             \
        if (after_ != before_)                                                   \
            __asm__ volatile("movl %0, %%esp" ::"r"(before_) : "memory");        \
        Check(name ": stack moved by", static_cast<int64_t>(after_) - before_, 0); \
    } while (0)
#else
#define SV_MEASURED(name, call) \
    do {                        \
        call;                   \
    } while (0)
#endif

extern "C" void __stdcall HostMain()
{
#if defined(_M_IX86)
    // The control: a declaration two words short of the callee's pops.
    {
        uint32_t before, after;
        __asm__ volatile("movl %%esp, %0" : "=r"(before)::"memory");
        volatile int ignored = MulDiv(6, 7);
        (void)ignored;
        __asm__ volatile("movl %%esp, %0" : "=r"(after)::"memory");
        __asm__ volatile("movl %0, %%esp" ::"r"(before) : "memory");
        Check("MulDiv declared one word short: stack moved by", static_cast<int64_t>(after) - before, 4);
    }
#endif

    const int64_t kUntouched = 0x5A5A5A5A5A5A5A5ALL;
    int64_t pts = kUntouched;
    int64_t next = kUntouched;
    uint8_t frame[SV_AMR_FRAME_BYTES];
    uint32_t length = 4;
    int64_t r = 0;

    // A NULL handle: the fixed answers, outputs untouched.
    SV_MEASURED("SV_CloseSonavex", r = SV_CloseSonavex(nullptr));
    Check("SV_CloseSonavex(NULL)", r, 0);
    SV_MEASURED("SV_InputAudioBuffer", r = SV_InputAudioBuffer(nullptr, frame, 1, SV_PAYLOAD_AMR, 1, 1));
    Check("SV_InputAudioBuffer(NULL)", r, SV_FAILED);
    SV_MEASURED("SV_GetPts", SV_GetPts(nullptr, &pts, &next));
    Check("SV_GetPts(NULL) pts", pts, kUntouched);
    Check("SV_GetPts(NULL) nextPts", next, kUntouched);
    SV_MEASURED("SV_SetPts", SV_SetPts(nullptr, 1, 2));
    SV_MEASURED("SV_ClearAudioFrames", r = SV_ClearAudioFrames(nullptr, 0, 1, 0, &pts, &next));
    Check("SV_ClearAudioFrames(NULL)", r, SV_E_NULL_HANDLE);
    SV_MEASURED("SV_AudioDecClear", r = SV_AudioDecClear(nullptr));
    Check("SV_AudioDecClear(NULL)", r, 0);
    SV_MEASURED("SV_SetMuteAudio", r = SV_SetMuteAudio(nullptr, 1));
    Check("SV_SetMuteAudio(NULL)", r, 0);
    SV_MEASURED("SV_StopFileAudio", r = SV_StopFileAudio(nullptr, SV_STOP_NOW));
    Check("SV_StopFileAudio(NULL)", r, 0);
    SV_MEASURED("SV_AudioDecSetVolume", r = SV_AudioDecSetVolume(nullptr, 0xFFFF));
    Check("SV_AudioDecSetVolume(NULL)", r, 0);
    SV_MEASURED("SV_AudioDecGetVolume", r = SV_AudioDecGetVolume(nullptr));
    Check("SV_AudioDecGetVolume(NULL)", r, 0);
    SV_MEASURED("SV_AudioDecGetFrames", r = SV_AudioDecGetFrames(nullptr));
    Check("SV_AudioDecGetFrames(NULL)", r, SV_FAILED);
    SV_MEASURED("SV_CloseAudioCapture", r = SV_CloseAudioCapture(nullptr));
    Check("SV_CloseAudioCapture(NULL)", r, 0);
    SV_MEASURED("SV_ReadAudioBuffer", r = SV_ReadAudioBuffer(nullptr, frame, &length, 0));
    Check("SV_ReadAudioBuffer(NULL)", r, 0);
    Check("SV_ReadAudioBuffer(NULL) length", length, 4);
    SV_MEASURED("SV_AudioCapClear", r = SV_AudioCapClear(nullptr));
    Check("SV_AudioCapClear(NULL)", r, 0);
    SV_MEASURED("SV_SetNetProtocolVersion", SV_SetNetProtocolVersion(5));

    // A decoder: the answers that depend on no device timing.
    SV_DECODER dec = nullptr;
    SV_MEASURED("SV_OpenSonavex", dec = SV_OpenSonavex(SV_PREBUFFER_8, SV_FILE_PLAYBACK));
    Check("SV_OpenSonavex gave a handle", dec != nullptr, 1);
    if (dec != nullptr) {
        const uint8_t emptyVoiceFrame[HI_VOICE_HEADER_BYTES] = {HI_VOICE_MARKER, HI_VOICE_CODEC_IMA_ADPCM};
        SV_MEASURED("SV_InputAudioBuffer",
                    r = SV_InputAudioBuffer(dec, emptyVoiceFrame, sizeof emptyVoiceFrame, SV_PAYLOAD_VOICE,
                                            0x123456789LL, 1));
        Check("SV_InputAudioBuffer", r, 1);
        SV_MEASURED("SV_SetPts", SV_SetPts(dec, -2, 0x100000001LL));
        SV_MEASURED("SV_ClearAudioFrames", r = SV_ClearAudioFrames(dec, 5, 0, 0, nullptr, nullptr));
        Check("SV_ClearAudioFrames(type 5)", r, SV_E_BAD_TYPE);
        SV_MEASURED("SV_ClearAudioFrames",
                    r = SV_ClearAudioFrames(dec, SV_CLEAR_BY_COUNT, SV_CLEAR_KEEP_NEWEST, 0, &pts, &next));
        Check("SV_ClearAudioFrames(empty)", r, SV_OK);
        SV_MEASURED("SV_GetPts", SV_GetPts(dec, &pts, &next));
        Check("SV_GetPts after the emptying clear: pts", pts, 0);
        Check("SV_GetPts after the emptying clear: nextPts", next, 0);
        SV_MEASURED("SV_AudioDecGetFrames", r = SV_AudioDecGetFrames(dec));
        Check("SV_AudioDecGetFrames after the emptying clear", r, 0);
        SV_MEASURED("SV_AudioDecClear", r = SV_AudioDecClear(dec));
        Check("SV_AudioDecClear", r, 1);
        SV_MEASURED("SV_SetMuteAudio", r = SV_SetMuteAudio(dec, 0));
        Check("SV_SetMuteAudio", r, 1);
        SV_MEASURED("SV_StopFileAudio", r = SV_StopFileAudio(dec, SV_STOP_OFF));
        Check("SV_StopFileAudio", r, 1);
        SV_MEASURED("SV_AudioDecSetVolume", SV_AudioDecSetVolume(dec, 0xFFFF));
        SV_MEASURED("SV_AudioDecGetVolume", SV_AudioDecGetVolume(dec));
        SV_MEASURED("SV_CloseSonavex", r = SV_CloseSonavex(dec));
        Check("SV_CloseSonavex", r, 1);
    }

    // Capture: whether or not wine gives an input device here, the calls
    // keep the stack, and an open capture closes.
    SV_CAPTURE cap = nullptr;
    SV_MEASURED("SV_OpenAudioCapture", cap = SV_OpenAudioCapture());
    if (cap != nullptr) {
        length = sizeof frame;
        SV_MEASURED("SV_ReadAudioBuffer", SV_ReadAudioBuffer(cap, frame, &length, 0));
        SV_MEASURED("SV_AudioCapClear", r = SV_AudioCapClear(cap));
        Check("SV_AudioCapClear", r, 1);
        SV_MEASURED("SV_CloseAudioCapture", r = SV_CloseAudioCapture(cap));
        Check("SV_CloseAudioCapture", r, 1);
    } else {
        Write("note: no input device; the capture object did not open\n");
    }

    // The codec DLLs' import libraries, one call each (their convention is
    // __cdecl: the caller pops).
    SV_MEASURED("AMR_Get_Length", r = AMR_Get_Length(0, 7u << 3));
    Check("AMR_Get_Length(type 7)", r, 31);
    uint8_t state[HI_VOICE_STATE_BYTES];
    SV_MEASURED("HI_VOICE_DecReset", r = HI_VOICE_DecReset(state, 99));
    Check("HI_VOICE_DecReset(codec 99)", r, HI_VOICE_ERR_CODEC);

    Write(g_failures == 0 ? "PASSED: " : "FAILED: ");
    WriteCount(static_cast<uint32_t>(g_checks - g_failures));
    Write(" of ");
    WriteCount(static_cast<uint32_t>(g_checks));
    Write(" checks hold\n");
    ExitProcess(g_failures == 0 ? 0 : 1);
}
