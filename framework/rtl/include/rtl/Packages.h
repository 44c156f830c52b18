// Component packages and the palette.
//
// A package is a shared library (named after the package, e.g. VyHIDpkg.so)
// that exports, with C linkage:
//   void Initialize();                          start-up of its units, in order
//   void Finalize();                            shut-down, in reverse order
//   const TPackageInfoTable* GetPackageInfoTable();  identity, requires,
//                                               contents, resources
//   void Register();                            (optional) palette registration
// LoadPackage loads the module, checks that every package it requires is
// loaded, runs Initialize and then Register. Classes and palette items
// registered while it runs belong to the package and are withdrawn by
// UnloadPackage, before Finalize and the unloading of the module.
//
// Every function here is safe from any thread; a package is loaded and
// unloaded by one thread at a time (calls are serialised).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rtl/DynLib.h"
#include "rtl/System.h"
#include "rtl/TypInfo.h"

// Marks a package's entry points as exports of its module.
#if defined(_WIN32)
#define RTL_PACKAGE_EXPORT __declspec(dllexport)
#else
#define RTL_PACKAGE_EXPORT __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------
// What a package module describes about itself. Plain data with C layout, so
// that any compiler's package can hand it over.
extern "C" {

enum : std::uint32_t {
  pfDesignOnly = 1u << 0,  // usable only by a design environment
  pfRunOnly = 1u << 1,     // not installable in a design environment
};

enum : std::uint32_t {
  ufMainUnit = 1u << 0,  // the package's own unit
};

// Resource types (the numbers of the usual resource compilers).
enum : std::uint32_t {
  RT_BITMAP = 2,
  RT_RCDATA = 10,
  RT_VERSION = 16,
};

struct TPackageUnit {
  const char* Name;
  std::uint32_t Flags;
};

// One resource embedded in the module: a bitmap is a whole .bmp file; the
// version resource is the text described at TFileVersionInfo::Parse.
struct TPackageResource {
  std::uint32_t Type;
  const char* Name;        // upper case, e.g. "TVYHID"; "1" for the version
  std::uint16_t Language;  // e.g. 0x0409, US English
  const void* Data;
  std::uint32_t Size;
};

struct TPackageInfoTable {
  std::uint32_t StructSize;  // sizeof(TPackageInfoTable), for later growth
  const char* Name;
  const char* Description;  // UTF-8
  std::uint32_t Flags;      // pf...
  const char* const* Requires;
  std::uint32_t RequiresCount;
  const TPackageUnit* Contains;
  std::uint32_t ContainsCount;
  const TPackageResource* Resources;
  std::uint32_t ResourceCount;
};

using TPackageProc = void (*)();
using TGetPackageInfoTable = const TPackageInfoTable* (*)();
}

namespace rtl {

// ---------------------------------------------------------------------------
// The palette.

struct TPaletteItem {
  String Page;
  const TClassInfo* Class;
};

// Registers the classes (so that forms holding them can be read) and puts
// them on the palette page, after those already there. A class already on the
// page is not added twice. Throws std::runtime_error when a different class
// of the same name is registered. While a package loads, the items belong to
// that package.
void RegisterComponents(const String& Page, const std::vector<const TClassInfo*>& Classes);
// Every palette item, by page in order of first registration, then in order
// of registration.
std::vector<TPaletteItem> PaletteItems();

// ---------------------------------------------------------------------------
// Packages.

// A loaded package. 0 is none.
using HPACKAGE = HMODULE;

// Loads the package module at `Path`: the module must export Initialize,
// Finalize and GetPackageInfoTable; every package it requires must be loaded
// (the framework's rtl270 and vcl270 always are). Runs Initialize, then
// Register when exported; when Register throws, what it registered is
// withdrawn and Finalize runs. Returns 0 on failure with the reason in
// LastPackageError(), having undone whatever it did. Loading a package that is
// already loaded counts one more load.
HPACKAGE LoadPackage(const String& Path);
// Reverses one LoadPackage; the last one withdraws the package's classes and
// palette items, runs Finalize and unloads the module. Components of the
// package's classes must have been destroyed before. False for a handle that
// is not a loaded package.
bool UnloadPackage(HPACKAGE Package);
// Packages loaded through LoadPackage and not yet unloaded.
int LoadedPackageCount();
// The reason for the last failure of LoadPackage on this thread.
String LastPackageError();

// What a package says about itself, read from a loaded package.
struct TPackageInfo {
  String Name;
  String Description;
  std::uint32_t Flags = 0;
  std::vector<String> Requires;  // in the order the package lists them
  std::vector<String> Contains;  // unit names
  std::vector<std::uint32_t> UnitFlags;
};
std::optional<TPackageInfo> GetPackageInfo(HPACKAGE Package);

// ---------------------------------------------------------------------------
// Resources of a loaded module (a package).

struct TResourceData {
  const void* Data = nullptr;
  std::uint32_t Size = 0;
  std::uint16_t Language = 0;
};
// The resource of that type and name (ASCII case ignored), or nothing.
std::optional<TResourceData> FindResource(HMODULE Module, std::uint32_t Type, const String& Name);

// A device-independent bitmap decoded from a .bmp resource.
struct TBitmap {
  int Width = 0;
  int Height = 0;
  int BitsPerPixel = 0;
  // Top row first, 3 bytes (R, G, B) a pixel.
  std::vector<std::uint8_t> Rgb;
};
// Loads a bitmap resource by name (as LoadBitmap does). Supports the
// uncompressed 24-bit form; nothing for anything else or a damaged file.
std::optional<TBitmap> LoadBitmapResource(HMODULE Module, const String& Name);
// Decodes a .bmp file's bytes (bounds-checked).
std::optional<TBitmap> DecodeBmp(const void* data, std::size_t size);

// ---------------------------------------------------------------------------
// Version information, read as a user of packages reads it.
//
// The version resource is UTF-8 text, one `key = value` a line:
//   FileVersion = 1.0.0.0
//   ProductVersion = 1.0.0.0
//   Translation = 0409 04E4          (language, code page; may repeat)
//   040904E4.FileDescription = ...   (a string of one translation)
struct TFileVersionInfo {
  std::uint16_t FileVersion[4] = {0, 0, 0, 0};
  std::uint16_t ProductVersion[4] = {0, 0, 0, 0};
  struct Translation {
    std::uint16_t Language;
    std::uint16_t CodePage;
  };
  std::vector<Translation> Translations;
  // Keyed by the translation block ("040904E4") and then the string's name.
  std::map<String, std::map<String, String>> Strings;

  // Parses the text; nothing when it is malformed.
  static std::optional<TFileVersionInfo> Parse(std::string_view text);

  // A value by its path, as VerQueryValue takes it:
  //   "\\StringFileInfo\\040904E4\\ProductName" -> the string;
  //   "\\VarFileInfo\\Translation" -> "040904E4" (each translation);
  //   "\\" -> "FileVersion 1.0.0.0, ProductVersion 1.0.0.0".
  std::optional<String> QueryValue(const String& SubBlock) const;
};
// The version information of a loaded module, or nothing when it has none.
std::optional<TFileVersionInfo> GetFileVersionInfo(HMODULE Module);

}  // namespace rtl
