#include "DeviceRecord.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "RecordBuilder.h"

namespace vyhid::hidraw {
namespace {

using descriptor::ReportDescriptor;

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// FNV-1a: short, stable across runs and builds.
std::uint32_t Hash32(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

// Largest n <= limit that does not split a UTF-8 sequence of text.
std::size_t CharacterBoundary(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  std::size_t n = limit;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

}  // namespace

std::string FitIdentity(std::string_view text) {
  if (text.size() <= kIdentityChars) return std::string(text);
  // Built by appending: g++ 12 gives a false -Wrestrict on `"~" + std::string` at -O3.
  std::string tail = "~";
  tail += Hex(Hash32(text), 8);
  const std::size_t keep = CharacterBoundary(text, kIdentityChars - tail.size());
  return std::string(text.substr(0, keep)) + tail;
}

std::string BuildIdentity(const DeviceFacts& facts, bool use_serial) {
  std::string text = Hex(facts.vendor_id, 4) + ":" + Hex(facts.product_id, 4);
  if (facts.interface_number) {
    text += ':';
    text += Hex(static_cast<unsigned>(*facts.interface_number) & 0xFF, 2);
  }
  if (use_serial && !facts.serial.empty()) {
    text += " sn:" + facts.serial;
  } else {
    text += " at:" + (facts.port_path.empty() ? facts.instance_name : facts.port_path);
  }
  return FitIdentity(text);
}

std::vector<std::string> AssignIdentities(const std::vector<DeviceFacts>& devices) {
  std::vector<std::string> ids;
  ids.reserve(devices.size());
  for (const DeviceFacts& d : devices) ids.push_back(BuildIdentity(d, true));

  auto clashing = [&ids]() {
    std::map<std::string, int> count;
    for (const std::string& id : ids) ++count[id];
    std::vector<bool> clash(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) clash[i] = count[ids[i]] > 1;
    return clash;
  };
  // Some devices share one serial number (or carry a placeholder): those are
  // told apart by their port.
  std::vector<bool> clash = clashing();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (clash[i]) ids[i] = BuildIdentity(devices[i], false);
  }
  clash = clashing();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (clash[i]) ids[i] = FitIdentity(ids[i] + " #" + devices[i].instance_name);
  }
  return ids;
}

std::optional<std::uint16_t> ParseHex16(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty() || text.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  if (value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

bool ParseHidId(std::string_view text, std::uint16_t& vendor, std::uint16_t& product) {
  // BUS:VENDOR:PRODUCT, each field hexadecimal.
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos) return false;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  const auto v = ParseHex16(text.substr(first + 1, second - first - 1));
  const auto p = ParseHex16(text.substr(second + 1));
  if (!v || !p) return false;
  vendor = *v;
  product = *p;
  return true;
}

THIDdeviceInfo BuildDeviceInfo(const DeviceFacts& facts, std::string_view identity,
                               const ReportDescriptor& descriptor, std::uint32_t handle) {
  THIDdeviceInfo info = abi::MakeDeviceRecord({.identity = identity,
                                               .vendor_id = facts.vendor_id,
                                               .product_id = facts.product_id,
                                               .version = facts.version,
                                               .manufacturer = facts.manufacturer,
                                               .product = facts.product,
                                               .serial = facts.serial,
                                               .read_write = facts.read_write,
                                               .handle = handle});
  FillCapabilities(info, descriptor);
  return info;
}

}  // namespace vyhid::hidraw
