#include "rtl/DynLib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using rtl::String;

String TestLibPath() {
  return rtl::Utf8ToString(FRAMEWORK_TESTLIB_PATH);
}

TEST(DynLib, MissingFileGivesZeroAndTheReason) {
  const int before = rtl::LoadedLibraryCount();
  EXPECT_EQ(rtl::LoadLibraryW(u"/nonexistent/dir/HID_Bridge__.dll"), 0u);
#if defined(_WIN32)
  const String reason = u"LoadLibraryExW: ";  // then the system's text for the error
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

#if !defined(_WIN32)
// Copies of another library (answer 7) planted in the current directory under
// the names loaded: this program's run path holds an empty entry, which the
// loader takes for the current directory. Run again by CTest with
// LD_LIBRARY_PATH=., where the user's choice wins.
TEST(DynLib, BareNameSkipsTheCurrentDirectory) {
  namespace fs = std::filesystem;
  const char* userPath = std::getenv("LD_LIBRARY_PATH");
  const std::string entries = userPath != nullptr ? ":" + std::string(userPath) + ":" : "";
  const bool userNamesIt =
      entries.find("::") != std::string::npos || entries.find(":.:") != std::string::npos;
  const fs::path dir =
      fs::temp_directory_path() / ("framework_dynlib_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  for (const char* name : {"framework_testlib_runpath.so", "HID_Bridge__.dll"}) {
    fs::copy_file(FRAMEWORK_PLANTED_PATH, dir / name, fs::copy_options::overwrite_existing);
  }
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  const rtl::HMODULE runpath = rtl::LoadLibraryW(u"framework_testlib_runpath.so");
  const rtl::HMODULE bridge = rtl::LoadLibraryW(u"HID_Bridge__.dll");
  const String reason = rtl::LastLibraryError();
  fs::current_path(previous);
  fs::remove_all(dir);

  const auto answer = [](rtl::HMODULE module) {
    auto* f = reinterpret_cast<int (*)()>(rtl::GetProcAddress(module, "framework_testlib_answer"));
    return f != nullptr ? f() : 0;
  };
  EXPECT_EQ(answer(runpath), userNamesIt ? 7 : 42);
  EXPECT_EQ(answer(bridge), userNamesIt ? 7 : 0);
  if (!userNamesIt) {
    EXPECT_NE(reason.find(u"No such file"), String::npos) << rtl::StringToUtf8(reason);
  }
  for (rtl::HMODULE module : {runpath, bridge}) {
    if (module != 0) {
      EXPECT_TRUE(rtl::FreeLibrary(module));
    }
  }
}
#endif

}  // namespace
