# The playout comparison (bench/playout-compare): playout-score measures a
# receiver at its output against the relay's log; Speex's jitter buffer
# (libspeexdsp, optional) is driven inside it.
if(TARGET svrtp AND TARGET sonavex-relay)
  add_executable(playout-score playout_score.cpp)
  target_link_libraries(playout-score PRIVATE svrtp sv::opencore_amrnb)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SPEEXDSP IMPORTED_TARGET speexdsp)
  if(SPEEXDSP_FOUND)
    target_link_libraries(playout-score PRIVATE PkgConfig::SPEEXDSP)
    target_compile_definitions(playout-score PRIVATE SV_HAVE_SPEEXDSP)
  endif()
endif()
