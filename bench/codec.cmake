# AMR payload decoding against opencore's decoder alone, and the voice codec
# against a plain IMA ADPCM decoder, in the same run.
sv_add_bench(bench_codec SOURCES bench_codec.cpp LIBS sonavex_core sv::opencore_amrnb)
target_include_directories(bench_codec PRIVATE ${PROJECT_SOURCE_DIR}/tests)
