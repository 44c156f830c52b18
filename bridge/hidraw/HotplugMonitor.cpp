#include "HotplugMonitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "BridgeThreads.h"
#include "Failure.h"

namespace vyhid::hidraw {
namespace {

// The udev daemon's control socket: present while the daemon runs.
bool UdevDaemonRuns() {
  return ::access("/run/udev/control", F_OK) == 0;
}

// Null on failure, with the reason recorded.
MonitorPtr OpenMonitor(udev* context) {
  const bool daemon = UdevDaemonRuns();
  const char* source = daemon ? "udev" : "kernel";
  MonitorPtr monitor(udev_monitor_new_from_netlink(context, source));
  if (!monitor) {
    RecordSystemError("udev_monitor_new_from_netlink", source, errno);
    return monitor;
  }
  // Both return a negative errno on failure.
  int result = udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr);
  if (result < 0) {
    RecordSystemError("udev_monitor_filter_add_match_subsystem_devtype", "hidraw", -result);
    monitor.reset();
    return monitor;
  }
  result = udev_monitor_enable_receiving(monitor.get());
  if (result < 0) {
    RecordSystemError("udev_monitor_enable_receiving", source, -result);
    monitor.reset();
    return monitor;
  }
  // Which events a hotplug test sees depends on this choice: the udev
  // daemon's come after its rules have set the node's owner and mode.
  abi::DebugNote(daemon
                     ? "hotplug: listening to the udev daemon's events (/run/udev/control exists)"
                     : "hotplug: listening to the kernel's events (no udev daemon: "
                       "/run/udev/control is absent)");
  return monitor;
}

// Reads and clears the socket's pending error; true when it was an
// overflow (the kernel dropped messages because the buffer was full).
bool ClearOverflow(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) {
    RecordSystemError("getsockopt SO_ERROR", "udev monitor", errno);
    return false;
  }
  if (error == ENOBUFS) return true;
  RecordSystemError("poll", "udev monitor", error);
  return false;
}

}  // namespace

struct HotplugMonitor::Control {
  UniqueFd stop_event;
  pid_t owner = ::getpid();
  std::atomic<bool> ended{false};

  bool stop_requested() const {
    pollfd stop{stop_event.get(), POLLIN, 0};
    return ::poll(&stop, 1, 0) > 0;
  }
};

namespace {

void Watch(UdevListener listener, const std::shared_ptr<HotplugMonitor::Control>& control,
           const HotplugMonitor::Notify& notify) {
  MarkBridgeThread();
  struct Ended {
    HotplugMonitor::Control& control;
    ~Ended() { control.ended.store(true); }
  } ended{*control};
  udev_monitor* const monitor = listener.monitor.get();
  const int monitor_fd = udev_monitor_get_fd(monitor);
  // Reports a change unless a stop was requested meanwhile: nothing is
  // notified after a stop.
  const auto report = [&] {
    if (control->stop_requested()) return false;
    notify();
    return true;
  };
  // After an overflow the kernel drops further messages without a word until
  // the queue has been emptied: the queue is emptied first (what it holds is
  // covered by the rescan), so that the change is reported when every later
  // event is heard again.
  const auto overflowed = [&] {
    abi::DebugNote(
        "the udev monitor's socket overflowed: events were lost; reporting one device change "
        "so that a rescan finds what changed");
    for (;;) {
      pollfd pending{monitor_fd, POLLIN, 0};
      if (::poll(&pending, 1, 0) <= 0 || control->stop_requested()) break;
      DevicePtr discarded(udev_monitor_receive_device(monitor));
    }
    return report();
  };
  for (;;) {
    pollfd fds[2] = {{monitor_fd, POLLIN, 0}, {control->stop_event.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      RecordSystemError("poll", "udev monitor", errno);
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLNVAL) {
      abi::DebugNote("the udev monitor's socket is closed: attach and removal go unnoticed");
      return;
    }
    // Without a udev daemon every kernel event of every subsystem arrives
    // here, and a burst of them overflows the buffer: the kernel then
    // reports ENOBUFS once. Cleared, it is one change; listening goes on.
    if (fds[0].revents & POLLERR) {
      if (!ClearOverflow(monitor_fd)) {
        abi::DebugNote("the udev monitor's socket failed: attach and removal go unnoticed");
        return;
      }
      if (!overflowed()) return;
      continue;
    }
    if (!(fds[0].revents & POLLIN)) continue;
    errno = 0;
    DevicePtr device(udev_monitor_receive_device(monitor));
    if (!device) {
      // The overflow may show here first, the receive clearing it.
      if (errno == ENOBUFS && !overflowed()) return;
      continue;  // a message of another subsystem, or none after all
    }
    const char* action = udev_device_get_action(device.get());
    if (action == nullptr) continue;
    if (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0) {
      if (!report()) return;
    }
  }
}

}  // namespace

UdevListener OpenUdevListener() {
  UdevListener listener;
  listener.context.reset(udev_new());
  if (!listener.context) {
    RecordSystemError("udev_new", "", errno);
    return listener;
  }
  listener.monitor = OpenMonitor(listener.context.get());
  return listener;
}

HotplugMonitor::~HotplugMonitor() {
  const bool forked = control_ && ForkedFrom(control_->owner);
  std::thread thread = Stop();
  if (!thread.joinable()) return;
  if (forked || thread.get_id() == std::this_thread::get_id()) {
    thread.detach();  // ending (it was asked to), or not in this process at all
  } else {
    thread.join();
  }
}

bool HotplugMonitor::Start(Notify notify) {
  if (thread_.joinable()) {
    if (ForkedFrom(control_->owner)) {
      thread_.detach();  // the parent's thread: this process has no such thread
    } else if (thread_.get_id() == std::this_thread::get_id() || !control_->ended.load()) {
      return true;  // running
    } else {
      thread_.join();  // it ended by itself (its socket failed): start anew
    }
  }
  control_.reset();
  auto control = std::make_shared<Control>();
  control->stop_event.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!control->stop_event) {
    RecordSystemError("eventfd", "udev monitor", errno);
    return false;
  }
  UdevListener listener = source_();
  if (!listener.monitor) return false;
  thread_ = std::thread(Watch, std::move(listener), control, std::move(notify));
  control_ = std::move(control);
  return true;
}

std::thread HotplugMonitor::Stop() {
  if (!thread_.joinable()) return {};
  // A forked child shares the stop event with its parent: writing it would
  // stop the parent's monitor.
  if (!ForkedFrom(control_->owner)) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(control_->stop_event.get(), &one, sizeof one);
  }
  control_.reset();
  return std::move(thread_);
}

}  // namespace vyhid::hidraw
