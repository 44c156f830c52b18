// Reads the package module's resources back with Windows' own functions, as
// a DLL's properties page and a design environment do: the version
// information (fixed part, translation, strings) and the palette bitmap
// "TVYHID", whose bits must be those of the image the package table serves.
// Prints one line per check that fails, and exits 1 if any did.
//   resources PACKAGE.dll
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "VyHIDpkg_bitmap.h"

namespace {

// Counts the checks that failed; a failed system call is told with its error.
struct Failures {
  int count = 0;
  void Call(const char* what) {
    std::printf("FAIL: %s (error %lu)\n", what, GetLastError());
    ++count;
  }
};

void ExpectString(Failures& failures, const std::vector<unsigned char>& info, const wchar_t* path,
                  const wchar_t* expected) {
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), path, &value, &length)) {
    std::printf("FAIL: VerQueryValueW(%ls) found nothing\n", path);
    ++failures.count;
  } else if (std::wcscmp(static_cast<const wchar_t*>(value), expected) != 0) {
    std::printf("FAIL: %ls is \"%ls\", expected \"%ls\"\n", path,
                static_cast<const wchar_t*>(value), expected);
    ++failures.count;
  }
}

void CheckVersion(Failures& failures, const wchar_t* module) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(module, &handle);
  if (size == 0) return failures.Call("GetFileVersionInfoSizeW: no version information");
  std::vector<unsigned char> info(size);
  if (!GetFileVersionInfoW(module, 0, size, info.data()))
    return failures.Call("GetFileVersionInfoW");

  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return failures.Call("VerQueryValueW(\\): no fixed file information");
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != 0xFEEF04BD || fixed->dwFileVersionMS != 0x00010000 ||
      fixed->dwFileVersionLS != 0 || fixed->dwProductVersionMS != 0x00010000 ||
      fixed->dwFileType != VFT_DLL) {
    std::printf("FAIL: fixed file information: version %lx.%lx, type %lu\n", fixed->dwFileVersionMS,
                fixed->dwFileVersionLS, fixed->dwFileType);
    ++failures.count;
  }
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length) || length != 4) {
    return failures.Call("VerQueryValueW(\\VarFileInfo\\Translation)");
  }
  const auto* translation = static_cast<const WORD*>(value);
  if (translation[0] != 0x0409 || translation[1] != 1252) {
    std::printf("FAIL: translation %04x/%u, expected 0409 (US English)/1252\n", translation[0],
                translation[1]);
    ++failures.count;
  }
  ExpectString(failures, info, L"\\StringFileInfo\\040904E4\\ProductName", L"VyHIDpkg");
  ExpectString(failures, info, L"\\StringFileInfo\\040904E4\\FileDescription", L"VyHIDpkg");
  ExpectString(failures, info, L"\\StringFileInfo\\040904E4\\FileVersion", L"1.0.0.0");
}

void CheckBitmap(Failures& failures, const wchar_t* module) {
  HMODULE package = LoadLibraryExW(module, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (package == nullptr) return failures.Call("LoadLibraryExW(LOAD_LIBRARY_AS_DATAFILE)");

  // The resource holds the .bmp without its file header.
  constexpr auto kBmp = vyhid::pkg::MakePlugBmp();
  constexpr std::size_t kFileHeader = 14;
  HRSRC found = FindResourceW(package, L"TVYHID", MAKEINTRESOURCEW(2) /* RT_BITMAP */);
  if (found == nullptr) {
    failures.Call("FindResourceW(TVYHID, RT_BITMAP)");
  } else {
    const DWORD size = SizeofResource(package, found);
    HGLOBAL loaded = LoadResource(package, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr || size != kBmp.size() - kFileHeader ||
        std::memcmp(bytes, kBmp.data() + kFileHeader, size) != 0) {
      std::printf("FAIL: bitmap TVYHID (%lu bytes) differs from the package's image\n", size);
      ++failures.count;
    }
  }
  auto* bitmap =
      static_cast<HBITMAP>(LoadImageW(package, L"TVYHID", IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (bitmap == nullptr) {
    failures.Call("LoadImageW(TVYHID, IMAGE_BITMAP)");
  } else {
    BITMAP described{};
    if (GetObjectW(bitmap, sizeof described, &described) == 0) {
      failures.Call("GetObjectW(TVYHID)");
    } else if (described.bmWidth != 24 || described.bmHeight != 24 || described.bmBitsPixel != 24) {
      std::printf("FAIL: LoadImageW gives %ldx%ldx%u, expected 24x24x24\n", described.bmWidth,
                  described.bmHeight, described.bmBitsPixel);
      ++failures.count;
    }
    DeleteObject(bitmap);
  }
  FreeLibrary(package);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::printf("usage: resources PACKAGE.dll\n");
    return 2;
  }
  Failures failures;
  CheckVersion(failures, argv[1]);
  CheckBitmap(failures, argv[1]);
  if (failures.count != 0) return 1;
  std::printf("resources: version 1.0.0.0 VyHIDpkg, bitmap TVYHID 24x24x24\n");
  return 0;
}
