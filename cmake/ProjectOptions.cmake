# Warnings are errors everywhere; sanitizers are opt-in build options.
add_compile_options(-Wall -Wextra -Wpedantic -Werror)
# g++ 12 at -O2/-O3 reports -Wrestrict inside std::string's own operator+ and
# insert (GCC bug 105329, a false positive fixed in g++ 13), so Release builds
# of plain string code fail. Only that warning, only on g++ 12.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)
endif()

set(VYHID_SANITIZE "" CACHE STRING "Sanitizers to build with: '', 'address,undefined' or 'thread'")
if(VYHID_SANITIZE)
  add_compile_options(-fsanitize=${VYHID_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VYHID_SANITIZE})
endif()

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/win32/Win32.cmake)
endif()

# The shared libraries that programs link carry the project's major version
# in their SONAME (librtl270.so.1, VyHIDpkg.so.1): a release that breaks their
# binary interface raises it, and programs built against the old one go on
# loading the old files. The file itself has the whole version; the link
# without a version is for the linker only (the -dev package). Windows DLLs
# have no versioned file names.
function(vyhid_version_library target)
  if(NOT WIN32)
    set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION}
                                               SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endfunction()

# Every bridge is a shared object called HID_Bridge__.dll with that name as its
# SONAME, so that a bridge loaded once by path is what a later load by bare name
# returns.
function(vyhid_add_bridge target)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME "HID_Bridge__"
    PREFIX ""
    SUFFIX ".dll"
    NO_SONAME OFF
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  if(WIN32)
    # Undecorated stdcall exports (HIDscanForDevices, not HIDscanForDevices@0),
    # and a folder per bridge rather than the programs' folder.
    target_link_options(${target} PRIVATE "LINKER:--kill-at")
    set_target_properties(${target} PROPERTIES
      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${target})
  else()
    target_link_options(${target} PRIVATE "LINKER:-soname,HID_Bridge__.dll")
  endif()
endfunction()
