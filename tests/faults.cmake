# Fault injection on every exception guard: the exports compiled in beside the
# library's classes, operator new replaced to fail, and the test device's
# thrown-call fault. Its leak checks need the address-sanitizer build.
sv_add_test(test_faults SOURCES test_faults.cpp ${PROJECT_SOURCE_DIR}/api/exports.cpp
  ${PROJECT_SOURCE_DIR}/api/capture_exports.cpp
  LIBS sonavex_core lib_VoiceEngine_dll LABELS faults)
