#include "Enumerate.h"

#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "Failure.h"
#include "UniqueFd.h"

namespace vyhid::hidraw {
namespace {

struct UdevUnref {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using DevicePtr = std::unique_ptr<udev_device, UdevUnref>;

std::string Text(const char* value) {
  return value != nullptr ? std::string(value) : std::string();
}

std::string Attribute(udev_device* device, const char* name) {
  return Text(udev_device_get_sysattr_value(device, name));
}

std::string Property(udev_device* device, const char* name) {
  return Text(udev_device_get_property_value(device, name));
}

// A failure that costs one device a fact but not the scan: noted, not
// recorded as the reason of the call.
void NoteSystemError(std::string_view call, const std::string& object, int error) {
  abi::DebugNote(abi::SystemErrorText(call, object, error));
}

// Reads a whole small file, at most limit bytes.
std::vector<std::uint8_t> ReadFile(const std::string& path, std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    NoteSystemError("open", path, errno);
    return bytes;
  }
  bytes.resize(limit);
  std::size_t used = 0;
  while (used < limit) {
    const ssize_t n = ::read(fd.get(), bytes.data() + used, limit - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) NoteSystemError("read", path, errno);
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

// The descriptor from the node itself, for systems whose sysfs lacks it.
std::vector<std::uint8_t> ReadDescriptorFromNode(const std::string& devnode) {
  std::vector<std::uint8_t> bytes;
  UniqueFd fd(::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    NoteSystemError("open", devnode, errno);
    return bytes;
  }
  int size = 0;
  if (::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size) < 0) {
    NoteSystemError("ioctl HIDIOCGRDESCSIZE", devnode, errno);
    return bytes;
  }
  if (size <= 0) return bytes;
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<__u32>(std::min(size, HID_MAX_DESCRIPTOR_SIZE));
  if (::ioctl(fd.get(), HIDIOCGRDESC, &descriptor) < 0) {
    NoteSystemError("ioctl HIDIOCGRDESC", devnode, errno);
    return bytes;
  }
  bytes.assign(descriptor.value, descriptor.value + descriptor.size);
  return bytes;
}

// Facts of a device on USB: its interface and the USB device above it.
void AddUsbFacts(udev_device* hid, DeviceFacts& facts) {
  udev_device* interface =
      udev_device_get_parent_with_subsystem_devtype(hid, "usb", "usb_interface");
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hid, "usb", "usb_device");
  if (usb == nullptr) return;
  if (auto v = ParseHex16(Attribute(usb, "idVendor"))) facts.vendor_id = *v;
  if (auto p = ParseHex16(Attribute(usb, "idProduct"))) facts.product_id = *p;
  if (auto r = ParseHex16(Attribute(usb, "bcdDevice"))) facts.version = *r;
  facts.manufacturer = Attribute(usb, "manufacturer");
  facts.product = Attribute(usb, "product");
  facts.serial = Attribute(usb, "serial");
  facts.port_path = Text(udev_device_get_sysname(usb));  // bus-port chain, e.g. "1-2.3"
  if (interface != nullptr) {
    if (auto n = ParseHex16(Attribute(interface, "bInterfaceNumber"))) facts.interface_number = *n;
  }
}

// Facts of a device elsewhere (Bluetooth, I2C, uhid): the HID device's own
// uevent.
void AddHidFacts(udev_device* hid, DeviceFacts& facts) {
  ParseHidId(Property(hid, "HID_ID"), facts.vendor_id, facts.product_id);
  facts.product = Property(hid, "HID_NAME");
  facts.serial = Property(hid, "HID_UNIQ");
  facts.port_path = Property(hid, "HID_PHYS");
}

bool CanReadWrite(const std::string& devnode) {
  return !devnode.empty() && ::access(devnode.c_str(), R_OK | W_OK) == 0;
}

DeviceFacts FactsOf(udev_device* hidraw) {
  DeviceFacts facts;
  facts.devnode = Text(udev_device_get_devnode(hidraw));
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
  if (hid != nullptr) {
    facts.instance_name = Text(udev_device_get_sysname(hid));
    // HID_ID is BUS:VENDOR:PRODUCT; the bus is checked again at the open.
    const std::string hid_id = Property(hid, "HID_ID");
    if (auto bus = ParseHex16(std::string_view(hid_id).substr(0, hid_id.find(':')))) {
      facts.bus = *bus;
    }
    if (udev_device_get_parent_with_subsystem_devtype(hid, "usb", "usb_device") != nullptr) {
      AddUsbFacts(hid, facts);
    } else {
      AddHidFacts(hid, facts);
    }
    const char* syspath = udev_device_get_syspath(hid);
    if (syspath != nullptr) {
      facts.report_descriptor =
          ReadFile(std::string(syspath) + "/report_descriptor", HID_MAX_DESCRIPTOR_SIZE);
    }
  }
  if (facts.instance_name.empty()) facts.instance_name = Text(udev_device_get_sysname(hidraw));
  if (facts.report_descriptor.empty() && !facts.devnode.empty()) {
    facts.report_descriptor = ReadDescriptorFromNode(facts.devnode);
  }
  facts.read_write = CanReadWrite(facts.devnode);
  return facts;
}

class UdevSystem final : public HidrawSystem {
 public:
  std::vector<std::string> List() override;
  std::optional<Read> ReadDevice(const std::string& syspath) override;
  std::optional<dev_t> NodeNumber(const std::string& devnode) override {
    struct stat node {};
    if (::stat(devnode.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return std::nullopt;
    return node.st_rdev;
  }
  bool ReadWrite(const std::string& devnode) override { return CanReadWrite(devnode); }

 private:
  static constexpr const char* kClassDir = "/sys/class/hidraw";
  // Made by the first read; a failure is recorded and tried again next time.
  UdevPtr context_;
};

// The class directory lists every hidraw device as a link to its sysfs path;
// read directly, a listing costs one readlink per device, where libudev's
// enumeration builds a device object for each.
std::vector<std::string> UdevSystem::List() {
  std::vector<std::string> syspaths;
  const std::filesystem::path dir = kClassDir;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(kClassDir), ::closedir);
  if (!listing) {
    // Without the hidraw module there is no class directory and no device.
    if (errno != ENOENT) RecordSystemError("opendir", kClassDir, errno);
    return syspaths;
  }
  std::vector<char> target(PATH_MAX);
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (entry->d_name[0] == '.') continue;
    const std::string link = (dir / entry->d_name).string();
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {  // gone since the listing
      NoteSystemError("readlink", link, n < 0 ? errno : ENAMETOOLONG);
      continue;
    }
    syspaths.push_back(
        (dir / std::string_view(target.data(), static_cast<std::size_t>(n))).lexically_normal());
    errno = 0;
  }
  if (errno != 0) {
    RecordSystemError("readdir", kClassDir, errno);
    syspaths.clear();
    return syspaths;
  }
  std::sort(syspaths.begin(), syspaths.end());  // libudev's order
  return syspaths;
}

std::optional<HidrawSystem::Read> UdevSystem::ReadDevice(const std::string& syspath) {
  if (!context_) context_.reset(udev_new());
  if (!context_) {
    RecordSystemError("udev_new", "", errno);
    return std::nullopt;
  }
  DevicePtr device(udev_device_new_from_syspath(context_.get(), syspath.c_str()));
  if (!device) {  // gone since the listing
    NoteSystemError("udev_device_new_from_syspath", syspath, errno);
    return std::nullopt;
  }
  Read read{FactsOf(device.get()), udev_device_get_devnum(device.get())};
  if (read.facts.devnode.empty()) return std::nullopt;
  return read;
}

}  // namespace

std::unique_ptr<HidrawSystem> MakeUdevSystem() {
  return std::make_unique<UdevSystem>();
}

std::vector<DeviceFacts> HidrawCache::Scan() {
  std::lock_guard lock(mutex_);
  std::vector<DeviceFacts> devices;
  std::map<std::string, Kept> kept;
  last_reads_ = 0;
  for (std::string& syspath : system_->List()) {
    const auto old = kept_.find(syspath);
    if (old != kept_.end()) {
      Kept& entry = old->second;
      // The same node still there: only its access may have changed.
      if (system_->NodeNumber(entry.facts.devnode) == entry.number) {
        entry.facts.read_write = system_->ReadWrite(entry.facts.devnode);
        devices.push_back(entry.facts);
        kept.emplace(std::move(syspath), std::move(entry));
        continue;
      }
    }
    ++last_reads_;
    std::optional<HidrawSystem::Read> read = system_->ReadDevice(syspath);
    if (!read) continue;
    devices.push_back(read->facts);
    kept.emplace(std::move(syspath), Kept{std::move(read->facts), read->number});
  }
  kept_ = std::move(kept);
  return devices;
}

std::size_t HidrawCache::LastReads() const {
  std::lock_guard lock(mutex_);
  return last_reads_;
}

std::vector<DeviceFacts> EnumerateHidraw() {
  return HidrawCache(MakeUdevSystem()).Scan();
}

}  // namespace vyhid::hidraw
