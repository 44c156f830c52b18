# The Debian packages, made by `cpack -G DEB` from the install rules of every
# layer, one package per install component (scripts/deb.sh configures the
# build for them: prefix /usr, VYHID_DEBIAN_PACKAGE=ON):
#   vyhidpkg1  (runtime)  the shared libraries, named after VyHIDpkg's SONAME,
#                         the bridges with the simulated devices, the udev rule
#   vyhid-dev  (dev)      headers, the links for the linker, the static
#                         libraries, the CMake package, vyhid.pc
#   vyhid      (tool)     the vyhid tool, its manual page and bash completion
# The Qt integration (components qt, qt-dev) is not packaged: scripts/deb.sh
# builds without Qt, so that no package brings Qt to programs that do not use it.
#
# The packages' version is project()'s; changelog's first entry must name it.
# Its signature line names the maintainer.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog VYHID_DEB_CHANGELOG_TOP LIMIT_COUNT 1)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog VYHID_DEB_SIGNATURE REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- (.*>)  .*$" "\\1" VYHID_DEB_MAINTAINER "${VYHID_DEB_SIGNATURE}")
if(NOT VYHID_DEB_CHANGELOG_TOP MATCHES "^vyhid \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog starts with '${VYHID_DEB_CHANGELOG_TOP}': "
                      "its first entry must be version ${PROJECT_VERSION} (project())")
endif()

# Only a build laid out for the packages packs them: elsewhere the install
# rules put the udev rule and the libraries where a Debian package must not.
if(NOT VYHID_DEBIAN_PACKAGE)
  return()
endif()

# The runtime package is named after the component's SONAME (VyHIDpkg.so.1),
# as Debian names library packages, so that the next incompatible version
# installs beside it.
set(VYHID_DEB_COMPONENTS runtime dev tool)
set(VYHID_DEB_NAME_runtime vyhidpkg${PROJECT_VERSION_MAJOR})
set(VYHID_DEB_NAME_dev vyhid-dev)
set(VYHID_DEB_NAME_tool vyhid)

# Debian's documents of every package: copyright, and the changelog
# compressed as Debian wants it (gzip -9, no name or time stamp inside).
find_program(VYHID_GZIP gzip REQUIRED)
set(VYHID_DEB_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${VYHID_DEB_CHANGELOG_GZ}
  COMMAND ${VYHID_GZIP} -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/changelog > ${VYHID_DEB_CHANGELOG_GZ}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(vyhid_deb_changelog ALL DEPENDS ${VYHID_DEB_CHANGELOG_GZ})
foreach(component IN LISTS VYHID_DEB_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${VYHID_DEB_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${VYHID_DEB_NAME_${component}} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${VYHID_DEB_NAME_${component}})
endforeach()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${VYHID_DEB_COMPONENTS})
set(CPACK_PACKAGE_NAME vyhid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VYHID_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)

# Each description's first line is the package's summary.
set(VYHID_DEB_ABOUT "TVyHID lists the HID devices attached to the machine (USB, Bluetooth,
I2C), opens one, delivers its input reports as events and sends output and
feature reports, and stays connected when the device is unplugged and
plugged in again.
.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "HID device component for C++ applications
${VYHID_DEB_ABOUT}
This package holds the component with its framework libraries, the hidraw
bridge for real devices, the simulated bridge for testing programs without
hardware, and a udev rule that gives the user at the seat and the group
plugdev access to the hidraw devices.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "HID device component for C++ applications (development files)
${VYHID_DEB_ABOUT}
This package holds the C++20 headers, the links and static libraries to
build against, a CMake package (find_package(VyHID)) and a pkg-config file
(vyhid).")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "command-line tool for HID devices
${VYHID_DEB_ABOUT}
This package holds vyhid, which lists the HID devices, describes one,
monitors and records its input reports and sends output and feature reports,
on the real devices or on simulated ones.")

# The dependencies: those of the binaries, found by dpkg-shlibdeps (the C and
# C++ runtimes, libudev1), and the runtime package for the other two, of the
# same version. The runtime package's shlibs file names it for programs
# built against it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOL_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# (Only the runtime package has libraries in the loader's path; the bridges,
# loaded by path, have no versioned SONAME and stay out of the file.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg-shlibdeps finds our own libraries, which the tool and the package
# module link, where the build left them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "")
foreach(library rtl270 vcl270 VyHIDpkg)
  get_target_property(dir ${library} BINARY_DIR)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
endforeach()
# No ldconfig calls in maintainer scripts: the ldconfig trigger does it once.
# The scripts apply the udev rule to the devices already plugged in.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm
  ${CMAKE_CURRENT_LIST_DIR}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
