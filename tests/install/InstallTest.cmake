# Installs the build into a fresh prefix, checks the layout and the installed
# tool, then builds a program against the installation twice: with
# find_package(VyHID) and with pkg-config, and runs both as a user would, with
# no LD_LIBRARY_PATH; then builds an example out of the tree against it and
# runs it on the installed simulated bridge with its bundled devices.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DEXAMPLE_DIR=... -DCXX=...
#         -DREADELF=... -DHIDRAW_BRIDGE=ON|OFF [-DSANITIZE=...] [-DQT_EXAMPLE_DIR=...]
#         -P InstallTest.cmake
# With QT_EXAMPLE_DIR (the Qt integration was built), also the Qt library's
# files and run path, and that example built out of the tree against it.

function(run)
  cmake_parse_arguments(R "" "OUTPUT" "COMMAND" ${ARGN})
  execute_process(COMMAND ${R_COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " line ${R_COMMAND})
    message(FATAL_ERROR "failed (${rc}): ${line}\n${out}\n${err}")
  endif()
  if(R_OUTPUT)
    set(${R_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

function(expect_match text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: expected /${pattern}/ in:\n${text}")
  endif()
endfunction()

unset(ENV{LD_LIBRARY_PATH})
unset(ENV{VYHID_SIM_DEVICES})
unset(ENV{VYHID_BRIDGE})
file(REMOVE_RECURSE ${WORK_DIR})
set(PREFIX ${WORK_DIR}/prefix)
run(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})

# The layout.
foreach(file
    bin/vyhid
    lib/librtl270.so lib/libvcl270.so lib/VyHIDpkg.so lib/libvyhid_abi.a lib/libhid_descriptor.a
    lib/vyhid/bridge/sim/HID_Bridge__.dll lib/vyhid/bridge/sim/devices/default.txt
    lib/cmake/VyHID/VyHIDConfig.cmake lib/cmake/VyHID/VyHIDConfigVersion.cmake
    lib/cmake/VyHID/VyHIDTargets.cmake lib/pkgconfig/vyhid.pc
    include/vyhid/VyHID.h include/vyhid/HIDrecords.h include/vyhid/EntryPoints.h include/vyhid/SimApi.h
    include/vyhid/rtl/System.h include/vyhid/vcl/Forms.h include/vyhid/descriptor/ReportCodec.h
    share/vyhid/udev/70-vyhid-hidraw.rules)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# The hidraw bridge is installed exactly when it is built.
if(HIDRAW_BRIDGE AND NOT EXISTS ${PREFIX}/lib/vyhid/bridge/hidraw/HID_Bridge__.dll)
  message(FATAL_ERROR "not installed: the hidraw bridge")
elseif(NOT HIDRAW_BRIDGE AND EXISTS ${PREFIX}/lib/vyhid/bridge)
  file(GLOB_RECURSE stray ${PREFIX}/lib/vyhid/bridge/hidraw/*)
  if(stray)
    message(FATAL_ERROR "installed without VYHID_HIDRAW_BRIDGE: ${stray}")
  endif()
endif()

# Run paths, as README.md describes them: the tool finds the libraries, and
# VyHIDpkg (whose run path a bare-name bridge load follows) finds the
# libraries beside it and then the installed hidraw bridge.
function(expect_runpath file expected)
  run(COMMAND ${READELF} -d ${PREFIX}/${file} OUTPUT dynamic)
  string(REGEX MATCH "Library runpath: \\[([^]\n]*)\\]" found "${dynamic}")
  if(NOT CMAKE_MATCH_1 STREQUAL expected)
    message(FATAL_ERROR "RUNPATH of ${file}: expected [${expected}], got [${CMAKE_MATCH_1}]")
  endif()
endfunction()
expect_runpath(bin/vyhid "$ORIGIN/../lib")
expect_runpath(lib/libvcl270.so "$ORIGIN")
if(HIDRAW_BRIDGE)
  expect_runpath(lib/VyHIDpkg.so "$ORIGIN:$ORIGIN/vyhid/bridge/hidraw")
else()
  expect_runpath(lib/VyHIDpkg.so "$ORIGIN")
endif()

# The installed tool finds the bridges installed beside it.
run(COMMAND ${PREFIX}/bin/vyhid --version OUTPUT version)
expect_match("${version}" "simulated bridge: ${PREFIX}/lib/vyhid/bridge/sim/HID_Bridge__.dll"
  "vyhid --version")
if(EXISTS ${PREFIX}/lib/vyhid/bridge/hidraw/HID_Bridge__.dll)
  expect_match("${version}" "hidraw bridge: ${PREFIX}/lib/vyhid/bridge/hidraw/HID_Bridge__.dll"
    "vyhid --version")
endif()
run(COMMAND ${PREFIX}/bin/vyhid --simulate list OUTPUT listed)
expect_match("${listed}" "Device Number       : 2\n\nVID:1209 PID:0003  Sim Vendor Device" "vyhid list")

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()

# find_package(VyHID).
run(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer-cmake
  -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX}
  "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer-cmake)
run(COMMAND ${WORK_DIR}/consumer-cmake/consumer --sim OUTPUT out)
expect_match("${out}" "scan: 3\nfeature 1: installed\n" "find_package consumer")
if(EXISTS ${PREFIX}/lib/vyhid/bridge/hidraw/HID_Bridge__.dll AND NOT SANITIZE)
  # Without a bridge loaded by path, the installed framework loads the
  # installed hidraw bridge by name, through its run path. (Not under a
  # sanitizer: its dlopen interceptor makes the runtime, not rtl270, the
  # caller whose run path is searched.)
  run(COMMAND ${WORK_DIR}/consumer-cmake/consumer OUTPUT out)
  expect_match("${out}" "scan: [0-9]+\n" "consumer with the default bridge")
endif()

# pkg-config.
set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
run(COMMAND pkg-config --cflags --libs vyhid OUTPUT pc)
run(COMMAND pkg-config --variable=simbridge vyhid OUTPUT simbridge)
run(COMMAND pkg-config --variable=simdevices vyhid OUTPUT simdevices)
run(COMMAND pkg-config --variable=libdir vyhid OUTPUT libdir)
foreach(var pc simbridge simdevices libdir)
  string(STRIP "${${var}}" ${var})
endforeach()
separate_arguments(pc UNIX_COMMAND "${pc}")
separate_arguments(flags UNIX_COMMAND "${flags}")
# The command line README.md shows; vyhid.pc's run path lets it start.
run(COMMAND ${CXX} -std=c++20 ${flags} ${CONSUMER_DIR}/consumer.cpp ${pc}
  "-DVYHID_INSTALLED_SIM_BRIDGE=\"${simbridge}\"" "-DVYHID_INSTALLED_SIM_DEVICES=\"${simdevices}\""
  -o ${WORK_DIR}/consumer-pkgconfig)
run(COMMAND ${WORK_DIR}/consumer-pkgconfig --sim OUTPUT out)
expect_match("${out}" "scan: 3\nfeature 1: installed\n" "pkg-config consumer")

# Without C++20 the header says what it needs.
file(WRITE ${WORK_DIR}/cxx17.cpp "#include \"VyHID.h\"\nint main() { return 0; }\n")
execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only ${WORK_DIR}/cxx17.cpp ${pc}
  RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
expect_match("${rc}:${err}" "^[1-9][0-9]*:.*VyHID.h needs C\\+\\+20" "compiled as C++17")

# An example copied out of the tree builds against the installed package, and
# the installed simulated bridge, loaded by path, serves its bundled devices.
file(COPY ${EXAMPLE_DIR}/ DESTINATION ${WORK_DIR}/example-src)
run(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/example-src -B ${WORK_DIR}/example-build
  -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX}
  "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/example-build)
set(ENV{VYHID_BRIDGE} ${simbridge})
run(COMMAND ${WORK_DIR}/example-build/send_receive OUTPUT out)
unset(ENV{VYHID_BRIDGE})
expect_match("${out}" "as text: \"Hello, device\"\nfeature report 2: the device took 8 bytes\n"
  "example send_receive built against the installation")
# The Qt integration: its library finds the libraries beside it, and a Qt
# program builds against it with find_package(VyHID COMPONENTS Qt) and with
# pkg-config's vyhid-qt.
if(QT_EXAMPLE_DIR)
  foreach(file lib/libvyhidqt.so lib/pkgconfig/vyhid-qt.pc lib/cmake/VyHID/VyHIDQtTargets.cmake
      include/vyhid/VyHIDQt.h)
    if(NOT EXISTS ${PREFIX}/${file})
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
  expect_runpath(lib/libvyhidqt.so "$ORIGIN")
  run(COMMAND pkg-config --cflags --libs vyhid-qt OUTPUT pcqt)
  expect_match("${pcqt}" "-lvyhidqt.*-lQt6Core" "pkg-config vyhid-qt")
  file(COPY ${QT_EXAMPLE_DIR}/ DESTINATION ${WORK_DIR}/qt-example-src)
  run(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/qt-example-src -B ${WORK_DIR}/qt-example-build
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
  run(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/qt-example-build)
  run(COMMAND ${READELF} -d ${WORK_DIR}/qt-example-build/qt_monitor OUTPUT dynamic)
  expect_match("${dynamic}" "libvyhidqt.so" "qt_monitor built against the installation")
endif()
message(STATUS "install test passed")
