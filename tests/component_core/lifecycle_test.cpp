// Construction, the one-instance rule, binding, design mode, the message
// window and the two bridge callbacks.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "GetProcAddressSpy.h"
#include "TestVyHID.h"
#include "VyHIDTestSupport.h"
#include "vcl/Forms.h"

namespace vyhid_test {
namespace {

const std::vector<std::string> kEntryPoints = {
    "HIDscanForDevices",    "HIDGetDeviceInfo",   "HIDcloseDevice",      "HIDopenDevice",
    "USBsetEventHandler",   "HIDsetEventHandler", "HIDOutputReportSize", "HIDInputReportSize",
    "HIDFeatureReportSize", "HIDGetInputReport",  "HIDGetFeatureReport", "HIDSetOutputReport",
    "HIDSetFeatureReport"};

using Lifecycle = SimBridgeTest;

TEST_F(Lifecycle, BoundComponentStartsClosedAndUnscanned) {
  const int librariesBefore = rtl::LoadedLibraryCount();
  TakeLookedUpNames();
  {
    TVyHID hid(nullptr);
    EXPECT_EQ(aVyHID.load(), &hid);
    EXPECT_EQ(TakeLookedUpNames(), kEntryPoints);
    EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore + 1);
    // Only the two callbacks are installed, input first; no scan of its own.
    EXPECT_EQ(CallNames(), (std::vector<std::string>{"HIDsetEventHandler", "USBsetEventHandler"}));
    EXPECT_TRUE(Messages().empty());

    EXPECT_EQ(hid.DevCount, -1);
    EXPECT_EQ(hid.CurrentDevNr, -1);
    EXPECT_TRUE(hid.AutoConnect);
    EXPECT_FALSE(hid.Active);
    EXPECT_FALSE(hid.canSetReport || hid.canGetReport || hid.canSetFeature || hid.canGetFeature);
    EXPECT_EQ(hid.HaveID, 0);
    EXPECT_TRUE(hid.Filter().empty());
    ASSERT_EQ(hid.HIDinfoArray.size(), 32u);
    for (const TVyHIDDevInfo& slot : hid.HIDinfoArray) {
      ASSERT_NE(Field(slot.HIDstringsInfo), nullptr);
      EXPECT_EQ(slot.HIDstringsInfo->Count(), 0);
    }
    EXPECT_EQ(rtl::LiveWindowCount(), 1);
  }
  EXPECT_EQ(aVyHID.load(), nullptr);
  EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore);
  EXPECT_EQ(rtl::LiveWindowCount(), 0);
}

TEST_F(Lifecycle, SecondInstanceIsRefusedWithTheLiveOnesNames) {
  const int librariesBefore = rtl::LoadedLibraryCount();
  rtl::TComponent form(nullptr);
  form.SetName(u"MainForm");
  auto* first = new TVyHID(&form);
  first->SetName(u"VyHID1");
  const int windows = rtl::LiveWindowCount();
  ClearCalls();
  TakeLookedUpNames();
  {
    rtl::TComponent other(nullptr);
    TVyHID second(&other);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0],
              u"ERROR! Only one instance of VyHID in whole Application allowed at once!   "
              u"It's: VyHID1 on MainForm");
    EXPECT_EQ(aVyHID.load(), first);

    // Inert: every field zero, no window, no timer, no library, no lists.
    EXPECT_EQ(second.DevCount, 0);
    EXPECT_EQ(second.CurrentDevNr, 0);
    EXPECT_FALSE(second.AutoConnect);
    EXPECT_FALSE(second.Active);
    ASSERT_EQ(second.HIDinfoArray.size(), 32u);
    for (const TVyHIDDevInfo& slot : second.HIDinfoArray)
      EXPECT_EQ(Field(slot.HIDstringsInfo), nullptr);
    EXPECT_EQ(rtl::LiveWindowCount(), windows);
    EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore + 1);
    EXPECT_TRUE(TakeLookedUpNames().empty());

    // Usable as an object, but it never reaches the bridge.
    EventLog log;
    RecordEvents(second, log);
    EXPECT_EQ(second.ScanForHIDdevices(), -1);
    second.Filter = u"x";
    second.AutoConnect = true;
    EXPECT_TRUE(second.AutoConnect);
    second.CurrentDevNr = 0;
    second.Active = true;
    second.CloseHidDevice();
    EXPECT_TRUE(log.Events().empty());
    EXPECT_TRUE(CallNames().empty());
  }
  // The refused instance's destruction leaves the live one in place.
  EXPECT_EQ(aVyHID.load(), first);
}  // the form frees the first instance

TEST_F(Lifecycle, AfterTheLiveOneIsGoneANewOneIsAccepted) {
  { TVyHID first(nullptr); }
  TVyHID next(nullptr);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(aVyHID.load(), &next);
  EXPECT_EQ(next.DevCount, -1);
}

TEST_F(Lifecycle, RefusalNamesAnOwnerlessLiveInstance) {
  TVyHID first(nullptr);
  first.SetName(u"Lonely");
  TVyHID second(nullptr);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0],
            u"ERROR! Only one instance of VyHID in whole Application allowed at once!   "
            u"It's: Lonely on (no owner)");
}

TEST_F(Lifecycle, DesignModeLoadsNothingAndShowsNothing) {
  const int librariesBefore = rtl::LoadedLibraryCount();
  rtl::TComponent designer(nullptr);
  designer.SetDesigning(true);
  TakeLookedUpNames();
  TVyHID hid(&designer);
  EXPECT_TRUE(hid.InState(rtl::csDesigning));
  EXPECT_EQ(aVyHID.load(), &hid);
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(TakeLookedUpNames().empty());
  EXPECT_EQ(rtl::LoadedLibraryCount(), librariesBefore);
  EXPECT_TRUE(CallNames().empty());
  // Properties work; device work reports the missing library.
  hid.Filter = u"VID:1234";
  EXPECT_EQ(hid.Filter(), u"VID:1234");
  EXPECT_EQ(hid.ScanForHIDdevices(), -1);
  EXPECT_EQ(hid.DevCount, -1);
  EXPECT_EQ(hid.HIDinfoArray.at(31).HIDstringsInfo->Count(), 0);
  EXPECT_TRUE(CallNames().empty());
}

TEST_F(Lifecycle, LoadedScansOnceTheLoadingFlagIsClear) {
  SetDevices({MakeSimpleDevice("/dev/hidraw0")});
  TestVyHID hid(nullptr);
  EventLog log;
  bool loadingDuringScan = true;
  hid.OnAfterDevScan = [&](rtl::TObject*, std::int32_t n, THIDinfoArray&) {
    loadingDuringScan = hid.InState(rtl::csLoading);
    log.Add("AfterDevScan " + std::to_string(n));
  };
  hid.Loading();
  hid.Loaded();
  EXPECT_FALSE(loadingDuringScan);
  EXPECT_EQ(log.Events(), std::vector<std::string>{"AfterDevScan 1"});
  EXPECT_EQ(hid.DevCount, 1);
}

TEST_F(Lifecycle, WindowProcedureScansOnMessage100Only) {
  TestVyHID hid(nullptr);
  EventLog log;
  RecordEvents(hid, log);
  rtl::TMessage other{.Msg = 101, .WParam = 1, .LParam = 2, .Result = 77};
  hid.WndProc(other);
  EXPECT_EQ(other.Result, rtl::DefWindowProcW(0, 101, 1, 2));
  EXPECT_TRUE(log.Events().empty());

  rtl::TMessage change{.Msg = 100, .WParam = 0, .LParam = 0, .Result = 77};
  hid.WndProc(change);
  EXPECT_EQ(change.Result, 77);  // left as it was
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"DevClose", "AfterDevScan 0"}));
}

TEST_F(Lifecycle, DeviceChangeFromAnotherThreadScansOnTheComponentsThread) {
  SetDevices({MakeSimpleDevice("/dev/hidraw0")});
  TVyHID hid(nullptr);
  EventLog log;
  RecordEvents(hid, log);
  std::thread::id scanThread;
  hid.OnAfterDevScan = [&](rtl::TObject*, std::int32_t n, THIDinfoArray&) {
    scanThread = std::this_thread::get_id();
    log.Add("AfterDevScan " + std::to_string(n));
  };
  std::thread([this] { sim.FireDeviceChange(); }).join();
  EXPECT_TRUE(log.Events().empty()) << "the callback must only post";
  Pump();
  EXPECT_EQ(log.Take(), (std::vector<std::string>{"DevClose", "AfterDevScan 1"}));
  EXPECT_EQ(scanThread, std::this_thread::get_id());
  Pump();
  EXPECT_TRUE(log.Events().empty());
}

TEST_F(Lifecycle, BurstOfDeviceChangesGivesOneScanEach) {
  constexpr int kBurst = 100;
  SetDevices({MakeSimpleDevice("/dev/hidraw0"), MakeSimpleDevice("/dev/hidraw1")});
  TVyHID hid(nullptr);
  EventLog log;
  RecordEvents(hid, log);
  std::atomic<int> scans{0};
  bool allOnThisThread = true;
  const auto self = std::this_thread::get_id();
  hid.OnAfterDevScan = [&](rtl::TObject*, std::int32_t n, THIDinfoArray&) {
    allOnThisThread = allOnThisThread && std::this_thread::get_id() == self;
    log.Add("AfterDevScan " + std::to_string(n));
    ++scans;
  };
  std::thread bridge([this] {
    for (int i = 0; i < kBurst; ++i) sim.FireDeviceChange();
  });
  // Scans run while the other thread is still posting.
  while (scans < kBurst) vcl::Application.HandleMessage();
  bridge.join();
  Pump();
  EXPECT_TRUE(allOnThisThread);
  std::vector<std::string> expected;
  for (int i = 0; i < kBurst; ++i) {
    expected.push_back("DevClose");
    expected.push_back("AfterDevScan 2");
  }
  EXPECT_EQ(log.Events(), expected);
  int enumerations = 0;
  for (const std::string& name : CallNames()) enumerations += name == "HIDscanForDevices";
  EXPECT_EQ(enumerations, kBurst);
}

TEST_F(Lifecycle, DeviceChangeAfterDestructionReachesNothing) {
  { TVyHID hid(nullptr); }
  sim.FireDeviceChange();  // the callback stays installed in the bridge
  Pump();
  TVyHID next(nullptr);
  EventLog log;
  RecordEvents(next, log);
  sim.FireDeviceChange();
  Pump();
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"DevClose", "AfterDevScan 0"}));
}

THIDreport MakeReport(std::uint8_t id) {
  THIDreport report{};
  report.ReportID = id;
  for (int i = 0; i < 64; ++i)
    report.Data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(3 * i + 1);
  return report;
}

TEST_F(Lifecycle, InputReportReachesOnGetHIDDataIntactOnTheBridgeThread) {
  SetDevices({MakeSimpleDevice("/dev/hidraw0")});
  TVyHID hid(nullptr);
  hid.ScanForHIDdevices();
  hid.CurrentDevNr = 0;
  hid.Active = true;
  ASSERT_TRUE(hid.Active);

  std::mutex mutex;
  std::vector<std::pair<THIDreport, int>> received;
  std::thread::id handlerThread;
  rtl::TObject* sender = nullptr;
  hid.OnGetHIDData = [&](rtl::TObject* Sender, THIDreport Report, std::uint8_t BytesCount) {
    std::lock_guard lock(mutex);
    sender = Sender;
    handlerThread = std::this_thread::get_id();
    received.emplace_back(Report, BytesCount);
    Report.Data[0] = 0xEE;  // the handler's own copy
  };
  const THIDreport sent = MakeReport(7);
  sim.StartInputStream(&sent, 42, 1);
  sim.WaitInputStream();

  std::lock_guard lock(mutex);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].second, 42);
  EXPECT_EQ(std::memcmp(&received[0].first, &sent, sizeof sent), 0);
  EXPECT_NE(handlerThread, std::this_thread::get_id());
  EXPECT_EQ(sender, &hid);
}

TEST_F(Lifecycle, DestructionWaitsForAnInputReportInProgress) {
  SetDevices({MakeSimpleDevice("/dev/hidraw0")});
  auto hid = std::make_unique<TVyHID>(nullptr);
  hid->ScanForHIDdevices();
  hid->CurrentDevNr = 0;
  hid->Active = true;

  // The handler touches the component; it must never run on a freed one.
  std::atomic<bool> destroyed{false};
  std::atomic<int> calls{0};
  std::atomic<int> callsAfterDestruction{0};
  // A condition variable, not an atomic's wait, which on Windows can miss
  // the notification and sleep for ever.
  std::mutex startedMutex;
  std::condition_variable startedSignal;
  bool started = false;
  TVyHID* raw = hid.get();
  hid->OnGetHIDData = [&](rtl::TObject* Sender, THIDreport, std::uint8_t) {
    if (destroyed) ++callsAfterDestruction;
    EXPECT_EQ(Sender, raw);
    ++calls;
    {
      const std::lock_guard lock(startedMutex);
      started = true;
    }
    startedSignal.notify_all();
  };
  const THIDreport report = MakeReport(1);
  sim.StartInputStream(&report, 64, 200000);
  {
    std::unique_lock lock(startedMutex);
    startedSignal.wait(lock, [&] { return started; });
  }
  hid.reset();
  destroyed = true;
  const int atDestruction = calls;
  sim.WaitInputStream();
  EXPECT_EQ(calls, atDestruction);
  EXPECT_EQ(callsAfterDestruction, 0);
}

#if !defined(_WIN32)
// Waits (within a generous bound) until ready() holds.
bool WaitUntil(const std::function<bool()>& ready) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ready() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  return ready();
}

// Destroyed from inside an input callback while another is in flight, the
// component waits for the other, and only for it. In a child process: a wait
// that never ends ends the child (by its alarm), not the tests.
TEST_F(Lifecycle, DestructionFromACallbackWaitsForTheOtherCallbackInFlight) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(60);
    auto* hid = new TVyHID(nullptr);
    std::atomic<int> entered{0};
    std::atomic<pid_t> destroyer{0};
    const auto sleeping = [&] {  // the destroyer's state in its stat line is S
      std::ifstream stat("/proc/self/task/" + std::to_string(destroyer) + "/stat");
      const std::string line(std::istreambuf_iterator<char>(stat), {});
      return line.size() > line.rfind(')') + 2 && line[line.rfind(')') + 2] == 'S';
    };
    hid->OnGetHIDData = [&](rtl::TObject*, THIDreport, std::uint8_t) {
      if (entered.fetch_add(1) == 0) {
        EXPECT_TRUE(WaitUntil([&] { return entered == 2; }));
        destroyer = ::gettid();
        delete hid;  // and with it this handler: nothing of it is used after
      } else {       // returns while the destructor waits for it
        EXPECT_TRUE(WaitUntil([&] { return aVyHID.load() == nullptr && destroyer && sleeping(); }));
      }
    };
    const THIDreport report = MakeReport(1);
    std::thread first([&] { sim.InjectInput(&report, 1); });
    sim.InjectInput(&report, 1);
    first.join();
    ::_exit(testing::Test::HasFailure() || aVyHID.load() != nullptr ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}
#endif

TEST_F(Lifecycle, DestroyingWithTheTimerRunningLeavesNoTimerCall) {
  SetDevices({MakeSimpleDevice("/dev/hidraw0")});
  auto hid = std::make_unique<TVyHID>(nullptr);
  hid->ScanForHIDdevices();
  // A handler that opens a device during a scan that does not find the
  // connected one starts the time-out timer.
  hid->OnDevClose = [raw = hid.get()](rtl::TObject*) {
    raw->CurrentDevNr = 0;
    raw->Active = true;
  };
  hid->ScanForHIDdevices();
  ASSERT_TRUE(hid->Active);
  ASSERT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 1);
  hid.reset();
  EXPECT_EQ(rtl::MessageQueue::ForCurrentThread().ActiveTimerCount(), 0);
  ClearCalls();
  Advance(std::chrono::milliseconds(10000));
  EXPECT_TRUE(CallNames().empty());
}

}  // namespace
}  // namespace vyhid_test
