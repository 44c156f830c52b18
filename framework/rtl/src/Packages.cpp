// The palette, package loading, resources and version information.
#include "rtl/Packages.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "RegistryRecording.h"

namespace rtl {

namespace {

// ---------------------------------------------------------------------------
// Palette

struct Palette {
  std::mutex mutex;
  std::vector<TPaletteItem> items;
};

Palette& ThePalette() {
  static Palette palette;
  return palette;
}

void RemovePaletteItem(const String& page, const TClassInfo* cls) {
  auto& palette = ThePalette();
  std::lock_guard lock(palette.mutex);
  auto& items = palette.items;
  items.erase(std::remove_if(
                  items.begin(), items.end(),
                  [&](const TPaletteItem& item) { return item.Class == cls && item.Page == page; }),
              items.end());
}

// ---------------------------------------------------------------------------
// Packages

struct LoadedPackage {
  HMODULE module = 0;
  int loads = 0;
  String name;
  TPackageProc finalize = nullptr;
  detail::TUndoList registrations;
};

struct PackageTable {
  std::recursive_mutex mutex;  // a package's Register may load another package
  std::vector<LoadedPackage> packages;
};

PackageTable& Packages() {
  static PackageTable table;
  return table;
}

thread_local String tLastPackageError;

String FromUtf8(const char* text) {
  return text == nullptr ? String() : Utf8ToString(text);
}

const TPackageInfoTable* InfoTableOf(HMODULE module) {
  auto get = reinterpret_cast<TGetPackageInfoTable>(GetProcAddress(module, "GetPackageInfoTable"));
  if (get == nullptr) return nullptr;
  const TPackageInfoTable* table = get();
  if (table == nullptr || table->StructSize < sizeof(TPackageInfoTable)) return nullptr;
  return table;
}

bool IsRuntimePackageLoaded(const String& name, const PackageTable& table) {
  // The framework's own libraries are loaded wherever this code runs.
  if (SameIdent(name, u"rtl270") || SameIdent(name, u"vcl270")) return true;
  return std::any_of(table.packages.begin(), table.packages.end(),
                     [&](const LoadedPackage& p) { return SameIdent(p.name, name); });
}

// The message of the exception being handled.
String CurrentExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return Utf8ToString(e.what());
  } catch (...) {
    return u"unknown exception";
  }
}

HPACKAGE Fail(const String& reason, HMODULE module) {
  tLastPackageError = reason;
  if (module != 0) FreeLibrary(module);
  return 0;
}

}  // namespace

void RegisterComponents(const String& Page, const std::vector<const TClassInfo*>& Classes) {
  for (const TClassInfo* cls : Classes) {
    if (cls == nullptr) continue;
    if (!RegisterClass(*cls)) {
      throw std::runtime_error("a different class named " + StringToUtf8(cls->ClassName) +
                               " is already registered");
    }
    bool added = false;
    {
      auto& palette = ThePalette();
      std::lock_guard lock(palette.mutex);
      auto& items = palette.items;
      const bool present = std::any_of(items.begin(), items.end(), [&](const TPaletteItem& item) {
        return item.Class == cls && item.Page == Page;
      });
      if (!present) {
        // After the last item of the same page, so that pages stay together.
        auto last = std::find_if(items.rbegin(), items.rend(),
                                 [&](const TPaletteItem& item) { return item.Page == Page; });
        items.insert(last == items.rend() ? items.end() : last.base(), TPaletteItem{Page, cls});
        added = true;
      }
    }
    if (added) detail::RecordUndo([Page, cls] { RemovePaletteItem(Page, cls); });
  }
}

std::vector<TPaletteItem> PaletteItems() {
  auto& palette = ThePalette();
  std::lock_guard lock(palette.mutex);
  return palette.items;
}

HPACKAGE LoadPackage(const String& Path) {
  auto& table = Packages();
  std::lock_guard lock(table.mutex);
  const HMODULE module = LoadLibraryW(Path);
  if (module == 0) return Fail(u"cannot load " + Path + u": " + LastLibraryError(), 0);
  for (auto& package : table.packages) {
    if (package.module == module) {
      FreeLibrary(module);  // the package holds one load of its module
      ++package.loads;
      return module;
    }
  }
  const auto initialize = reinterpret_cast<TPackageProc>(GetProcAddress(module, "Initialize"));
  const auto finalize = reinterpret_cast<TPackageProc>(GetProcAddress(module, "Finalize"));
  const TPackageInfoTable* info = InfoTableOf(module);
  if (initialize == nullptr || finalize == nullptr || info == nullptr) {
    return Fail(Path + u" is not a package (Initialize, Finalize or GetPackageInfoTable missing)",
                module);
  }
  const String name = FromUtf8(info->Name);
  for (std::uint32_t i = 0; i < info->RequiresCount; ++i) {
    const String required = FromUtf8(info->Requires[i]);
    if (!IsRuntimePackageLoaded(required, table)) {
      return Fail(u"package " + name + u" requires " + required + u", which is not loaded", module);
    }
  }
  if (std::any_of(table.packages.begin(), table.packages.end(),
                  [&](const LoadedPackage& p) { return SameIdent(p.name, name); })) {
    return Fail(u"another package named " + name + u" is already loaded", module);
  }

  LoadedPackage package;
  package.module = module;
  package.loads = 1;
  package.name = name;
  package.finalize = finalize;
  const auto registerProc = reinterpret_cast<TPackageProc>(GetProcAddress(module, "Register"));
  const auto undoRegistrations = [&package] {
    for (auto it = package.registrations.rbegin(); it != package.registrations.rend(); ++it)
      (*it)();
  };
  // The module is released only after the catch block has ended: the
  // exception object may need the package's code to be destroyed (its
  // destructor, or on Windows the thunk the package threw it with).
  String failure;
  {
    detail::TRecordingScope recording(&package.registrations);
    try {
      initialize();
    } catch (...) {
      undoRegistrations();
      failure = u"starting package " + name + u" failed: " + CurrentExceptionText();
    }
    if (failure.empty()) {
      try {
        if (registerProc != nullptr) registerProc();
      } catch (...) {
        undoRegistrations();
        finalize();
        failure = u"registering package " + name + u" failed: " + CurrentExceptionText();
      }
    }
  }
  if (!failure.empty()) return Fail(failure, module);
  table.packages.push_back(std::move(package));
  return module;
}

bool UnloadPackage(HPACKAGE Package) {
  auto& table = Packages();
  std::lock_guard lock(table.mutex);
  auto it = std::find_if(table.packages.begin(), table.packages.end(),
                         [&](const LoadedPackage& p) { return p.module == Package; });
  if (it == table.packages.end()) return false;
  if (--it->loads > 0) return true;
  LoadedPackage package = std::move(*it);
  table.packages.erase(it);
  // Withdraw what the package registered while its code is still there.
  for (auto undo = package.registrations.rbegin(); undo != package.registrations.rend(); ++undo)
    (*undo)();
  package.finalize();
  FreeLibrary(package.module);
  return true;
}

int LoadedPackageCount() {
  auto& table = Packages();
  std::lock_guard lock(table.mutex);
  return static_cast<int>(table.packages.size());
}

String LastPackageError() {
  return tLastPackageError;
}

std::optional<TPackageInfo> GetPackageInfo(HPACKAGE Package) {
  const TPackageInfoTable* table = InfoTableOf(Package);
  if (table == nullptr) return std::nullopt;
  TPackageInfo info;
  info.Name = FromUtf8(table->Name);
  info.Description = FromUtf8(table->Description);
  info.Flags = table->Flags;
  for (std::uint32_t i = 0; i < table->RequiresCount; ++i)
    info.Requires.push_back(FromUtf8(table->Requires[i]));
  for (std::uint32_t i = 0; i < table->ContainsCount; ++i) {
    info.Contains.push_back(FromUtf8(table->Contains[i].Name));
    info.UnitFlags.push_back(table->Contains[i].Flags);
  }
  return info;
}

// ---------------------------------------------------------------------------
// Resources

std::optional<TResourceData> FindResource(HMODULE Module, std::uint32_t Type, const String& Name) {
  const TPackageInfoTable* table = InfoTableOf(Module);
  if (table == nullptr) return std::nullopt;
  for (std::uint32_t i = 0; i < table->ResourceCount; ++i) {
    const TPackageResource& res = table->Resources[i];
    if (res.Type == Type && res.Name != nullptr && SameIdent(FromUtf8(res.Name), Name)) {
      return TResourceData{res.Data, res.Size, res.Language};
    }
  }
  return std::nullopt;
}

std::optional<TBitmap> DecodeBmp(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at] | (bytes[at + 1] << 8));
  };
  const auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
  constexpr std::size_t kFileHeader = 14, kInfoHeader = 40;
  if (bytes == nullptr || size < kFileHeader + kInfoHeader || bytes[0] != 'B' || bytes[1] != 'M')
    return std::nullopt;
  const std::uint32_t pixelOffset = u32(10);
  const std::uint32_t headerSize = u32(14);
  const auto width = static_cast<std::int32_t>(u32(18));
  const auto height = static_cast<std::int32_t>(u32(22));
  const std::uint32_t planes = u16(26), bits = u16(28), compression = u32(30);
  if (headerSize < kInfoHeader || planes != 1 || bits != 24 || compression != 0)
    return std::nullopt;
  if (width <= 0 || width > 4096 || height == 0 || height < -4096 || height > 4096)
    return std::nullopt;
  const bool topDown = height < 0;
  const int rows = topDown ? -height : height;
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  if (pixelOffset > size || stride * static_cast<std::size_t>(rows) > size - pixelOffset)
    return std::nullopt;
  TBitmap bitmap;
  bitmap.Width = width;
  bitmap.Height = rows;
  bitmap.BitsPerPixel = 24;
  bitmap.Rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(rows) * 3);
  for (int y = 0; y < rows; ++y) {
    const int fileRow = topDown ? y : rows - 1 - y;  // bottom-up unless the height is negative
    const std::uint8_t* src = bytes + pixelOffset + stride * static_cast<std::size_t>(fileRow);
    std::uint8_t* dst =
        bitmap.Rgb.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) * 3;
    for (int x = 0; x < width; ++x) {
      dst[3 * x + 0] = src[3 * x + 2];  // stored as B, G, R
      dst[3 * x + 1] = src[3 * x + 1];
      dst[3 * x + 2] = src[3 * x + 0];
    }
  }
  return bitmap;
}

std::optional<TBitmap> LoadBitmapResource(HMODULE Module, const String& Name) {
  const auto res = FindResource(Module, RT_BITMAP, Name);
  if (!res) return std::nullopt;
  return DecodeBmp(res->Data, res->Size);
}

// ---------------------------------------------------------------------------
// Version information

namespace {

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool ParseVersion(std::string_view text, std::uint16_t (&out)[4]) {
  for (int part = 0; part < 4; ++part) {
    std::uint32_t value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      value = value * 10 + static_cast<std::uint32_t>(text[digits] - '0');
      if (value > 0xFFFF) return false;
      ++digits;
    }
    if (digits == 0) return false;
    out[part] = static_cast<std::uint16_t>(value);
    text.remove_prefix(digits);
    if (part < 3) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
  }
  return text.empty();
}

bool ParseHex16(std::string_view text, std::uint16_t& out) {
  if (text.size() != 4) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : -1;
    if (d < 0) return false;
    value = value * 16 + static_cast<std::uint32_t>(d);
  }
  out = static_cast<std::uint16_t>(value);
  return true;
}

String VersionText(const std::uint16_t (&v)[4]) {
  return IntToStr(v[0]) + u"." + IntToStr(v[1]) + u"." + IntToStr(v[2]) + u"." + IntToStr(v[3]);
}

}  // namespace

std::optional<TFileVersionInfo> TFileVersionInfo::Parse(std::string_view text) {
  TFileVersionInfo info;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = TrimView(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = TrimView(line.substr(0, eq));
    const std::string_view value = TrimView(line.substr(eq + 1));
    if (key == "FileVersion") {
      if (!ParseVersion(value, info.FileVersion)) return std::nullopt;
    } else if (key == "ProductVersion") {
      if (!ParseVersion(value, info.ProductVersion)) return std::nullopt;
    } else if (key == "Translation") {
      Translation t{};
      const std::size_t space = value.find(' ');
      if (space == std::string_view::npos || !ParseHex16(value.substr(0, space), t.Language) ||
          !ParseHex16(TrimView(value.substr(space + 1)), t.CodePage)) {
        return std::nullopt;
      }
      info.Translations.push_back(t);
    } else {
      const std::size_t dot = key.find('.');
      if (dot != 8 || key.size() == 9) return std::nullopt;
      info.Strings[Utf8ToString(key.substr(0, 8))][Utf8ToString(key.substr(9))] =
          Utf8ToString(value);
    }
  }
  return info;
}

std::optional<String> TFileVersionInfo::QueryValue(const String& SubBlock) const {
  if (SubBlock == u"\\") {
    return u"FileVersion " + VersionText(FileVersion) + u", ProductVersion " +
           VersionText(ProductVersion);
  }
  if (SameIdent(SubBlock, u"\\VarFileInfo\\Translation")) {
    String all;
    for (const auto& t : Translations) {
      if (!all.empty()) all += u' ';
      all += IntToHex(t.Language, 4) + IntToHex(t.CodePage, 4);
    }
    return all;
  }
  const String prefix = u"\\StringFileInfo\\";
  if (SubBlock.size() > prefix.size() + 9 && SameIdent(SubBlock.substr(0, prefix.size()), prefix) &&
      SubBlock[prefix.size() + 8] == u'\\') {
    const String block = SubBlock.substr(prefix.size(), 8);
    const String name = SubBlock.substr(prefix.size() + 9);
    for (const auto& [key, strings] : Strings) {
      if (!SameIdent(key, block)) continue;
      for (const auto& [stringName, value] : strings) {
        if (SameIdent(stringName, name)) return value;
      }
    }
  }
  return std::nullopt;
}

std::optional<TFileVersionInfo> GetFileVersionInfo(HMODULE Module) {
  const TPackageInfoTable* table = InfoTableOf(Module);
  if (table == nullptr) return std::nullopt;
  for (std::uint32_t i = 0; i < table->ResourceCount; ++i) {
    const TPackageResource& res = table->Resources[i];
    if (res.Type == RT_VERSION && res.Data != nullptr) {
      return TFileVersionInfo::Parse(
          std::string_view(static_cast<const char*>(res.Data), res.Size));
    }
  }
  return std::nullopt;
}

}  // namespace rtl
