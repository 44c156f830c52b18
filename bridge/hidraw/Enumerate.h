// Enumeration of hidraw devices: listed and read from sysfs (works without
// a udev daemon).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DeviceRecord.h"

namespace vyhid::hidraw {

// What a scan asks of the system about hidraw devices; the real one reads
// sysfs, tests stand in for it.
class HidrawSystem {
 public:
  virtual ~HidrawSystem() = default;
  // The sysfs paths of the hidraw devices present now, in the system's order;
  // empty (the reason recorded) when they cannot be listed.
  virtual std::vector<std::string> List() = 0;
  // Everything about the device at syspath, with its node's device number;
  // nothing when it is gone or has no node.
  struct Read {
    DeviceFacts facts;
    dev_t number = 0;
  };
  virtual std::optional<Read> ReadDevice(const std::string& syspath) = 0;
  // The device number of the node at devnode now; nothing when it is absent.
  virtual std::optional<dev_t> NodeNumber(const std::string& devnode) = 0;
  // Whether this process may open the node for reading and writing.
  virtual bool ReadWrite(const std::string& devnode) = 0;
};

// The system read straight from sysfs: the hidraw device's uevent, the HID
// device's uevent and report descriptor, and for USB the interface and the
// USB device above it. What the bridge scans with.
std::unique_ptr<HidrawSystem> MakeSysfsSystem();

// Enumeration that keeps the facts it read. A scan reads in full only the
// devices that are new or whose node changed: another sysfs path (a new HID
// device below it: the kernel numbers every one anew) or another device
// number. For the others it checks again only what changes without a new
// node: read-write access (udev sets permissions after the node appears) and
// presence. The result is what a full enumeration gives. Safe from any
// thread: scans run one at a time.
class HidrawCache {
 public:
  explicit HidrawCache(std::unique_ptr<HidrawSystem> system) : system_(std::move(system)) {}
  std::vector<DeviceFacts> Scan();
  // Devices read in full by the last scan (the others came from the cache).
  std::size_t LastReads() const;

 private:
  struct Kept {
    DeviceFacts facts;
    dev_t number = 0;
  };
  mutable std::mutex mutex_;
  const std::unique_ptr<HidrawSystem> system_;
  std::map<std::string, Kept> kept_;  // by sysfs path
  std::size_t last_reads_ = 0;
};

}  // namespace vyhid::hidraw
