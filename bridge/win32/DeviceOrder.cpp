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

}  // namespace vyhid::win32
