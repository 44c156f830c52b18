// The hidraw bridge's state behind its 13 entry points: the device list of
// the last scan, the one open device with its read thread, the hotplug
// monitor and the two callbacks.
//
// Every method is safe from any thread, including from within the callbacks
// (a callback may scan, open, close, transfer, and install or remove either
// handler). One mutex guards the state; no callback is ever called while it
// is held. A bridge thread never joins another bridge thread (see
// BridgeThreads.h): what it stops is parked and joined by the next call from
// a thread of the application.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DeviceRecord.h"
#include "EntryPoints.h"
#include "GraceTimer.h"
#include "HotplugMonitor.h"
#include "Node.h"

namespace vyhid::hidraw {

class Bridge {
 public:
  // How long a closed device's node stays open for a reopen (see Close).
  static constexpr std::chrono::milliseconds kReopenGrace{1000};

  // Lists the devices present; a HidrawCache, or a stand-in in tests.
  using Enumerator = std::function<std::vector<DeviceFacts>()>;

  Bridge();
  // What device an opened node holds: ReadNodeIdentity, or a stand-in.
  using NodeProbe = std::function<std::optional<NodeIdentity>(int fd, const std::string& path)>;

  // enumerate lists the devices, source makes the hotplug monitor's
  // listener, probe checks an opened node against the scan (not at all
  // without one: tests whose nodes are stand-ins).
  explicit Bridge(Enumerator enumerate, ListenerSource source = OpenUdevListener,
                  NodeProbe probe = nullptr);
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;
  ~Bridge() { Shutdown(); }

  // Enumerates the hidraw devices, in a stable order (by identity), at most
  // 255; returns how many. The open device, if any, stays open.
  std::uint8_t Scan();
  // Writes all of info for device nr of the last scan; leaves it alone for a
  // number out of range.
  void DeviceInfo(std::uint8_t nr, THIDdeviceInfo& info);
  // The report descriptor of device nr of the last scan, as
  // HIDGetReportDescriptor hands it out (EntryPoints.h): -1 with the reason
  // when nr is not listed or the scan could not read its descriptor.
  std::int32_t ReportDescriptor(std::uint8_t nr, std::uint8_t* buffer, std::uint32_t size);
  // Closes the open device (if any), then opens device nr and starts its read
  // thread. Returns false when nr is out of range, the node cannot be opened,
  // or it now holds another device than the scan found there (its number
  // reused after an unplug: refused with ENOENT).
  bool Open(std::uint8_t nr);
  // Closes the open device; no input callback comes after it returns. True
  // when a device was open. Called on a thread of the application, it keeps
  // the node open without reading it for kReopenGrace: an Open of the same
  // device meanwhile (a rescan closes and reopens it) goes on from the
  // reports the kernel queued, so none is lost; when the grace ends the node
  // is closed and its read thread ends, joined by the next call from the
  // application. Otherwise (hold false, on a bridge thread, in a forked
  // child, a device gone) it closes at once and joins the read thread, or
  // parks it on a bridge thread, which ends once its callback returns.
  bool Close(bool hold = true);

  // Installing a device-change handler starts the hotplug monitor (again,
  // when it ended by itself); null stops it.
  void SetDeviceChangeHandler(TUSBcallBack handler);
  void SetInputHandler(THIDcallBack handler);

  // Buffer size of the open device for that kind, at most 255; 0 when none
  // is open, it has been unplugged, or it has no report of that kind.
  std::uint8_t ReportSize(ReportKind kind);

  // Transfers on the open device (an input or feature report fetched, an
  // output or feature report sent); 0 when none is open (see Node).
  std::uint8_t GetReport(ReportKind kind, THIDreport& report);
  std::uint8_t SetReport(ReportKind kind, const THIDreport& report);

  // Stops and joins every thread the bridge started; afterwards no callback
  // comes. Called on a bridge thread (exit() from a callback runs the
  // library's unload there), it stops them and lets them go, and returns
  // false: the bridge must then outlive them. True when all were joined.
  bool Shutdown();

  // True in a process forked from the one that made the bridge: its threads
  // run in the parent only.
  bool InForkedChild() const;

 private:
  struct Listed {
    DeviceFacts facts;
    descriptor::ReportDescriptor descriptor;
    THIDdeviceInfo info;
  };
  // A node kept open after a close, for a reopen within the grace period.
  struct Held {
    std::shared_ptr<Node> node;
    std::thread thread;
    DeviceFacts facts;
    THIDdeviceInfo info{};
  };
  void ReadThread(const std::shared_ptr<Node>& node);
  // Takes up the held node again when it holds device nr of the last scan.
  bool Reopen(std::uint8_t nr);
  // Stops the open device, or with hold keeps it as held_ with its grace
  // armed (stopped instead when it cannot be held); a node held before is
  // stopped and its thread parked. The caller joins the returned
  // thread (when it can).
  std::thread DetachOpenLocked(bool hold = false);
  // Joins a stopped thread; parks it on a bridge thread, lets it go in a
  // forked child.
  void JoinOrPark(std::thread thread);
  // Joins the parked threads, unless called on a bridge thread.
  void JoinParked();

  const Enumerator enumerate_;
  const NodeProbe probe_;
  std::mutex mutex_;
  std::vector<Listed> devices_;
  std::shared_ptr<Node> open_node_;
  THIDdeviceInfo open_info_{};
  DeviceFacts open_facts_;
  std::thread read_thread_;
  Held held_;
  // Threads stopped from a bridge thread: joined by the next open, close,
  // device-change handler change or shutdown from a thread of the
  // application.
  std::vector<std::thread> parked_;
  const pid_t owner_;
  // Ends held_'s hold when its grace runs out.
  GraceTimer grace_;
  // Guards the monitor's start and stop; never taken by the monitor thread.
  std::mutex monitor_mutex_;
  HotplugMonitor monitor_;
  std::atomic<THIDcallBack> input_handler_{nullptr};
  std::atomic<TUSBcallBack> change_handler_{nullptr};
};

// The library's unload: stops the bridge's threads and frees it. In a forked
// child it does nothing: the threads and stop events are the parent's. On a
// bridge thread the bridge is stopped but kept, for the threads let go.
void UnloadBridge(Bridge*& bridge);

}  // namespace vyhid::hidraw
