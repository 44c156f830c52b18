// A bridge that lacks only its last export, HIDSetFeatureReport.
#include "GetProcAddressSpy.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

using IncompleteBridge = SimBridgeNoSetFeatureTest;

TEST_F(IncompleteBridge, EveryLookupIsMadeAndTheLibraryReleased) {
  const int librariesBefore = rtl::LoadedLibraryCount();
  TakeLookedUpNames();
  {
    TVyHID hid(nullptr);
    EXPECT_EQ(TakeLookedUpNames(), std::vector<std::string>(vyhid::kEntryPointNames.begin(),
                                                            vyhid::kEntryPointNames.end()));
    EXPECT_EQ(rtl::LastLibraryError(), u"HID_Bridge__.dll has no export HIDSetFeatureReport");
    EXPECT_EQ(Messages(),
              std::vector<rtl::String>{u"Missing or incorrect: HID_Bridge__.dll \r\n\r\n"
                                       u"The program will not work properly."});
    // Released at once, and no callback was installed.
    EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore);
    EXPECT_TRUE(CallNames().empty());

    EventLog log;
    RecordEvents(hid, log);
    SetDevices({MakeSimpleDevice("/dev/hidraw0")});
    sim.FireDeviceChange();
    Pump();
    EXPECT_EQ(hid.ScanForHIDdevices(), -1);
    EXPECT_EQ(hid.DevCount, -1);
    EXPECT_TRUE(log.Events().empty());
    EXPECT_TRUE(CallNames().empty());
  }
  EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore);
  EXPECT_EQ(Messages().size(), 1u);
}

}  // namespace
}  // namespace vyhid_test
