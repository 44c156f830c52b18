// Without a complete bridge the open, the close and the transfers do nothing:
// the bridge here lacks one export, so the component stays unbound.
#include <cstring>

#include "IoTestSupport.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

TEST_F(SimBridgeNoSetFeatureTest, OpenCloseAndTransfersLeaveEverythingAlone) {
  SetDevices({MakeSimpleDevice("/dev/hidraw-a")});
  TVyHID hid(nullptr);
  EventLog log;
  RecordEvents(hid, log);
  ClearCalls();

  hid.CurrentDevNr = 0;
  hid.Active = true;
  hid.CloseHidDevice();
  EXPECT_FALSE(hid.Active);

  THIDreport report;
  std::memset(&report, 0xEE, sizeof report);
  const THIDreport before = report;
  EXPECT_EQ(hid.GetReport(report), -1);
  EXPECT_EQ(hid.GetFeature(report), -1);
  EXPECT_EQ(std::memcmp(&report, &before, sizeof report), 0);
  const std::string data = Pattern(100);
  EXPECT_EQ(hid.SetReport(1, data), -1);
  EXPECT_EQ(hid.SetFeature(1, data), -1);
  EXPECT_EQ(data, Pattern(100));

  EXPECT_EQ(CallNames(), std::vector<std::string>{});
  EXPECT_EQ(log.Events(), std::vector<std::string>{});
  // Needs no bridge.
  EXPECT_EQ(hid.GetStrFromBuffer(report, 2), "\xEE\xEE");
}

}  // namespace
}  // namespace vyhid_test
