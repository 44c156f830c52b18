// The hidraw bridge's state behind its 13 entry points: the device list of
// the last scan, the one open device with its read thread, the hotplug
// monitor and the two callbacks.
//
// Every method is safe from any thread, including from within the callbacks
// (a callback may close the device or rescan). One mutex guards the state;
// no callback is ever called while it is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "DeviceRecord.h"
#include "EntryPoints.h"
#include "HotplugMonitor.h"
#include "Node.h"

namespace vyhid::hidraw {

class Bridge {
 public:
  // Lists the devices present; EnumerateHidraw, or a stand-in in tests.
  using Enumerator = std::function<std::vector<DeviceFacts>()>;

  Bridge();
  // enumerate lists the devices, source makes the hotplug monitor's listener.
  explicit Bridge(Enumerator enumerate, ListenerSource source = OpenUdevListener);
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;
  ~Bridge() { Shutdown(); }

  // Enumerates the hidraw devices, in a stable order (by identity), at most
  // 255; returns how many. The open device, if any, stays open.
  std::uint8_t Scan();
  // Writes all of *info for device nr of the last scan; all zeros for a
  // number out of range. Ignores a null info.
  void GetDeviceInfo(std::uint8_t nr, THIDdeviceInfo* info);
  // Closes the open device (if any), then opens device nr and starts its read
  // thread. Returns false when nr is out of range or the node cannot be opened.
  bool Open(std::uint8_t nr);
  // Closes the open device and joins its read thread (except when called from
  // that thread, which then ends after the callback returns); no input
  // callback comes after it returns. True when a device was open.
  bool Close();

  // Installing a device-change handler starts the hotplug monitor; null stops it.
  void SetDeviceChangeHandler(TUSBcallBack handler);
  void SetInputHandler(THIDcallBack handler);

  // Buffer size of the open device for that kind, at most 255; 0 when none
  // is open, it has been unplugged, or it has no report of that kind.
  std::uint8_t ReportSize(ReportKind kind);

  // Transfers on the open device; 0 when none is open (see Node).
  std::uint8_t GetInputReport(THIDreport* report);
  std::uint8_t GetFeatureReport(THIDreport* report);
  std::uint8_t SetOutputReport(THIDreport* report);
  std::uint8_t SetFeatureReport(THIDreport* report);

  // Stops and joins every thread the bridge started; afterwards no callback
  // comes. Called when the library is unloaded.
  void Shutdown();

 private:
  struct Listed {
    DeviceFacts facts;
    descriptor::ReportDescriptor descriptor;
    THIDdeviceInfo info;
  };
  void ReadThread(const std::shared_ptr<Node>& node);
  // Stops the open device; the caller joins the returned thread (when it can).
  std::thread DetachOpenLocked();
  void JoinOrPark(std::thread thread);
  void JoinParked();

  const Enumerator enumerate_;
  std::mutex mutex_;
  std::vector<Listed> devices_;
  std::shared_ptr<Node> open_node_;
  THIDdeviceInfo open_info_{};
  std::thread read_thread_;
  // A read thread that closed its own device: joined by the next open, close
  // or shutdown from another thread.
  std::thread parked_thread_;
  // Guards the monitor's start and stop; never taken by the monitor thread.
  std::mutex monitor_mutex_;
  HotplugMonitor monitor_;
  std::atomic<THIDcallBack> input_handler_{nullptr};
  std::atomic<TUSBcallBack> change_handler_{nullptr};
};

// The library's unload: stops the bridge's threads and frees it.
void UnloadBridge(Bridge*& bridge);

}  // namespace vyhid::hidraw
