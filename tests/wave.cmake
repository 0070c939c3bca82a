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
