# Playback end to end beside the raw decoders (bench_playback), and how many
# real-time streams the machine sustains against the raw decoder's capacity
# (bench_playback_streams, a separate run of about a minute and a half).
sv_add_bench(bench_playback SOURCES bench_playback.cpp
  LIBS Sonavex svwinmm AmrDll lib_VoiceEngine_dll sv::opencore_amrnb)
target_include_directories(bench_playback PRIVATE ${PROJECT_SOURCE_DIR}/tests)
sv_add_bench(bench_playback_streams SOURCES bench_playback_streams.cpp
  LIBS Sonavex svwinmm AmrDll sv::opencore_amrnb pthread)
target_include_directories(bench_playback_streams PRIVATE ${PROJECT_SOURCE_DIR}/tests)
