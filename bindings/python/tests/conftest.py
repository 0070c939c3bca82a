"""What the tests share: the library under test (SONAVEX_LIBRARY, else the
usual search), the wave stand-in's controls for the virtual and the test
device, and the reference decode of an .amr file through libAmrDll.so."""

import ctypes
import os
import struct
import wave

import pytest

import sonavex

# Bytes after the header byte, by frame type (storage format).
AMR_BODY = [12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0]
DEVICE_VIRTUAL, DEVICE_TEST = 1, 3


def amr_frames(data):
    assert data.startswith(b"#!AMR\n")
    at, frames = 6, []
    while at < len(data):
        body = AMR_BODY[(data[at] >> 3) & 15]
        assert body >= 0 and at + 1 + body <= len(data), "bad frame at byte %d" % at
        frames.append(data[at:at + 1 + body])
        at += 1 + body
    return frames


@pytest.fixture(scope="session")
def lib():
    return sonavex.load(os.environ.get("SONAVEX_LIBRARY"))


@pytest.fixture(scope="session")
def wave_controls(lib):
    # The stand-in libSonavex.so already loaded (same soname, same instance).
    w = ctypes.CDLL("libsvwinmm.so.1")
    w.SvWaveVirtualSetSpeed.argtypes = [ctypes.c_double]
    w.SvWaveVirtualSetRecordPath.argtypes = [ctypes.c_char_p]
    w.SvWaveVirtualAdvance.argtypes = [ctypes.c_double]
    w.SvWaveTestFeedInput.argtypes = [ctypes.c_char_p, ctypes.c_uint32]
    w.SvWaveTestRecord.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
    w.SvWaveTestLatestInHandle.restype = ctypes.c_void_p
    yield w
    w.SvWaveSetDefaultDevice(0)


@pytest.fixture(scope="session")
def speech_amr():
    path = os.path.join(os.environ["SV_SAMPLES_DIR"], "speech.amr")
    with open(path, "rb") as f:
        return f.read()


def reference_decode(data):
    """Samples of every frame of an .amr file, decoded one by one as the
    library decodes them."""
    amr = ctypes.CDLL("libAmrDll.so.1")
    state = ctypes.c_void_p()
    assert amr.AMR_Decode_Init(ctypes.byref(state)) == 0
    pcm = ctypes.create_string_buffer(320)
    samples = []
    for frame in amr_frames(data):
        assert amr.AMR_Decode_Frame(state, frame, pcm, 0) == 0
        samples.extend(struct.unpack("<160h", pcm.raw))
    amr.AMR_Decode_Exit(ctypes.byref(state))
    return samples


def wav_samples(path):
    with wave.open(path, "rb") as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 8000)
        raw = w.readframes(w.getnframes())
    return list(struct.unpack("<%dh" % (len(raw) // 2), raw))


def assert_played_after_silence(played, reference):
    """The whole reference was played, after nothing but the device's silence."""
    first_played = next(i for i, s in enumerate(played) if s != 0)
    first_ref = next(i for i, s in enumerate(reference) if s != 0)
    start = first_played - first_ref
    assert start >= 0 and start + len(reference) <= len(played), \
        "stream not found whole: starts at %d, %d samples played" % (start, len(played))
    for i, expected in enumerate(reference):
        assert played[start + i] == expected, "sample %d of the stream" % i
