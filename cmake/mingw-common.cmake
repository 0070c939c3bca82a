# The part of the two mingw-w64 toolchain files that does not depend on the
# architecture; SV_MINGW_TRIPLET names the target.
set(CMAKE_C_COMPILER ${SV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SV_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${SV_MINGW_TRIPLET}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${SV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs run under wine; scripts/wine-run.sh gives them their prefix and
# judges a run by the program's own result line.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
set(CMAKE_DLLTOOL ${SV_MINGW_TRIPLET}-dlltool)
