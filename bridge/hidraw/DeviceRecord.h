// From what the system tells about a hidraw device to the bridge's device
// record. Pure functions, no I/O: safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DescriptorCaps.h"
#include "HIDrecords.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid::hidraw {

// What enumeration learns about one hidraw device.
struct DeviceFacts {
  std::string devnode;    // /dev/hidrawN: the bridge's own, never shown
  std::uint32_t bus = 0;  // BUS_USB, BUS_BLUETOOTH, ... (HID_ID); 0 when unknown
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version = 0;
  std::string manufacturer;  // UTF-8
  std::string product;
  std::string serial;
  std::optional<int> interface_number;  // USB interface, when the device is on USB
  std::string port_path;                // where it is plugged in ("1-2.3"), or the HID PHYS text
  std::string instance_name;            // the HID device's own name: last resort to tell apart
  std::vector<std::uint8_t> report_descriptor;
  bool read_write = false;  // the node can be opened for reading and writing

  bool operator==(const DeviceFacts&) const = default;
};

// The device's identity: vendor, product and interface, then the serial
// number when there is one (the device is recognised on any port), else the
// port it is plugged into. A text longer than kIdentityChars is cut and
// ends in a hash of the whole, so that texts differing past the cut still
// differ.
std::string BuildIdentity(const DeviceFacts& facts, bool use_serial);

// Cuts a text to kIdentityChars bytes at a character boundary, ending the
// cut text with '~' and 8 hex digits of a hash of the whole text.
std::string FitIdentity(std::string_view text);

// Identities for a list of devices, one per device, pairwise different:
// devices sharing a serial number fall back to their port, and any that
// still clash get their instance name appended.
std::vector<std::string> AssignIdentities(const std::vector<DeviceFacts>& devices);

// Parses sysfs-style hexadecimal text ("046d", "0x046D", "1a2b\n") into 16
// bits; nothing when it is not a hexadecimal number below 0x10000.
std::optional<std::uint16_t> ParseHex16(std::string_view text);

// Parses a HID_ID value ("0003:0000046D:0000C52B") into vendor and product.
bool ParseHidId(std::string_view text, std::uint16_t& vendor, std::uint16_t& product);

// Buffer sizes and capability tables from a parsed descriptor (shared with
// the simulated bridge's recorded devices).
using caps::FillCapabilities;

// The whole record: every one of its 1191 bytes is written, unused ones zero.
THIDdeviceInfo BuildDeviceInfo(const DeviceFacts& facts, std::string_view identity,
                               const descriptor::ReportDescriptor& descriptor,
                               std::uint32_t handle);

}  // namespace vyhid::hidraw
