// Writes the palette image of TVyHID (VyHIDpkg_bitmap.h) as a .bmp file, for
// the Windows resource compiler: the DLL's bitmap resource is made from the
// same bytes as the image that the package's table serves.
//   write_palette_bmp OUT.bmp
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "VyHIDpkg_bitmap.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_palette_bmp OUT.bmp\n");
    return 2;
  }
  static constexpr auto kBmp = vyhid::pkg::MakePlugBmp();
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "write_palette_bmp: fopen(%s): %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  const bool written = std::fwrite(kBmp.data(), 1, kBmp.size(), out) == kBmp.size();
  const int writeErrno = errno;
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "write_palette_bmp: fwrite(%s): %s\n", argv[1],
                 std::strerror(written ? errno : writeErrno));
    return 1;
  }
  return 0;
}
