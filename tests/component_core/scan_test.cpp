// The scan: enumeration, the search for the connected device and its
// reconnection, the filter, the time-out timer, and failures.
#include <stdexcept>

#include "TestVyHID.h"
#include "VyHIDTestSupport.h"

namespace vyhid_test {
namespace {

using std::chrono::milliseconds;
using Events = std::vector<std::string>;

class Scan : public SimBridgeTest {
 protected:
  void SetUp() override {
    SimBridgeTest::SetUp();
    hid = std::make_unique<TestVyHID>(nullptr);
    RecordEvents(*hid, log);
    ClearCalls();
  }
  void TearDown() override {
    hid.reset();
    SimBridgeTest::TearDown();
  }

  // Opens device nr the way an application does, and forgets the events.
  void Open(int nr) {
    hid->CurrentDevNr = nr;
    hid->Active = true;
    ASSERT_TRUE(hid->Active);
    log.Clear();
    ClearCalls();
  }
  std::vector<std::string> NamesOf(std::string_view entryPoint) {
    std::vector<std::string> found;
    for (const SimCall& c : Calls()) {
      if (entryPoint == c.Name) found.push_back(std::string(c.Name) + " " + std::to_string(c.Arg));
    }
    return found;
  }

  std::unique_ptr<TestVyHID> hid;
  EventLog log;
};

const THIDdeviceInfo kA = MakeSimpleDevice("/dev/hidraw-a", 0x1111, 0x0001);
const THIDdeviceInfo kB = MakeSimpleDevice("/dev/hidraw-b", 0x2222, 0x0002);
const THIDdeviceInfo kC = MakeSimpleDevice("/dev/hidraw-c", 0x3333, 0x0003);

TEST_F(Scan, EveryScanClosesFirstThenEnumeratesAndDescribes) {
  SetDevices({kA, kB});
  EXPECT_EQ(hid->ScanForHIDdevices(), 2);
  EXPECT_EQ(hid->DevCount, 2);
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 2"}));
  EXPECT_EQ(CallNames(), (std::vector<std::string>{"HIDcloseDevice", "HIDscanForDevices",
                                                   "HIDGetDeviceInfo", "HIDGetDeviceInfo"}));
  EXPECT_EQ(Calls()[2].Arg, 0);
  EXPECT_EQ(Calls()[3].Arg, 1);
  EXPECT_EQ(std::memcmp(&hid->HIDinfoArray[1].HIDinfo, &kB, sizeof kB), 0);
  EXPECT_EQ(Lines(*hid, 1)[3], "VID:2222 PID:0002  Widget (ACME) [R/W]");
  EXPECT_EQ(Field(hid->HIDinfoArray[1].VyHIDinfo.FeatureID), 1);
  EXPECT_FALSE(hid->Active);
}

TEST_F(Scan, HandlersSeeTheirOwnArrayAndAComponentCopy) {
  SetDevices({kA});
  hid->ScanForHIDdevices();
  Open(0);
  hid->OnAfterDevScan = [this](rtl::TObject* sender, std::int32_t, THIDinfoArray& slots) {
    EXPECT_EQ(sender, hid.get());
    EXPECT_EQ(&slots, &hid->HIDinfoArray);
    slots[5].VyHIDinfo.VID = 0xBEEF;  // visible in the component
  };
  hid->OnDevOpen = [this](rtl::TObject*, std::int32_t, TVyHIDDevInfo info) {
    // The current-device record: the record read at open, nothing else.
    EXPECT_EQ(std::memcmp(&info.HIDinfo, &kA, sizeof kA), 0);
    EXPECT_EQ(Field(info.HIDstringsInfo), nullptr);
    EXPECT_EQ(Field(info.VyHIDinfo.VID), 0);
    info.HIDinfo.VID = 0;  // a copy
    log.Add("DevOpen");
  };
  hid->ScanForHIDdevices();
  EXPECT_EQ(Field(hid->HIDinfoArray[5].VyHIDinfo.VID), 0xBEEF);
  // The second reconnection's record shows the first handler's change did
  // not reach the component.
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen", "DevClose", "DevOpen"}));
}

TEST_F(Scan, NoDeviceLeavesSlotsAndTheTimerAlone) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();
  const std::vector<std::string> before = Lines(*hid, 1);
  // A running timer: a handler opens a device during a scan that does not
  // find the connected one.
  hid->OnDevClose = [this](rtl::TObject*) {
    hid->CurrentDevNr = 0;
    hid->Active = true;
  };
  hid->ScanForHIDdevices();
  hid->OnDevClose = nullptr;
  ASSERT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 1);
  log.Clear();

  SetDevices({});
  hid->Filter = u"nothing matches this";
  EXPECT_EQ(hid->DevCount, 0);
  EXPECT_EQ(log.Take(), (Events{"AfterDevScan 0"}));
  EXPECT_EQ(Lines(*hid, 1), before);
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 1);
  Advance(milliseconds(5000));
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 0);
}

TEST_F(Scan, TimerClosesADeviceOpenedDuringAScan5000msLater) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();
  bool reopen = true;
  hid->OnDevClose = [&](rtl::TObject*) {
    log.Add("DevClose");
    if (!std::exchange(reopen, false)) return;
    hid->CurrentDevNr = 1;
    hid->Active = true;
  };
  log.Clear();
  EXPECT_EQ(hid->ScanForHIDdevices(), 2);
  // The device opened by the handler is not the one the scan looked for (no
  // device was connected before), so it is left open under the timer.
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1", "AfterDevScan 2"}));
  EXPECT_TRUE(hid->Active);
  ClearCalls();
  Advance(milliseconds(4999));
  EXPECT_TRUE(log.Events().empty());
  Advance(milliseconds(1));
  EXPECT_EQ(log.Take(), (Events{"DevClose"}));
  EXPECT_FALSE(hid->Active);
  EXPECT_TRUE(hid->canSetReport);  // still connected: flags kept
  EXPECT_EQ(CallNames(), (std::vector<std::string>{"HIDcloseDevice"}));
  EXPECT_EQ(sim.OpenDevice(), -1);
  // Once per start.
  Advance(milliseconds(10000));
  EXPECT_TRUE(log.Events().empty());
  // Still connected: the next scan reopens it.
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1", "AfterDevScan 2"}));
}

TEST_F(Scan, FoundDeviceStopsTheTimer) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();
  Open(1);
  // The handler opens device 0 while the scan looks for device 1: found, so
  // the timer is not started.
  hid->OnDevClose = [this](rtl::TObject*) {
    hid->CurrentDevNr = 0;
    hid->Active = true;
  };
  hid->ScanForHIDdevices();
  hid->OnDevClose = nullptr;
  // The search looks for the device connected when the scan began (1), finds
  // it and reopens it; the device the handler opened was closed by that.
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 0);
  EXPECT_EQ(sim.OpenDevice(), 1);
  EXPECT_TRUE(hid->Active);
}

TEST_F(Scan, UnplugAndReplugReconnectsUnderTheNewNumber) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();
  Open(1);
  const bool couldSend = hid->canSetReport;

  // B unplugged: closed, not found, no timer.
  sim.RemoveDevice(1);
  Pump();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 1"}));
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(hid->canSetReport, couldSend);  // closed by the component: kept
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 0);

  // C comes, then B again under number 2.
  sim.AddDevice(&kC);
  Pump();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 2"}));
  sim.AddDevice(&kB);
  Pump();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 2", "AfterDevScan 3"}));
  EXPECT_TRUE(hid->Active);
  EXPECT_EQ(hid->CurrentDevNr, 1);
  EXPECT_EQ(sim.OpenDevice(), 2);

  // A leaves: B moves down to 1 and is reopened there.
  sim.RemoveDevice(0);
  Pump();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1", "AfterDevScan 2"}));
  EXPECT_EQ(sim.OpenDevice(), 1);
}

TEST_F(Scan, AutoConnectOffLeavesTheDeviceClosed) {
  SetDevices({kA});
  hid->ScanForHIDdevices();
  Open(0);
  hid->AutoConnect = false;
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 1"}));
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(sim.OpenDevice(), -1);
  EXPECT_TRUE(NamesOf("HIDopenDevice").empty());
}

TEST_F(Scan, IdentityIsTheFirst100BytesAndTheLowestSlotWins) {
  SetDevices({kC, kA});
  hid->ScanForHIDdevices();
  Open(1);
  THIDdeviceInfo sameA = kA;
  sameA.VID = 0x9999;  // everything past the identity may differ
  sameA.Handle = 77;
  SetDevices({kC, sameA, kA});
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1", "AfterDevScan 3"}));

  // Paths of equal length that agree in their first 99 characters.
  const std::string base(99, 'p');
  const THIDdeviceInfo longA = MakeSimpleDevice(base + "1"), longB = MakeSimpleDevice(base + "2");
  SetDevices({longA});
  hid->ScanForHIDdevices();
  Open(0);
  SetDevices({kC, longB});
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 1", "AfterDevScan 2"}));

  // A different length byte is a different device.
  SetDevices({kC, MakeSimpleDevice(base)});
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 2"}));
}

TEST_F(Scan, FailedReopenIsNotReportedAndIsRetried) {
  SetDevices({kA});
  hid->ScanForHIDdevices();
  Open(0);
  const std::uint8_t fail = 0;
  sim.ScriptOpenResults(&fail, 1);
  EXPECT_EQ(hid->ScanForHIDdevices(), 1);
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 1"}));
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(NamesOf("HIDopenDevice"), std::vector<std::string>{"HIDopenDevice 0"});
  // Still connected: the next scan tries again and succeeds.
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 0", "AfterDevScan 1"}));
  EXPECT_TRUE(hid->Active);
}

TEST_F(Scan, FilterEmptiesNonMatchingDescriptionsOnly) {
  // "Ärger" as a bridge names it: UTF-8 on Linux, code page 1252 (wine's
  // default) on Windows.
#if defined(_WIN32)
  constexpr char kUmlautName[] = "\xC4rger";
#else
  constexpr char kUmlautName[] = "\xC3\x84rger";
#endif
  const THIDdeviceInfo umlaut =
      MakeDevice({.Path = "/dev/hidraw-u", .VID = 0xABCD, .Product = kUmlautName});
  SetDevices({kA, kB, umlaut});
  auto described = [this] {
    std::string mask;
    for (int i = 0; i < 3; ++i)
      mask +=
          hid->HIDinfoArray[static_cast<std::size_t>(i)].HIDstringsInfo->Count() == 11 ? '1' : '0';
    return mask;
  };
  struct Case {
    const char16_t* filter;
    const char* kept;
  } cases[] = {
      {u"", "111"},
      {u" \t\r\n", "111"},  // nothing left after trimming
      {u"vId:", "111"},     // every description has the label
      {u"VID:2222", "010"},
      {u"vid:2222", "010"},
      {u"pid:0001", "100"},
      {u" widget (", "110"},  // the spaces take part in the search
      {u"widget  ", "000"},
      {u"  widget", "110"},
      {u"\u00C4RGER", "001"},  // A to Z fold, the umlaut must match exactly
      {u"\u00E4rger", "000"},
      {u"[r/w]", "111"},
      {u"device number       : 2", "001"},
  };
  for (const Case& c : cases) {
    hid->Filter = c.filter;
    EXPECT_EQ(described(), c.kept) << Utf8(c.filter);
    EXPECT_EQ(hid->DevCount, 3) << Utf8(c.filter);
  }
  // An emptied slot keeps its records.
  hid->Filter = u"VID:2222";
  EXPECT_EQ(Field(hid->HIDinfoArray[0].VyHIDinfo.VID), 0x1111);
  EXPECT_EQ(std::memcmp(&hid->HIDinfoArray[0].HIDinfo, &kA, sizeof kA), 0);
  EXPECT_EQ(hid->Filter(), u"VID:2222");
  // Assigning the same text scans again; clearing restores the descriptions.
  log.Clear();
  hid->Filter = u"VID:2222";
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 3"}));
  hid->Filter = u"";
  EXPECT_EQ(described(), "111");
}

TEST_F(Scan, FilteredOutDeviceIsStillReconnected) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();
  Open(0);
  hid->Filter = u"VID:2222";
  EXPECT_EQ(log.Take(), (Events{"DevClose", "DevOpen 0", "AfterDevScan 2"}));
  EXPECT_EQ(hid->HIDinfoArray[0].HIDstringsInfo->Count(), 0);
}

TEST_F(Scan, FailuresDuringEnumerationMakeAFailedScan) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();

  hid->OnAfterDevScan = [](rtl::TObject*, std::int32_t, THIDinfoArray&) {
    throw std::runtime_error("handler");
  };
  EXPECT_EQ(hid->ScanForHIDdevices(), 0);
  EXPECT_EQ(hid->DevCount, 0);

  hid->OnAfterDevScan = [](rtl::TObject*, std::int32_t, THIDinfoArray&) { throw 42; };
  EXPECT_EQ(hid->ScanForHIDdevices(), 0);
  RecordEvents(*hid, log);

  // The bridge failing part way: what was done before stays.
  SetDevices({kC, kA});
  sim.ScriptThrow("HIDGetDeviceInfo");
  log.Clear();
  EXPECT_EQ(hid->ScanForHIDdevices(), 0);
  EXPECT_EQ(log.Take(), (Events{"DevClose"}));
  EXPECT_EQ(hid->DevCount, 0);
  EXPECT_EQ(std::memcmp(&hid->HIDinfoArray[1].HIDinfo, &kB, sizeof kB), 0);

  sim.ScriptThrow("HIDscanForDevices");
  EXPECT_EQ(hid->ScanForHIDdevices(), 0);
  EXPECT_EQ(hid->ScanForHIDdevices(), 2);
}

TEST_F(Scan, ThrowingOnDevOpenStopsTheScanWithTheDeviceOpen) {
  SetDevices({kA, kB});
  hid->ScanForHIDdevices();
  Open(0);
  hid->Filter = u"VID:2222";
  log.Clear();
  hid->OnDevOpen = [](rtl::TObject*, std::int32_t, TVyHIDDevInfo) {
    throw std::logic_error("open handler");
  };
  EXPECT_EQ(hid->ScanForHIDdevices(), 0);
  EXPECT_EQ(log.Take(), (Events{"DevClose"}));
  EXPECT_EQ(hid->DevCount, 0);
  EXPECT_TRUE(hid->Active);
  EXPECT_EQ(hid->HIDinfoArray[0].HIDstringsInfo->Count(), 11);  // the filter did not run
}

TEST_F(Scan, ExceptionsFromTheCloseStepReachTheCaller) {
  SetDevices({kA});
  hid->ScanForHIDdevices();
  Open(0);
  hid->OnDevClose = [](rtl::TObject*) { throw std::runtime_error("close handler"); };
  EXPECT_THROW(hid->ScanForHIDdevices(), std::runtime_error);
  EXPECT_FALSE(hid->Active);
  EXPECT_EQ(hid->DevCount, 1);
  EXPECT_EQ(CallNames(), std::vector<std::string>{"HIDcloseDevice"});

  hid->OnDevClose = nullptr;
  hid->Active = true;
  ClearCalls();
  sim.ScriptThrow("HIDcloseDevice");
  EXPECT_THROW(hid->ScanForHIDdevices(), std::runtime_error);
  EXPECT_TRUE(hid->Active);
  EXPECT_EQ(CallNames(), std::vector<std::string>{"HIDcloseDevice"});
}

TEST_F(Scan, FortyDevicesFillTheThirtyTwoSlots) {
  std::vector<THIDdeviceInfo> devices;
  for (int i = 0; i < 40; ++i) {
    devices.push_back(
        MakeSimpleDevice("/dev/hidraw" + std::to_string(i), 0x1000, static_cast<std::uint16_t>(i)));
  }
  SetDevices(devices);
  hid->Filter = u"PID:0027";  // device 39: past the slots, filters every slot out
  EXPECT_EQ(hid->DevCount, 32);
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 32"}));
  EXPECT_EQ(hid->HIDinfoArray.size(), 32u);
  const std::vector<std::string> fetched = NamesOf("HIDGetDeviceInfo");
  ASSERT_EQ(fetched.size(), 32u);
  EXPECT_EQ(fetched.back(), "HIDGetDeviceInfo 31");
  for (int i = 0; i < 32; ++i)
    EXPECT_EQ(hid->HIDinfoArray[static_cast<std::size_t>(i)].HIDstringsInfo->Count(), 0);

  hid->Filter = u"";
  EXPECT_EQ(hid->ScanForHIDdevices(), 32);
  EXPECT_EQ(Lines(*hid, 31)[1], "Device Number       : 31");
  EXPECT_EQ(Field(hid->HIDinfoArray[31].VyHIDinfo.PID), 31);

  // A connected device that moves past the last slot is not found.
  Open(31);
  devices.insert(devices.begin(), 8, kA);
  SetDevices(devices);
  hid->ScanForHIDdevices();
  EXPECT_EQ(log.Take(), (Events{"DevClose", "AfterDevScan 32"}));
  EXPECT_TRUE(NamesOf("HIDopenDevice").empty());
}

}  // namespace
}  // namespace vyhid_test
