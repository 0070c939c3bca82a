# Debian packages of the Linux build (cpack -G DEB), one a component:
#   libsonavex1      runtime      libSonavex.so.1 with the stand-ins and codec
#                                 libraries it loads
#   libsonavex-dev   development  headers, the unversioned links, pkg-config,
#                                 the CMake package, the API reference
#   sonavex-tools    tools        sonavex-play, -record, -encode, -send
# The dependencies on Debian's libraries come from dpkg-shlibdeps. Each
# package carries its copyright file and changelog where Debian keeps them.
set(SV_DEB_COMPONENTS runtime development tools)
set(SV_DEB_PACKAGES libsonavex1 libsonavex-dev sonavex-tools)
set(SV_DEB_REVISION 1)
set(SV_DEB_VERSION ${PROJECT_VERSION}-${SV_DEB_REVISION})
set(SV_DEB_MAINTAINER "Sonavex developers <sonavex@example.org>")

string(TIMESTAMP sv_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(SV_DEB_DIR ${CMAKE_BINARY_DIR}/debian)
foreach(component package IN ZIP_LISTS SV_DEB_COMPONENTS SV_DEB_PACKAGES)
  set(dir ${SV_DEB_DIR}/${package})
  file(WRITE ${dir}/changelog.Debian
    "${package} (${SV_DEB_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}.\n\n"
    " -- ${SV_DEB_MAINTAINER}  ${sv_deb_date}\n")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-copyright.in ${dir}/copyright @ONLY)
  add_custom_command(OUTPUT ${dir}/changelog.Debian.gz
    COMMAND gzip -9nkf ${dir}/changelog.Debian
    DEPENDS ${dir}/changelog.Debian VERBATIM)
  list(APPEND sv_deb_changelogs ${dir}/changelog.Debian.gz)
  install(FILES ${dir}/copyright ${dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${c}_FILE_NAME DEB-DEFAULT)
endforeach()
add_custom_target(sv_deb_changelogs ALL DEPENDS ${sv_deb_changelogs})
# The runtime libraries are found through ldconfig's cache.
file(WRITE ${SV_DEB_DIR}/libsonavex1.control/triggers "activate-noawait ldconfig\n")

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${SV_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME sonavex)
set(CPACK_PACKAGE_VENDOR Sonavex)
set(CPACK_PACKAGE_CONTACT "${SV_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SV_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SV_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://sonavex.example.org/")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
# shlibs for the runtime package's libraries (the only package with any).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${SV_DEB_DIR}/libsonavex1.control/triggers)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libsonavex1 (= ${SV_DEB_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libsonavex1 (= ${SV_DEB_VERSION})")
# dpkg-shlibdeps finds libSonavex.so.1 in the runtime package being made.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "stream audio for video-recorder clients (runtime)
Sonavex decodes AMR-NB and voice-engine frames that a host hands it with
64-bit time stamps, plays them on the default output device at real-time
pace and records from the default input device. This package holds the
library, the stand-ins for the Windows API it runs on and its two codec
libraries.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "stream audio for video-recorder clients (development)
The header sonavex.h and the codec libraries' headers, the link-time names
of the libraries, a pkg-config file, the CMake package (find_package(Sonavex)
gives Sonavex::Sonavex) and the API reference in HTML.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "stream audio for video-recorder clients (tools)
sonavex-play plays AMR-NB and voice-engine streams and audio files through the
library, sonavex-record records the input device, sonavex-encode makes
streams from audio files and sonavex-send sends a stream as RTP.")
include(CPack)
