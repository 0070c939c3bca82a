// Stand-in for the subset of <windows.h> that Sonavex uses, for builds off
// Windows. Names, types and values are the Windows ones, so the library source
// compiles unchanged against either this header or the real one.
//
// The functions are implemented by libsvkernel (platform/kernel). Controls that
// exist only on this stand-in (debug-output sink, substitute clocks, module
// paths) are declared in <svwin/platform.h>, never used by the library itself.
#pragma once

#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>

#if defined(_WIN32)
#error "svwin/windows.h is the stand-in for non-Windows builds; include <windows.h>"
#endif

#define SVWIN_API extern "C" __attribute__((visibility("default")))

// Calling conventions only exist on 32-bit Windows.
#define WINAPI
#define CALLBACK
#define APIENTRY
#define __stdcall
#define __cdecl

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;  // 32-bit, as on Windows, whatever the host's long is
typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef char CHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef void* HANDLE;

struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define MAX_PATH 260

// A critical section is a recursive lock: the owning thread may enter it again.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t mutex;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

SVWIN_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
SVWIN_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
SVWIN_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);
SVWIN_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);

SVWIN_API void GetLocalTime(LPSYSTEMTIME st);
SVWIN_API DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size);
SVWIN_API void OutputDebugStringA(LPCSTR text);
SVWIN_API void Sleep(DWORD milliseconds);
SVWIN_API DWORD GetTickCount(void);

// The wsprintfA subset: %d %i %u %x %X %s %c %%, with flags '-' and '0', a
// width, and the 'l' size prefix. Output is limited to 1024 characters,
// terminator included, as on Windows.
SVWIN_API int wsprintfA(LPSTR out, LPCSTR format, ...);
SVWIN_API int wvsprintfA(LPSTR out, LPCSTR format, va_list args);
