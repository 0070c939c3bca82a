sv_add_bench(bench_wave SOURCES bench_wave.cpp LIBS sonavex_core)
