# What the two Windows toolchain files share (included by
# ../toolchain-mingw-i686.cmake and ../toolchain-mingw-x86_64.cmake, which set
# VYHID_MINGW_PREFIX, CMAKE_SYSTEM_PROCESSOR and VYHID_WINE_ARCH first).
set(CMAKE_SYSTEM_NAME Windows)

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

# Every test and every build-time run of a program goes through wine,
# headless, in a prefix of the build's bitness (wine-common.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env VYHID_WINE_ARCH=${VYHID_WINE_ARCH}
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
