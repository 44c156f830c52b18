// Without any bridge on the search path: the component is unbound.
#include "TestVyHID.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

const rtl::String kMissingBridge =
    u"Missing or incorrect: HID_Bridge__.dll \r\n\r\nThe program will not work properly.";

TEST(NoBridge, MissingLibraryLeavesTheComponentUnbound) {
  const rtl::HMODULE probe = rtl::LoadLibraryW(vyhid::kBridgeFileName);
  if (probe != 0) rtl::FreeLibrary(probe);
  ASSERT_EQ(probe, 0) << "a bridge is on the search path; this test needs none";

  MessageCapture messages;
  const int librariesBefore = rtl::LoadedLibraryCount();
  {
    TVyHID hid(nullptr);
    EXPECT_EQ(messages.Messages(), std::vector<rtl::String>{kMissingBridge});
    EXPECT_EQ(aVyHID.load(), &hid);
    EventLog log;
    RecordEvents(hid, log);
    EXPECT_EQ(hid.ScanForHIDdevices(), -1);
    hid.Filter = u"x";
    hid.CurrentDevNr = 0;
    hid.Active = true;
    hid.CloseHidDevice();
    EXPECT_EQ(hid.DevCount, -1);
    EXPECT_FALSE(hid.Active);
    EXPECT_TRUE(hid.AutoConnect);
    EXPECT_TRUE(log.Events().empty());
    EXPECT_NE(Field(hid.HIDinfoArray[0].HIDstringsInfo), nullptr);
    THIDreport report{};
    EXPECT_EQ(hid.GetReport(report), -1);
    EXPECT_EQ(hid.SetReport(0, "abc"), -1);
  }
  EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore);
  EXPECT_EQ(messages.Messages().size(), 1u);
  EXPECT_EQ(rtl::LiveWindowCount(), 0);
}

TEST(NoBridge, DesignModeShowsNothingEvenWithoutTheLibrary) {
  MessageCapture messages;
  rtl::TComponent designer(nullptr);
  designer.SetDesigning(true);
  TVyHID hid(&designer);
  EXPECT_TRUE(messages.Messages().empty());
  hid.Filter = u"x";
  EXPECT_EQ(hid.ScanForHIDdevices(), -1);
}

}  // namespace
}  // namespace vyhid_test
