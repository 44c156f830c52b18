#include "UdevSystem.h"

#include <libudev.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "Diagnostics.h"
#include "FactsOf.h"
#include "Failure.h"

namespace vyhid::hidraw {
namespace {

std::string Text(const char* value) {
  return value != nullptr ? std::string(value) : std::string();
}

// A device as libudev shows it, read by the same FactsOf as the bridge's
// own reader.
class UdevDevice {
 public:
  explicit UdevDevice(udev_device* device) : device_(device) {}
  std::string Devnode() const { return Text(udev_device_get_devnode(device_)); }
  std::string Syspath() const { return Text(udev_device_get_syspath(device_)); }
  std::string Sysname() const { return Text(udev_device_get_sysname(device_)); }
  std::string Property(const char* name) const {
    return Text(udev_device_get_property_value(device_, name));
  }
  std::string Attribute(const char* name) const {
    return Text(udev_device_get_sysattr_value(device_, name));
  }
  // The nearest device above this one of that subsystem (and devtype).
  std::optional<UdevDevice> Parent(const char* subsystem, const char* devtype) const {
    udev_device* parent =
        udev_device_get_parent_with_subsystem_devtype(device_, subsystem, devtype);
    if (parent == nullptr) return std::nullopt;
    return UdevDevice(parent);
  }

 private:
  udev_device* device_;  // owned by the caller; parents by their child
};

// Lists and checks nodes as the bridge does; reads each device through
// libudev.
class UdevSystem final : public HidrawSystem {
 public:
  std::vector<std::string> List() override { return sysfs_->List(); }
  std::optional<dev_t> NodeNumber(const std::string& devnode) override {
    return sysfs_->NodeNumber(devnode);
  }
  bool ReadWrite(const std::string& devnode) override { return sysfs_->ReadWrite(devnode); }

  std::optional<Read> ReadDevice(const std::string& syspath) override {
    if (!context_) context_.reset(udev_new());
    if (!context_) {
      RecordSystemError("udev_new", "", errno);
      return std::nullopt;
    }
    const std::unique_ptr<udev_device, udev_device* (*)(udev_device*)> device(
        udev_device_new_from_syspath(context_.get(), syspath.c_str()), udev_device_unref);
    if (!device) {  // gone since the listing
      abi::DebugNote(abi::SystemErrorText("udev_device_new_from_syspath", syspath, errno));
      return std::nullopt;
    }
    Read read{FactsOf(UdevDevice(device.get())), udev_device_get_devnum(device.get())};
    if (read.facts.devnode.empty()) return std::nullopt;
    return read;
  }

 private:
  const std::unique_ptr<HidrawSystem> sysfs_ = MakeSysfsSystem();
  // Made by the first read; a failure is recorded and tried again next time.
  std::unique_ptr<udev, udev* (*)(udev*)> context_{nullptr, udev_unref};
};

}  // namespace

std::unique_ptr<HidrawSystem> MakeUdevSystem() {
  return std::make_unique<UdevSystem>();
}

}  // namespace vyhid::hidraw
