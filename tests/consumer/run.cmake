# Installs the build into a scratch prefix, then builds and runs the consumer
# host against it twice: through find_package(Sonavex) and through pkg-config.
#   -DSV_BUILD_DIR -DSV_CONSUMER_SOURCE -DSV_WORK_DIR -DSV_INSTALL_LIBDIR
#   -DSV_C_COMPILER -DSV_C_COMPILER_ID [-DSV_EXPECT_PLAYER=1]
#   [-DSV_SANITIZE=...]  (a sanitized library needs a sanitized host)
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${result}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${SV_WORK_DIR}/prefix)
file(REMOVE_RECURSE ${SV_WORK_DIR})
run(${CMAKE_COMMAND} --install ${SV_BUILD_DIR} --prefix ${prefix})

set(libdir ${prefix}/${SV_INSTALL_LIBDIR})
foreach(file
    include/sonavex.h
    ${SV_INSTALL_LIBDIR}/libSonavex.so
    ${SV_INSTALL_LIBDIR}/libsvkernel.so
    ${SV_INSTALL_LIBDIR}/libsvwinmm.so
    ${SV_INSTALL_LIBDIR}/libAmrDll.so
    ${SV_INSTALL_LIBDIR}/liblib_VoiceEngine_dll.so
    ${SV_INSTALL_LIBDIR}/cmake/Sonavex/SonavexConfig.cmake
    ${SV_INSTALL_LIBDIR}/cmake/Sonavex/SonavexConfigVersion.cmake
    ${SV_INSTALL_LIBDIR}/pkgconfig/sonavex.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

if(SV_EXPECT_PLAYER AND NOT EXISTS ${prefix}/bin/sonavex-play)
  message(FATAL_ERROR "not installed: bin/sonavex-play")
endif()

set(flags "")
set(link_flags "")
if(SV_SANITIZE)
  set(flags "-fsanitize=${SV_SANITIZE}")
  list(APPEND link_flags "-fsanitize=${SV_SANITIZE}")
  # The library is C++: its checks (vptr, function type) call into the C++
  # half of the sanitizer runtime, which clang links statically into a C
  # program only when asked, and which needs the C++ runtime library itself.
  # GCC's sanitizer runtime is a shared library that brings both.
  if(SV_C_COMPILER_ID MATCHES "Clang")
    list(APPEND link_flags -fsanitize-link-c++-runtime -lstdc++)
  endif()
endif()
string(JOIN " " link_flags_text ${link_flags})
# No sound card is needed: the host's sound setting picks the virtual device.
set(ENV{SONAVEX_WAVE_DEVICE} virtual)

# find_package(Sonavex)
run(${CMAKE_COMMAND} -S ${SV_CONSUMER_SOURCE} -B ${SV_WORK_DIR}/cmake-build
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${SV_C_COMPILER} "-DCMAKE_C_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${link_flags_text}")
run(${CMAKE_COMMAND} --build ${SV_WORK_DIR}/cmake-build)
run(${SV_WORK_DIR}/cmake-build/consumer)
message(STATUS "find_package: ${run_output}")

# pkg-config
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs sonavex)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run(${SV_C_COMPILER} ${SV_CONSUMER_SOURCE}/main.c ${pc_flags} ${link_flags} -Wl,-rpath,${libdir} -o ${SV_WORK_DIR}/consumer-pc)
run(${SV_WORK_DIR}/consumer-pc)
message(STATUS "pkg-config: ${run_output}")
