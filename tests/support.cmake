# The entry point lives with the exports; the test compiles it in to call it.
sv_add_test(test_support SOURCES test_support.cpp ${PROJECT_SOURCE_DIR}/api/dllmain.cpp LIBS sonavex_core LABELS support)
