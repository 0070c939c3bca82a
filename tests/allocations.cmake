# No allocation per frame once a stream runs: the exports compiled in beside the
# library's classes, and the process's allocation functions replaced to count.
sv_add_test(test_allocations SOURCES test_allocations.cpp ${PROJECT_SOURCE_DIR}/api/exports.cpp
  ${PROJECT_SOURCE_DIR}/api/capture_exports.cpp
  LIBS sonavex_core lib_VoiceEngine_dll AmrDll sv::opencore_amrnb LABELS allocations)
