# Runs sonavex-play.exe under wine on FILE and checks that it fails: a
# non-zero exit and EXPECT in what it wrote to the console.
#   -DEMULATOR -DPROGRAM -DFILE -DEXPECT
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${FILE}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 77)
  message("${out}")
  cmake_language(EXIT 77)
endif()
# The emulator hands on the program's standard error with its output.
string(FIND "${out}${err}" "${EXPECT}" at)
if(status EQUAL 0 OR at EQUAL -1)
  message(FATAL_ERROR "sonavex-play ${FILE}: exit ${status}, expected a failure saying \"${EXPECT}\"\n"
    "stdout: ${out}\nstderr: ${err}")
endif()
message(STATUS "exit ${status}: ${out}${err}")
