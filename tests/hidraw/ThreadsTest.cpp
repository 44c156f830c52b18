// The bridge's threads against what a real process brings: a burst of
// uevents that overflows the monitor's socket, a forked child that exits,
// exit() from a callback, and callbacks that call back into the bridge.
//
// Device changes are uevents the test sends in a private network namespace,
// where the monitor hears nothing else; the device is a named pipe standing
// in for a hidraw node. A scenario that aborts or hangs on a fault runs in a
// forked child, and the child's exit status tells.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Bridge.h"

namespace vyhid::hidraw {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Unnumbered: 8-byte input, 1-byte output.
const Bytes kKeyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x95,
                         0x08, 0x81, 0x02, 0x95, 0x01, 0x91, 0x02, 0xC0};

// A network namespace of the test's own. Its sockets are made on threads
// that enter it, so the rest of the process stays where it was.
class UeventNamespace {
 public:
  UeventNamespace() {
    std::thread([this] {
      if (::unshare(CLONE_NEWNET) != 0) return;
      netns_.Reset(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
      sender_.Reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    }).join();
  }
  bool valid() const { return netns_ && sender_; }

  // A listener as the bridge makes one (hidraw only), on the udev daemon's
  // group; with receive_buffer, a socket buffer that small (the kernel
  // raises it to its minimum). A null monitor when it cannot be made.
  UdevListener Listen(int receive_buffer = 0) const {
    UdevListener listener;
    std::thread([&] {
      if (::setns(netns_.get(), CLONE_NEWNET) != 0) return;
      listener.context.reset(udev_new());
      if (!listener.context) return;
      MonitorPtr monitor(udev_monitor_new_from_netlink(listener.context.get(), "udev"));
      if (!monitor ||
          udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0 ||
          (receive_buffer > 0 &&
           udev_monitor_set_receive_buffer_size(monitor.get(), receive_buffer) < 0) ||
          udev_monitor_enable_receiving(monitor.get()) < 0) {
        return;
      }
      listener.monitor = std::move(monitor);
    }).join();
    return listener;
  }
  ListenerSource Source() const {
    return [this] { return Listen(); };
  }

  // One uevent to the udev daemon's group, in the kernel's format (which
  // libudev takes there too).
  void Send(const std::string& action, const std::string& subsystem = "hidraw") const {
    const std::string devpath = "/devices/virtual/" + subsystem + "/test0";
    std::string message = action + "@" + devpath;
    for (const std::string& field : {"ACTION=" + action, "DEVPATH=" + devpath,
                                     "SUBSYSTEM=" + subsystem, std::string("SEQNUM=1")}) {
      message.push_back('\0');
      message += field;
    }
    message.push_back('\0');
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 2;
    ASSERT_EQ(::sendto(sender_.get(), message.data(), message.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(message.size()))
        << std::strerror(errno);
  }

 private:
  UniqueFd netns_;
  UniqueFd sender_;
};

// What the bridge's callbacks saw, and what they do besides counting. Never
// destroyed: a callback may end the process while another thread waits here.
struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  int device_changes = 0;
  int reports = 0;
  int returned = 0;  // callbacks that have returned
  std::function<void()> on_change;
  std::function<void()> on_input;

  bool WaitFor(int Events::*counter, int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return this->*counter >= n; });
  }
  void Count(int Events::*counter) {
    {
      std::lock_guard lock(mutex);
      ++(this->*counter);
    }
    changed.notify_all();
  }
  void Run(std::function<void()> Events::*action, int Events::*counter) {
    std::function<void()> act;
    {
      std::lock_guard lock(mutex);
      ++(this->*counter);
      act = this->*action;
    }
    changed.notify_all();
    if (act) act();
    Count(&Events::returned);
  }
};
Events& events = *new Events;

void VYHID_STDCALL OnDeviceChange() {
  events.Run(&Events::on_change, &Events::device_changes);
}
void VYHID_STDCALL OnInput(THIDreport, std::uint8_t) {
  events.Run(&Events::on_input, &Events::reports);
}

// The wait status of a forked child that runs scenario and ends with 0, or
// with 1 after a failed expectation; a hang ends it after a minute.
std::string InChild(const std::function<void()>& scenario) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(60);
    scenario();
    std::fflush(nullptr);
    ::_exit(testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return "fork or wait failed";
  if (WIFSIGNALED(status)) return std::string("killed by ") + ::strsignal(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

// The bridge of a scenario that ends the process: its unload runs at exit,
// as the library's does.
Bridge* exiting_bridge = nullptr;

class BridgeThreads : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vyhid-threads-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::lock_guard lock(events.mutex);
    events.device_changes = events.reports = events.returned = 0;
    events.on_change = events.on_input = nullptr;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A bridge listing one keyboard, a named pipe, with its uevents from ns.
  Bridge* MakeBridge(const UeventNamespace& ns) {
    keyboard_.devnode = dir_ / ("keyboard" + std::to_string(::getpid()));
    EXPECT_EQ(::mkfifo(keyboard_.devnode.c_str(), 0600), 0);
    keyboard_.vendor_id = 0x1234;
    keyboard_.product_id = 1;
    keyboard_.report_descriptor = kKeyboard;
    auto* bridge = new Bridge([device = keyboard_] { return std::vector{device}; }, ns.Source());
    bridge->SetInputHandler(OnInput);
    bridge->SetDeviceChangeHandler(OnDeviceChange);
    EXPECT_EQ(bridge->Scan(), 1);
    return bridge;
  }
  // One input report, as the device sending it.
  void SendReport() const {
    UniqueFd fd(::open(keyboard_.devnode.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd.get(), Bytes(8, 1).data(), 8), 8) << std::strerror(errno);
  }

  std::filesystem::path dir_;
  DeviceFacts keyboard_;
};

#define REQUIRE_NAMESPACE(ns) \
  if (!(ns).valid()) GTEST_SKIP() << "no private network namespace here"

TEST(HotplugMonitorTest, AnOverflowCountsAsOneChangeAndListeningGoesOn) {
  const UeventNamespace ns;
  REQUIRE_NAMESPACE(ns);
  // Events of another subsystem, more than the smallest buffer holds, come
  // before the monitor reads anything, as they do without a udev daemon.
  HotplugMonitor monitor([&] {
    UdevListener listener = ns.Listen(1);
    for (int i = 0; i < 200; ++i) ns.Send("change", "net");
    return listener;
  });
  ASSERT_TRUE(monitor.Start([] { events.Count(&Events::device_changes); }));
  EXPECT_TRUE(events.WaitFor(&Events::device_changes, 1)) << "the overflow went unreported";
  ns.Send("add");
  EXPECT_TRUE(events.WaitFor(&Events::device_changes, 2)) << "the monitor stopped listening";
}

TEST_F(BridgeThreads, AForkedChildThatExitsLeavesTheParentsDeviceAndMonitorRunning) {
  const UeventNamespace ns;
  REQUIRE_NAMESPACE(ns);
  Bridge* bridge = MakeBridge(ns);
  ASSERT_TRUE(bridge->Open(0));
  // fork, exec fails, exit(1): the library's unload runs in the child.
  InChild([&] {
    UnloadBridge(bridge);
    ::_exit(1);
  });
  SendReport();
  EXPECT_TRUE(events.WaitFor(&Events::reports, 1)) << "the read thread was stopped";
  ns.Send("add");
  EXPECT_TRUE(events.WaitFor(&Events::device_changes, 1)) << "the monitor was stopped";
  UnloadBridge(bridge);
}

TEST_F(BridgeThreads, ExitFromEitherCallbackEndsTheProcessWithItsStatus) {
  for (const bool from_input : {false, true}) {
    SCOPED_TRACE(from_input ? "input callback" : "device-change callback");
    const std::string status = InChild([&] {
      const UeventNamespace ns;
      REQUIRE_NAMESPACE(ns);
      exiting_bridge = MakeBridge(ns);
      std::atexit([] { UnloadBridge(exiting_bridge); });
      events.on_change = events.on_input = [] { std::exit(0); };
      if (from_input) {
        ASSERT_TRUE(exiting_bridge->Open(0));
        SendReport();
      } else {
        ns.Send("add");
      }
      ::pause();  // until the callback ends the process
    });
    EXPECT_EQ(status, "exit status 0");
  }
}

TEST_F(BridgeThreads, TheDeviceChangeCallbackMayReinstallItsHandler) {
  const std::string status = InChild([&] {
    const UeventNamespace ns;
    REQUIRE_NAMESPACE(ns);
    Bridge* bridge = MakeBridge(ns);
    events.on_change = [bridge] {
      bridge->SetDeviceChangeHandler(nullptr);
      bridge->SetDeviceChangeHandler(OnDeviceChange);
    };
    ns.Send("add");
    ASSERT_TRUE(events.WaitFor(&Events::returned, 1));
    ns.Send("remove");
    EXPECT_TRUE(events.WaitFor(&Events::device_changes, 2)) << "no longer listening";
    UnloadBridge(bridge);
  });
  EXPECT_EQ(status, "exit status 0");
}

// The input callback removes the device-change handler while the
// device-change callback closes the device; each may be the first to act.
TEST_F(BridgeThreads, CallbacksMayStopEachOthersThreads) {
  for (const bool input_first : {true, false}) {
    SCOPED_TRACE(input_first ? "input callback first" : "device-change callback first");
    const std::string status = InChild([&] {
      const UeventNamespace ns;
      REQUIRE_NAMESPACE(ns);
      Bridge* bridge = MakeBridge(ns);
      ASSERT_TRUE(bridge->Open(0));
      // Each acts once both are in flight, the second once the first
      // has begun.
      bool input_acting = false;
      bool change_acting = false;
      const auto act = [&](bool& mine, const bool& first, bool i_am_first,
                           const std::function<void()>& action) {
        {
          std::unique_lock lock(events.mutex);
          EXPECT_TRUE(events.changed.wait_for(lock, std::chrono::seconds(10), [] {
            return events.reports >= 1 && events.device_changes >= 1;
          }));
          if (!i_am_first) {
            EXPECT_TRUE(
                events.changed.wait_for(lock, std::chrono::seconds(10), [&] { return first; }));
          }
          mine = true;
        }
        events.changed.notify_all();
        action();
      };
      events.on_input = [&] {
        act(input_acting, change_acting, input_first,
            [bridge] { bridge->SetDeviceChangeHandler(nullptr); });
      };
      events.on_change = [&] {
        act(change_acting, input_acting, !input_first, [bridge] { bridge->Close(); });
      };
      SendReport();
      ns.Send("add");
      ASSERT_TRUE(events.WaitFor(&Events::returned, 2)) << "the callbacks deadlocked";
      EXPECT_FALSE(bridge->Close());
      UnloadBridge(bridge);
    });
    EXPECT_EQ(status, "exit status 0");
  }
}

}  // namespace
}  // namespace vyhid::hidraw
