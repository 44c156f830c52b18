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
  // Called on the monitor thread once per hidraw device added or removed,
  // and once after the socket overflowed (events were lost: a rescan finds
  // what changed).
  using Notify = std::function<void()>;

  // source makes the listener at every start (another one in tests).
  explicit HotplugMonitor(ListenerSource source = OpenUdevListener) : source_(std::move(source)) {}
  HotplugMonitor(const HotplugMonitor&) = delete;
  HotplugMonitor& operator=(const HotplugMonitor&) = delete;
  // Stops the thread and joins it; lets it go instead when called on the
  // monitor thread itself or in a forked child.
  ~HotplugMonitor();

  // Starts listening on a listener from the source. Returns false, the
  // reason recorded (RecordSystemError), when it cannot listen. Does nothing
  // when already running, or when called on the monitor thread itself (from
  // within notify); a monitor that ended by itself (its socket failed) is
  // started anew. Not thread-safe: the owner serialises Start, Stop and
  // running.
  bool Start(Notify notify);
  // Asks the thread to end and hands it over: the caller joins it (or parks
  // it, on a bridge thread: see BridgeThreads.h); nothing is notified after
  // it ends. In a forked child the parent's thread is not asked.
  std::thread Stop();
  bool running() const { return thread_.joinable(); }

  // What the monitor thread shares with its owner; kept by the thread for as
  // long as it runs, even when the owner has let it go.
  struct Control;

 private:
  ListenerSource source_;
  std::thread thread_;
  std::shared_ptr<Control> control_;
};

}  // namespace vyhid::hidraw
