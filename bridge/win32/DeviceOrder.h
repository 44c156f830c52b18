// The order in which a scan lists the system's HID collections. Portable, so
// that its tests run on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vyhid::win32 {

// How a collection could be opened, in the order a scan lists them.
enum class Access : std::uint8_t {
  kReadWrite,
  kReadOnly,
  // Neither reading nor writing: a keyboard or mouse that the system holds
  // open exclusively ("Top-Level Collections Opened by Windows for System
  // Use"); attributes, strings and features still work.
  kNone,
};

// One collection found by a scan.
struct ListingKey {
  Access access = Access::kNone;
  std::wstring_view path;  // its device interface path
};

// The positions of `keys` in listing order: those an application can open
// read-write first, then read-only, then with no access rights; by path
// within each group, ignoring the case of ASCII letters (the system does not
// keep it between calls), so that the order is the same from scan to scan.
std::vector<std::size_t> ListingOrder(std::span<const ListingKey> keys);

// Device instance IDs ("Device Instance ID": bus, hardware, instance, split
// by backslashes). True for a function of a USB composite device
// ("USB\VID_v&PID_p&MI_nn\..."), whose strings are its parent's.
bool IsUsbFunction(std::wstring_view instance_id);
// True for a Bluetooth LE device's HID service ("BTHLEDEVICE\..."), which
// answers no string requests.
bool IsBluetoothLe(std::wstring_view instance_id);
// The serial number of a USB device: its instance part, which the USB hub
// driver takes from the serial number the device reports; empty when the
// system made one up (it then holds an '&') or the ID is not a USB device's.
std::wstring_view UsbSerial(std::wstring_view instance_id);

}  // namespace vyhid::win32
