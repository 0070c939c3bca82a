# The Windows package: bin/ holds the three DLLs and the player (a host copies
# the DLLs into its own folder and needs nothing else), lib/ the import
# libraries and a .def of each DLL, include/ the public header (and the codec
# DLLs' headers), doc/ the licence of the code AmrDll.dll is built from.
# `cmake --install` lays out this tree; `cpack -G ZIP` zips it.
install(TARGETS Sonavex
  RUNTIME DESTINATION bin COMPONENT runtime
  ARCHIVE DESTINATION lib COMPONENT development
  PUBLIC_HEADER DESTINATION include COMPONENT development)
install(FILES ${SV_SONAVEX_DEF_FILE} DESTINATION lib RENAME Sonavex.def COMPONENT development)
# AmrDll.dll carries opencore-amr's code, and with it opencore's licence.
install(FILES ${SV_OPENCORE_AMR_LICENSE_FILE} DESTINATION doc RENAME opencore-amr-LICENSE.txt COMPONENT runtime)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SV_WINDOWS_ARCH win32)
else()
  set(SV_WINDOWS_ARCH win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sonavex)
set(CPACK_PACKAGE_VENDOR Sonavex)
set(SV_PACKAGE_FILE_NAME Sonavex-${PROJECT_VERSION}-${SV_WINDOWS_ARCH})
set(CPACK_PACKAGE_FILE_NAME ${SV_PACKAGE_FILE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
