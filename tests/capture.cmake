# Capture: wave input in the stand-in, the capture half of the wave device, the
# capture object and its exports, and the record tool.
sv_add_test(test_capture_standin SOURCES test_capture_standin.cpp LIBS svwinmm LABELS capture)
target_compile_definitions(test_capture_standin PRIVATE
  SV_ALSA_NODEVICE_CONF="${CMAKE_CURRENT_LIST_DIR}/alsa/nodevice.conf")

sv_add_test(test_capture_devices SOURCES test_capture_devices.cpp LIBS svwinmm LABELS capture)
target_compile_definitions(test_capture_devices PRIVATE
  SV_ALSA_CAPTURE_CONF="${CMAKE_CURRENT_LIST_DIR}/alsa/capture.conf")

sv_add_test(test_capture_audio SOURCES test_capture_audio.cpp LIBS sonavex_core LABELS capture)

# The capture exports compiled in beside the library's classes, to look behind
# the handle and at the count.
sv_add_test(test_capture_exports SOURCES test_capture_exports.cpp ${PROJECT_SOURCE_DIR}/api/capture_exports.cpp
  LIBS sonavex_core LABELS capture)

# One label only: sv_add_test hands LABELS to gtest_discover_tests, which
# flattens a list of them.
sv_add_test(test_capture_concurrency SOURCES test_capture_concurrency.cpp ${PROJECT_SOURCE_DIR}/api/capture_exports.cpp
  LIBS sonavex_core LABELS tsan)

if(TARGET sonavex-record)
  sv_add_test(test_capture_record_tool SOURCES test_capture_record_tool.cpp LABELS capture)
  add_dependencies(test_capture_record_tool sonavex-record)
  target_compile_definitions(test_capture_record_tool PRIVATE SV_RECORD_EXE="$<TARGET_FILE:sonavex-record>")
endif()
