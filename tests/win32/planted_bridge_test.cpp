// A HID_Bridge__.dll left in the folder a program is started from, or in a
// folder of PATH, is not the program's: the component does not load it. This
// program's own folder holds no bridge.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "VyHID.h"
#include "VyHIDTestSupport.h"
#include "rtl/DynLib.h"

namespace vyhid_test {
namespace {

namespace fs = std::filesystem;

TEST(PlantedBridge, NeitherTheCurrentFolderNorPathIsSearched) {
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  ASSERT_FALSE(fs::exists(fs::path(self).parent_path() / "HID_Bridge__.dll"));
  const fs::path planted = fs::temp_directory_path() / "vyhid-planted-bridge";
  fs::create_directories(planted);
  fs::copy_file(VYHID_PLANTED_BRIDGE, planted / "HID_Bridge__.dll",
                fs::copy_options::overwrite_existing);
  const fs::path previous = fs::current_path();
  fs::current_path(planted);
  const std::wstring path = planted.wstring() + L";" + _wgetenv(L"PATH");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"PATH", path.c_str()));

  MessageCapture messages;
  {
    TVyHID hid(nullptr);
    EXPECT_EQ(hid.ScanForHIDdevices(), -1) << "no bridge bound";
  }
  ASSERT_EQ(messages.Messages().size(), 1u);
  EXPECT_EQ(Utf8(messages.Messages()[0]).rfind("Missing or incorrect: HID_Bridge__.dll", 0), 0u);
  EXPECT_EQ(::GetModuleHandleW(L"HID_Bridge__.dll"), nullptr);
  // Asked for by path, the same file loads.
  const rtl::HMODULE byPath = rtl::LoadLibraryW(u".\\HID_Bridge__.dll");
  EXPECT_NE(byPath, 0u) << rtl::StringToUtf8(rtl::LastLibraryError());
  EXPECT_TRUE(rtl::FreeLibrary(byPath));
  fs::current_path(previous);
  fs::remove_all(planted);
}

}  // namespace
}  // namespace vyhid_test
