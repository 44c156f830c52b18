// Watches for hidraw devices being added or removed, on a thread of its own.
#pragma once

#include <functional>
#include <thread>

#include "UniqueFd.h"

namespace vyhid::hidraw {

class HotplugMonitor {
 public:
  // Called on the monitor thread once per hidraw device added or removed.
  using Notify = std::function<void()>;

  HotplugMonitor() = default;
  HotplugMonitor(const HotplugMonitor&) = delete;
  HotplugMonitor& operator=(const HotplugMonitor&) = delete;
  ~HotplugMonitor() { Stop(); }

  // Starts listening: to the udev daemon's events when one runs (they come
  // after it has set up the node), else to the kernel's own. Returns false,
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
  std::thread thread_;
  UniqueFd stop_event_;
};

}  // namespace vyhid::hidraw
