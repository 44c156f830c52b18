// The bridge's state and threads, with devices standing in for hidraw nodes:
// named pipes, which open, poll and read like a node that sends one report per
// write. Device changes are uevents sent in a private network namespace.
// Scenarios that abort or hang on a fault run in a forked child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Bridge.h"
#include "Diagnostics.h"
#include "Enumerate.h"

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

// The device-change callbacks counted, the callbacks that returned, and what
// each callback does besides counting; guarded by received.mutex.
struct Hooks {
  int changes = 0;
  int returned = 0;
  std::function<void()> on_change, on_input;
} hooks;

bool WaitUntil(const std::function<bool()>& ready) {
  std::unique_lock lock(received.mutex);
  return received.changed.wait_for(lock, std::chrono::seconds(10), ready);
}
void Run(int* counter, std::function<void()> Hooks::*action) {
  std::function<void()> act;
  {
    std::lock_guard lock(received.mutex);
    if (counter != nullptr) ++*counter;
    act = hooks.*action;
  }
  received.changed.notify_all();
  if (act) act();
  std::lock_guard lock(received.mutex);
  ++hooks.returned;
  received.changed.notify_all();
}
void VYHID_STDCALL OnChange() {
  Run(&hooks.changes, &Hooks::on_change);
}
void VYHID_STDCALL OnInputThenHook(THIDreport report, std::uint8_t count) {
  OnInput(report, count);
  Run(nullptr, &Hooks::on_input);
}

// The end of a forked child running scenario: its exit status (1 after a
// failed expectation) or signal; a hang ends by the alarm.
std::string InChild(const std::function<void()>& scenario) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);
    scenario();
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return "no child";
  if (WIFSIGNALED(status)) return ::strsignal(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

// A network namespace of the test's own; its sockets are made on threads that
// enter it, so the process stays where it was.
struct Uevents {
  UniqueFd net, sender;
  Uevents() {
    std::thread([this] {
      if (::unshare(CLONE_NEWNET) != 0) return;
      net.Reset(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
      sender.Reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    }).join();
  }
  // A hidraw listener on the udev daemon's group, its buffer as small as asked.
  UdevListener Listen(int buffer = 0) const {
    UdevListener l;
    std::thread([&] {
      if (::setns(net.get(), CLONE_NEWNET) != 0) return;
      l.context.reset(udev_new());
      l.monitor.reset(udev_monitor_new_from_netlink(l.context.get(), "udev"));
      udev_monitor_filter_add_match_subsystem_devtype(l.monitor.get(), "hidraw", nullptr);
      if (buffer > 0) udev_monitor_set_receive_buffer_size(l.monitor.get(), buffer);
      if (udev_monitor_enable_receiving(l.monitor.get()) < 0) l.monitor.reset();
    }).join();
    return l;
  }
  // One uevent in the kernel's format, which libudev takes on that group too.
  void Send(const std::string& action, const std::string& subsystem = "hidraw") const {
    const std::string m = action + "@/x" + '\0' + "ACTION=" + action + '\0' + "DEVPATH=/x" + '\0' +
                          "SUBSYSTEM=" + subsystem + '\0' + "SEQNUM=1" + '\0';
    const sockaddr_nl to{AF_NETLINK, 0, 0, 2};
    ::sendto(sender.get(), m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
};

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
    hooks = Hooks{};
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

  // Opens a bridge over one keyboard, with its uevents from `uevents`.
  static void OpenKeyboard(Bridge*& bridge, const DeviceFacts& keyboard, const Uevents& uevents) {
    bridge = new Bridge([=] { return std::vector{keyboard}; }, [&] { return uevents.Listen(); });
    bridge->SetInputHandler(OnInputThenHook);
    bridge->SetDeviceChangeHandler(OnChange);
    EXPECT_EQ(bridge->Scan(), 1);
    EXPECT_TRUE(bridge->Open(0));
  }

  std::filesystem::path dir_;
  const Uevents uevents_;
};

#define REQUIRE_UEVENTS() \
  if (!uevents_.sender) GTEST_SKIP() << "no private network namespace here"

TEST_F(BridgeState, ScanNumbersDevicesInIdentityOrder) {
  std::vector<DeviceFacts> devices = {Fifo("c", kKeyboard, 3), Fifo("a", kKeyboard, 1),
                                      Fifo("b", kBigVendor, 2)};
  Bridge bridge([&] { return devices; });
  ASSERT_EQ(bridge.Scan(), 3);
  const char* expected[] = {"1234:0001 sn:a", "1234:0002 sn:b", "1234:0003 sn:c"};
  for (std::uint8_t i = 0; i < 3; ++i) {
    THIDdeviceInfo info;
    bridge.DeviceInfo(i, info);
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
  bridge.DeviceInfo(0, info);
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

// A rescan closes the device and opens it again: what it sends in between
// comes after the reopen, nothing before. Left closed, the node is released
// when the grace ends.
TEST_F(BridgeState, CloseThenReopenLosesNoReportAndTheGraceEndReleasesTheNode) {
  const DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  Bridge bridge([&] { return std::vector{keyboard}; });
  bridge.SetInputHandler(OnInput);
  ASSERT_EQ(bridge.Scan(), 1);
  ASSERT_TRUE(bridge.Open(0));
  Send(keyboard, Bytes(8, 1));
  ASSERT_TRUE(received.WaitFor(1));

  EXPECT_TRUE(bridge.Close());
  Send(keyboard, Bytes(8, 2));
  EXPECT_EQ(bridge.ReportSize(descriptor::ReportKind::kInput), 0);
  ASSERT_EQ(bridge.Scan(), 1);
  ASSERT_TRUE(bridge.Open(0));
  ASSERT_TRUE(received.WaitFor(2));
  Send(keyboard, Bytes(8, 3));
  ASSERT_TRUE(received.WaitFor(3));
  {
    std::lock_guard lock(received.mutex);
    for (std::uint8_t i = 0; i < 3; ++i) EXPECT_EQ(received.reports[i].first.Data[0], i + 1);
  }

  // A writer of the pipe sees an error once no reader has it open.
  UniqueFd writer(::open(keyboard.devnode.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(writer);
  EXPECT_TRUE(bridge.Close());
  pollfd released{writer.get(), 0, 0};
  ASSERT_EQ(::poll(&released, 1, 10000), 1);
  EXPECT_NE(released.revents & POLLERR, 0);
  ASSERT_TRUE(bridge.Open(0));  // opened anew
  Send(keyboard, Bytes(8, 4));
  ASSERT_TRUE(received.WaitFor(4));
  std::lock_guard lock(received.mutex);
  EXPECT_EQ(received.reports.size(), 4u);
}

// A close and an open of the device on two threads: the open finds the node
// held or not at all, and the device goes on delivering. The close is made
// to wait after its step, joining a read thread parked by a callback that
// reopened the device; the open comes then.
TEST_F(BridgeState, AnOpenDuringACloseOnAnotherThreadLeavesTheDeviceDelivering) {
  const DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  Bridge bridge([&] { return std::vector{keyboard}; });
  bridge.SetInputHandler(OnInputThenHook);
  ASSERT_EQ(bridge.Scan(), 1);
  ASSERT_TRUE(bridge.Open(0));
  bool first = true, reopened = false, released = false;
  hooks.on_input = [&] {
    if (!std::exchange(first, false)) return;
    EXPECT_TRUE(bridge.Open(0));
    std::unique_lock lock(received.mutex);
    reopened = true;
    received.changed.notify_all();
    received.changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
  };
  Send(keyboard, Bytes(8, 1));
  ASSERT_TRUE(WaitUntil([&] { return reopened; }));
  const auto size_is = [&](bool open) {
    while ((bridge.ReportSize(descriptor::ReportKind::kInput) != 0) != open) {
      std::this_thread::yield();
    }
  };
  std::thread closer([&] { EXPECT_TRUE(bridge.Close()); });
  size_is(false);
  std::thread opener([&] { EXPECT_TRUE(bridge.Open(0)); });
  size_is(true);  // either thread may be the one joining the parked thread
  {
    std::lock_guard lock(received.mutex);
    released = true;
  }
  received.changed.notify_all();
  closer.join();
  opener.join();
  Send(keyboard, Bytes(8, 2));
  EXPECT_TRUE(received.WaitFor(2)) << "the device was left open but silent";
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

// A sysfs and /dev of the test's making: device facts by sysfs path, node
// numbers, and the nodes this process may write.
struct FakeSystem final : HidrawSystem {
  std::map<std::string, Read> devices;
  std::map<std::string, dev_t> nodes;
  std::map<std::string, bool> writable;
  std::vector<std::string> List() override {
    std::vector<std::string> paths;
    for (const auto& device : devices) paths.push_back(device.first);
    return paths;
  }
  std::optional<Read> ReadDevice(const std::string& syspath) override {
    Read read = devices.at(syspath);
    read.facts.read_write = ReadWrite(read.facts.devnode);
    return read;
  }
  std::optional<dev_t> NodeNumber(const std::string& devnode) override {
    return nodes.contains(devnode) ? std::optional(nodes[devnode]) : std::nullopt;
  }
  bool ReadWrite(const std::string& devnode) override { return writable.at(devnode); }
  void Plug(const std::string& syspath, dev_t number, std::uint16_t product, const Bytes& desc) {
    Read& read = devices[syspath];
    read = Read{};
    read.facts.devnode = "/dev/hidraw" + std::to_string(number & 0xFF);
    read.facts.vendor_id = 0x1234;
    read.facts.product_id = product;
    read.facts.serial = syspath;
    read.facts.report_descriptor = desc;
    read.number = number;
    nodes[read.facts.devnode] = number;
    writable.emplace(read.facts.devnode, true);
  }
};

// A rescan reads again only new or replaced nodes, sees access change on the
// others, and numbers and describes the devices byte for byte as a full
// enumeration does.
TEST(HidrawCache, RescansReadOnlyChangedNodesAndMatchAFullScan) {
  auto owned = std::make_unique<FakeSystem>();
  FakeSystem& sysfs = *owned;
  sysfs.Plug("/sys/k.0001", 0x0F00, 1, kKeyboard);
  sysfs.Plug("/sys/v.0002", 0x0F01, 2, kBigVendor);
  sysfs.Plug("/sys/m.0003", 0x0F02, 3, kKeyboard);
  auto cache = std::make_shared<HidrawCache>(std::move(owned));
  Bridge incremental([cache] { return cache->Scan(); });
  Bridge full([&] { return HidrawCache(std::make_unique<FakeSystem>(sysfs)).Scan(); });
  auto same_as_full = [&](std::size_t reads) {
    const std::uint8_t count = full.Scan();
    EXPECT_EQ(incremental.Scan(), count);
    EXPECT_EQ(cache->LastReads(), reads);
    for (std::uint8_t nr = 0; nr < count; ++nr) {
      THIDdeviceInfo a, b;
      incremental.DeviceInfo(nr, a);
      full.DeviceInfo(nr, b);
      EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "device " << int(nr);
    }
    return count;
  };
  EXPECT_EQ(same_as_full(3), 3);
  EXPECT_EQ(same_as_full(0), 3);  // nothing changed: nothing read
  // udev's permissions arrive after the node: seen without a read.
  sysfs.writable["/dev/hidraw1"] = false;
  EXPECT_EQ(same_as_full(0), 3);
  THIDdeviceInfo info;
  incremental.DeviceInfo(1, info);
  EXPECT_EQ(info.HasReadWriteAccess, 0);
  // Unplugged and plugged again between two scans, same node and number,
  // another firmware: the kernel's new HID device is read.
  sysfs.devices.erase("/sys/k.0001");
  sysfs.Plug("/sys/k.0004", 0x0F00, 1, kBigVendor);
  sysfs.devices["/sys/k.0004"].facts.serial = "/sys/k.0001";  // the same identity
  EXPECT_EQ(same_as_full(1), 3);
  incremental.DeviceInfo(0, info);
  EXPECT_EQ(info.FeatureBufferSize, 3);
  // The node made again under the same sysfs path with another number.
  sysfs.Plug("/sys/m.0003", 0x0E02, 3, kKeyboard);
  EXPECT_EQ(same_as_full(1), 3);
  sysfs.Plug("/sys/n.0005", 0x0F03, 0, kKeyboard);  // attached
  EXPECT_EQ(same_as_full(1), 4);
  sysfs.devices.erase("/sys/v.0002");  // removed, its node too
  sysfs.nodes.erase("/dev/hidraw1");
  EXPECT_EQ(same_as_full(0), 3);
}

// A node number freed by an unplug goes to the next device attached: an open
// before the rescan refuses the other device it finds under the listed node,
// another model or another unit of the same model (the kernel's name for it).
TEST_F(BridgeState, OpenRefusesANodeThatNowHoldsAnotherDevice) {
  DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  keyboard.instance_name = "0003:1234:0001.0001";
  NodeIdentity holds{0, 0x1234, 1, kKeyboard, keyboard.instance_name};
  Bridge bridge([&] { return std::vector{keyboard}; }, OpenUdevListener,
                [&](int, const std::string&) { return std::optional(holds); });
  ASSERT_EQ(bridge.Scan(), 1);
  EXPECT_TRUE(bridge.Open(0));
  holds.instance_name = "0003:1234:0001.0002";  // all the same but the unit
  EXPECT_FALSE(bridge.Open(0));
  holds.instance_name = keyboard.instance_name;
  holds.report_descriptor = kBigVendor;  // the same vendor and product: another device
  EXPECT_FALSE(bridge.Open(0));
  EXPECT_EQ(abi::LastError().code, ENOENT);
  EXPECT_EQ(std::string(abi::LastError().text), keyboard.devnode + " now holds another device");
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
      bridge.SetReport(ReportKind::kOutput, report);  // written into the pipe, read back as input
      bridge.GetReport(ReportKind::kFeature, report);
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

TEST_F(BridgeState, AMonitorOverflowCountsAsOneChangeAndListeningGoesOn) {
  REQUIRE_UEVENTS();
  // Events of another subsystem, more than the smallest buffer holds, come
  // before the monitor reads any (as without a udev daemon).
  HotplugMonitor monitor([&] {
    UdevListener listener = uevents_.Listen(1);
    for (int i = 0; i < 200; ++i) uevents_.Send("change", "net");
    return listener;
  });
  ASSERT_TRUE(monitor.Start(OnChange));
  EXPECT_TRUE(WaitUntil([] { return hooks.changes >= 1; })) << "the overflow went unreported";
  uevents_.Send("add");
  EXPECT_TRUE(WaitUntil([] { return hooks.changes >= 2; })) << "the monitor stopped listening";
}

TEST_F(BridgeState, AForkedChildThatExitsLeavesTheParentsThreadsRunning) {
  REQUIRE_UEVENTS();
  const DeviceFacts keyboard = Fifo("kbd", kKeyboard, 1);
  Bridge* bridge;
  OpenKeyboard(bridge, keyboard, uevents_);
  InChild([&] { UnloadBridge(bridge); });  // as at exit(1) after a failed exec
  Send(keyboard, Bytes(8, 1));
  uevents_.Send("add");
  EXPECT_TRUE(received.WaitFor(1)) << "the read thread was stopped";
  EXPECT_TRUE(WaitUntil([] { return hooks.changes >= 1; })) << "the monitor was stopped";
  UnloadBridge(bridge);
}

Bridge* exiting = nullptr;  // unloaded at exit, as the library's bridge is

TEST_F(BridgeState, ExitFromEitherCallbackEndsTheProcessWithItsStatus) {
  REQUIRE_UEVENTS();
  for (const bool input : {false, true}) {
    const std::string status = InChild([&] {
      hooks.on_change = hooks.on_input = [] { std::exit(0); };
      const DeviceFacts keyboard = Fifo(std::to_string(::getpid()), kKeyboard, 1);
      OpenKeyboard(exiting, keyboard, uevents_);
      std::atexit([] { UnloadBridge(exiting); });
      input ? Send(keyboard, Bytes(8, 1)) : uevents_.Send("add");
      ::pause();  // until the callback ends the process
    });
    EXPECT_EQ(status, "exit status 0") << (input ? "input callback" : "device-change callback");
  }
}

// The device-change callback reinstalls its handler; then, both callbacks in
// flight, the input callback removes that handler while the device-change
// callback closes the device.
TEST_F(BridgeState, CallbacksMayCallBackIntoTheBridge) {
  REQUIRE_UEVENTS();
  const std::string status = InChild([&] {
    Bridge* bridge = nullptr;
    hooks.on_change = [&] {
      bridge->SetDeviceChangeHandler(nullptr);
      bridge->SetDeviceChangeHandler(OnChange);
    };
    const DeviceFacts keyboard = Fifo(std::to_string(::getpid()), kKeyboard, 1);
    OpenKeyboard(bridge, keyboard, uevents_);
    uevents_.Send("add");
    ASSERT_TRUE(WaitUntil([] { return hooks.returned >= 1; }));
    const auto meet = [] {
      EXPECT_TRUE(WaitUntil([] { return hooks.changes >= 2 && !received.reports.empty(); }));
    };
    {
      std::lock_guard lock(received.mutex);
      hooks.on_change = [&, meet] { meet(), bridge->Close(); };
      hooks.on_input = [&, meet] { meet(), bridge->SetDeviceChangeHandler(nullptr); };
    }
    Send(keyboard, Bytes(8, 1));
    uevents_.Send("remove");
    ASSERT_TRUE(WaitUntil([] { return hooks.returned >= 3; })) << "the callbacks deadlocked";
    EXPECT_FALSE(bridge->Close());
    UnloadBridge(bridge);
  });
  EXPECT_EQ(status, "exit status 0");
}

}  // namespace
}  // namespace vyhid::hidraw
