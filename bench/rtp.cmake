# The RTP receive path per packet beside the bare SV_InputAudioBuffer call
# (tools/rtp, Linux build).
if(TARGET svrtp)
  sv_add_bench(bench_rtp SOURCES bench_rtp.cpp LIBS svrtp Sonavex svwinmm AmrDll)
  target_include_directories(bench_rtp PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
