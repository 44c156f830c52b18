// Loading and unloading packages: VyHIDpkg's palette item, image, identity
// and version information, and that a package leaves nothing behind.
#include <gtest/gtest.h>
#if defined(__linux__)
#include <link.h>
#endif

#include <atomic>
#include <set>
#include <string>

#include "rtl/DynLib.h"
#include "rtl/Messages.h"
#include "rtl/Packages.h"

namespace {

// Whether a module whose path contains `part` is mapped into the process
// (always false where the loader cannot be asked).
bool IsMapped(const std::string& part) {
#if defined(__linux__)
  struct Search {
    std::string part;
    bool found = false;
  } search{part};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_name != nullptr &&
            std::string(info->dlpi_name).find(s->part) != std::string::npos) {
          s->found = true;
        }
        return 0;
      },
      &search);
  return search.found;
#else
  (void)part;
  return false;
#endif
}

struct Counts {
  int windows = rtl::LiveWindowCount();
  int timers = rtl::MessageQueue::ForCurrentThread().ActiveTimerCount();
  int libraries = rtl::LoadedLibraryCount();
  int packages = rtl::LoadedPackageCount();
  size_t paletteItems = rtl::PaletteItems().size();
};

TEST(VyHIDpkg, LoadingPutsExactlyTVyHIDOnNevraWithItsImageAndLeavesNothingBehind) {
  const Counts before;
  ASSERT_FALSE(IsMapped("VyHIDpkg.so"));
  const rtl::HPACKAGE package = rtl::LoadPackage(u"" VYHIDPKG_PATH);
  ASSERT_NE(package, 0u) << rtl::StringToUtf8(rtl::LastPackageError());

  // Loading created no component, window or timer and loaded no bridge.
  EXPECT_EQ(rtl::LiveWindowCount(), before.windows);
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), before.timers);
  EXPECT_EQ(rtl::LoadedLibraryCount(), before.libraries + 1);  // the package itself
  EXPECT_FALSE(IsMapped("HID_Bridge__"));
  auto* live = static_cast<std::atomic<void*>*>(rtl::GetProcAddress(package, "aVyHID"));
  ASSERT_NE(live, nullptr) << "the unit's global is exported";
  EXPECT_EQ(live->load(), nullptr);

  const auto items = rtl::PaletteItems();
  ASSERT_EQ(items.size(), before.paletteItems + 1);
  EXPECT_EQ(items.back().Page, u"NEVRA");
  EXPECT_EQ(items.back().Class->ClassName, u"TVyHID");
  EXPECT_EQ(rtl::FindClass(u"TVyHID"), items.back().Class);

  const auto raw = rtl::FindResource(package, RT_BITMAP, u"TVYHID");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->Size, 54u + 24u * 24u * 3u);
  const auto bitmap = rtl::LoadBitmapResource(package, u"TVYHID");
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->Width, 24);
  EXPECT_EQ(bitmap->Height, 24);
  EXPECT_EQ(bitmap->BitsPerPixel, 24);
  // A picture, not a blank square: several colours, and the middle of the
  // plug differs from the corner.
  std::set<std::uint32_t> colours;
  for (size_t i = 0; i + 2 < bitmap->Rgb.size(); i += 3) {
    colours.insert(bitmap->Rgb[i] << 16 | bitmap->Rgb[i + 1] << 8 | bitmap->Rgb[i + 2]);
  }
  EXPECT_GE(colours.size(), 4u);
  const auto pixel = [&](int x, int y) {
    const size_t at = (static_cast<size_t>(y) * 24 + static_cast<size_t>(x)) * 3;
    return bitmap->Rgb[at] << 16 | bitmap->Rgb[at + 1] << 8 | bitmap->Rgb[at + 2];
  };
  EXPECT_NE(pixel(0, 0), pixel(12, 12));

  ASSERT_TRUE(rtl::UnloadPackage(package));
  EXPECT_EQ(rtl::PaletteItems().size(), before.paletteItems);
  EXPECT_EQ(rtl::FindClass(u"TVyHID"), nullptr);
  EXPECT_EQ(rtl::LoadedPackageCount(), before.packages);
  EXPECT_EQ(rtl::LoadedLibraryCount(), before.libraries);
  EXPECT_EQ(rtl::LiveWindowCount(), before.windows);
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), before.timers);
  EXPECT_FALSE(IsMapped("VyHIDpkg.so")) << "the module is unloaded";
  EXPECT_FALSE(rtl::UnloadPackage(package));
}

TEST(VyHIDpkg, IdentityAndVersionInformation) {
  const rtl::HPACKAGE package = rtl::LoadPackage(u"" VYHIDPKG_PATH);
  ASSERT_NE(package, 0u);
  const auto info = rtl::GetPackageInfo(package);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Name, u"VyHIDpkg");
  EXPECT_EQ(info->Description, u"NEVRA HID component");
  EXPECT_EQ(info->Requires, (std::vector<rtl::String>{u"vcl270", u"rtl270"}));
  EXPECT_EQ(info->Contains, (std::vector<rtl::String>{u"VyHIDpkg", u"VyHID"}));
  EXPECT_EQ(info->Flags & (pfDesignOnly | pfRunOnly), 0u);

  const auto version = rtl::GetFileVersionInfo(package);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->QueryValue(u"\\VarFileInfo\\Translation"), u"040904E4");
  EXPECT_EQ(version->QueryValue(u"\\"), u"FileVersion 1.0.0.0, ProductVersion 1.0.0.0");
  for (const char16_t* key : {u"FileDescription", u"ProductName"}) {
    EXPECT_EQ(version->QueryValue(rtl::String(u"\\StringFileInfo\\040904E4\\") + key), u"VyHIDpkg")
        << rtl::StringToUtf8(key);
  }
  EXPECT_EQ(version->QueryValue(u"\\StringFileInfo\\040904E4\\FileVersion"), u"1.0.0.0");
  EXPECT_FALSE(version->QueryValue(u"\\StringFileInfo\\040704B0\\ProductName"));
  EXPECT_TRUE(rtl::UnloadPackage(package));
}

TEST(VyHIDpkg, LoadingTwiceIsCountedAndRegistersOnce) {
  const size_t items = rtl::PaletteItems().size();
  const rtl::HPACKAGE first = rtl::LoadPackage(u"" VYHIDPKG_PATH);
  const rtl::HPACKAGE second = rtl::LoadPackage(u"" VYHIDPKG_PATH);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(rtl::PaletteItems().size(), items + 1);
  EXPECT_TRUE(rtl::UnloadPackage(first));
  EXPECT_EQ(rtl::PaletteItems().size(), items + 1) << "one load is left";
  EXPECT_TRUE(rtl::UnloadPackage(second));
  EXPECT_EQ(rtl::PaletteItems().size(), items);
}

struct FailingPackage {
  const char* name;
  const char* path;
  const char* reasonPart;
};

class FailingPackageTest : public ::testing::TestWithParam<FailingPackage> {};

TEST_P(FailingPackageTest, IsRefusedAndLeavesNothing) {
  const Counts before;
  EXPECT_EQ(rtl::LoadPackage(rtl::Utf8ToString(GetParam().path)), 0u);
  EXPECT_NE(rtl::StringToUtf8(rtl::LastPackageError()).find(GetParam().reasonPart),
            std::string::npos)
      << rtl::StringToUtf8(rtl::LastPackageError());
  EXPECT_EQ(rtl::LoadedLibraryCount(), before.libraries);
  EXPECT_EQ(rtl::LoadedPackageCount(), before.packages);
  EXPECT_EQ(rtl::PaletteItems().size(), before.paletteItems);
  EXPECT_EQ(rtl::FindClass(u"TPkgThing"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, FailingPackageTest,
    ::testing::Values(
        FailingPackage{"Missing", "/nonexistent/none.so", "cannot load"},
        FailingPackage{"NotAPackage", TESTPKG_PLAIN_PATH, "is not a package"},
        FailingPackage{"MissingRequirement", TESTPKG_REQUIRES_PATH, "requires nosuchpkg"},
        FailingPackage{"RegisterThrows", TESTPKG_THROW_PATH, "register failed on purpose"}),
    [](const ::testing::TestParamInfo<FailingPackage>& info) { return info.param.name; });

}  // namespace
