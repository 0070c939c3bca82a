// Controls of the wave stand-in that Windows itself has no call for: which
// device WAVE_MAPPER stands for, the virtual device's options (speed, what it
// records), and the test device's stepping, input samples, fault injection
// and call record. Host programs, tests and
// benchmarks use these; the library never does.
//
// The default device is the platform's choice, as the sound settings are on
// Windows: SvWaveSetDefaultDevice, else the environment variable
// SONAVEX_WAVE_DEVICE ("auto", "virtual", "alsa" or "test"), else auto: the
// ALSA device when its "default" PCM opens (for playback, or for capture),
// otherwise the virtual device. The choice is made at each waveOutOpen and
// waveInOpen; handles already open keep their device.
//
// Settings below apply to the devices opened after they are made.
#pragma once

#include <svwin/mmsystem.h>

typedef enum SvWaveDeviceKind {
    SV_WAVE_DEVICE_AUTO = 0,
    SV_WAVE_DEVICE_VIRTUAL = 1,
    SV_WAVE_DEVICE_ALSA = 2,
    SV_WAVE_DEVICE_TEST = 3
} SvWaveDeviceKind;

#define SV_WAVE_DEVICE_ENV "SONAVEX_WAVE_DEVICE"

// AUTO hands the choice back to the environment variable.
SVWIN_API void SvWaveSetDefaultDevice(SvWaveDeviceKind kind);
// The choice in force for the next open (AUTO when neither call nor variable
// names a device).
SVWIN_API SvWaveDeviceKind SvWaveGetDefaultDevice(void);
// The device an open handle plays on; AUTO for a handle that is not open.
SVWIN_API SvWaveDeviceKind SvWaveGetDeviceKind(HWAVEOUT hwo);
// The device an open input handle records from; AUTO when not open.
SVWIN_API SvWaveDeviceKind SvWaveGetInDeviceKind(HWAVEIN hwi);

// ---- Strict mode ----------------------------------------------------------
// Where Windows' documentation leaves a behaviour open, the stand-in is
// lenient by default. In strict mode the handles opened from then on (on any
// device) behave as a driver may that keeps no more than the documented
// promises:
// - waveOutReset, waveInReset and waveInStop return without waiting for a
//   callback running on the device thread, so a buffer that callback queues
//   again is queued after the reset; waveOutClose / waveInClose does not
//   wait for it either (it answers WAVERR_STILLPLAYING while a header is
//   queued, as in both modes, and closes nothing).
// - From the close notice on, the handle is invalid for every call: an
//   unprepare made inside WOM_CLOSE / WIM_CLOSE answers MMSYSERR_INVALHANDLE
//   and leaves the header's flags alone.
// SvWaveSetStrict decides; without a call, the environment variable
// SONAVEX_WAVE_STRICT ("1" strict, anything else lenient).
#define SV_WAVE_STRICT_ENV "SONAVEX_WAVE_STRICT"
SVWIN_API void SvWaveSetStrict(BOOL strict);
SVWIN_API BOOL SvWaveGetStrict(void);

// ---- Virtual device -------------------------------------------------------
// Plays in real time from the monotonic clock (or by the host's clock, below):
// buffer n is done when the duration of buffers 0..n has passed since the
// first started (back to back, no drift); after the queue has run dry the next
// buffer starts a new timeline.

// Speed factor: N times real time; 0 completes every buffer at once. Default 1.
SVWIN_API void SvWaveVirtualSetSpeed(double factor);
// Records exactly what each virtual device plays (after volume) to a WAV file
// at `path`, rewritten by every output open; null or "" records nothing
// (default). An open whose file cannot be created, or its header written,
// fails with MMSYSERR_ERROR. Every later write is checked: after one fails
// the device plays on but writes nothing more, and the close still writes
// the header, where it can, with the lengths of what the file holds.
SVWIN_API void SvWaveVirtualSetRecordPath(const char* path);
// What went wrong with the recording that the latest virtual output open
// began: the first failure (to create the file, a write, or finishing it at
// the close), as "what failed: the system's reason", without the file's name.
// Copies it, cut to `size` - 1 bytes and NUL-terminated, to `text` (which may
// be null when `size` is 0) and returns its whole length; 0 while all went
// well. Asked after the close, it covers the whole recording.
SVWIN_API UINT SvWaveVirtualRecordError(char* text, UINT size);

// The host's clock, for rendering faster than real time without the device
// running ahead of what its host has fed: while on, the virtual output
// devices opened from then on keep time by a clock that stands still until
// the host advances it (the speed factor does not apply to them; input
// devices keep to real time). A device on it completes a buffer once the
// clock has passed the buffer's end, on the timeline described above.
// Default off.
SVWIN_API void SvWaveVirtualSetHostClock(BOOL on);
// Moves the host's clock `milliseconds` on (0: not at all) and returns once
// every open output device on it has caught up: has completed each buffer
// that ends by then, with its callback returned, and waits for a time still
// ahead. FALSE when a device has not caught up within 5 s (one whose queue
// is empty never does); TRUE at once when none is open.
SVWIN_API BOOL SvWaveVirtualAdvance(double milliseconds);

// What the virtual input device records. It records in real time at the speed
// factor above (0: as fast as buffers are added), in chunks of at most 10 ms,
// from its source, whose position starts at 0 at each waveInOpen and moves
// only with what is recorded. Every channel records the same samples.
typedef enum SvWaveInputKind {
    SV_WAVE_INPUT_SILENCE = 0,  // zeros (default)
    SV_WAVE_INPUT_TONE = 1,     // a sine
    SV_WAVE_INPUT_FILE = 2      // a WAV file, looped
} SvWaveInputKind;

typedef struct SvWaveInputSource {
    SvWaveInputKind kind;
    // TONE: sample n (from the open) is
    // lround(toneLevel * 32767 * sin(2 * pi * toneHz * n / nSamplesPerSec))
    // as 16-bit PCM, converted to the format opened. toneLevel is 0 to 1.
    double toneHz;
    double toneLevel;
    // FILE: a PCM WAV file of 8 or 16 bits, mono or stereo, at any rate; it is
    // read whole at waveInOpen (which fails with MMSYSERR_ERROR when it cannot
    // be) and converted to the format opened (channels mixed or copied, rate
    // by linear interpolation).
    const char* path;
} SvWaveInputSource;

// Sets the source for the virtual input devices opened from now on; null
// hands the choice back to the environment variable SONAVEX_WAVE_INPUT:
// "silence", "tone" (1000 Hz at half scale), "tone:HZ", or a WAV file's path.
// Without either, the virtual input records silence.
SVWIN_API void SvWaveVirtualSetInput(const SvWaveInputSource* source);

// What a WAV file is as a FILE source, for a host that checks it before
// recording from it.
typedef struct SvWaveInputFileInfo {
    WORD nChannels;
    DWORD nSamplesPerSec;
    WORD wBitsPerSample;
    DWORD dwFrames;          // sample frames the file holds, which are looped
    DWORD dwFramesPromised;  // what its data chunk's size stands for: more
                             // than dwFrames when the file was cut short
} SvWaveInputFileInfo;

// TRUE when the virtual input device can record from the WAV file at `path`:
// PCM of 8 or 16 bits, mono or stereo, at 1000 to 384000 Hz, with at least
// one sample frame and at most 10 minutes of them; then *info (unless null)
// describes it. FALSE otherwise, with the reason, without the file's name,
// in `why` (cut to `size` - 1 bytes and NUL-terminated; may be null when
// `size` is 0). waveInOpen takes and refuses the same files.
SVWIN_API BOOL SvWaveVirtualCheckInputFile(const char* path, SvWaveInputFileInfo* info, char* why, UINT size);

// ---- Test device ----------------------------------------------------------
// Moves only when the test steps it. While it is the default device, every
// waveOut and waveIn call and every callback is recorded (see SvWaveCall),
// whatever the handle, and what test devices play is kept in one output log.
// Test input devices record the samples the test feeds them, in order.

// Faults apply to output and input devices alike, except where marked.
typedef struct SvWaveTestFaults {
    // Non-zero: waveOutOpen / waveInOpen fails with this result and opens
    // nothing.
    MMRESULT mmrOpen;
    // Prepare calls (waveOutPrepareHeader, waveInPrepareHeader) number
    // nPrepareFailAt (1-based, counted per open handle, every call with valid
    // arguments) up to nPrepareFailAt + nPrepareFailCount - 1 return
    // mmrPrepare and change nothing. nPrepareFailAt 0: none fail;
    // nPrepareFailCount 0 counts as 1.
    UINT nPrepareFailAt;
    UINT nPrepareFailCount;
    MMRESULT mmrPrepare;
    // TRUE: waveOutClose / waveInClose closes the device but WOM_CLOSE /
    // WIM_CLOSE never comes.
    BOOL bNoCloseNotice;
    // Output only. Non-zero: waveOutGetVolume and waveOutSetVolume fail with
    // this result.
    MMRESULT mmrVolume;
    // Output only. The first nCompleteOnWrite waveOutWrite calls made on the
    // handle (other
    // than from its own callbacks) return only once the device has played
    // the buffers queued up to the one written and their WOM_DONE callbacks
    // have returned: a device quicker than the application that feeds it.
    UINT nCompleteOnWrite;
    // Non-zero: the nThrowAt-th waveOut or waveIn call (1-based) whose kind
    // is nThrowCall (an SV_WAVE_CALL_* value, never SV_WAVE_CALLBACK),
    // counted over every handle from the SvWaveTestSetFaults that set it,
    // does its work, is recorded, and then throws a C++ exception instead of
    // returning: a platform layer that fails where no result code can say
    // so. Unlike the faults above it applies to the calls made from then on,
    // also on handles already open, while the test device is the default.
    int nThrowCall;
    UINT nThrowAt;
    // Non-zero: every waveOutWrite / waveInAddBuffer fails with this result
    // and queues nothing.
    MMRESULT mmrWrite;
    // Input only. Non-zero: waveInStart fails with this result and records
    // nothing.
    MMRESULT mmrStart;
    // Non-zero: the first call of this kind (an SV_WAVE_CALL_* value) that a
    // callback on the device thread makes on its own handle is held just
    // before it is carried out, as a driver thread may be pre-empted there,
    // until a reset of the handle lets it go (SvWaveTestWaitHeld tells when it
    // is held). Lenient, the reset (and a stop or close) lets it go first and
    // waits for it, as for any running callback. Strict, the reset first takes
    // back every queued buffer, then lets the callback go and returns once it
    // has returned: whatever the callback queues lands after the reset. A
    // strict close lets it go once the handle is closed. Held at most 5 s.
    int nHoldCall;
    // TRUE: waveOutClose / waveInClose answer WAVERR_STILLPLAYING and close
    // nothing, however often they are called: a driver that never lets go
    // of a buffer.
    BOOL bCloseRefused;
    // TRUE: the device's first transfer (output) or recording (input) never
    // returns, not for a reset nor a close, until SvWaveTestReleaseDevices: a
    // sound server that has stopped answering. waveOutClose / waveInClose
    // still return, within their bound, and abandon the device.
    BOOL bHangDevice;
} SvWaveTestFaults;

// Faults for the test devices opened from now on; null clears them.
SVWIN_API void SvWaveTestSetFaults(const SvWaveTestFaults* faults);
// Clears the faults, the call record, the output log and the input feed.
SVWIN_API void SvWaveTestReset(void);

// Lets every hung device call (bHangDevice) return, then waits up to 5 s
// until the device threads that closes abandoned have ended and let go of
// their streams. TRUE when none is left.
SVWIN_API BOOL SvWaveTestReleaseDevices(void);

// Completes the next `count` queued buffers of a test device one at a time:
// each WOM_DONE is delivered on the device's own thread, and the call returns
// once the callback for the last of them has returned. Stops early when the
// queue is empty. Returns how many buffers were completed; 0 for a handle that
// is not an open test device, or when called from that device's callback.
// Every wait inside is bounded (5 s per buffer).
SVWIN_API UINT SvWaveTestStep(HWAVEOUT hwo, UINT count);
// Headers queued on an open handle (any device); 0 when not open.
SVWIN_API UINT SvWaveTestQueued(HWAVEOUT hwo);
// Waits at most `milliseconds` for a callback held by nHoldCall (above);
// TRUE when one is held.
SVWIN_API BOOL SvWaveTestWaitHeld(DWORD milliseconds);
// The handle of the test device opened last, whether or not still open.
SVWIN_API HWAVEOUT SvWaveTestLatestHandle(void);

// Input. The test input devices record, in order, the bytes fed here (in the
// format each was opened with); once the feed is used up they record zeros.
SVWIN_API void SvWaveTestFeedInput(const BYTE* data, DWORD bytes);
// Bytes fed and not yet recorded.
SVWIN_API DWORD SvWaveTestInputLeft(void);
// Records the next `bytes` bytes (rounded down to whole sample frames) on a
// test input device, into the buffers queued on it, in order. Each buffer
// that becomes full is returned with WIM_DATA on the device's own thread; the
// call returns once the device has recorded them all and the callbacks of the
// buffers they filled have returned. Stops early when no buffer is queued or
// recording is stopped. Returns the bytes recorded; 0 for a handle that is
// not an open test input device, or when called from that device's callback.
// Every wait inside is bounded (5 s per buffer).
SVWIN_API DWORD SvWaveTestRecord(HWAVEIN hwi, DWORD bytes);
// Headers queued on an open input handle (any device); 0 when not open.
SVWIN_API UINT SvWaveTestQueuedIn(HWAVEIN hwi);
// The handle of the test input device opened last, whether or not still open.
SVWIN_API HWAVEIN SvWaveTestLatestInHandle(void);

// The output log: the bytes every test device completed, in order, after
// volume. Copies up to `max` bytes from `offset`; returns the number copied.
SVWIN_API DWORD SvWaveTestReadOutput(DWORD offset, BYTE* dst, DWORD max);
SVWIN_API DWORD SvWaveTestOutputSize(void);

// The call record.
enum {
    SV_WAVE_CALL_OPEN = 1,
    SV_WAVE_CALL_CLOSE,
    SV_WAVE_CALL_PREPARE,
    SV_WAVE_CALL_UNPREPARE,
    SV_WAVE_CALL_WRITE,
    SV_WAVE_CALL_RESET,
    SV_WAVE_CALL_GETVOLUME,
    SV_WAVE_CALL_SETVOLUME,
    SV_WAVE_CALL_GETPOSITION,
    // A callback the stand-in made; uArg is the message, pwh parameter 1.
    SV_WAVE_CALLBACK,
    // The waveIn calls; their handle is in hwi.
    SV_WAVE_CALL_IN_OPEN,
    SV_WAVE_CALL_IN_CLOSE,
    SV_WAVE_CALL_IN_PREPARE,
    SV_WAVE_CALL_IN_UNPREPARE,
    SV_WAVE_CALL_IN_ADDBUFFER,
    SV_WAVE_CALL_IN_START,
    SV_WAVE_CALL_IN_STOP,
    SV_WAVE_CALL_IN_RESET
};

// One entry. Calls are recorded as they return (so the callbacks a call makes
// come before it), callbacks as they start.
typedef struct SvWaveCall {
    int nCall;              // SV_WAVE_CALL_* or SV_WAVE_CALLBACK
    HWAVEOUT hwo;           // output: the handle given (open: the handle made, or null)
    HWAVEIN hwi;            // input calls and their callbacks: the same
    LPWAVEHDR pwh;          // header argument, or the callback's parameter 1
    UINT uArg;              // cbwh; open: device id; callback: message
    DWORD dwArg;            // volume given or returned; open: fdwOpen
    DWORD_PTR dwCallback;   // open only
    DWORD_PTR dwInstance;   // open and callbacks
    WAVEFORMATEX wfx;       // open only
    MMRESULT mmr;           // the result (0 for callbacks)
    BOOL bDeviceThread;     // made on a device thread of the stand-in
} SvWaveCall;

SVWIN_API UINT SvWaveTestCallCount(void);
// Copies entry `index`; FALSE when there is none.
SVWIN_API BOOL SvWaveTestGetCall(UINT index, SvWaveCall* call);
// TRUE when the record filled up (1 << 18 entries) and later calls were lost.
SVWIN_API BOOL SvWaveTestCallsLost(void);

#ifdef __cplusplus
#include <string>
#include <vector>

inline std::vector<SvWaveCall> SvWaveTestCalls()
{
    std::vector<SvWaveCall> calls(SvWaveTestCallCount());
    UINT n = 0;
    for (; n < calls.size() && SvWaveTestGetCall(n, &calls[n]); ++n) {
    }
    calls.resize(n);
    return calls;
}

inline std::string SvWaveVirtualRecordErrorText()
{
    char text[512];
    return SvWaveVirtualRecordError(text, sizeof text) > 0 ? std::string(text) : std::string();
}

inline std::vector<BYTE> SvWaveTestOutput()
{
    std::vector<BYTE> out(SvWaveTestOutputSize());
    out.resize(SvWaveTestReadOutput(0, out.data(), static_cast<DWORD>(out.size())));
    return out;
}
#endif
