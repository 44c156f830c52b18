#include "Hex.h"

#include <algorithm>

namespace vyhid {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':' || c == ',' || c == '-';
}

}  // namespace

std::optional<std::string> ParseHex(std::string_view text, std::string* error) {
  std::string bytes;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    // One group: an optional 0x, then an even number of digits.
    const std::size_t start = i;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    const std::size_t digits_start = i;
    while (i < text.size() && !IsSeparator(text[i])) {
      if (HexDigit(text[i]) < 0) {
        *error = "'" + std::string(1, text[i]) + "' at position " + std::to_string(i + 1) +
                 " is not a hex digit";
        return std::nullopt;
      }
      ++i;
    }
    const std::size_t digits = i - digits_start;
    if (digits == 0 || digits % 2 != 0) {
      *error = "'" + std::string(text.substr(start, i - start)) +
               "' does not have an even number of hex digits";
      return std::nullopt;
    }
    for (std::size_t d = digits_start; d < i; d += 2) {
      bytes.push_back(static_cast<char>(HexDigit(text[d]) * 16 + HexDigit(text[d + 1])));
    }
  }
  if (bytes.empty()) {
    *error = "no bytes given";
    return std::nullopt;
  }
  return bytes;
}

std::string FormatHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i > 0) text.push_back(' ');
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text, std::uint32_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return std::nullopt;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > max) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace vyhid

namespace vyhid {

std::string_view PayloadOf(const THIDreport& report, std::size_t bytes) {
  return {reinterpret_cast<const char*>(report.Data.Bytes),
          std::min<std::size_t>(bytes, vyhid::kPayloadBytes)};
}

std::string Plural(std::size_t n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string FormatReport(unsigned report_id, std::string_view bytes) {
  std::string text =
      "id " + std::to_string(report_id) + ", " + Plural(bytes.size(), "byte", "bytes");
  if (!bytes.empty()) text += ": " + FormatHex(bytes);
  return text;
}

std::string FormatReportPiece(unsigned report_id, std::size_t offset, std::string_view bytes,
                              std::size_t total) {
  if (offset == 0 && bytes.size() == total) return FormatReport(report_id, bytes);
  return "id " + std::to_string(report_id) + ", bytes " + std::to_string(offset + 1) + "-" +
         std::to_string(offset + bytes.size()) + " of " + std::to_string(total) +
         (bytes.empty() ? "" : ": " + FormatHex(bytes));
}

}  // namespace vyhid
