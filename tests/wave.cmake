# The wave API stand-in and the wave device (CAudio).
sv_add_test(test_wave_standin SOURCES test_wave_standin.cpp LIBS svwinmm LABELS wave)
target_compile_definitions(test_wave_standin PRIVATE
  SV_ALSA_NODEVICE_CONF="${CMAKE_CURRENT_LIST_DIR}/alsa/nodevice.conf")

sv_add_test(test_wave_devices SOURCES test_wave_devices.cpp LIBS svwinmm LABELS wave)
target_compile_definitions(test_wave_devices PRIVATE
  SV_ALSA_FILE_CONF="${CMAKE_CURRENT_LIST_DIR}/alsa/asound.conf")

sv_add_test(test_wave_audio SOURCES test_wave_audio.cpp LIBS sonavex_core LABELS wave)

# One label only: sv_add_test hands LABELS to gtest_discover_tests, which
# flattens a list of them.
sv_add_test(test_wave_concurrency SOURCES test_wave_concurrency.cpp LIBS sonavex_core LABELS tsan)

# Devices that stop moving: the test device's call that never returns, and
# the ALSA device on a private PulseAudio server whose devices stall (skipped
# without pulseaudio or ALSA's pulse plugin).
if(TARGET sonavex-play AND TARGET sonavex-record AND TARGET samples)
  sv_add_test(test_device_stalls SOURCES test_device_stalls.cpp
    LIBS Sonavex svwinmm AmrDll sv::opencore_amrnb LABELS wave)
  add_dependencies(test_device_stalls sonavex-play sonavex-record samples)
  target_compile_definitions(test_device_stalls PRIVATE
    SV_PLAY_EXE="$<TARGET_FILE:sonavex-play>"
    SV_RECORD_EXE="$<TARGET_FILE:sonavex-record>"
    SV_SAMPLES_DIR="${SV_SAMPLES_DIR}"
    SV_PULSE_FIXTURE="${CMAKE_CURRENT_LIST_DIR}/pulse-fixture.sh"
    SV_ALSA_PULSE_CONF="${CMAKE_CURRENT_LIST_DIR}/alsa/pulse.conf")
endif()
