# The API reference (doc/html): Doxygen over the public header and the codec
# DLLs' headers, the usage example in sonavex.h as its main page. Any Doxygen
# warning fails the build. The Windows packages ship it, so there Doxygen is
# needed; off Windows the reference is built when Doxygen is found.
find_package(Doxygen QUIET)
find_program(SV_DOC_PYTHON3 python3)
if(NOT DOXYGEN_FOUND OR NOT SV_DOC_PYTHON3)
  if(WIN32)
    message(FATAL_ERROR "doxygen and python3 are needed for the package's API reference (doc/html) "
      "(Debian: apt-get install doxygen python3)")
  endif()
  message(STATUS "doxygen or python3 not found: no API reference (Debian: doxygen)")
  return()
endif()

set(SV_DOC_DIR ${CMAKE_BINARY_DIR}/doc)
set(SV_DOC_HEADERS
  ${PROJECT_SOURCE_DIR}/include/sonavex.h
  ${PROJECT_SOURCE_DIR}/platform/amrdll/include/AmrDll.h
  ${PROJECT_SOURCE_DIR}/platform/voiceengine/include/hi_voice.h)
string(REPLACE ";" " " SV_DOC_INPUT "${SV_DOC_HEADERS}")
set(SV_DOC_FILTER "${SV_DOC_PYTHON3} ${PROJECT_SOURCE_DIR}/docs/api/doxygen-filter.py")
configure_file(${PROJECT_SOURCE_DIR}/docs/api/Doxyfile.in ${SV_DOC_DIR}/Doxyfile @ONLY)
add_custom_command(OUTPUT ${SV_DOC_DIR}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E remove_directory ${SV_DOC_DIR}/html
  COMMAND ${DOXYGEN_EXECUTABLE} ${SV_DOC_DIR}/Doxyfile
  DEPENDS ${SV_DOC_HEADERS} ${PROJECT_SOURCE_DIR}/docs/api/doxygen-filter.py ${SV_DOC_DIR}/Doxyfile
  COMMENT "API reference (Doxygen)"
  VERBATIM)
add_custom_target(sv_api_docs ALL DEPENDS ${SV_DOC_DIR}/html/index.html)
if(WIN32)
  install(DIRECTORY ${SV_DOC_DIR}/html DESTINATION doc COMPONENT development)
else()
  # Where the -dev package keeps it (cmake/debian-package.cmake).
  install(DIRECTORY ${SV_DOC_DIR}/html DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libsonavex-dev COMPONENT development)
endif()
