# opencore-amrnb for the Windows build: the AMR-NB codec compiled from Debian's
# own source package of opencore-amr with the project's toolchain, as the static
# library sv::opencore_amrnb. Its public include directory gives
# <opencore-amrnb/interf_dec.h> and <opencore-amrnb/interf_enc.h>, the paths
# Debian's libopencore-amrnb-dev installs them at, so src/amrdll.cpp builds the
# same on both systems.
#
# The source tree is fetched once, at configure time, with
# `apt-get source opencore-amr` into ${CMAKE_BINARY_DIR}/_deps; later configures
# find it there. SV_OPENCORE_AMR_SOURCE_DIR names an already-unpacked tree
# instead. The sources, include directories and language are read from
# amrnb/Makefile.am as Debian's configure run evaluates it, so the archive holds
# the objects of Debian's libopencore-amrnb.
#
# Sets (cache, internal): SV_OPENCORE_AMR_DIR (the tree used),
# SV_OPENCORE_AMR_VERSION (Debian's version of it, when known) and
# SV_OPENCORE_AMR_LICENSE_FILE (its licence, for packages that ship the code).
include_guard(GLOBAL)

set(SV_OPENCORE_AMR_SOURCE_DIR "" CACHE PATH
  "An unpacked opencore-amr source tree (empty: fetch Debian's source package into the build tree)")

# Debian's build (debian/rules passes only --disable-silent-rules) leaves every
# configure option at its default: the code is compiled as C, encoder and
# decoder are on, the ARMv5 assembler and the examples are off. These are the
# automake conditionals of amrnb/Makefile.am under that run. The definitions
# configure itself adds (HAVE_STDINT_H and the like) are tested by no source
# file, so only AM_CFLAGS counts.
set(_sv_oc_cond_COMPILE_AS_C ON)
set(_sv_oc_cond_GCC_ARMV5 OFF)
set(_sv_oc_cond_AMRNB_ENCODER ON)
set(_sv_oc_cond_AMRNB_DECODER ON)
set(_sv_oc_cond_EXAMPLES OFF)

# Unpacked trees of the package in the build tree, newest version first.
function(_sv_opencore_amr_trees out)
  file(GLOB makefiles "${CMAKE_BINARY_DIR}/_deps/opencore-amr-*/amrnb/Makefile.am")
  set(trees "")
  foreach(m IN LISTS makefiles)
    get_filename_component(tree "${m}" DIRECTORY)
    get_filename_component(tree "${tree}" DIRECTORY)
    list(APPEND trees "${tree}")
  endforeach()
  list(SORT trees COMPARE NATURAL ORDER DESCENDING)
  set(${out} "${trees}" PARENT_SCOPE)
endfunction()

function(_sv_opencore_amr_fail why)
  message(FATAL_ERROR
    "opencore-amr: ${why}\n"
    "AmrDll.dll is built from Debian's source package of opencore-amr. Either "
    "run scripts/setup.sh (as root: it adds a deb-src entry for Debian main and "
    "installs dpkg-dev) so that `apt-get source opencore-amr` works, or unpack "
    "the source package yourself and pass -DSV_OPENCORE_AMR_SOURCE_DIR=<tree>.")
endfunction()

# Expands the $(NAME) references in `text` from the make variables the caller
# holds as _mk_<NAME>.
function(_sv_opencore_amr_expand text out)
  foreach(round RANGE 32)
    string(REGEX MATCH "\\$\\(([A-Za-z0-9_]+)\\)" ref "${text}")
    if(NOT ref)
      set(${out} "${text}" PARENT_SCOPE)
      return()
    endif()
    set(name "${CMAKE_MATCH_1}")
    if(NOT DEFINED _mk_${name})
      message(FATAL_ERROR "opencore-amr: Makefile.am uses $(${name}), which it does not set")
    endif()
    string(REPLACE "${ref}" "${_mk_${name}}" text "${text}")
  endforeach()
  message(FATAL_ERROR "opencore-amr: Makefile.am variables nest too deep: ${text}")
endfunction()

# Evaluates the variable assignments of an automake file under the
# _sv_oc_cond_* conditionals and returns the expanded values of the variables
# named in ARGN as <out_prefix>_<NAME>. Relative file names stay relative.
function(_sv_opencore_amr_read_makefile makefile top_srcdir out_prefix)
  set(_mk_top_srcdir "${top_srcdir}")
  get_filename_component(_mk_srcdir "${makefile}" DIRECTORY)
  file(READ "${makefile}" text)
  # One logical line per physical line; no value of interest holds a ';'.
  string(REPLACE "\\\n" " " text "${text}")
  string(REPLACE ";" " " text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(stack "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "#.*$" "" line "${line}")
    string(STRIP "${line}" line)
    if(line MATCHES "^if[ \t]+(!?)([A-Za-z0-9_]+)$")
      if(NOT DEFINED _sv_oc_cond_${CMAKE_MATCH_2})
        message(FATAL_ERROR
        "opencore-amr: ${makefile} tests the unknown conditional ${CMAKE_MATCH_2}")
      endif()
      set(on 0)
      if(_sv_oc_cond_${CMAKE_MATCH_2})
        set(on 1)
      endif()
      if(CMAKE_MATCH_1)
        math(EXPR on "1 - ${on}")
      endif()
      list(APPEND stack ${on})
      continue()
    elseif(line MATCHES "^else$" OR line MATCHES "^endif$")
      list(LENGTH stack depth)
      if(depth EQUAL 0)
        message(FATAL_ERROR "opencore-amr: unbalanced '${line}' in ${makefile}")
      endif()
      list(POP_BACK stack top)
      if(line STREQUAL "else")
        math(EXPR top "1 - ${top}")
        list(APPEND stack ${top})
      endif()
      continue()
    endif()
    if("0" IN_LIST stack)
      continue()
    endif()
    if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)[ \t]*(\\+=|:=|=)[ \t]*(.*)$")
      set(name "${CMAKE_MATCH_1}")
      if(CMAKE_MATCH_2 STREQUAL "+=" AND DEFINED _mk_${name})
        set(_mk_${name} "${_mk_${name}} ${CMAKE_MATCH_3}")
      else()
        set(_mk_${name} "${CMAKE_MATCH_3}")
      endif()
    endif()
  endforeach()
  list(LENGTH stack depth)
  if(depth GREATER 0)
    message(FATAL_ERROR "opencore-amr: unterminated conditional in ${makefile}")
  endif()
  foreach(name IN LISTS ARGN)
    set(value "")
    if(DEFINED _mk_${name})
      _sv_opencore_amr_expand("${_mk_${name}}" value)
    endif()
    separate_arguments(value UNIX_COMMAND "${value}")
    set(${out_prefix}_${name} "${value}" PARENT_SCOPE)
  endforeach()
endfunction()

# ---- The source tree ----------------------------------------------------------
if(SV_OPENCORE_AMR_SOURCE_DIR)
  get_filename_component(_sv_oc_dir "${SV_OPENCORE_AMR_SOURCE_DIR}" ABSOLUTE)
  if(NOT EXISTS "${_sv_oc_dir}/amrnb/Makefile.am")
    _sv_opencore_amr_fail("SV_OPENCORE_AMR_SOURCE_DIR (${_sv_oc_dir}) is not an "
      "opencore-amr source tree (no amrnb/Makefile.am).")
  endif()
else()
  _sv_opencore_amr_trees(_sv_oc_trees)
  if(NOT _sv_oc_trees)
    find_program(SV_APT_GET apt-get)
    if(NOT SV_APT_GET)
      _sv_opencore_amr_fail("apt-get is not available to fetch the source package.")
    endif()
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/_deps")
    message(STATUS "opencore-amr: fetching Debian's source package into "
      "${CMAKE_BINARY_DIR}/_deps")
    execute_process(COMMAND ${SV_APT_GET} -q source opencore-amr
      WORKING_DIRECTORY "${CMAKE_BINARY_DIR}/_deps"
      RESULT_VARIABLE _sv_oc_rc OUTPUT_VARIABLE _sv_oc_log ERROR_VARIABLE _sv_oc_log)
    _sv_opencore_amr_trees(_sv_oc_trees)
    if(NOT _sv_oc_rc EQUAL 0 OR NOT _sv_oc_trees)
      _sv_opencore_amr_fail(
        "`apt-get source opencore-amr` failed (exit ${_sv_oc_rc}):\n${_sv_oc_log}")
    endif()
  endif()
  list(GET _sv_oc_trees 0 _sv_oc_dir)
endif()

set(_sv_oc_version "")
if(EXISTS "${_sv_oc_dir}/debian/changelog")
  file(STRINGS "${_sv_oc_dir}/debian/changelog" _sv_oc_head LIMIT_COUNT 1)
  if(_sv_oc_head MATCHES "^opencore-amr \\(([^)]+)\\)")
    set(_sv_oc_version "${CMAKE_MATCH_1}")
  endif()
endif()
set(SV_OPENCORE_AMR_DIR "${_sv_oc_dir}" CACHE INTERNAL
  "The opencore-amr source tree AmrDll is built from")
set(SV_OPENCORE_AMR_VERSION "${_sv_oc_version}" CACHE INTERNAL "Debian's version of that tree")
set(SV_OPENCORE_AMR_LICENSE_FILE "${_sv_oc_dir}/LICENSE" CACHE INTERNAL
  "The licence of opencore-amr")
message(STATUS "opencore-amr: building AMR-NB from ${_sv_oc_dir} (Debian ${_sv_oc_version})")

# ---- What amrnb/Makefile.am builds --------------------------------------------
set(_sv_oc_makefile "${_sv_oc_dir}/amrnb/Makefile.am")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_sv_oc_makefile}")
_sv_opencore_amr_read_makefile("${_sv_oc_makefile}" "${_sv_oc_dir}" _sv_oc
  libopencore_amrnb_la_SOURCES AM_CFLAGS amrnbinclude_HEADERS)

set(_sv_oc_sources "")
foreach(src IN LISTS _sv_oc_libopencore_amrnb_la_SOURCES)
  get_filename_component(src "${src}" ABSOLUTE BASE_DIR "${_sv_oc_dir}/amrnb")
  if(NOT EXISTS "${src}")
    message(FATAL_ERROR "opencore-amr: ${_sv_oc_makefile} lists ${src}, which is missing")
  endif()
  list(APPEND _sv_oc_sources "${src}")
endforeach()
if(NOT _sv_oc_sources)
  message(FATAL_ERROR "opencore-amr: no sources found in ${_sv_oc_makefile}")
endif()

# AM_CFLAGS holds include directories, definitions, and (compiled as C) the
# language and its standard; anything else is a change to look at.
set(_sv_oc_includes "")
set(_sv_oc_defines "")
set(_sv_oc_language CXX)
set(_sv_oc_c_standard "")
set(_sv_oc_operand "")
foreach(flag IN LISTS _sv_oc_AM_CFLAGS)
  if(_sv_oc_operand STREQUAL "-I" OR (NOT _sv_oc_operand AND flag MATCHES "^-I(.+)$"))
    set(dir "${flag}")
    if(NOT _sv_oc_operand)
      set(dir "${CMAKE_MATCH_1}")
    endif()
    get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${_sv_oc_dir}/amrnb")
    list(APPEND _sv_oc_includes "${dir}")
  elseif(_sv_oc_operand STREQUAL "-x")
    if(flag STREQUAL "c")
      set(_sv_oc_language C)
    elseif(NOT flag STREQUAL "c++")
      message(FATAL_ERROR "opencore-amr: Makefile.am compiles as '${flag}'")
    endif()
  elseif(flag STREQUAL "-I" OR flag STREQUAL "-x")
    set(_sv_oc_operand "${flag}")
    continue()
  elseif(flag MATCHES "^-D(.+)$")
    list(APPEND _sv_oc_defines "${CMAKE_MATCH_1}")
  elseif(flag MATCHES "^-std=(c|gnu)([0-9]+)$")
    set(_sv_oc_c_standard "${CMAKE_MATCH_2}")
  else()
    message(FATAL_ERROR
      "opencore-amr: unexpected flag '${flag}' in AM_CFLAGS of ${_sv_oc_makefile}")
  endif()
  set(_sv_oc_operand "")
endforeach()

# The installed headers, at the path Debian installs them under.
set(_sv_oc_public "${CMAKE_BINARY_DIR}/_deps/opencore-amrnb-include")
foreach(h IN LISTS _sv_oc_amrnbinclude_HEADERS)
  configure_file("${_sv_oc_dir}/amrnb/${h}" "${_sv_oc_public}/opencore-amrnb/${h}" COPYONLY)
endforeach()

add_library(sv_opencore_amrnb STATIC ${_sv_oc_sources})
add_library(sv::opencore_amrnb ALIAS sv_opencore_amrnb)
target_include_directories(sv_opencore_amrnb PRIVATE ${_sv_oc_includes})
target_include_directories(sv_opencore_amrnb SYSTEM INTERFACE "${_sv_oc_public}")
target_compile_definitions(sv_opencore_amrnb PRIVATE ${_sv_oc_defines})
if(_sv_oc_language STREQUAL "C")
  # The files are named .cpp; CMake passes -x c for the explicit language.
  set_source_files_properties(${_sv_oc_sources} TARGET_DIRECTORY sv_opencore_amrnb
    PROPERTIES LANGUAGE C)
  if(_sv_oc_c_standard)
    set_target_properties(sv_opencore_amrnb PROPERTIES
      C_STANDARD ${_sv_oc_c_standard} C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  endif()
endif()
# Outside code: its warnings are not this project's to fix, and the project's
# -Werror must not stop the build on them. The project's warning options go
# (-Wnon-virtual-dtor alone would draw a note on every C file), the rest stay.
get_target_property(_sv_oc_options sv_opencore_amrnb COMPILE_OPTIONS)
if(_sv_oc_options)
  list(FILTER _sv_oc_options EXCLUDE REGEX "^-W")
  set_property(TARGET sv_opencore_amrnb PROPERTY COMPILE_OPTIONS ${_sv_oc_options})
endif()
target_compile_options(sv_opencore_amrnb PRIVATE -w)
