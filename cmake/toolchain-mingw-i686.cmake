# 32-bit Windows (i686) cross build with Debian's mingw-w64 compilers; the
# tests run under wine (cmake/win32/wine-run.sh).
#   cmake -S . -B build-win32 --toolchain cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VYHID_MINGW_PREFIX i686-w64-mingw32)

# The -posix variants: the default (win32-thread) GCC 12 has no std::thread
# or std::mutex.
set(CMAKE_C_COMPILER ${VYHID_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VYHID_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VYHID_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VYHID_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every test and every build-time run of a program goes through wine, headless.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/win32/wine-run.sh)
