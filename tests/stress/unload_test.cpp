// Stress: the bridge unloaded while its thread is delivering input reports
// and while device-change messages are still queued, in both orders of
// release (the component's load last, or the application's load last).
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "StressSupport.h"
#include "vcl/Forms.h"

namespace vyhid_test {
namespace {

// Loads and unloads the bridge itself, so it counts around the whole test.
class Unload : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = ResourceCounts::Now();
    started_ = std::chrono::steady_clock::now();
  }
  void TearDown() override {
    EXPECT_EQ(CountsSettledTo(before_), before_) << "the test leaked";
    Figure("ms", std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started_)
                     .count());
  }

 private:
  ResourceCounts before_;
  std::chrono::steady_clock::time_point started_;
};

TEST_F(Unload, BridgeUnloadedWithCallbacksInFlight) {
  constexpr int kRounds = 200;
  constexpr int kQueuedChanges = 50;
  MessageCapture messages;
  const THIDdeviceInfo device = MakeSimpleDevice("/dev/stress-unload");
  const THIDreport report = NumberedReport(4);
  long long reports = 0;

  for (int round = 0; round < kRounds; ++round) {
    SimBridge sim;
    rtl::HMODULE module = 0;
    std::string error;
    ASSERT_TRUE(LoadSimBridge(rtl::Utf8ToString(SimBridgePath()), sim, module, &error)) << error;
    sim.SetDevices(&device, 1);

    auto hid = std::make_unique<TVyHID>(nullptr);
    int scans = 0;
    hid->OnAfterDevScan = [&](rtl::TObject*, std::int32_t, THIDinfoArray&) { ++scans; };
    std::atomic<int> received{0};
    hid->OnGetHIDData = [&received](rtl::TObject* sender, THIDreport, std::uint8_t) {
      const auto* component = dynamic_cast<const TVyHID*>(sender);
      if (component != nullptr && component->ClassName() == u"TVyHID") received.fetch_add(1);
      received.notify_all();
    };
    ASSERT_EQ(hid->ScanForHIDdevices(), 1);
    hid->CurrentDevNr = 0;
    hid->Active = true;
    sim.StartInputStream(&report, 64, kEndlessStream);
    WaitAtLeast(received, 1);
    // Device changes from another thread, queued and never dispatched.
    std::thread([&sim] {
      for (int i = 0; i < kQueuedChanges; ++i) sim.FireDeviceChange();
    }).join();
    scans = 0;

    if (round % 2 == 0) {
      // The component lets go first; the application's release then unloads
      // the bridge, which stops its thread in the middle of the stream.
      hid.reset();
      const int atDestruction = received.load();
      rtl::FreeLibrary(module);
      EXPECT_EQ(received.load(), atDestruction) << "a report reached a destroyed component";
    } else {
      // The application lets go first; the component's destructor unloads
      // the bridge.
      rtl::FreeLibrary(module);
      hid.reset();
    }
    const int afterUnload = received.load();
    vcl::Application.ProcessMessages();  // the queued changes find no window
    EXPECT_EQ(scans, 0);
    EXPECT_EQ(received.load(), afterUnload);
    reports += afterUnload;
  }
  EXPECT_TRUE(messages.Messages().empty());
  Figure("load, stream and unload rounds", kRounds);
  Figure("input reports", reports);
}

}  // namespace
}  // namespace vyhid_test
