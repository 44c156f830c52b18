# 64-bit Windows (x86-64) cross build with Debian's mingw-w64 compilers; the
# tests run under wine64, in a 64-bit prefix of their own.
#   cmake -S . -B build-win64 --toolchain cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VYHID_MINGW_PREFIX x86_64-w64-mingw32)
set(VYHID_WINE_ARCH win64)
include(${CMAKE_CURRENT_LIST_DIR}/win32/MinGWToolchain.cmake)
