#include "DeviceStrings.h"

// clang-format off
#include <initguid.h>
#include <devpkey.h>  // after initguid.h: defines the property keys
// clang-format on

#include <algorithm>
#include <cwchar>
#include <string_view>
#include <vector>

#include "BoundedIo.h"
#include "DeviceOrder.h"
#include "HIDrecords.h"
#include "Win32Error.h"

namespace vyhid::win32 {
namespace {

// The Bluetooth LE device's own strings, kept as properties of its HID
// service's node ("System.DeviceInterface.Bluetooth.DeviceAddress",
// "...Manufacturer", "...ModelNumber"): such a device answers no string
// requests.
constexpr GUID kBluetoothKeys = {
    0x2BD67D8B, 0x8BEB, 0x48D5, {0x87, 0xE0, 0x6C, 0xDA, 0x34, 0x28, 0x04, 0x0A}};
constexpr DEVPROPKEY kBluetoothAddress = {kBluetoothKeys, 1};
constexpr DEVPROPKEY kBluetoothManufacturer = {kBluetoothKeys, 4};
constexpr DEVPROPKEY kBluetoothModel = {kBluetoothKeys, 5};

// A string property of a device node ("CM_Get_DevNode_PropertyW"), from the
// PnP manager: no device I/O. Empty when the node has none.
std::wstring NodeString(DEVINST node, const DEVPROPKEY& key) {
  DEVPROPTYPE type = 0;
  ULONG size = 0;
  if (::CM_Get_DevNode_PropertyW(node, &key, &type, nullptr, &size, 0) != CR_BUFFER_SMALL ||
      type != DEVPROP_TYPE_STRING) {
    return {};
  }
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  if (::CM_Get_DevNode_PropertyW(node, &key, &type, reinterpret_cast<PBYTE>(text.data()), &size,
                                 0) != CR_SUCCESS) {
    return {};
  }
  return text.data();
}

std::string AnsiOf(std::wstring_view text) {
  return ToAnsi(text.data(), static_cast<int>(text.size()));
}

// A string the device itself reports (what HidD_GetManufacturerString and
// its kin ask for), bounded in time. A USB string has at most 126 UTF-16
// units, but other buses allow longer ones: the buffer takes the most the
// call accepts, 4093 bytes ("HidD_GetProductString"), rounded down to whole
// units, and one unit more that stays zero. Empty when the device has none
// or does not answer, which is noted.
std::string DeviceString(HANDLE device, const DeviceControl& control) {
  constexpr std::size_t kUnits = 4093 / sizeof(wchar_t);
  std::vector<wchar_t> text(kUnits + 1, L'\0');
  const auto bytes = static_cast<DWORD>(kUnits * sizeof(wchar_t));
  if (const DWORD error = ControlRequest(device, control, nullptr, 0, text.data(), bytes)) {
    NoteWin32Error(control.name, L"", error);
    return {};
  }
  return ToAnsi(text.data(), static_cast<int>(wcsnlen(text.data(), kUnits)));
}

// The device a collection belongs to: the collection node's parent, or above
// a USB composite device's function the device itself. False when unknown.
bool ParentDevice(DEVINST collection, DEVINST& parent, std::wstring& id) {
  if (collection == 0 || ::CM_Get_Parent(&parent, collection, 0) != CR_SUCCESS) return false;
  id = NodeString(parent, DEVPKEY_Device_InstanceId);
  if (IsUsbFunction(id) && ::CM_Get_Parent(&parent, parent, 0) == CR_SUCCESS) {
    id = NodeString(parent, DEVPKEY_Device_InstanceId);
  }
  return !id.empty();
}

}  // namespace

std::string ToAnsi(const wchar_t* text, int length) {
  const auto convert = [text](int units, char* out, int size) {
    return ::WideCharToMultiByte(CP_ACP, 0, text, units, out, size, nullptr, nullptr);
  };
  constexpr int kMax = static_cast<int>(vyhid::kShortStringChars);
  // Every UTF-16 unit gives at least one byte: no longer prefix can fit.
  int units = std::min(length, kMax) + 1;
  int bytes = 0;
  do {
    --units;
    // Never end between the two halves of a surrogate pair.
    if (units > 0 && units < length && IS_HIGH_SURROGATE(text[units - 1])) --units;
    bytes = units > 0 ? convert(units, nullptr, 0) : 0;
  } while (units > 0 && (bytes <= 0 || bytes > kMax));
  if (units <= 0 || bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  convert(units, out.data(), bytes);
  return out;
}

// The PnP manager first: the product as the bus reported it
// ("DEVPKEY_Device_BusReportedDeviceDesc", for USB the device's product
// string), a USB device's serial number from its instance ID, a Bluetooth
// LE device's strings from its properties. DEVPKEY_Device_Manufacturer names
// the driver package's maker, not the device's: a USB manufacturer string
// comes from the device. What is still missing is asked of the device, each
// request bounded (BoundedIo.h), except of a Bluetooth LE device.
Names ReadNames(HANDLE device, DEVINST collection, std::map<std::wstring, Names>& known) {
  DEVINST parent = 0;
  std::wstring id;
  const bool found = ParentDevice(collection, parent, id);
  if (found) {
    if (const auto it = known.find(id); it != known.end()) return it->second;
  }
  Names names;
  const bool bluetoothLe = found && IsBluetoothLe(id);
  if (found) {
    names.product = AnsiOf(NodeString(parent, DEVPKEY_Device_BusReportedDeviceDesc));
    names.serial = AnsiOf(UsbSerial(id));
  }
  if (bluetoothLe) {
    names.manufacturer = AnsiOf(NodeString(parent, kBluetoothManufacturer));
    if (names.product.empty()) names.product = AnsiOf(NodeString(parent, kBluetoothModel));
    names.serial = AnsiOf(NodeString(parent, kBluetoothAddress));
  } else {
    if (names.product.empty()) names.product = DeviceString(device, kGetProductString);
    names.manufacturer = DeviceString(device, kGetManufacturerString);
    if (names.serial.empty()) names.serial = DeviceString(device, kGetSerialNumberString);
  }
  if (found) known.emplace(id, names);
  return names;
}

}  // namespace vyhid::win32
