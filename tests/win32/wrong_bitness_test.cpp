// A HID_Bridge__.dll of the other bitness (the other Windows build's), found
// by its bare name: the likeliest mistake of a Windows user. The component
// refuses it as any unusable bridge, and the loader's reason reaches
// LastLibraryError and the diagnostic channel (VYHID_DEBUG=1).
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <filesystem>
#include <string>

#include "Prerequisite.h"
#include "VyHID.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

TEST(WrongBitness, TheOtherBuildsBridgeIsMissingOrIncorrectAndTheLoaderSaysWhy) {
  const std::filesystem::path other = VYHID_OTHER_BITNESS_BRIDGE;
  if (!std::filesystem::is_regular_file(other)) {
    VYHID_MISSING_PREREQUISITE() << "no bridge of the other bitness at " << other.string()
                                 << ": build the other Windows variant first";
  }
  // Searched right after this program's folder, which holds no bridge.
  ASSERT_NE(::SetDllDirectoryW(other.parent_path().wstring().c_str()), 0);
  MessageCapture messages;
  testing::internal::CaptureStderr();
  {
    TVyHID hid(nullptr);
    EXPECT_EQ(hid.ScanForHIDdevices(), -1);
  }
  const std::string diagnostics = testing::internal::GetCapturedStderr();
  ::SetDllDirectoryW(nullptr);

  EXPECT_EQ(messages.Messages(),
            std::vector<rtl::String>{u"Missing or incorrect: HID_Bridge__.dll \r\n\r\n"
                                     u"The program will not work properly."});
  const std::string reason = Utf8(rtl::LastLibraryError());
  EXPECT_NE(reason.find("HID_Bridge__.dll"), std::string::npos) << reason;
  EXPECT_NE(reason.find("(error 193, ERROR_BAD_EXE_FORMAT"), std::string::npos) << reason;
  EXPECT_NE(diagnostics.find("vyhid bridge: " + reason + "\n"), std::string::npos) << diagnostics;
  EXPECT_EQ(rtl::LoadedLibraryCount(), 0);
}

}  // namespace
}  // namespace vyhid_test
