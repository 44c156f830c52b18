#include "descriptor/UsageNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace vyhid::descriptor {
namespace {

struct PageEntry {
  std::uint16_t page;
  const char* name;
};
struct UsageEntry {
  Usage usage;
  const char* name;
};

#include "UsageTable.inc"

constexpr std::uint16_t kButtonPage = 0x09;
constexpr std::uint16_t kFirstVendorPage = 0xFF00;
constexpr std::string_view kButtonPrefix = "Button";
constexpr std::string_view kVendorPrefix = "Vendor";

std::string Hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value & 0xFFFF));
  return text;
}

const PageEntry* FindPage(std::uint16_t page) {
  const auto* it = std::lower_bound(std::begin(kPageNames), std::end(kPageNames), page,
                                    [](const PageEntry& e, std::uint16_t p) { return e.page < p; });
  return it != std::end(kPageNames) && it->page == page ? it : nullptr;
}

const UsageEntry* FindUsage(Usage usage) {
  const auto* it = std::lower_bound(std::begin(kUsageNames), std::end(kUsageNames), usage,
                                    [](const UsageEntry& e, Usage u) { return e.usage < u; });
  return it != std::end(kUsageNames) && it->usage == usage ? it : nullptr;
}

// Names compare without regard to the case of ASCII letters, so that a
// user may type numlock for NumLock; no two names differ only in case.
bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}
bool StartsWithName(std::string_view name, std::string_view prefix) {
  return SameName(name.substr(0, prefix.size()), prefix);
}

// Hex digits only, at most four: the number; otherwise nothing.
std::optional<std::uint16_t> ParseHex4(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    const char lower = static_cast<char>(c | 0x20);
    if (c >= '0' && c <= '9') {
      value = value * 16 + static_cast<std::uint32_t>(c - '0');
    } else if (lower >= 'a' && lower <= 'f') {
      value = value * 16 + static_cast<std::uint32_t>(lower - 'a' + 10);
    } else {
      return std::nullopt;
    }
  }
  return static_cast<std::uint16_t>(value);
}

// "0x" and four hex digits, as UsageName writes numbers.
std::optional<std::uint16_t> ParseNumber(std::string_view text) {
  if (text.size() != 6 || !StartsWithName(text, "0x")) return std::nullopt;
  return ParseHex4(text.substr(2));
}

// The page PageName gives that name.
std::optional<std::uint16_t> ParsePage(std::string_view name) {
  if (const auto number = ParseNumber(name)) return number;
  if (StartsWithName(name, kVendorPrefix)) {
    const auto page = ParseHex4(name.substr(kVendorPrefix.size()));
    if (page && *page >= kFirstVendorPage && SameName(PageName(*page), name)) return page;
  }
  for (const PageEntry& e : kPageNames) {
    if (SameName(name, e.name)) return e.page;
  }
  return std::nullopt;
}

// "Button12": the button's number (leading zeros refused, so one name per button).
std::optional<Usage> ParseButton(std::string_view name) {
  if (!StartsWithName(name, kButtonPrefix)) return std::nullopt;
  const std::string_view digits = name.substr(kButtonPrefix.size());
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') return std::nullopt;
  std::uint32_t n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (n > 0xFFFF) return std::nullopt;
  return MakeUsage(kButtonPage, static_cast<std::uint16_t>(n));
}

}  // namespace

std::string PageName(std::uint16_t page) {
  if (const PageEntry* e = FindPage(page)) return e->name;
  if (page >= kFirstVendorPage) return std::string(kVendorPrefix) + Hex4(page);
  return "0x" + Hex4(page);
}

std::string UsageName(Usage usage) {
  if (const UsageEntry* e = FindUsage(usage)) return e->name;
  if (UsagePage(usage) == kButtonPage && UsageId(usage) != 0) {
    return std::string(kButtonPrefix) + std::to_string(UsageId(usage));
  }
  return PageName(UsagePage(usage)) + ":0x" + Hex4(UsageId(usage));
}

std::vector<Usage> FindUsages(std::string_view name) {
  std::vector<Usage> found;
  for (const UsageEntry& e : kUsageNames) {
    if (SameName(name, e.name)) found.push_back(e.usage);
  }
  if (const auto button = ParseButton(name)) found.push_back(*button);
  const std::size_t colon = name.rfind(':');
  if (colon != std::string_view::npos) {
    const auto page = ParsePage(name.substr(0, colon));
    const auto id = ParseNumber(name.substr(colon + 1));
    // Only the spelling UsageName gives: a listed usage goes by its own name.
    if (page && id && SameName(UsageName(MakeUsage(*page, *id)), name)) {
      found.push_back(MakeUsage(*page, *id));
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::optional<Usage> FindUsageInReport(const Report& report, std::string_view name) {
  const std::vector<Usage> candidates = FindUsages(name);
  for (const Field& field : report.fields) {
    for (const UsageRange& range : field.usages) {
      for (const Usage usage : candidates) {
        if (usage >= range.minimum && usage <= range.maximum) return usage;
      }
    }
  }
  return std::nullopt;
}

}  // namespace vyhid::descriptor
