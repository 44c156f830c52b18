# cmake -DSOURCE_DIR=... -DWORK_DIR=... -DCXX=... -DCC=... -P HidrawOption.cmake
# libudev is made unfindable by a pkg-config that always fails.
file(REMOVE_RECURSE ${WORK_DIR})
set(common -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC} -DVYHID_BUILD_BENCH=OFF
  -DPKG_CONFIG_EXECUTABLE=/bin/false)

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/without-libudev ${common}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX REPLACE "[ \n]+" " " err "${err}")
if(rc EQUAL 0 OR NOT err MATCHES "libudev-dev" OR NOT err MATCHES "-DVYHID_HIDRAW_BRIDGE=OFF")
  message(FATAL_ERROR "without libudev: expected a configure error naming libudev-dev and "
    "-DVYHID_HIDRAW_BRIDGE=OFF, got (${rc}):\n${err}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/off ${common}
  -DVYHID_HIDRAW_BRIDGE=OFF RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "with VYHID_HIDRAW_BRIDGE=OFF: configure failed (${rc}):\n${err}")
endif()
# Install rules, run paths, tests, package files: none names the bridge.
file(GLOB_RECURSE generated ${WORK_DIR}/off/*.cmake ${WORK_DIR}/off/*.make
  ${WORK_DIR}/off/*.pc ${WORK_DIR}/off/*.txt)
foreach(file IN LISTS generated)
  if(file MATCHES "/CMakeFiles/CMake(Output|Error)\\.log$|/CMakeCache\\.txt$")
    continue()
  endif()
  file(STRINGS ${file} hits REGEX "bridge/hidraw|hidraw_bridge")
  if(hits)
    message(FATAL_ERROR "with VYHID_HIDRAW_BRIDGE=OFF, ${file} refers to the hidraw bridge:\n${hits}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
