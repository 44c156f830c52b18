#include "Enumerate.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>

#include "Failure.h"
#include "UniqueFd.h"

namespace vyhid::hidraw {
namespace {

struct UdevUnref {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevUnref>;
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
  facts.read_write = !facts.devnode.empty() && ::access(facts.devnode.c_str(), R_OK | W_OK) == 0;
  return facts;
}

}  // namespace

std::vector<DeviceFacts> EnumerateHidraw() {
  std::vector<DeviceFacts> devices;
  // A failure here fails the whole scan: recorded as its reason.
  UdevPtr context(udev_new());
  if (!context) {
    RecordSystemError("udev_new", "", errno);
    return devices;
  }
  EnumeratePtr enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) {
    RecordSystemError("udev_enumerate_new", "", errno);
    return devices;
  }
  // Both return a negative errno on failure.
  int result = udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw");
  if (result < 0) {
    RecordSystemError("udev_enumerate_add_match_subsystem", "hidraw", -result);
    return devices;
  }
  result = udev_enumerate_scan_devices(enumerate.get());
  if (result < 0) {
    RecordSystemError("udev_enumerate_scan_devices", "hidraw", -result);
    return devices;
  }
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const char* syspath = udev_list_entry_get_name(entry);
    DevicePtr device(udev_device_new_from_syspath(context.get(), syspath));
    if (!device) {  // gone since the scan
      NoteSystemError("udev_device_new_from_syspath", Text(syspath), errno);
      continue;
    }
    DeviceFacts facts = FactsOf(device.get());
    if (facts.devnode.empty()) continue;
    devices.push_back(std::move(facts));
  }
  return devices;
}

}  // namespace vyhid::hidraw
