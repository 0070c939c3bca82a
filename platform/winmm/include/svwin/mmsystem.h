// Stand-in for the wave part of <mmsystem.h>, for builds off Windows. Names,
// values and structure layouts are the Windows ones (packed as mmsystem.h packs
// them); pointers are of course the host's size, so sizeof(WAVEHDR) is 32 on a
// 32-bit build and 48 on a 64-bit one. Callers pass sizeof(WAVEHDR).
//
// The functions are implemented by libsvwinmm (platform/winmm). Which device
// WAVE_MAPPER stands for is chosen by the platform (<svwin/wavedevice.h>).
#pragma once

#include <svwin/windows.h>

typedef UINT MMRESULT;
typedef UINT MMVERSION;

#define MMSYSERR_BASE 0
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12

#define WAVERR_BASE 32
#define WAVERR_BADFORMAT (WAVERR_BASE + 0)
#define WAVERR_STILLPLAYING (WAVERR_BASE + 1)
#define WAVERR_UNPREPARED (WAVERR_BASE + 2)
#define WAVERR_SYNC (WAVERR_BASE + 3)

#define WAVE_MAPPER ((UINT)-1)

#define CALLBACK_TYPEMASK 0x00070000L
#define CALLBACK_NULL 0x00000000L
#define CALLBACK_WINDOW 0x00010000L
#define CALLBACK_TASK 0x00020000L
#define CALLBACK_FUNCTION 0x00030000L
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_EVENT 0x00050000L
#define WAVE_FORMAT_QUERY 0x0001

#define MM_WOM_OPEN 0x3BB
#define MM_WOM_CLOSE 0x3BC
#define MM_WOM_DONE 0x3BD
#define MM_WIM_OPEN 0x3BE
#define MM_WIM_CLOSE 0x3BF
#define MM_WIM_DATA 0x3C0
#define WOM_OPEN MM_WOM_OPEN
#define WOM_CLOSE MM_WOM_CLOSE
#define WOM_DONE MM_WOM_DONE
#define WIM_OPEN MM_WIM_OPEN
#define WIM_CLOSE MM_WIM_CLOSE
#define WIM_DATA MM_WIM_DATA

#define WHDR_DONE 0x00000001
#define WHDR_PREPARED 0x00000002
#define WHDR_BEGINLOOP 0x00000004
#define WHDR_ENDLOOP 0x00000008
#define WHDR_INQUEUE 0x00000010

#define WAVE_FORMAT_PCM 1

#define TIME_MS 0x0001
#define TIME_SAMPLES 0x0002
#define TIME_BYTES 0x0004

struct HWAVEOUT__;
typedef HWAVEOUT__* HWAVEOUT;
typedef HWAVEOUT* LPHWAVEOUT;
struct HWAVEIN__;
typedef HWAVEIN__* HWAVEIN;
typedef HWAVEIN* LPHWAVEIN;

#pragma pack(push, 1)

typedef struct wavehdr_tag {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    struct wavehdr_tag* lpNext;
    DWORD_PTR reserved;
} WAVEHDR, *PWAVEHDR, *LPWAVEHDR;

typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX, *LPWAVEFORMATEX;
typedef const WAVEFORMATEX* LPCWAVEFORMATEX;

typedef struct mmtime_tag {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour;
            BYTE min;
            BYTE sec;
            BYTE frame;
            BYTE fps;
            BYTE dummy;
            BYTE pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
} MMTIME, *LPMMTIME;

#pragma pack(pop)

// The callback of a CALLBACK_FUNCTION open, as Windows declares it: the
// stand-in calls every callback, output and input, through LPDRVCALLBACK, with
// the wave handle as hdrvr. A callback of another function type (one taking an
// HWAVEOUT or HWAVEIN first, say) would be called through a type not its own,
// which is undefined behaviour (and trapped by clang's -fsanitize=function).
struct HDRVR__;
typedef HDRVR__* HDRVR;
typedef void(CALLBACK DRVCALLBACK)(HDRVR hdrvr, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
typedef DRVCALLBACK* LPDRVCALLBACK;
typedef DRVCALLBACK* PDRVCALLBACK;
typedef DRVCALLBACK WAVECALLBACK;
typedef WAVECALLBACK* LPWAVECALLBACK;

SVWIN_API MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                               DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
SVWIN_API MMRESULT waveOutClose(HWAVEOUT hwo);
SVWIN_API MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
SVWIN_API MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
SVWIN_API MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh);
SVWIN_API MMRESULT waveOutReset(HWAVEOUT hwo);
SVWIN_API MMRESULT waveOutGetVolume(HWAVEOUT hwo, LPDWORD pdwVolume);
SVWIN_API MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
SVWIN_API MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt);

SVWIN_API MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                              DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
SVWIN_API MMRESULT waveInClose(HWAVEIN hwi);
SVWIN_API MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
SVWIN_API MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
SVWIN_API MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh);
SVWIN_API MMRESULT waveInStart(HWAVEIN hwi);
SVWIN_API MMRESULT waveInStop(HWAVEIN hwi);
SVWIN_API MMRESULT waveInReset(HWAVEIN hwi);
