"""The Python bindings over the Linux libSonavex.so: a file played on the
virtual device against its reference decode, the null and closed handle
rules, the clear errors, and capture through the test input device."""

import ctypes
import os
import struct

import pytest

import sonavex
from conftest import (DEVICE_TEST, DEVICE_VIRTUAL, amr_frames, assert_played_after_silence,
                      reference_decode, wav_samples)


def test_an_amr_file_plays_sample_for_sample(lib, wave_controls, speech_amr, tmp_path):
    out = str(tmp_path / "played.wav")
    wave_controls.SvWaveSetDefaultDevice(DEVICE_VIRTUAL)
    wave_controls.SvWaveVirtualSetRecordPath(out.encode())
    wave_controls.SvWaveVirtualSetHostClock(1)
    try:
        with sonavex.Decoder(sonavex.PREBUFFER_8, live=False) as dec:
            for i, frame in enumerate(amr_frames(speech_amr)):
                assert dec.input(frame, sonavex.PAYLOAD_AMR, pts=(i + 1) * 20)
                wave_controls.SvWaveVirtualAdvance(20.0)
            while dec.frames > 0:
                wave_controls.SvWaveVirtualAdvance(20.0)
            wave_controls.SvWaveVirtualAdvance(500.0)  # the device's own queue
    finally:
        wave_controls.SvWaveVirtualSetHostClock(0)
        wave_controls.SvWaveVirtualSetRecordPath(None)
    assert_played_after_silence(wav_samples(out), reference_decode(speech_amr))


def test_null_handles_get_the_fixed_answers(lib):
    raw = lib.raw
    pts, nxt = ctypes.c_int64(7), ctypes.c_int64(7)
    length = ctypes.c_uint32(4)
    answers = [
        (raw.SV_CloseSonavex(None), 0),
        (raw.SV_InputAudioBuffer(None, b"\0", 1, sonavex.PAYLOAD_AMR, 1, 1), sonavex.FAILED),
        (raw.SV_ClearAudioFrames(None, 0, 1, 0, None, None), sonavex.E_NULL_HANDLE),
        (raw.SV_AudioDecClear(None), 0),
        (raw.SV_SetMuteAudio(None, 1), 0),
        (raw.SV_StopFileAudio(None, sonavex.STOP_NOW), 0),
        (raw.SV_AudioDecSetVolume(None, 0xFFFF), 0),
        (raw.SV_AudioDecGetVolume(None), 0),
        (raw.SV_AudioDecGetFrames(None), sonavex.FAILED),
        (raw.SV_CloseAudioCapture(None), 0),
        (raw.SV_ReadAudioBuffer(None, ctypes.create_string_buffer(4), ctypes.byref(length), 0), 0),
        (raw.SV_AudioCapClear(None), 0),
    ]
    assert [got for got, _ in answers] == [want for _, want in answers]
    raw.SV_GetPts(None, ctypes.byref(pts), ctypes.byref(nxt))
    assert (pts.value, nxt.value, length.value) == (7, 7, 4)


def test_a_closed_object_raises_and_reaches_no_handle(lib, wave_controls):
    wave_controls.SvWaveSetDefaultDevice(DEVICE_VIRTUAL)
    dec = sonavex.Decoder(sonavex.PREBUFFER_8, live=False)
    dec.close()
    dec.close()
    assert dec.closed
    for call in (lambda: dec.input(b"\0"), dec.get_pts, lambda: dec.frames, dec.clear,
                 lambda: dec.clear_frames(0, 0, 1)):
        with pytest.raises(sonavex.ClosedError, match="Decoder is closed"):
            call()


@pytest.mark.parametrize("clear_type, mode, error", [
    (5, 0, sonavex.BadTypeError),
    (1, 0, sonavex.BadModeError),
    (sonavex.CLEAR_BY_COUNT, 7, sonavex.BadModeError),
])
def test_clear_errors_raise_their_class(lib, wave_controls, clear_type, mode, error):
    wave_controls.SvWaveSetDefaultDevice(DEVICE_VIRTUAL)
    with sonavex.Decoder(live=False) as dec:
        with pytest.raises(error) as caught:
            dec.clear_frames(clear_type, mode, 1)
        assert caught.value.code == {sonavex.BadTypeError: sonavex.E_BAD_TYPE,
                                     sonavex.BadModeError: sonavex.E_BAD_MODE}[error]
        assert dec.clear_frames(sonavex.CLEAR_BY_COUNT, sonavex.CLEAR_KEEP_NEWEST, 0) == (0, 0)


def test_capture_reads_what_the_test_input_recorded(lib, wave_controls):
    wave_controls.SvWaveSetDefaultDevice(DEVICE_TEST)
    wave_controls.SvWaveTestReset()
    ramp = struct.pack("<%dh" % (160 * 12), *[(i * 37) % 30000 - 15000 for i in range(160 * 12)])
    wave_controls.SvWaveTestFeedInput(ramp, len(ramp))
    try:
        with sonavex.Capture() as cap, sonavex.Capture() as again:
            assert again._h() == cap._h()
            wave_controls.SvWaveTestRecord(wave_controls.SvWaveTestLatestInHandle(), len(ramp))
            got = b"".join(iter(cap.read, None))
    finally:
        wave_controls.SvWaveSetDefaultDevice(0)
    assert len(got) >= 4 * 320 and ramp.startswith(got)


def test_a_missing_library_names_the_path_tried(tmp_path):
    missing = str(tmp_path / "libSonavex.so")
    with pytest.raises(sonavex.LibraryNotFoundError, match=missing.replace(".", r"\.")):
        sonavex.Library(missing)
