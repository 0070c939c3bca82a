# Cross-compiling for 32-bit Windows with mingw-w64, against the real Windows
# headers. The posix thread model gives the C++ runtime std::thread; the
# runtime itself is linked statically (see cmake/windows.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SV_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
