#include "HotplugMonitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "Failure.h"

namespace vyhid::hidraw {
namespace {

// The udev daemon's control socket: present while the daemon runs.
bool UdevDaemonRuns() {
  return ::access("/run/udev/control", F_OK) == 0;
}

// Null on failure, with the reason recorded.
MonitorPtr OpenMonitor(udev* context) {
  const char* source = UdevDaemonRuns() ? "udev" : "kernel";
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
  }
  return monitor;
}

void Watch(UdevPtr context, MonitorPtr monitor, int stop_event,
           const HotplugMonitor::Notify& notify) {
  const int monitor_fd = udev_monitor_get_fd(monitor.get());
  for (;;) {
    pollfd fds[2] = {{monitor_fd, POLLIN, 0}, {stop_event, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      RecordSystemError("poll", "udev monitor", errno);
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
      abi::DebugNote("the udev monitor's socket failed: attach and removal go unnoticed");
      return;
    }
    if (!(fds[0].revents & POLLIN)) continue;
    DevicePtr device(udev_monitor_receive_device(monitor.get()));
    if (!device) continue;  // a message of another subsystem, or none after all
    const char* action = udev_device_get_action(device.get());
    if (action == nullptr) continue;
    if (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0) {
      // A stop requested meanwhile wins: nothing is notified after Stop.
      pollfd stop{stop_event, POLLIN, 0};
      if (::poll(&stop, 1, 0) > 0) return;
      notify();
    }
  }
  (void)context;  // kept alive until the monitor is done with it
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

bool HotplugMonitor::Start(Notify notify) {
  if (thread_.joinable()) {
    pollfd stop{stop_event_.get(), POLLIN, 0};
    if (::poll(&stop, 1, 0) == 0) return true;  // running and not asked to stop
    thread_.join();                             // asked to stop from within: finish it
  }
  UdevListener listener = source_();
  if (!listener.monitor) return false;
  stop_event_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!stop_event_) {
    RecordSystemError("eventfd", "udev monitor", errno);
    return false;
  }
  thread_ = std::thread(Watch, std::move(listener.context), std::move(listener.monitor), stop_event_.get(),
                        std::move(notify));
  return true;
}

void HotplugMonitor::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stop_event_.get(), &one, sizeof one);
  if (thread_.get_id() == std::this_thread::get_id()) return;
  thread_.join();
  stop_event_.Reset();
}

}  // namespace vyhid::hidraw
