#include "DeviceOrder.h"

#include <algorithm>
#include <numeric>

namespace vyhid::win32 {
namespace {

wchar_t Fold(wchar_t c) {
  return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool PathBefore(std::wstring_view a, std::wstring_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](wchar_t x, wchar_t y) { return Fold(x) < Fold(y); });
}

}  // namespace

std::vector<std::size_t> ListingOrder(std::span<const ListingKey> keys) {
  std::vector<std::size_t> order(keys.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [keys](std::size_t a, std::size_t b) {
    if (keys[a].access != keys[b].access) return keys[a].access < keys[b].access;
    return PathBefore(keys[a].path, keys[b].path);
  });
  return order;
}

namespace {

// Whether the instance ID is of the bus named ("USB\..."), in any case.
bool OnBus(std::wstring_view id, std::wstring_view bus) {
  return id.size() > bus.size() + 1 && id[bus.size()] == L'\\' &&
         std::equal(bus.begin(), bus.end(), id.begin(),
                    [](wchar_t b, wchar_t c) { return Fold(b) == Fold(c); });
}

bool IsUsbId(std::wstring_view id) {
  return OnBus(id, L"USB");
}

}  // namespace

bool IsUsbFunction(std::wstring_view instance_id) {
  if (!IsUsbId(instance_id)) return false;
  const std::wstring_view hardware = instance_id.substr(4, instance_id.find(L'\\', 4) - 4);
  return hardware.find(L"&MI_") != std::wstring_view::npos ||
         hardware.find(L"&mi_") != std::wstring_view::npos;
}

bool IsBluetoothLe(std::wstring_view instance_id) {
  return OnBus(instance_id, L"BTHLEDEVICE");
}

std::wstring_view UsbSerial(std::wstring_view instance_id) {
  const std::size_t slash = instance_id.rfind(L'\\');
  if (!IsUsbId(instance_id) || IsUsbFunction(instance_id) || slash <= 3) return {};
  const std::wstring_view serial = instance_id.substr(slash + 1);
  return serial.find(L'&') == std::wstring_view::npos ? serial : std::wstring_view{};
}

}  // namespace vyhid::win32
