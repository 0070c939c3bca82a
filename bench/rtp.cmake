# The RTP receive path per packet beside the bare SV_InputAudioBuffer call
# (rtp/, Linux build).
if(TARGET svrtp)
  sv_add_bench(bench_rtp SOURCES bench_rtp.cpp LIBS svrtp Sonavex svwinmm AmrDll)
  target_include_directories(bench_rtp PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
# Many live streams over RTP in real time (bench/rtp_streams.cpp): a plain
# program of S seconds (default 64 streams for 60 s), not a benchmark; it
# exits non-zero when a stream runs dry or a frame does not make it through.
if(TARGET svrtp AND TARGET svtool_net AND TARGET svtool_common)
  add_executable(rtp_streams rtp_streams.cpp)
  target_link_libraries(rtp_streams PRIVATE svrtp svtool_net svtool_common Sonavex svwinmm AmrDll pthread)
  target_include_directories(rtp_streams PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
