// The bridge's notification thread: a message-only window that hears the
// HID interfaces come and go, and the system asking to remove the device
// the bridge holds open.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <functional>
#include <mutex>

#include "Handle.h"

namespace vyhid::win32 {

class DeviceNotifier {
 public:
  struct Events {
    // An HID interface arrived or was removed; or a removal of the watched
    // device was refused after all, so that the device is there again.
    std::function<void()> changed;
    // The system asks to remove the device of the watched handle
    // (DBT_DEVICEQUERYREMOVE): an open handle blocks that, and disabling
    // or updating its driver then asks for a restart. The handler closes
    // the device, which Unwatches it.
    std::function<void(HANDLE device)> query_remove;
  };

  explicit DeviceNotifier(Events events) : events_(std::move(events)) {}
  DeviceNotifier(const DeviceNotifier&) = delete;
  DeviceNotifier& operator=(const DeviceNotifier&) = delete;

  // Starts the thread, once, and waits until its window listens. False, with
  // the reason recorded, when the thread cannot be made.
  bool Start();

  // Asks for the removal requests of the device open as `device`
  // (DBT_DEVTYP_HANDLE), in place of the one watched before; nothing when
  // the thread has not started, noted when the system refuses.
  void Watch(HANDLE device);
  // Stops watching; before the watched handle is closed.
  void Unwatch();

  // The library is being unloaded, under the loader lock: asks the thread to
  // stop with an event (no user32 call), waits until it has left all its
  // work (unregistered and destroyed its window), then ends it: ending
  // normally would need the loader lock.
  void EndUnderLoaderLock();

 private:
  static DWORD WINAPI Thread(void* self);
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Loop();

  Events events_;
  Handle thread_;
  Handle stop_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  Handle parked_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  Handle ready_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::mutex mutex_;  // for the two below
  HWND window_ = nullptr;
  HDEVNOTIFY watched_ = nullptr;
};

}  // namespace vyhid::win32
