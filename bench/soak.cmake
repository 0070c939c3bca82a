# The soak run (bench/soak.cpp): a plain program, not a benchmark, of M minutes
# (default 64 streams for 10 minutes); it exits non-zero when the live heap,
# the threads or the descriptors grow after its warm-up.
if(TARGET svtool_common)
  add_executable(soak soak.cpp)
  target_link_libraries(soak PRIVATE Sonavex svtool_common svwinmm AmrDll lib_VoiceEngine_dll pthread)
  target_include_directories(soak PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
