"""Sonavex from Python: the seventeen SV_ functions through ctypes.

Playback::

    import sonavex
    with sonavex.Decoder(sonavex.PREBUFFER_8, live=False) as dec:
        for pts, frame in frames:                  # AMR-NB storage-format frames
            dec.input(frame, sonavex.PAYLOAD_AMR, pts)
        playing, next_pts = dec.get_pts()

Capture::

    with sonavex.Capture() as cap:
        pcm = cap.read()                           # 320 bytes of PCM, or None

The library is found by the path given to :func:`load` (or to the objects'
``library`` argument), else by the system's usual search: ``Sonavex.dll``
on Windows, ``libSonavex.so.1`` elsewhere. A library that cannot be loaded
raises :class:`LibraryNotFoundError` naming what was tried.

Every handle is owned by its object: a closed object raises
:class:`ClosedError` instead of passing a stale pointer to the library.
"""

import ctypes
import ctypes.util
import os
import sys

__all__ = [
    "Library", "load", "Decoder", "Capture", "set_net_protocol_version",
    "SonavexError", "LibraryNotFoundError", "ClosedError", "OpenError", "ClearError",
    "NullHandleError", "NoFrameBufferError", "BadModeError", "BadTypeError",
]
__version__ = "1.0.0"

# The PCM format of every decoded, played and captured sample.
SAMPLE_RATE = 8000
BITS_PER_SAMPLE = 16
AMR_FRAME_BYTES = 320

PREBUFFER_8 = 0
PREBUFFER_20 = 1

PAYLOAD_AMR = 1
PAYLOAD_VOICE = 2
PAYLOAD_VOICE_B = 3
PAYLOAD_IGNORE = 4

CLEAR_BY_COUNT = 0
CLEAR_BY_TIME = 2
CLEAR_OLDEST = 0
CLEAR_KEEP_NEWEST = 1
CLEAR_FROM_PLAYING = 0
CLEAR_FROM_INPUT = 1

STOP_OFF = 0
STOP_DRAIN = 1
STOP_NOW = 2

OK = 0x00000000
E_NULL_HANDLE = 0x80060001
E_NO_FRAME_BUFFER = 0x80FF0000
E_BAD_MODE = 0x80F0000E
E_BAD_TYPE = 0x80F00002
FAILED = -1


class SonavexError(Exception):
    """Base of every error this package raises."""


class LibraryNotFoundError(SonavexError, OSError):
    """The shared library could not be loaded; the message names the path tried."""


class ClosedError(SonavexError):
    """A call on a decoder or capture object that is closed."""


class OpenError(SonavexError):
    """SV_OpenSonavex or SV_OpenAudioCapture returned no handle."""


class ClearError(SonavexError):
    """SV_ClearAudioFrames answered an SV_E_* code (``code``)."""

    def __init__(self, code, text):
        super().__init__("SV_ClearAudioFrames: %s (0x%08X)" % (text, code))
        self.code = code


class NullHandleError(ClearError):
    """SV_E_NULL_HANDLE: the handle is NULL."""


class NoFrameBufferError(ClearError):
    """SV_E_NO_FRAME_BUFFER: the decoder has no frame queue."""


class BadModeError(ClearError):
    """SV_E_BAD_MODE: the mode is not valid for the type, or the type is 1."""


class BadTypeError(ClearError):
    """SV_E_BAD_TYPE: the type is not 0, 1 or 2."""


_CLEAR_ERRORS = {
    E_NULL_HANDLE: (NullHandleError, "the handle is NULL"),
    E_NO_FRAME_BUFFER: (NoFrameBufferError, "the decoder has no frame queue"),
    E_BAD_MODE: (BadModeError, "mode not valid for the type, or type 1"),
    E_BAD_TYPE: (BadTypeError, "type is not 0, 1 or 2"),
}

_i32, _u32, _i64, _p = ctypes.c_int32, ctypes.c_uint32, ctypes.c_int64, ctypes.c_void_p
_pi64, _pu32, _bytes = ctypes.POINTER(_i64), ctypes.POINTER(_u32), ctypes.c_char_p

# name: (result, argument types), as include/sonavex.h declares them.
_PROTOTYPES = {
    "SV_OpenSonavex": (_p, [_i32, _i32]),
    "SV_CloseSonavex": (_i32, [_p]),
    "SV_InputAudioBuffer": (_i32, [_p, _bytes, _i32, _i32, _i64, ctypes.c_uint8]),
    "SV_GetPts": (None, [_p, _pi64, _pi64]),
    "SV_SetPts": (None, [_p, _i64, _i64]),
    "SV_ClearAudioFrames": (_u32, [_p, _i32, _i32, _u32, _pi64, _pi64]),
    "SV_AudioDecClear": (_i32, [_p]),
    "SV_SetMuteAudio": (_i32, [_p, _i32]),
    "SV_StopFileAudio": (_i32, [_p, _i32]),
    "SV_AudioDecSetVolume": (_i32, [_p, _u32]),
    "SV_AudioDecGetVolume": (_u32, [_p]),
    "SV_AudioDecGetFrames": (_i32, [_p]),
    "SV_SetNetProtocolVersion": (None, [_i32]),
    "SV_OpenAudioCapture": (_p, []),
    "SV_CloseAudioCapture": (_i32, [_p]),
    "SV_ReadAudioBuffer": (_i32, [_p, ctypes.c_char_p, _pu32, _u32]),
    "SV_AudioCapClear": (_i32, [_p]),
}


def _default_names():
    if sys.platform == "win32":
        return ["Sonavex.dll"]
    found = ctypes.util.find_library("Sonavex")
    return ["libSonavex.so.1"] + ([found] if found and found != "libSonavex.so.1" else [])


class Library:
    """The loaded library: ``raw`` holds the seventeen functions as ctypes
    declares them (NULL handles and all), for callers that want them bare."""

    def __init__(self, path=None):
        # __stdcall on 32-bit Windows (WinDLL), the C convention elsewhere.
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        tried = [os.fspath(path)] if path is not None else _default_names()
        errors = []
        for name in tried:
            try:
                self.raw = loader(name)
                break
            except OSError as e:
                errors.append("%s (%s)" % (name, e))
        else:
            raise LibraryNotFoundError("cannot load the Sonavex library: tried " + "; ".join(errors))
        self.path = name
        for fn, (result, args) in _PROTOTYPES.items():
            f = getattr(self.raw, fn)
            f.restype, f.argtypes = result, args


_default = None


def load(path=None):
    """Loads the library from ``path`` (else the usual search) and makes it
    the one that objects created without a ``library`` use. Returns it."""
    global _default
    _default = Library(path)
    return _default


def _library(lib):
    if lib is not None:
        return lib
    return _default if _default is not None else load()


def set_net_protocol_version(version, library=None):
    """Records the recorder's network protocol version (the library keeps it)."""
    _library(library).raw.SV_SetNetProtocolVersion(version)


class _Handle:
    _close_name = None

    def __init__(self, library, handle, what):
        self._lib = library
        if not handle:
            raise OpenError(what)
        self._handle = handle

    def _h(self):
        if self._handle is None:
            raise ClosedError("%s is closed" % type(self).__name__)
        return self._handle

    @property
    def closed(self):
        return self._handle is None

    def close(self):
        """Closes the object; later calls raise ClosedError. Closing twice is
        harmless."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            getattr(self._lib.raw, self._close_name)(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()


class Decoder(_Handle):
    """One playback stream (SV_OpenSonavex): decodes the frames it is given
    and plays them on the default output device."""

    _close_name = "SV_CloseSonavex"

    def __init__(self, mode=PREBUFFER_8, live=True, library=None):
        lib = _library(library)
        super().__init__(lib, lib.raw.SV_OpenSonavex(mode, 1 if live else 0),
                         "SV_OpenSonavex: no decoder (no output device, or no memory)")

    def input(self, data, payload_type=PAYLOAD_AMR, pts=0, store=True):
        """Hands one compressed frame with its 64-bit time stamp to the
        decoder. True when it reached the decoder (whether or not it decoded)."""
        data = bytes(data)
        return self._lib.raw.SV_InputAudioBuffer(self._h(), data, len(data), payload_type, pts,
                                                 1 if store else 0) == 1

    def get_pts(self):
        """(stamp of the frame now playing, stamp of the one behind it); 0 is none."""
        pts, nxt = _i64(0), _i64(0)
        self._lib.raw.SV_GetPts(self._h(), ctypes.byref(pts), ctypes.byref(nxt))
        return pts.value, nxt.value

    def set_pts(self, pts_a, pts_b):
        """Stores two time stamps with the decoder; the library does not use them."""
        self._lib.raw.SV_SetPts(self._h(), pts_a, pts_b)

    def clear_frames(self, clear_type, mode, count):
        """Drops queued frames (SV_ClearAudioFrames). Returns (playing stamp,
        new oldest queued stamp); an SV_E_* answer raises its ClearError."""
        pts, nxt = _i64(0), _i64(0)
        code = self._lib.raw.SV_ClearAudioFrames(self._h(), clear_type, mode, count, ctypes.byref(pts),
                                                 ctypes.byref(nxt))
        if code != OK:
            cls, text = _CLEAR_ERRORS.get(code, (ClearError, "unknown result"))
            raise cls(code, text)
        return pts.value, nxt.value

    def clear(self):
        """Empties the queue."""
        self._lib.raw.SV_AudioDecClear(self._h())

    def set_mute(self, mute):
        """True plays silence while the frames keep being consumed."""
        self._lib.raw.SV_SetMuteAudio(self._h(), 1 if mute else 0)

    def stop_file(self, stop):
        """File playback: STOP_DRAIN or STOP_NOW silences and drains, STOP_OFF plays again."""
        self._lib.raw.SV_StopFileAudio(self._h(), stop)

    @property
    def volume(self):
        """The device's level: left in the low 16 bits, right in the high 16."""
        return self._lib.raw.SV_AudioDecGetVolume(self._h())

    @volume.setter
    def volume(self, level):
        if self._lib.raw.SV_AudioDecSetVolume(self._h(), level & 0xFFFF) != 1:
            raise SonavexError("SV_AudioDecSetVolume: the device refused the level")

    @property
    def frames(self):
        """Decoded frames queued and not yet played."""
        return self._lib.raw.SV_AudioDecGetFrames(self._h())


class Capture(_Handle):
    """One open of the shared capture object (SV_OpenAudioCapture), which keeps
    the default input device recording while any open lasts."""

    _close_name = "SV_CloseAudioCapture"

    def __init__(self, library=None):
        lib = _library(library)
        super().__init__(lib, lib.raw.SV_OpenAudioCapture(),
                         "SV_OpenAudioCapture: no capture object (no input device)")

    def read(self, room=AMR_FRAME_BYTES):
        """One captured frame (16-bit mono PCM at 8000 Hz, at most ``room``
        bytes), or None when none is ready."""
        buffer = ctypes.create_string_buffer(room)
        length = _u32(room)
        if self._lib.raw.SV_ReadAudioBuffer(self._h(), buffer, ctypes.byref(length), 0) != 1:
            return None
        return buffer.raw[:length.value]

    def clear(self):
        """Empties the capture queue."""
        self._lib.raw.SV_AudioCapClear(self._h())
