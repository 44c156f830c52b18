# Where an installation puts each part, relative to the prefix. Included by the
# top-level CMakeLists.txt before any layer, so that each layer installs its own
# targets. The tool finds its bridges and the udev rule relative to its own
# location, so the same relative paths are compiled into it.
include(GNUInstallDirs)

# The licence (LICENSE), as an SPDX identifier, for the metadata that carries
# one: the pkg-config files and the CMake package.
set(VYHID_LICENSE MIT)

set(VYHID_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/vyhid")
# Windows keeps every DLL in bin/: the bridges that a program loads by path
# (the simulated one) in bin/bridge/, the system's beside the programs.
if(WIN32)
  set(VYHID_INSTALL_BRIDGEDIR "${CMAKE_INSTALL_BINDIR}/bridge")
else()
  set(VYHID_INSTALL_BRIDGEDIR "${CMAKE_INSTALL_LIBDIR}/vyhid/bridge")
endif()
# A build for the Debian package (scripts/deb.sh) installs into /usr, and the
# udev rule goes where udev reads the rules that packages bring; any other
# installation keeps the rule as a file to copy (README: Permissions).
option(VYHID_DEBIAN_PACKAGE "Lay the installation out as the Debian package vyhid (prefix /usr)" OFF)
if(VYHID_DEBIAN_PACKAGE)
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "VYHID_DEBIAN_PACKAGE needs CMAKE_INSTALL_PREFIX=/usr, not "
                        "${CMAKE_INSTALL_PREFIX}")
  endif()
  set(VYHID_INSTALL_UDEVDIR "lib/udev/rules.d")
else()
  set(VYHID_INSTALL_UDEVDIR "${CMAKE_INSTALL_DATADIR}/vyhid/udev")
endif()
set(VYHID_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/VyHID")
set(VYHID_UDEV_RULE_FILE "70-vyhid-hidraw.rules")

file(RELATIVE_PATH VYHID_BRIDGEDIR_FROM_BIN
  "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${VYHID_INSTALL_BRIDGEDIR}")
file(RELATIVE_PATH VYHID_UDEV_RULE_FROM_BIN
  "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${VYHID_INSTALL_UDEVDIR}/${VYHID_UDEV_RULE_FILE}")
file(RELATIVE_PATH VYHID_LIBDIR_FROM_BIN
  "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")

file(RELATIVE_PATH VYHID_BRIDGEDIR_FROM_LIBDIR
  "/prefix/${CMAKE_INSTALL_LIBDIR}" "/prefix/${VYHID_INSTALL_BRIDGEDIR}")

# The prefix seen from the pkg-config folder: the .pc files are relocatable.
file(RELATIVE_PATH VYHID_PREFIX_FROM_PCDIR "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" VYHID_PREFIX_FROM_PCDIR "${VYHID_PREFIX_FROM_PCDIR}")
