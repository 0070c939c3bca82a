# The Windows package: bin/ holds the three DLLs and the player (a host copies
# the DLLs into its own folder and needs nothing else), lib/ the import
# libraries (mingw's .dll.a and Visual Studio's .lib) and a .def of each DLL,
# include/ the public header (and the codec DLLs' headers), doc/ the licences
# (Sonavex's, and that of the code AmrDll.dll is built from), lib/cmake the
# CMake package, README.txt what each file is.
# `cmake --install` lays out this tree; `cpack -G ZIP` zips it.
install(TARGETS Sonavex
  RUNTIME DESTINATION bin COMPONENT runtime
  ARCHIVE DESTINATION lib COMPONENT development
  PUBLIC_HEADER DESTINATION include COMPONENT development)
install(FILES ${SV_SONAVEX_DEF_FILE} DESTINATION lib RENAME Sonavex.def COMPONENT development)

# Import libraries in the MSVC format, for hosts built with Visual Studio.
# On 32-bit Windows the MSVC compiler asks for Sonavex's functions by their
# __stdcall names (_SV_SetPts@20), which the DLL exports plainly (SV_SetPts):
# Sonavex.lib maps the one to the other (-k), from the .def with the argument
# sizes. The codec DLLs are __cdecl (_AMR_Get_Length imports AMR_Get_Length);
# 64-bit names carry no decoration.
find_program(SV_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(NOT SV_LLVM_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found: the package's MSVC import libraries (lib/*.lib) "
    "are made with it (Debian: apt-get install llvm-14)")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(sv_lib_machine i386)
else()
  set(sv_lib_machine i386:x86-64)
endif()
set(SV_MSVC_IMPORT_LIBS)
foreach(dll Sonavex AmrDll lib_VoiceEngine_dll)
  set(lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/${dll}.lib)
  if(dll STREQUAL Sonavex)
    set(def ${SV_SONAVEX_DEF_FILE})
    set(kill -k)
    set(depends ${def})
  else()
    # Written by the DLL's link, so the DLL is what the library depends on.
    set(def ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/${dll}.def)
    set(kill)
    set(depends)
  endif()
  add_custom_command(OUTPUT ${lib}
    COMMAND ${SV_LLVM_DLLTOOL} -m ${sv_lib_machine} ${kill} -D ${dll}.dll -d ${def} -l ${lib}
    DEPENDS ${dll} ${depends}
    COMMENT "MSVC import library ${dll}.lib"
    VERBATIM)
  list(APPEND SV_MSVC_IMPORT_LIBS ${lib})
endforeach()
add_custom_target(sv_msvc_import_libs ALL DEPENDS ${SV_MSVC_IMPORT_LIBS})
install(FILES ${SV_MSVC_IMPORT_LIBS} DESTINATION lib COMPONENT development)

# AmrDll.dll carries opencore-amr's code, and with it opencore's licence,
# the same as Sonavex's own. README.txt says what each file is, with the
# version, in Windows line endings.
install(FILES ${SV_OPENCORE_AMR_LICENSE_FILE} DESTINATION doc RENAME opencore-amr-LICENSE.txt COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION doc RENAME Sonavex-LICENSE.txt COMPONENT runtime)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SV_WINDOWS_ARCH win32)
else()
  set(SV_WINDOWS_ARCH win64)
endif()
# find_package(Sonavex) for CMake consumers, as the Linux install has it. The
# version file also refuses a package of the other architecture.
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/SonavexConfig-windows.cmake.in
  ${CMAKE_BINARY_DIR}/SonavexConfig.cmake INSTALL_DESTINATION lib/cmake/Sonavex)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/SonavexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/SonavexConfig.cmake ${CMAKE_BINARY_DIR}/SonavexConfigVersion.cmake
  DESTINATION lib/cmake/Sonavex COMPONENT development)

configure_file(${PROJECT_SOURCE_DIR}/cmake/package-README.txt.in ${CMAKE_BINARY_DIR}/README.txt
  @ONLY NEWLINE_STYLE WIN32)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION . COMPONENT runtime)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sonavex)
set(CPACK_PACKAGE_VENDOR Sonavex)
set(SV_PACKAGE_FILE_NAME Sonavex-${PROJECT_VERSION}-${SV_WINDOWS_ARCH})
set(CPACK_PACKAGE_FILE_NAME ${SV_PACKAGE_FILE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
