# cmake --install: the libraries, the headers, both bridges with the simulated
# devices, the tool, the udev rule, a CMake package (find_package(VyHID)) and
# pkg-config files.
#
#   <prefix>/bin/vyhid
#   <prefix>/lib/librtl270.so, libvcl270.so, VyHIDpkg.so, libvyhid_abi.a
#   <prefix>/lib/vyhid/bridge/hidraw/HID_Bridge__.dll
#   <prefix>/lib/vyhid/bridge/sim/HID_Bridge__.dll, devices/*.txt
#   <prefix>/lib/cmake/VyHID/, <prefix>/lib/pkgconfig/vyhid.pc
#   <prefix>/include/vyhid/ (VyHID.h, HIDrecords.h, SimApi.h, rtl/, vcl/)
#   <prefix>/share/vyhid/udev/70-vyhid-hidraw.rules
include(${CMAKE_CURRENT_LIST_DIR}/VyHIDInstallDirs.cmake)
include(CMakePackageConfigHelpers)

# Run paths relative to each installed file, so the installation can move.
file(RELATIVE_PATH _vyhid_bridge_from_lib
  "/prefix/${CMAKE_INSTALL_LIBDIR}" "/prefix/${VYHID_INSTALL_BRIDGEDIR}")

# The component (in VyHIDpkg) loads HID_Bridge__.dll by bare name, and a
# bare name searches the calling module's run path, so VyHIDpkg's run path
# decides which bridge an installed program gets by default: the hidraw one.
# LD_LIBRARY_PATH, or loading another bridge by path first, chooses
# differently.
#
# Only targets that link one of our shared libraries get an install run path.
# For the others CMake would pad the empty build-tree run path with empty
# entries to make room, and an empty entry makes the loader search the
# current directory.
set_property(TARGET rtl270 APPEND PROPERTY INTERFACE_COMPILE_FEATURES cxx_std_20)
set_target_properties(vcl270 PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(VyHIDpkg PROPERTIES
  INSTALL_RPATH "$ORIGIN;$ORIGIN/${_vyhid_bridge_from_lib}/hidraw")


install(TARGETS rtl270 vcl270 VyHIDpkg vyhid_abi
  EXPORT VyHIDTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${VYHID_INSTALL_INCLUDEDIR})

# Headers: the component's, the framework's and the simulated bridge's control API.
file(GLOB _vyhid_abi_headers ${PROJECT_SOURCE_DIR}/bridge/abi/*.h)
install(FILES ${PROJECT_SOURCE_DIR}/VyHID/VyHID.h ${_vyhid_abi_headers}
  DESTINATION ${VYHID_INSTALL_INCLUDEDIR})
file(GLOB _vyhid_pkg_headers ${PROJECT_SOURCE_DIR}/VyHIDpkg/*.h)
if(_vyhid_pkg_headers)
  install(FILES ${_vyhid_pkg_headers} DESTINATION ${VYHID_INSTALL_INCLUDEDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/framework/rtl/include/rtl
                  ${PROJECT_SOURCE_DIR}/framework/vcl/include/vcl
  DESTINATION ${VYHID_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
# The simulated bridge's control API: a program resolves it with
# rtl::GetProcAddress from the bridge it loaded by path.
install(FILES ${PROJECT_SOURCE_DIR}/bridge/sim/SimApi.h DESTINATION ${VYHID_INSTALL_INCLUDEDIR})

# The bridges, each in its own folder under the same file name.
if(TARGET sim_bridge)
  install(TARGETS sim_bridge LIBRARY DESTINATION ${VYHID_INSTALL_BRIDGEDIR}/sim)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/bridge/sim/devices
    DESTINATION ${VYHID_INSTALL_BRIDGEDIR}/sim
    FILES_MATCHING PATTERN "*.txt")
endif()
if(VYHID_HIDRAW_BRIDGE_TARGET)
  install(TARGETS ${VYHID_HIDRAW_BRIDGE_TARGET} LIBRARY DESTINATION ${VYHID_INSTALL_BRIDGEDIR}/hidraw)
endif()

# The tool.
if(TARGET vyhid)
  set_target_properties(vyhid PROPERTIES INSTALL_RPATH "$ORIGIN/${VYHID_LIBDIR_FROM_BIN}")
  install(TARGETS vyhid RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/${VYHID_UDEV_RULE_FILE}
  DESTINATION ${VYHID_INSTALL_UDEVDIR})

# CMake package.
install(EXPORT VyHIDTargets NAMESPACE VyHID:: DESTINATION ${VYHID_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/cmake/VyHIDConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/VyHIDConfig.cmake
  INSTALL_DESTINATION ${VYHID_INSTALL_CMAKEDIR}
  PATH_VARS VYHID_INSTALL_BRIDGEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/VyHIDConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/VyHIDConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/VyHIDConfigVersion.cmake
  DESTINATION ${VYHID_INSTALL_CMAKEDIR})

# pkg-config.
file(RELATIVE_PATH VYHID_PREFIX_FROM_PCDIR "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" VYHID_PREFIX_FROM_PCDIR "${VYHID_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/pkgconfig/vyhid.pc.in
  ${PROJECT_BINARY_DIR}/packaging/vyhid.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/vyhid.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
