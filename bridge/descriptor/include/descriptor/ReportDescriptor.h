// HID report-descriptor parser: descriptor bytes in, report lengths out.
//
// Pure computation, no I/O, no global state: every function is safe from any
// thread. Every read is bounded by the end of the input; any byte sequence is
// accepted without a crash, a malformed one ending the parse with an error
// that names the byte offset where it failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "HIDrecords.h"

namespace vyhid::descriptor {

using vyhid::kReportKindCount;
using vyhid::ReportKind;

// One item as it stands in the descriptor.
struct Item {
  enum class Type : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };
  Type type = Type::kMain;
  std::uint8_t tag = 0;        // the item tag; for a long item its long-item tag
  bool is_long = false;        // long items carry data the parser does not use
  std::uint8_t data_size = 0;  // bytes of data (short items: 0, 1, 2 or 4)
  std::uint32_t data = 0;      // short items: the data, little-endian, zero-extended
};

// Reads the item starting at p. Returns the position just after it, or
// nullptr when p == end or the item's data runs past end (item is then
// unspecified). Never reads at or past end.
const std::uint8_t* FetchItem(const std::uint8_t* p, const std::uint8_t* end, Item& item);

// Bits declared for one report, i.e. one (kind, report ID) pair. Report ID 0
// stands for the single report of a device that does not number its reports.
struct ReportLength {
  ReportKind kind = ReportKind::kInput;
  std::uint8_t report_id = 0;
  std::uint64_t bits = 0;              // saturates at kMaxReportBits
  std::uint16_t collection_usage = 0;  // usage of the top-level collection that declares it

  // Payload length in whole bytes (bits rounded up).
  std::uint32_t Bytes() const;
};

// A report bigger than any device can send; sums stop growing here so that
// huge sizes and counts cannot overflow.
inline constexpr std::uint64_t kMaxReportBits = std::uint64_t{1} << 32;
// Depth limits: PUSH without POP, and nested collections.
inline constexpr std::size_t kMaxGlobalStackDepth = 16;
inline constexpr std::size_t kMaxCollectionDepth = 64;

// A top-level collection and the reports declared inside it.
struct TopLevelCollection {
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::vector<ReportLength> reports;     // sorted by kind, then report ID
  std::vector<std::uint8_t> report_ids;  // every ID used inside, ascending, distinct

  // Longest report of that kind in bytes, 0 when the collection has none.
  std::uint32_t LongestReportBytes(ReportKind kind) const;
};

enum class ParseError : std::uint8_t {
  kNone,
  kTruncatedItem,           // a short or long item runs past the end
  kGlobalStackOverflow,     // PUSH deeper than kMaxGlobalStackDepth
  kGlobalStackUnderflow,    // POP without PUSH
  kCollectionTooDeep,       // more than kMaxCollectionDepth nested collections
  kEndCollectionUnderflow,  // END_COLLECTION without an open collection
  kUnclosedCollection,      // the descriptor ends inside a collection (every report
                            // was read: some real devices' descriptors end so)
  kInvalidReportId,         // REPORT_ID 0 or above 255
};

// Text for an error, e.g. "truncated item".
const char* Describe(ParseError error);

// What a report descriptor declares. After an error, the fields hold what was
// declared before the failing item, so a caller may still use them.
struct ReportDescriptor {
  std::vector<ReportLength> reports;  // whole descriptor, sorted by kind, then report ID
  std::vector<TopLevelCollection> collections;
  bool uses_report_ids = false;  // a REPORT_ID item appears: reports start with their ID byte
  ParseError error = ParseError::kNone;
  std::size_t error_offset =
      0;  // byte offset of the failing item (the size for kUnclosedCollection)

  bool ok() const { return error == ParseError::kNone; }
  // Payload bytes of that report, or nothing when the descriptor lacks it.
  std::optional<std::uint32_t> ReportBytes(ReportKind kind, std::uint8_t report_id) const;
  // Longest report of that kind in bytes, 0 when there is none.
  std::uint32_t LongestReportBytes(ReportKind kind) const;
  // The reports of one kind, ascending by report ID.
  std::vector<ReportLength> ReportsOfKind(ReportKind kind) const;
};

// Parses a whole report descriptor.
ReportDescriptor Parse(std::span<const std::uint8_t> bytes);

}  // namespace vyhid::descriptor
