# The Debian packages: made with cpack, checked by lintian (no error may
# remain), unpacked, and used: the consumer project built against the
# unpacked -dev package through find_package(Sonavex) and run, and the
# unpacked player playing a file.
#   -DBUILD_DIR -DWORK_DIR -DCONSUMER_SOURCE -DSAMPLE -DC_COMPILER
cmake_minimum_required(VERSION 3.25)

function(run out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${result}): ${command}\n${text}\n${err}")
  endif()
  set(${out} "${text}${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(_ cpack -G DEB -B ${WORK_DIR}/cpack --config ${BUILD_DIR}/CPackConfig.cmake)
set(debs)
foreach(package libsonavex1 libsonavex-dev sonavex-tools)
  file(GLOB deb ${WORK_DIR}/cpack/${package}_*.deb)
  if(NOT deb)
    message(FATAL_ERROR "cpack made no ${package} package in ${WORK_DIR}/cpack")
  endif()
  list(APPEND debs ${deb})
endforeach()

find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND ${LINTIAN} --fail-on error --tag-display-limit 0 ${debs}
    RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE _)
  string(REGEX MATCHALL "(^|\n)E: [^\n]+" errors "${report}")
  string(REGEX MATCHALL "(^|\n)W: [^\n]+" warnings "${report}")
  list(LENGTH errors n_errors)
  list(LENGTH warnings n_warnings)
  message(STATUS "lintian: ${n_errors} errors, ${n_warnings} warnings\n${report}")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "lintian finds errors in the packages")
  endif()
else()
  message(STATUS "SKIPPED: lintian: not installed (Debian: lintian); the packages are still used below")
endif()

set(root ${WORK_DIR}/root)
foreach(deb ${debs})
  run(_ dpkg-deb -x ${deb} ${root})
endforeach()

set(ENV{SONAVEX_WAVE_DEVICE} virtual)
run(_ ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${root}/usr
  -DCMAKE_C_COMPILER=${C_COMPILER})
run(_ ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(out ${WORK_DIR}/consumer/consumer)
message(STATUS "consumer of the unpacked -dev package: ${out}")
run(out ${root}/usr/bin/sonavex-play --file --out ${WORK_DIR}/played.wav --speed 0 ${SAMPLE})
file(SIZE ${WORK_DIR}/played.wav size)
if(size LESS 100000)
  message(FATAL_ERROR "the unpacked player recorded only ${size} bytes of ${SAMPLE}")
endif()
message(STATUS "the unpacked sonavex-play played ${SAMPLE}: ${size} bytes recorded")
