# The Debian package vyhid, made by `cpack -G DEB` from the install rules of
# every layer (scripts/deb.sh configures the build for it: prefix /usr,
# VYHID_DEBIAN_PACKAGE=ON). One package holds the runtime and the development
# files: the framework's libraries are this component's own and are not
# meant to be used without its headers (see lintian-overrides).
#
# The package's version is project()'s; changelog's first entry must name it.
# Its signature line names the maintainer.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog VYHID_DEB_CHANGELOG_TOP LIMIT_COUNT 1)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog VYHID_DEB_SIGNATURE REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" VYHID_DEB_MAINTAINER "${VYHID_DEB_SIGNATURE}")
if(NOT VYHID_DEB_CHANGELOG_TOP MATCHES "^vyhid \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with '${VYHID_DEB_CHANGELOG_TOP}': "
                      "its first entry must be version ${PROJECT_VERSION} (project())")
endif()

# Only a build laid out for the package packs it: elsewhere the install rules
# put the udev rule and the libraries where a Debian package must not.
if(NOT VYHID_DEBIAN_PACKAGE)
  return()
endif()

# Debian's documents of the package: copyright, the changelog compressed
# as Debian wants it (gzip -9, no name or time stamp inside), and the
# lintian findings that are this package's design.
set(VYHID_DEB_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/vyhid)
find_program(VYHID_GZIP gzip REQUIRED)
set(VYHID_DEB_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${VYHID_DEB_CHANGELOG_GZ}
  COMMAND ${VYHID_GZIP} -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${VYHID_DEB_CHANGELOG_GZ}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(vyhid_deb_changelog ALL DEPENDS ${VYHID_DEB_CHANGELOG_GZ})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${VYHID_DEB_CHANGELOG_GZ}
  DESTINATION ${VYHID_DEB_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME vyhid)

set(CPACK_PACKAGE_NAME vyhid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VYHID_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HID device component for C++ applications")
# The extended description; CPack puts the summary before it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "TVyHID lists the HID devices attached to the machine (USB, Bluetooth, I2C),
opens one, delivers its input reports as events and sends output and feature
reports, and stays connected when the device is unplugged and plugged in
again.
.
This package holds the component with its framework libraries, the hidraw
bridge for real devices, the simulated bridge for testing programs without
hardware, the vyhid command-line tool, the C++20 headers with a CMake package
and a pkg-config file, and a udev rule that gives the user at the seat and
the group plugdev access to the hidraw devices.")
# The dependencies are those of the binaries, found by dpkg-shlibdeps: the
# C and C++ runtimes and libudev1 (the hidraw bridge).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR})
# No ldconfig calls in maintainer scripts: the ldconfig trigger does it once.
# The scripts apply the udev rule to the devices already plugged in.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm
  ${CMAKE_CURRENT_LIST_DIR}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
