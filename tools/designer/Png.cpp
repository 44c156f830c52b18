// PNG output through libpng.
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Designer.h"

namespace designer {

void WritePng(const std::string& path, const rtl::TBitmap& bitmap) {
  if (bitmap.Width <= 0 || bitmap.Height <= 0 ||
      bitmap.Rgb.size() !=
          static_cast<std::size_t>(bitmap.Width) * static_cast<std::size_t>(bitmap.Height) * 3) {
    throw EDesignError("bitmap has no pixels to write");
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!file) throw EDesignError("fopen " + path + ": " + std::strerror(errno));
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw EDesignError("libpng: out of memory");
  }
  // libpng reports errors by longjmp; nothing with a destructor lives
  // between here and the end of the writing.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw EDesignError("libpng: writing " + path + " failed");
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(bitmap.Width),
               static_cast<png_uint_32>(bitmap.Height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < bitmap.Height; ++y) {
    auto* row =
        const_cast<png_bytep>(bitmap.Rgb.data() + static_cast<std::size_t>(y) * bitmap.Width * 3);
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0)
    throw EDesignError("writing " + path + ": " + std::strerror(errno));
}

}  // namespace designer
