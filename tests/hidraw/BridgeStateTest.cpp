// The bridge's state and threads, with devices standing in for hidraw nodes:
// named pipes, which open, poll and read like a node that sends one report per
// write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Bridge.h"
#include "Diagnostics.h"

namespace vyhid::hidraw {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Unnumbered: 8-byte input, 1-byte output (a boot keyboard's shape).
const Bytes kKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x95,
                         0x08, 0x81, 0x02, 0x95, 0x01, 0x91, 0x02, 0xC0};
// Vendor device with a 300-byte input report and a 2-byte feature report.
const Bytes kBigVendor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96,
                          0x2C, 0x01, 0x81, 0x02, 0x95, 0x02, 0xB1, 0x02, 0xC0};

// What the input callback saw. The callback is a plain function, so this is
// shared by the tests of this file.
struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<THIDreport, std::uint8_t>> reports;
  Bridge* close_from_callback = nullptr;  // the callback closes the device
  bool callback_returned = false;

  bool WaitFor(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return reports.size() >= n; });
  }
} received;

void VYHID_STDCALL OnInput(THIDreport report, std::uint8_t count) {
  Bridge* closer;
  {
    std::lock_guard lock(received.mutex);
    received.reports.emplace_back(report, count);
    closer = received.close_from_callback;
  }
  received.changed.notify_all();
  if (closer != nullptr) {
    closer->Close();
    {
      std::lock_guard lock(received.mutex);
      received.callback_returned = true;
    }
    received.changed.notify_all();
  }
}

class BridgeState : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vyhid-bridge-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::lock_guard lock(received.mutex);
    received.reports.clear();
    received.close_from_callback = nullptr;
    received.callback_returned = false;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  DeviceFacts Fifo(const std::string& name, const Bytes& descriptor, std::uint16_t product) {
    DeviceFacts f;
    f.devnode = dir_ / name;
    EXPECT_EQ(::mkfifo(f.devnode.c_str(), 0600), 0);
    f.vendor_id = 0x1234;
    f.product_id = product;
    f.serial = name;
    f.report_descriptor = descriptor;
    return f;
  }
  // Writes one report into the pipe, as the device sending it.
  static void Send(const DeviceFacts& device, const Bytes& report) {
    UniqueFd fd(::open(device.devnode.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd.get(), report.data(), report.size()), ssize_t(report.size()));
  }

  std::filesystem::path dir_;
};

TEST_F(BridgeState, ScanNumbersDevicesInIdentityOrder) {
  std::vector<DeviceFacts> devices = {Fifo("c", kKeyboard, 3), Fifo("a", kKeyboard, 1),
                                      Fifo("b", kBigVendor, 2)};
  Bridge bridge([&] { return devices; });
  ASSERT_EQ(bridge.Scan(), 3);
  const char* expected[] = {"1234:0001 sn:a", "1234:0002 sn:b", "1234:0003 sn:c"};
  for (std::uint8_t i = 0; i < 3; ++i) {
    THIDdeviceInfo info;
    bridge.GetDeviceInfo(i, &info);
    EXPECT_EQ(ReadShortString(info.SymLink), expected[i]);
    EXPECT_EQ(info.Handle, i);
  }
  devices.erase(devices.begin());
  EXPECT_EQ(bridge.Scan(), 2);
}

TEST_F(BridgeState, OpenDeliversInputReportsAndCloseStopsThem) {
  const DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  Bridge bridge([&] { return std::vector{keyboard}; });
  bridge.SetInputHandler(OnInput);
  ASSERT_EQ(bridge.Scan(), 1);
  ASSERT_TRUE(bridge.Open(0));
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kInput), 9);
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kOutput), 2);
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kFeature), 0);
  THIDdeviceInfo info;
  bridge.GetDeviceInfo(0, &info);
  EXPECT_EQ(info.HasReadWriteAccess, 1);

  Send(keyboard, {0x02, 0x00, 0x04, 0, 0, 0, 0, 0});
  ASSERT_TRUE(received.WaitFor(1));
  {
    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.reports[0].first.ReportID, 0);
    EXPECT_EQ(received.reports[0].first.Data[2], 0x04);
    EXPECT_EQ(received.reports[0].second, 8);
  }
  EXPECT_TRUE(bridge.Close());
  EXPECT_FALSE(bridge.Close());
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kInput), 0);
  std::lock_guard lock(received.mutex);
  EXPECT_EQ(received.reports.size(), 1u);
}

TEST_F(BridgeState, SizeQueriesClampTo255) {
  const DeviceFacts vendor = Fifo("big", kBigVendor, 2);
  Bridge bridge([&] { return std::vector{vendor}; });
  ASSERT_EQ(bridge.Scan(), 1);
  ASSERT_TRUE(bridge.Open(0));
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kInput), 255);  // 301, not 301 & 0xFF
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kFeature), 3);
}

TEST_F(BridgeState, CallbackMayCloseItsOwnDevice) {
  const DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  Bridge bridge([&] { return std::vector{keyboard}; });
  bridge.SetInputHandler(OnInput);
  ASSERT_EQ(bridge.Scan(), 1);
  ASSERT_TRUE(bridge.Open(0));
  {
    std::lock_guard lock(received.mutex);
    received.close_from_callback = &bridge;
  }
  Send(keyboard, Bytes(8, 1));
  {
    std::unique_lock lock(received.mutex);
    ASSERT_TRUE(received.changed.wait_for(lock, std::chrono::seconds(10),
                                          [] { return received.callback_returned; }));
    received.close_from_callback = nullptr;
  }
  // The device is closed, without a deadlock; opening again joins the thread
  // that closed it.
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kInput), 0);
  ASSERT_TRUE(bridge.Open(0));
  EXPECT_TRUE(bridge.Close());
}

TEST_F(BridgeState, OpeningAnotherDeviceClosesTheFirst) {
  const std::vector<DeviceFacts> devices = {Fifo("a", kKeyboard, 1), Fifo("b", kBigVendor, 2)};
  Bridge bridge([&] { return devices; });
  ASSERT_EQ(bridge.Scan(), 2);
  ASSERT_TRUE(bridge.Open(0));
  ASSERT_TRUE(bridge.Open(1));
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kFeature), 3);
  EXPECT_FALSE(bridge.Open(2));  // no such device: and the open one is closed
  EXPECT_FALSE(bridge.Close());
}

// A node number freed by an unplug goes to the next device attached: an open
// before the rescan finds another device under the listed node and refuses
// it, whatever differs (product, bus, report descriptor).
TEST_F(BridgeState, OpenRefusesANodeThatNowHoldsAnotherDevice) {
  DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  keyboard.bus = 3;
  NodeIdentity holds{3, 0x1234, 1, kKeyboard};
  Bridge bridge([&] { return std::vector{keyboard}; }, OpenUdevListener,
                [&](int, const std::string&) { return std::optional(holds); });
  ASSERT_EQ(bridge.Scan(), 1);
  EXPECT_TRUE(bridge.Open(0));
  for (const NodeIdentity& other :
       {NodeIdentity{3, 0x1234, 2, kKeyboard}, NodeIdentity{5, 0x1234, 1, kKeyboard},
        NodeIdentity{3, 0x1234, 1, kBigVendor}}) {
    holds = other;
    EXPECT_FALSE(bridge.Open(0));
    EXPECT_EQ(abi::LastError().code, ENOENT);
    EXPECT_EQ(std::string(abi::LastError().text), keyboard.devnode + " now holds another device");
    EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kInput), 0);
  }
}

TEST_F(BridgeState, TransfersRaceOpensAndClosesSafely) {
  const DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  Bridge bridge([&] { return std::vector{keyboard}; });
  bridge.SetInputHandler(OnInput);
  ASSERT_EQ(bridge.Scan(), 1);
  std::atomic<bool> done{false};
  std::thread sender([&] {
    THIDreport report{};
    while (!done) {
      bridge.SetOutputReport(&report);  // written into the pipe, read back as input
      bridge.GetFeatureReport(&report);
      bridge.ReportSize(descriptor::ReportKind::kInput);
    }
  });
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(bridge.Open(0));
    ASSERT_TRUE(bridge.Close());
  }
  done = true;
  sender.join();
}

}  // namespace
}  // namespace vyhid::hidraw
