/*
 * Sonavex: stream audio for video-recorder clients.
 *
 * Playback: open a decoder with SV_OpenSonavex, hand it compressed frames with
 * SV_InputAudioBuffer as they arrive from a recorder (live) or a recorded file,
 * each with a 64-bit time stamp of your choosing. The library decodes them to
 * 16-bit mono PCM at 8000 Hz, queues them and plays the queue on the default
 * output device at real-time pace. SV_GetPts tells which frame is playing.
 *
 * Capture: SV_OpenAudioCapture opens the one shared capture object, which keeps
 * the default input device recording; every open is matched by one
 * SV_CloseAudioCapture.
 *
 * In short (error handling trimmed):
 *
 *     SV_DECODER dec = SV_OpenSonavex(SV_PREBUFFER_8, SV_LIVE_STREAM);
 *     if (dec != NULL) {
 *         int64_t playing = 0, next = 0;
 *         ... for each AMR frame that arrives, with its time stamp pts:
 *         SV_InputAudioBuffer(dec, frame, frameLength, SV_PAYLOAD_AMR, pts, 1);
 *         ... whenever the host wants to know what is audible:
 *         SV_GetPts(dec, &playing, &next);   (playing: the stamp now heard)
 *         SV_CloseSonavex(dec);
 *     }
 *
 *     SV_CAPTURE cap = SV_OpenAudioCapture();
 *     if (cap != NULL) {
 *         uint8_t pcm[SV_AMR_FRAME_BYTES];
 *         uint32_t length;
 *         ... about every 20 ms:
 *         length = sizeof pcm;
 *         if (SV_ReadAudioBuffer(cap, pcm, &length, 0) == 1)
 *             ... use the length bytes of 16-bit PCM in pcm ...
 *         SV_CloseAudioCapture(cap);
 *     }
 *
 * Handles are opaque. The library checks them only for NULL: pass nothing but
 * what an open returned, and never a handle after its close.
 *
 * Threads: any host thread may call any function, also while other calls on
 * the same decoder run, with two exceptions: calls on one decoder must not
 * overlap with that decoder's SV_CloseSonavex, and one decoder is fed
 * (SV_InputAudioBuffer) from one thread at a time. Different decoders are
 * independent. On the capture object, opens and closes are serialised by the
 * library; a read or clear must not overlap with the close that ends the
 * object. Playback and recording run on the devices' own threads; the library
 * starts no thread of its own.
 *
 * Results: 1 means done and 0 means not done (or a NULL handle), unless a
 * function says otherwise. Only SV_ClearAudioFrames returns SV_E_* codes.
 *
 * Unloading: close every decoder and the capture object before the library is
 * unloaded (FreeLibrary). Their devices call back into the library until
 * their close has returned, and the library does not close what the host
 * left open.
 *
 * The devices' callbacks call the wave API themselves (a played buffer is
 * prepared and written again from its WOM_DONE, a recorded one added again
 * from its WIM_DATA), which Windows' documentation advises against; see
 * docs/architecture.md for why, and for what a driver that deadlocked on it
 * would need.
 *
 * The diagnostic log: a failure caught inside the library writes one line to
 * the day's file "SonavexLog_YYYYMMDD.txt", whose path is the library's own
 * path less its last nine characters. With the module named Sonavex.dll the
 * file lies beside it, named "So" + "SonavexLog_..."; a module renamed to
 * fewer than nine characters (say "sv.dll") loses the end of its folder's
 * name as well, so its log lands in the parent folder under a name that
 * begins with what was left of that folder's name.
 */
#ifndef SONAVEX_H
#define SONAVEX_H

#include <stdint.h>

/* Calling convention of every function: __stdcall on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define SV_CALL __stdcall
#else
#define SV_CALL
#endif

#if defined(_WIN32)
#if defined(SONAVEX_BUILD)
#define SV_API /* the export table is Sonavex.def */
#else
#define SV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define SV_API __attribute__((visibility("default")))
#else
#define SV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version; SV_VERSION_STRING spells the three numbers. */
#define SV_VERSION_MAJOR 1
#define SV_VERSION_MINOR 0
#define SV_VERSION_PATCH 0
#define SV_VERSION_STRING "1.0.0"

/* The PCM format of every decoded, played and captured sample: signed 16-bit
 * little-endian, one channel, at SV_SAMPLE_RATE samples per second. */
#define SV_SAMPLE_RATE 8000
#define SV_BITS_PER_SAMPLE 16
/* PCM bytes one AMR frame decodes to (160 samples, 20 ms); a captured frame
 * is as long. */
#define SV_AMR_FRAME_BYTES 320
/* Bytes of one output device buffer (40 ms): each time the device finishes
 * one it is refilled with the next queued frames. */
#define SV_DEVICE_BUFFER_BYTES 640

/* A playback stream (one decoder object). */
typedef struct SV_DECODER_* SV_DECODER;
/* The shared capture object. */
typedef struct SV_CAPTURE_* SV_CAPTURE;

/* Results of SV_ClearAudioFrames. */
#define SV_OK 0x00000000u
#define SV_E_NULL_HANDLE 0x80060001u     /* the handle is NULL */
#define SV_E_NO_FRAME_BUFFER 0x80FF0000u /* the decoder has no frame queue */
#define SV_E_BAD_MODE 0x80F0000Eu        /* mode not valid for type, or type 1 */
#define SV_E_BAD_TYPE 0x80F00002u        /* type is not 0, 1 or 2 */

/* SV_InputAudioBuffer and SV_AudioDecGetFrames answer a NULL handle (and
 * SV_InputAudioBuffer a decode that failed inside the library) with this. */
#define SV_FAILED (-1)

/* SV_OpenSonavex mode: how many frames a live stream gathers before it starts. */
#define SV_PREBUFFER_8 0
#define SV_PREBUFFER_20 1
/* SV_OpenSonavex live. */
#define SV_FILE_PLAYBACK 0
#define SV_LIVE_STREAM 1

/* Payload types of SV_InputAudioBuffer. */
#define SV_PAYLOAD_AMR 1     /* one AMR-NB frame, storage format: header byte first */
#define SV_PAYLOAD_VOICE 2   /* one voice-engine frame */
#define SV_PAYLOAD_VOICE_B 3 /* the same codec; same decoder state as type 2 */
#define SV_PAYLOAD_IGNORE 4  /* accepted and discarded */

/* SV_ClearAudioFrames type and mode. */
#define SV_CLEAR_BY_COUNT 0     /* type: count is a number of frames */
#define SV_CLEAR_BY_TIME 2      /* type: count is a span of time stamps, in thousands */
#define SV_CLEAR_OLDEST 0       /* by count: drop up to count oldest frames, keep one */
#define SV_CLEAR_KEEP_NEWEST 1  /* by count: drop until count frames remain */
#define SV_CLEAR_FROM_PLAYING 0 /* by time: measure from the frame now playing */
#define SV_CLEAR_FROM_INPUT 1   /* by time: measure from the last frame input */

/* SV_StopFileAudio stop. */
#define SV_STOP_OFF 0
#define SV_STOP_DRAIN 1 /* silence, and drain the queue down to 18 frames (below) */
#define SV_STOP_NOW 2   /* silence, and drop the whole queue at the next buffer */

/* ---- Playback ---------------------------------------------------------- */

/* Opens a decoder and starts the default output device (it plays silence
 * until frames arrive). mode: SV_PREBUFFER_8 or SV_PREBUFFER_20 (a live stream
 * waits once for that many frames before it starts). live: SV_LIVE_STREAM
 * (pre-buffer, and a cut of 60 frames when the queue runs far ahead) or
 * SV_FILE_PLAYBACK (no pre-buffer; SV_StopFileAudio applies).
 * Returns the handle, or NULL when the device or memory could not be had. */
SV_API SV_DECODER SV_CALL SV_OpenSonavex(int32_t mode, int32_t live);

/* Stops the device and frees the decoder; when it returns no more audio plays
 * and the handle is gone. May wait up to 2 seconds for the device to let go
 * (a device whose callback is still running as the close begins can make it
 * wait longer, never more than about 12 seconds); a device that still holds
 * a buffer after that keeps the memory it uses (it is left allocated rather
 * than freed under the device). Returns 1, or 0 for a NULL handle. */
SV_API int32_t SV_CALL SV_CloseSonavex(SV_DECODER handle);

/* Hands one compressed frame to the decoder. data/length: the payload bytes;
 * type: SV_PAYLOAD_*; pts: the frame's time stamp, any 64-bit value (it is
 * reported back by SV_GetPts while the frame plays); store: 1 normally (0
 * queues the frame's time and length but not its samples: it plays as
 * silence).
 * Returns 1 when the frame reached the decoder, whether or not it decoded
 * (payloads of unknown type and undecodable frames are dropped silently);
 * SV_FAILED for a NULL handle or a failure inside the library.
 * A NULL data with a positive length, or a negative length, is refused
 * without a byte read, for every type, and answered 1 like any payload that
 * reached the decoder. The library reads exactly the bytes the payload's own
 * format calls for, within length; a non-NULL pointer to memory that does not
 * hold length bytes can still fault, and nothing in the library can catch
 * that.
 * The queue holds at most 2500 frames (50 s of AMR). Beyond that frames are
 * dropped while this function still returns 1, and a file stream whose queue
 * is full throws the whole queue away at the next device buffer; any stream
 * whose queue stays more than 20 frames past its pre-buffer for 1000 frames
 * taken in a row (20 s of AMR) is cut back to the pre-buffer, live and file
 * alike. A host that feeds faster
 * than real time, as file playback may, throttles on SV_AudioDecGetFrames:
 * keep it below the pre-buffer plus 20. */
SV_API int32_t SV_CALL SV_InputAudioBuffer(SV_DECODER handle, const uint8_t* data, int32_t length,
                                           int32_t type, int64_t pts, uint8_t store);

/* Time stamp of the frame now playing (the last one the device took) into
 * *pts, and of the frame that was queued behind it then into *nextPts; either
 * pointer may be NULL. The device took that frame into the buffer it queues
 * behind the nine still queued, so with the device's queue full it is heard
 * about nine buffers (360 ms) after it is first reported here: measured 359 ms
 * on the stand-in's real-time virtual device and 9 buffers under wine's winmm.
 * A host that keeps video in step with the sound shows the frame reported
 * here about 360 ms later. Both are recorded as the device takes each frame: a
 * clear by count or by time leaves them as they were, so *nextPts may name a
 * frame the clear dropped; SV_AudioDecClear and the clear that empties the
 * queue set both to 0. A stamp of 0 means none: nothing playing (before the
 * first frame, once the queue has run dry) or nothing queued behind it, so a
 * frame stamped 0 cannot be told from no frame. A NULL handle writes nothing. */
SV_API void SV_CALL SV_GetPts(SV_DECODER handle, int64_t* pts, int64_t* nextPts);

/* Stores two time stamps with the decoder; the library does not use them. */
SV_API void SV_CALL SV_SetPts(SV_DECODER handle, int64_t ptsA, int64_t ptsB);

/* Drops queued frames, oldest first; a full queue (2500 frames) is cleared as
 * any other. type SV_CLEAR_BY_COUNT with mode
 * SV_CLEAR_OLDEST or SV_CLEAR_KEEP_NEWEST. type SV_CLEAR_BY_TIME drops the
 * oldest frame while more than one is queued and (stamp - reference) / 1000
 * is below count, the difference taken as an unsigned 32-bit number (its low
 * 32 bits) before the division, which rounds down. It stops at the first
 * frame outside; a frame stamped shortly before the reference counts as far
 * ahead. The reference is the playing frame's stamp (mode
 * SV_CLEAR_FROM_PLAYING; 0 when nothing plays) or the pts of the last
 * SV_InputAudioBuffer call, whatever its type (mode SV_CLEAR_FROM_INPUT).
 * mode SV_CLEAR_KEEP_NEWEST with count 0 empties the queue whatever the type.
 * On SV_OK writes the playing frame's stamp to *pts and the new oldest queued
 * frame's (or 0) to *nextPts; either may be NULL. Only the emptying clear
 * changes what SV_GetPts reports (see there).
 * Returns SV_OK or an SV_E_* code. */
SV_API uint32_t SV_CALL SV_ClearAudioFrames(SV_DECODER handle, int32_t type, int32_t mode,
                                            uint32_t count, int64_t* pts, int64_t* nextPts);

/* Empties the queue; codec state and pre-buffer state carry over. What the
 * device already holds (up to 400 ms) plays out, then silence until new
 * frames come: the emptying SV_ClearAudioFrames and SV_StopFileAudio do the
 * same. (A queue that runs dry by itself instead replays its last two device
 * buffers before silence, which hides a short gap.)
 * Returns 1, or 0 for a NULL handle. */
SV_API int32_t SV_CALL SV_AudioDecClear(SV_DECODER handle);

/* mute 1 plays silence while frames keep being consumed at their pace and
 * SV_GetPts keeps moving; any other value unmutes. Returns 1 (0: NULL handle). */
SV_API int32_t SV_CALL SV_SetMuteAudio(SV_DECODER handle, int32_t mute);

/* File playback only: SV_STOP_DRAIN or SV_STOP_NOW silences the stream and
 * drains its queue; SV_STOP_OFF plays normally again. No effect on a live
 * stream. The drain happens as the device reads: under SV_STOP_DRAIN a read
 * that finds more than 20 frames queued takes all but 19 of them and then its
 * own, so 18 remain, and later reads take one frame each; under SV_STOP_NOW the
 * next read takes every frame. Frames taken this way are not played.
 * Returns 1 (0: NULL handle). */
SV_API int32_t SV_CALL SV_StopFileAudio(SV_DECODER handle, int32_t stop);

/* Output level 0x0000 (silent) to 0xFFFF (full) in the low 16 bits, applied to
 * both channels; the upper bits are ignored. A new decoder starts at full.
 * Returns 1 when the device took the level, 0 otherwise. */
SV_API int32_t SV_CALL SV_AudioDecSetVolume(SV_DECODER handle, uint32_t volume);

/* The level as the output device reports it: left channel in the low 16 bits,
 * right in the high 16. A device that has one volume control for both (as a
 * mono device may) reports it in the low 16 bits alone, and the high 16 are
 * whatever the device says (wine's winmm, for one, answers 0 there).
 * Returns 0 for a NULL handle. */
SV_API uint32_t SV_CALL SV_AudioDecGetVolume(SV_DECODER handle);

/* Number of decoded frames queued and not yet played, or SV_FAILED for a NULL
 * handle. An AMR frame is 20 ms; a voice-engine frame as long as it was made. */
SV_API int32_t SV_CALL SV_AudioDecGetFrames(SV_DECODER handle);

/* Records the recorder's network protocol version. The library keeps the
 * value and does not act on it. */
SV_API void SV_CALL SV_SetNetProtocolVersion(int32_t version);

/* ---- Capture ----------------------------------------------------------- */

/* Opens the shared capture object (the first open starts the default input
 * device; later opens share it). Returns its handle, the same for every open
 * while it lives, or NULL when the device could not be opened. Opens and
 * closes may come from any thread; the library serialises them. */
SV_API SV_CAPTURE SV_CALL SV_OpenAudioCapture(void);

/* Drops one open; the last one stops the device and frees the object (this
 * may take up to about 2 seconds while the device lets go). Returns 1, or 0 for
 * a NULL handle or a handle that is no longer open (a close after the last). */
SV_API int32_t SV_CALL SV_CloseAudioCapture(SV_CAPTURE handle);

/* Takes one captured frame into buffer: 320 bytes (20 ms) of 16-bit mono PCM
 * at 8000 Hz. *length: room in bytes on entry (a frame longer than the room is
 * cut to it), bytes delivered on return: 0 whenever nothing is delivered,
 * whatever kept it back. reserved is ignored. Returns 1 when a
 * frame was delivered, 0 when none was ready (or a NULL handle). The first
 * frame is ready once 8 have been recorded; a reader that falls more than 68
 * frames behind loses the 60 oldest. Read about every 20 ms. Must not overlap
 * with the close that ends the object. */
SV_API int32_t SV_CALL SV_ReadAudioBuffer(SV_CAPTURE handle, uint8_t* buffer, uint32_t* length,
                                          uint32_t reserved);

/* Empties the capture queue. Returns 1, or 0 for a NULL handle. */
SV_API int32_t SV_CALL SV_AudioCapClear(SV_CAPTURE handle);

#ifdef __cplusplus
}
#endif

#endif /* SONAVEX_H */
