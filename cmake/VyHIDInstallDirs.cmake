# Where an installation puts each part, relative to the prefix. Included by the
# top-level CMakeLists.txt before any layer, so that each layer installs its own
# targets. The tool finds its bridges and the udev rule relative to its own
# location, so the same relative paths are compiled into it.
include(GNUInstallDirs)

set(VYHID_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/vyhid")
set(VYHID_INSTALL_BRIDGEDIR "${CMAKE_INSTALL_LIBDIR}/vyhid/bridge")
set(VYHID_INSTALL_UDEVDIR "${CMAKE_INSTALL_DATADIR}/vyhid/udev")
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
