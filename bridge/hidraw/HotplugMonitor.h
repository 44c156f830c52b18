// Watches for hidraw devices being added or removed, on a thread of its own.
#pragma once

#include <libudev.h>

#include <functional>
#include <memory>
#include <thread>

#include "UniqueFd.h"

namespace vyhid::hidraw {

struct UdevUnref {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevUnref>;
using DevicePtr = std::unique_ptr<udev_device, UdevUnref>;

// A udev monitor receiving hidraw events, with the context it needs kept
// alive for as long as it. A null monitor: it could not be made (the reason
// recorded).
struct UdevListener {
  UdevPtr context;
  MonitorPtr monitor;
};
using ListenerSource = std::function<UdevListener()>;

// The udev daemon's events when one runs (they come after it has set up the
// node), else the kernel's own; filtered to subsystem hidraw.
UdevListener OpenUdevListener();

class HotplugMonitor {
 public:
  // Called on the monitor thread once per hidraw device added or removed.
  using Notify = std::function<void()>;

  // source makes the listener at every start (another one in tests).
  explicit HotplugMonitor(ListenerSource source = OpenUdevListener) : source_(std::move(source)) {}
  HotplugMonitor(const HotplugMonitor&) = delete;
  HotplugMonitor& operator=(const HotplugMonitor&) = delete;
  ~HotplugMonitor() { Stop(); }

  // Starts listening on a listener from the source. Returns false,
  // the reason recorded (RecordSystemError), when it cannot listen. Does nothing when already
  // running. Not thread-safe: the owner serialises Start, Stop and running.
  bool Start(Notify notify);
  // Stops the thread and joins it; nothing is notified after it returns.
  // Called from the monitor thread itself (from within notify), it only asks
  // the thread to end and returns; the thread is joined by a later Stop or
  // Start from another thread, or by the destructor.
  void Stop();
  bool running() const { return thread_.joinable(); }

 private:
  ListenerSource source_;
  std::thread thread_;
  UniqueFd stop_event_;
};

}  // namespace vyhid::hidraw
