# 32-bit Windows (i686) cross build with Debian's mingw-w64 compilers; the
# tests run under wine (cmake/win32/wine-run.sh).
#   cmake -S . -B build-win32 --toolchain cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VYHID_MINGW_PREFIX i686-w64-mingw32)
set(VYHID_WINE_ARCH win32)
include(${CMAKE_CURRENT_LIST_DIR}/win32/MinGWToolchain.cmake)
