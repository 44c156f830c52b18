// Opening a device through CurrentDevNr and Active, closing it with
// CloseHidDevice, and the three lasting states Closed, Open and Lost.
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "IoTestSupport.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

using Events = std::vector<std::string>;
using Names = std::vector<std::string>;

// Report kinds by their buffer sizes (what the size queries return) and by
// their capability tables (what the summary's selectors are chosen from).
// The two disagree on purpose in some devices.
THIDdeviceInfo Device(std::string path, std::uint16_t out, std::uint16_t in, std::uint16_t feat,
                      std::vector<TReportCapabilities> outCaps = {{0, 6, 8, 8}},
                      std::vector<TReportCapabilities> inCaps = {{0, 7, 8, 8}},
                      std::vector<TReportCapabilities> featCaps = {{0, 5, 8, 8}}) {
  return MakeDevice({.Path = std::move(path),
                     .VID = 0x1234,
                     .PID = 0x0001,
                     .Product = "Widget",
                     .OutputBufferSize = out,
                     .InputBufferSize = in,
                     .FeatureBufferSize = feat,
                     .OutputCaps = std::move(outCaps),
                     .InputCaps = std::move(inCaps),
                     .FeatureCaps = std::move(featCaps)});
}

const THIDdeviceInfo kAll = Device("/dev/hidraw-all", 9, 9, 9);
const THIDdeviceInfo kOutIn = Device("/dev/hidraw-outin", 9, 9, 0);
const THIDdeviceInfo kInOnly = Device("/dev/hidraw-in", 0, 9, 0);
const THIDdeviceInfo kNoSizes = Device("/dev/hidraw-none", 0, 0, 0);
const THIDdeviceInfo kFeatureNoCaps = Device("/dev/hidraw-nocaps", 0, 0, 9, {}, {}, {});
const THIDdeviceInfo kOutOnly = Device("/dev/hidraw-out", 9, 0, 0);
const THIDdeviceInfo kFeatureOnly = Device("/dev/hidraw-feat", 0, 0, 9);

struct Flags {
  bool setReport, getReport, setFeature, getFeature;
  bool operator==(const Flags&) const = default;
};
Flags FlagsOf(const TVyHID& hid) {
  return {hid.canSetReport, hid.canGetReport, hid.canSetFeature, hid.canGetFeature};
}
constexpr Flags kNoFlags{false, false, false, false};

class OpenClose : public SimBridgeTest {
 protected:
  void SetUp() override {
    SimBridgeTest::SetUp();
    hid = std::make_unique<TVyHID>(nullptr);
    RecordEvents(*hid, log);
  }
  void TearDown() override {
    hid.reset();
    SimBridgeTest::TearDown();
  }

  void Scan(const std::vector<THIDdeviceInfo>& devices) {
    SetDevices(devices);
    ASSERT_EQ(hid->ScanForHIDdevices(), static_cast<std::int32_t>(devices.size()));
    log.Clear();
    ClearCalls();
  }
  // Assigns Active for device nr; the events and calls stay for the test.
  void Activate(std::int32_t nr, bool value = true) {
    hid->CurrentDevNr = nr;
    hid->Active = value;
  }
  // The assignment was refused: no bridge call, no event, Active unchanged.
  void ExpectRefused(std::int32_t nr) {
    const bool before = hid->Active;
    ClearCalls();
    log.Clear();
    Activate(nr, !before);
    EXPECT_EQ(CallNames(), Names{}) << "CurrentDevNr " << nr;
    EXPECT_EQ(log.Events(), Events{}) << "CurrentDevNr " << nr;
    EXPECT_EQ(hid->Active, before) << "CurrentDevNr " << nr;
  }
  void Rescan() {
    sim.FireDeviceChange();
    Pump();
  }

  std::unique_ptr<TVyHID> hid;
  EventLog log;
};

TEST_F(OpenClose, OutOfRangeNumbersAndOpensBeforeTheFirstScanAreRefused) {
  SetDevices({kAll, kOutIn});
  ExpectRefused(0);  // DevCount is still -1
  EXPECT_EQ(hid->DevCount, -1);

  Scan({kAll, kOutIn});
  ExpectRefused(-1);
  ExpectRefused(2);  // equal to DevCount

  // Refusing leaves an open device open.
  Activate(1);
  ASSERT_TRUE(hid->Active);
  ExpectRefused(-1);
  ExpectRefused(2);
  EXPECT_EQ(sim.OpenDevice(), 1);
}

TEST_F(OpenClose, NumbersBeyondTheThirtyTwoSlotsAreRefused) {
  std::vector<THIDdeviceInfo> many;
  for (int i = 0; i < 40; ++i) many.push_back(Device("/dev/hidraw" + std::to_string(i), 9, 9, 9));
  SetDevices(many);
  hid->ScanForHIDdevices();
  for (std::int32_t nr : {32, 39, 255, 256, std::numeric_limits<std::int32_t>::max()}) {
    ExpectRefused(nr);
  }
}

TEST_F(OpenClose, FirstOpenFetchesDescribesSetsFlagsAndRaisesOnlyOpen) {
  Scan({kOutIn, kAll});
  hid->OnDevOpen = [&](rtl::TObject* sender, std::int32_t nr, TVyHIDDevInfo info) {
    EXPECT_EQ(sender, hid.get());
    EXPECT_EQ(nr, 1);
    EXPECT_TRUE(hid->Active);
    EXPECT_EQ(FlagsOf(*hid), (Flags{true, true, true, true}));
    EXPECT_EQ(hid->HaveID, 5);
    // The slot's record, sharing its description list.
    // Packed fields: compared as values, never bound to references.
    const rtl::TStringList* list = info.HIDstringsInfo;
    const rtl::TStringList* slotList = hid->HIDinfoArray[1].HIDstringsInfo;
    EXPECT_EQ(list, slotList);
    EXPECT_EQ(std::memcmp(&info.HIDinfo, &kAll, sizeof kAll), 0);
    log.Add("DevOpen");
  };
  Activate(1);
  EXPECT_EQ(log.Take(), Events{"DevOpen"});
  EXPECT_EQ(CallNames(),
            (Names{"HIDcloseDevice", "HIDopenDevice", "HIDGetDeviceInfo", "HIDOutputReportSize",
                   "HIDInputReportSize", "HIDFeatureReportSize"}));
  EXPECT_EQ(Calls()[1].Arg, 1);
  EXPECT_EQ(Calls()[2].Arg, 1);
  EXPECT_TRUE(hid->Active);
  EXPECT_EQ(sim.OpenDevice(), 1);
}

TEST_F(OpenClose, AssigningFalseToAnOpenDeviceClosesAndReopensIt) {
  Scan({kAll});
  Activate(0);
  log.Clear();
  hid->OnDevClose = [&](rtl::TObject*) {
    // Still connected: the flags are not cleared before the handler.
    EXPECT_EQ(FlagsOf(*hid), (Flags{true, true, true, true}));
    log.Add("DevClose");
  };
  Activate(0, false);
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 0"}));
  EXPECT_TRUE(hid->Active);
}

TEST_F(OpenClose, SwitchingDevicesShowsTheOldFlagsOnCloseAndTheNewOnOpen) {
  Scan({kOutOnly, kFeatureOnly});
  Activate(0);
  log.Clear();
  hid->OnDevClose = [&](rtl::TObject*) {
    EXPECT_EQ(FlagsOf(*hid), (Flags{true, false, false, false}));
    EXPECT_EQ(hid->HaveID, 6);
    log.Add("DevClose");
  };
  hid->OnDevOpen = [&](rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) {
    EXPECT_EQ(FlagsOf(*hid), (Flags{false, false, true, true}));
    EXPECT_EQ(hid->HaveID, 5);
    log.Add("DevOpen " + std::to_string(nr));
  };
  Activate(1);
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1"}));
  EXPECT_EQ(sim.OpenDevice(), 1);
}

TEST_F(OpenClose, HaveIdTakesFeatureThenOutputThenInputAndIsKeptWithoutReports) {
  Scan({kNoSizes, kAll, kOutIn, kInOnly, kFeatureNoCaps});
  const std::vector<std::pair<std::int32_t, std::int32_t>> opens = {
      {0, 0},   // nothing to choose from on the first open: the start value stays
      {1, 5},   // feature first
      {2, 6},   // no feature report (its table entry does not count): output
      {3, 7},   // input only (the output table entry does not count)
      {0, 7},   // all sizes 0: the previous value stays
      {4, -1},  // a feature size but no feature table entry
  };
  for (const auto& [nr, id] : opens) {
    Activate(nr);
    ASSERT_TRUE(hid->Active);
    EXPECT_EQ(hid->HaveID, id) << "device " << nr;
  }
  EXPECT_EQ(FlagsOf(*hid), (Flags{false, false, true, true}));
}

TEST_F(OpenClose, TheOpenDescribesTheRecordFetchedAtOpenNotTheScannedOne) {
  Scan({kInOnly});
  SetDevices({kAll});  // the device changed since the scan
  Activate(0);
  EXPECT_EQ(hid->HaveID, 5);
  const TVyHIDDevInfo& slot = hid->HIDinfoArray[0];
  const std::int32_t featureId = slot.VyHIDinfo.FeatureID;
  EXPECT_EQ(featureId, 5);
  EXPECT_EQ(std::memcmp(&slot.HIDinfo, &kInOnly, sizeof kInOnly), 0);
  const rtl::TStringList* lines = slot.HIDstringsInfo;
  EXPECT_EQ(Utf8((*lines)[10]), "Feature Report(s)   : ReportId 5 (8 bytes)");
}

TEST_F(OpenClose, FailedOpenAfterAGoodOneLeavesTheDeviceLostUntilAScanFindsIt) {
  Scan({kAll, kOutOnly});
  Activate(0);
  log.Clear();
  hid->OnDevClose = [&](rtl::TObject*) {
    EXPECT_EQ(FlagsOf(*hid), (Flags{true, true, true, true}));
    log.Add("DevClose");
  };
  const std::uint8_t fail = 0;
  sim.ScriptOpenResults(&fail, 1);
  Activate(1);
  EXPECT_EQ(log.Take(), Events{"DevClose"});
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(FlagsOf(*hid), (Flags{true, true, true, true}));
  EXPECT_EQ(hid->HaveID, 5);

  // Lost: CloseHidDevice cannot end it ...
  ClearCalls();
  hid->CloseHidDevice();
  EXPECT_EQ(CallNames(), Names{});
  // ... and the next scan reconnects the device opened last with success.
  hid->OnDevClose = [&](rtl::TObject*) { log.Add("DevClose"); };
  Rescan();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 0", "AfterDevScan 2"}));
  EXPECT_TRUE(hid->Active);
  EXPECT_EQ(sim.OpenDevice(), 0);
}

TEST_F(OpenClose, FailedOpenFromClosedStaysClosed) {
  Scan({kAll});
  const std::uint8_t fail = 0;
  sim.ScriptOpenResults(&fail, 1);
  Activate(0);
  EXPECT_EQ(log.Take(), Events{});
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(FlagsOf(*hid), kNoFlags);
  Rescan();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 1"}));
  EXPECT_FALSE(hid->Active);
}

TEST_F(OpenClose, CloseHidDeviceClearsTheFlagsBeforeTheHandlerAndEndsTheConnection) {
  Scan({kAll});
  Activate(0);
  log.Clear();
  ClearCalls();
  hid->OnDevClose = [&](rtl::TObject*) {
    EXPECT_FALSE(hid->Active);
    EXPECT_EQ(FlagsOf(*hid), kNoFlags);
    log.Add("DevClose");
  };
  hid->CloseHidDevice();
  EXPECT_EQ(CallNames(), Names{"HIDcloseDevice"});
  EXPECT_EQ(log.Take(), Events{"DevClose"});
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(hid->HaveID, 5);  // closing keeps it

  // Closed: nothing more to close, and a scan does not reopen it.
  ClearCalls();
  hid->CloseHidDevice();
  EXPECT_EQ(CallNames(), Names{});
  hid->OnDevClose = [&](rtl::TObject*) { log.Add("DevClose"); };
  Rescan();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 1"}));
  EXPECT_FALSE(hid->Active);
}

TEST_F(OpenClose, CloseThatTheBridgeRefusesLeavesTheDeviceOpen) {
  Scan({kAll});
  hid->CloseHidDevice();  // never opened: no call
  EXPECT_EQ(CallNames(), Names{});
  Activate(0);
  log.Clear();
  const std::uint8_t nothingClosed = 0;
  sim.ScriptCloseResults(&nothingClosed, 1);
  hid->CloseHidDevice();
  EXPECT_EQ(log.Take(), Events{});
  EXPECT_TRUE(hid->Active);
  EXPECT_EQ(FlagsOf(*hid), (Flags{true, true, true, true}));
}

TEST_F(OpenClose, TheDeviceCountsAsConnectedOnlyAfterTheOpenHandlerReturned) {
  Scan({kAll});
  // A scan run from the handler of a first open sees no connected device: it
  // clears the flags on closing and reopens nothing.
  bool scanned = false;
  hid->OnDevOpen = [&](rtl::TObject*, std::int32_t nr, TVyHIDDevInfo) {
    log.Add("DevOpen " + std::to_string(nr));
    if (std::exchange(scanned, true)) return;
    hid->OnDevClose = [&](rtl::TObject*) {
      EXPECT_EQ(FlagsOf(*hid), kNoFlags);
      log.Add("DevClose");
    };
    hid->ScanForHIDdevices();
  };
  Activate(0);
  EXPECT_EQ(log.Take(), (Events{"DevOpen 0", "DevClose", "AfterDevScan 1"}));
  // Connected once the handler returned, though that scan closed it: Lost,
  // and the next scan reconnects it.
  EXPECT_FALSE(hid->Active);
  Rescan();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 0", "AfterDevScan 1"}));
  EXPECT_TRUE(hid->Active);
}

TEST_F(OpenClose, AnOpenHandlerThatRaisesLeavesTheDeviceOpenButNotConnected) {
  Scan({kAll});
  hid->OnDevOpen = [](rtl::TObject*, std::int32_t, TVyHIDDevInfo) {
    throw std::runtime_error("handler failed");
  };
  EXPECT_THROW(Activate(0), std::runtime_error);
  EXPECT_TRUE(hid->Active);
  Rescan();  // not connected: closed and not reopened
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 1"}));
  EXPECT_FALSE(hid->Active);
}

}  // namespace
}  // namespace vyhid_test
