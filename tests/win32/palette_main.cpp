// Loads a component package and lists its palette, one line per item:
//   PAGE <tab> CLASS <tab> WIDTHxHEIGHTxBITS (the palette image, or "no image")
// Exit code 1 when the package cannot be loaded.
#include <cstdio>
#include <string>

#include "rtl/Packages.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: palette PACKAGE\n");
    return 2;
  }
  const rtl::HPACKAGE package = rtl::LoadPackage(rtl::Utf8ToString(argv[1]));
  if (package == 0) {
    std::fprintf(stderr, "%s\n", rtl::StringToUtf8(rtl::LastPackageError()).c_str());
    return 1;
  }
  for (const rtl::TPaletteItem& item : rtl::PaletteItems()) {
    rtl::String name = item.Class->ClassName;
    for (char16_t& c : name) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    std::string image = "no image";
    if (const auto bitmap = rtl::LoadBitmapResource(package, name)) {
      image = std::to_string(bitmap->Width) + "x" + std::to_string(bitmap->Height) + "x" +
              std::to_string(bitmap->BitsPerPixel);
    }
    std::printf("%s\t%s\t%s\n", rtl::StringToUtf8(item.Page).c_str(),
                rtl::StringToUtf8(item.Class->ClassName).c_str(), image.c_str());
  }
  rtl::UnloadPackage(package);
  return 0;
}
