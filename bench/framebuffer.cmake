sv_add_bench(bench_framebuffer SOURCES bench_framebuffer.cpp LIBS sonavex_core pthread)
