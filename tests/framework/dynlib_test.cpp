#include "rtl/DynLib.h"

#include <gtest/gtest.h>

namespace {

using rtl::String;

String TestLibPath() {
  return rtl::Utf8ToString(FRAMEWORK_TESTLIB_PATH);
}

TEST(DynLib, MissingFileGivesZeroAndTheReason) {
  const int before = rtl::LoadedLibraryCount();
  EXPECT_EQ(rtl::LoadLibraryW(u"/nonexistent/dir/HID_Bridge__.dll"), 0u);
#if defined(_WIN32)
  const String reason = u"LoadLibraryW: ";  // then the system's text for the error
#else
  const String reason = u"No such file";
#endif
  EXPECT_NE(rtl::LastLibraryError().find(reason), String::npos)
      << rtl::StringToUtf8(rtl::LastLibraryError());
  EXPECT_EQ(rtl::LoadLibraryW(u"framework_no_such_library.so"), 0u);
  EXPECT_EQ(rtl::LoadLibraryW(u""), 0u);
  EXPECT_EQ(rtl::LoadedLibraryCount(), before);
}

TEST(DynLib, LoadsResolvesAndReleases) {
  const int before = rtl::LoadedLibraryCount();
  const rtl::HMODULE module = rtl::LoadLibraryW(TestLibPath());
  ASSERT_NE(module, 0u) << rtl::StringToUtf8(rtl::LastLibraryError());
  EXPECT_EQ(rtl::LoadedLibraryCount(), before + 1);

  auto* answer =
      reinterpret_cast<int (*)()>(rtl::GetProcAddress(module, "framework_testlib_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(rtl::GetProcAddress(module, "HIDSetFeatureReport"), nullptr);
  EXPECT_EQ(rtl::GetProcAddress(module, nullptr), nullptr);

  EXPECT_TRUE(rtl::FreeLibrary(module));
  EXPECT_EQ(rtl::LoadedLibraryCount(), before);
  // A released module is no longer a module.
  EXPECT_FALSE(rtl::FreeLibrary(module));
  EXPECT_EQ(rtl::GetProcAddress(module, "framework_testlib_answer"), nullptr);
  EXPECT_FALSE(rtl::FreeLibrary(0));
}

TEST(DynLib, BareNameFindsTheLibraryLoadedByPath) {
  // Not on any search path, so the bare name alone fails...
  ASSERT_EQ(rtl::LoadLibraryW(u"framework_testlib.so"), 0u);
  // ...until a copy is loaded by path: the bare name then matches its SONAME.
  const rtl::HMODULE byPath = rtl::LoadLibraryW(TestLibPath());
  ASSERT_NE(byPath, 0u);
  const rtl::HMODULE byName = rtl::LoadLibraryW(u"framework_testlib.so");
  EXPECT_EQ(byName, byPath);
  EXPECT_TRUE(rtl::FreeLibrary(byName));
  EXPECT_TRUE(rtl::FreeLibrary(byPath));
}

TEST(DynLib, BareNameFollowsTheCallersRunpath) {
  // Only this program's RUNPATH names the folder, not the framework library's.
  const rtl::HMODULE module = rtl::LoadLibraryW(u"framework_testlib_runpath.so");
  ASSERT_NE(module, 0u) << rtl::StringToUtf8(rtl::LastLibraryError());
  EXPECT_NE(rtl::GetProcAddress(module, "framework_testlib_answer"), nullptr);
  EXPECT_TRUE(rtl::FreeLibrary(module));
}

}  // namespace
