// The package VyHIDpkg: its identity, version information and palette image,
// and the package entry points.
#include "VyHID_props.h"
#include "VyHIDpkg_bitmap.h"
#include "VyHIDpkg_version.h"
#include "rtl/Packages.h"

namespace {

constexpr auto kPlugBmp = vyhid::pkg::MakePlugBmp();

constexpr char kVersionInfo[] =
    "FileVersion = " VYHIDPKG_VERSION
    "\n"
    "ProductVersion = " VYHIDPKG_VERSION
    "\n"
    "Translation = " VYHIDPKG_LANGID_HEX " " VYHIDPKG_CODEPAGE_HEX "\n" VYHIDPKG_TRANSLATION_KEY
    ".FileDescription = " VYHIDPKG_NAME "\n" VYHIDPKG_TRANSLATION_KEY
    ".FileVersion = " VYHIDPKG_VERSION "\n" VYHIDPKG_TRANSLATION_KEY ".ProductName = " VYHIDPKG_NAME
    "\n" VYHIDPKG_TRANSLATION_KEY ".ProductVersion = " VYHIDPKG_VERSION "\n";

constexpr std::uint16_t kLanguage = VYHIDPKG_LANGID;

const char* const kRequires[] = {"vcl270", "rtl270"};

const TPackageUnit kContains[] = {
    {"VyHIDpkg", ufMainUnit},
    {"VyHID", 0},
};

const TPackageResource kResources[] = {
    {RT_BITMAP, "TVYHID", kLanguage, kPlugBmp.data(), static_cast<std::uint32_t>(kPlugBmp.size())},
    {RT_VERSION, "1", kLanguage, kVersionInfo, sizeof(kVersionInfo) - 1},
};

const TPackageInfoTable kPackageInfo = {
    sizeof(TPackageInfoTable),
    VYHIDPKG_NAME,
    "NEVRA HID component",
    0,  // usable at design time and at run time
    kRequires,
    std::size(kRequires),
    kContains,
    std::size(kContains),
    kResources,
    std::size(kResources),
};

}  // namespace

extern "C" {

// Start-up of the package's units, in order. Neither VyHIDpkg nor VyHID has
// start-up work: loading the package creates no component and loads no
// bridge.
RTL_PACKAGE_EXPORT void Initialize() {}

// Shut-down of the units, in reverse order; nothing to undo.
RTL_PACKAGE_EXPORT void Finalize() {}

RTL_PACKAGE_EXPORT const TPackageInfoTable* GetPackageInfoTable() {
  return &kPackageInfo;
}

// Called by a design environment after loading the package.
RTL_PACKAGE_EXPORT void Register() {
  vyhid::Register();
}
}
