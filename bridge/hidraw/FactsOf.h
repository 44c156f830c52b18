// What a hidraw device is, read through a view of sysfs: the bridge's own
// reader (SysfsDevice, in Enumerate.cpp), or libudev where the benchmark
// checks that reader against it. A view gives Devnode, Syspath, Sysname,
// Property and Attribute texts as libudev does, and Parent(subsystem,
// devtype), the nearest device above of that subsystem.
#pragma once

#include <linux/hidraw.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceRecord.h"

namespace vyhid::hidraw {

// Reads a whole small file, at most limit bytes; what could be read.
std::vector<std::uint8_t> ReadFile(const std::string& path, std::size_t limit);
// The descriptor from the node itself, for systems whose sysfs lacks it.
std::vector<std::uint8_t> ReadDescriptorFromNode(const std::string& devnode);
// Whether this process may open the node for reading and writing.
bool CanReadWrite(const std::string& devnode);

// Facts of a device on USB: its interface and the USB device above it.
template <typename Device>
void AddUsbFacts(const Device& hid, const Device& usb, DeviceFacts& facts) {
  if (auto v = ParseHex16(usb.Attribute("idVendor"))) facts.vendor_id = *v;
  if (auto p = ParseHex16(usb.Attribute("idProduct"))) facts.product_id = *p;
  if (auto r = ParseHex16(usb.Attribute("bcdDevice"))) facts.version = *r;
  facts.manufacturer = usb.Attribute("manufacturer");
  facts.product = usb.Attribute("product");
  facts.serial = usb.Attribute("serial");
  facts.port_path = usb.Sysname();  // bus-port chain, e.g. "1-2.3"
  if (const auto interface = hid.Parent("usb", "usb_interface")) {
    if (auto n = ParseHex16(interface->Attribute("bInterfaceNumber"))) facts.interface_number = *n;
  }
}

// Facts of a device elsewhere (Bluetooth, I2C, uhid): the HID device's own
// uevent.
template <typename Device>
void AddHidFacts(const Device& hid, DeviceFacts& facts) {
  ParseHidId(hid.Property("HID_ID"), facts.vendor_id, facts.product_id);
  facts.product = hid.Property("HID_NAME");
  facts.serial = hid.Property("HID_UNIQ");
  facts.port_path = hid.Property("HID_PHYS");
}

template <typename Device>
DeviceFacts FactsOf(const Device& hidraw) {
  DeviceFacts facts;
  facts.devnode = hidraw.Devnode();
  if (const auto hid = hidraw.Parent("hid", nullptr)) {
    facts.instance_name = hid->Sysname();
    // HID_ID is BUS:VENDOR:PRODUCT; the bus is checked again at the open.
    const std::string hid_id = hid->Property("HID_ID");
    if (auto bus = ParseHex16(std::string_view(hid_id).substr(0, hid_id.find(':')))) {
      facts.bus = *bus;
    }
    if (const auto usb = hid->Parent("usb", "usb_device")) {
      AddUsbFacts(*hid, *usb, facts);
    } else {
      AddHidFacts(*hid, facts);
    }
    const std::string syspath = hid->Syspath();
    if (!syspath.empty()) {
      facts.report_descriptor = ReadFile(syspath + "/report_descriptor", HID_MAX_DESCRIPTOR_SIZE);
    }
  }
  if (facts.instance_name.empty()) facts.instance_name = hidraw.Sysname();
  if (facts.report_descriptor.empty() && !facts.devnode.empty()) {
    facts.report_descriptor = ReadDescriptorFromNode(facts.devnode);
  }
  facts.read_write = CanReadWrite(facts.devnode);
  return facts;
}

}  // namespace vyhid::hidraw
