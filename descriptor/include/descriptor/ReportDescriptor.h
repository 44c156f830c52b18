// HID report-descriptor parser: descriptor bytes in, the descriptor as a model
// out: every report (kind, report ID) with its length and its fields in order,
// and the collections that enclose them. The report lengths the bridges use
// come from the same model.
//
// Pure computation, no I/O, no global state: every function is safe from any
// thread. Every read is bounded by the end of the input; any byte sequence is
// accepted without a crash, a malformed one ending the parse with an error
// that names the byte offset where it failed.
//
// Decoding and encoding report bytes: ReportCodec.h. Usage names: UsageNames.h.
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

// The class definition's name of an item ("Usage Page", "Input", "End
// Collection"); "Long Item" for a long one, "Reserved" for a tag it leaves undefined.
const char* ItemName(const Item& item);
// A collection type's name: "Physical", "Application", "Logical", "Report",
// "Named Array", "Usage Switch", "Usage Modifier", "Vendor-defined" (0x80 and
// above), "Reserved".
const char* CollectionTypeName(std::uint8_t type);

// Item tags of the short items the parser acts on, and the listings name.
namespace main_tag {
constexpr std::uint8_t kInput = 0x8;
constexpr std::uint8_t kOutput = 0x9;
constexpr std::uint8_t kCollection = 0xA;
constexpr std::uint8_t kFeature = 0xB;
constexpr std::uint8_t kEndCollection = 0xC;
}  // namespace main_tag
namespace global_tag {
constexpr std::uint8_t kUsagePage = 0x0;
constexpr std::uint8_t kLogicalMinimum = 0x1;
constexpr std::uint8_t kLogicalMaximum = 0x2;
constexpr std::uint8_t kPhysicalMinimum = 0x3;
constexpr std::uint8_t kPhysicalMaximum = 0x4;
constexpr std::uint8_t kUnitExponent = 0x5;
constexpr std::uint8_t kUnit = 0x6;
constexpr std::uint8_t kReportSize = 0x7;
constexpr std::uint8_t kReportId = 0x8;
constexpr std::uint8_t kReportCount = 0x9;
constexpr std::uint8_t kPush = 0xA;
constexpr std::uint8_t kPop = 0xB;
}  // namespace global_tag
namespace local_tag {
constexpr std::uint8_t kUsage = 0x0;
constexpr std::uint8_t kUsageMinimum = 0x1;
constexpr std::uint8_t kUsageMaximum = 0x2;
constexpr std::uint8_t kDelimiter = 0xA;
}  // namespace local_tag

// An item's data as the class definition stores signed numbers: two's
// complement in the item's own size (0 for an item without data).
std::int64_t SignedData(std::uint32_t data, std::uint8_t size);

// Reads the item starting at p. Returns the position just after it, or
// nullptr when p == end or the item's data runs past end (item is then
// unspecified). Never reads at or past end.
const std::uint8_t* FetchItem(const std::uint8_t* p, const std::uint8_t* end, Item& item);

// A usage as 32 bits: the usage page in the high half, the usage ID in the low
// half (the HID class definition's "extended usage").
using Usage = std::uint32_t;
constexpr Usage MakeUsage(std::uint16_t page, std::uint16_t id) {
  return (Usage{page} << 16) | id;
}
constexpr std::uint16_t UsagePage(Usage usage) {
  return static_cast<std::uint16_t>(usage >> 16);
}
constexpr std::uint16_t UsageId(Usage usage) {
  return static_cast<std::uint16_t>(usage & 0xFFFF);
}

// The USAGE items of a field in declaration order, each either one usage
// (minimum == maximum) or a USAGE_MINIMUM..USAGE_MAXIMUM range.
struct UsageRange {
  Usage minimum = 0;
  Usage maximum = 0;
  bool is_range = false;  // declared by USAGE_MINIMUM and USAGE_MAXIMUM
};

// The data bits of an Input, Output or Feature item.
namespace field_flag {
inline constexpr std::uint32_t kConstant = 1u << 0;  // else data
inline constexpr std::uint32_t kVariable = 1u << 1;  // else array
inline constexpr std::uint32_t kRelative = 1u << 2;  // else absolute
inline constexpr std::uint32_t kWrap = 1u << 3;
inline constexpr std::uint32_t kNonLinear = 1u << 4;
inline constexpr std::uint32_t kNoPreferredState = 1u << 5;
inline constexpr std::uint32_t kNullState = 1u << 6;
inline constexpr std::uint32_t kVolatile = 1u << 7;  // output and feature items only
inline constexpr std::uint32_t kBufferedBytes = 1u << 8;
}  // namespace field_flag

// One collection of the descriptor, as a node of the collection tree.
struct Collection {
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  std::uint8_t type = 0;  // 0 physical, 1 application, 2 logical, 3 report, ...
  Usage usage = 0;
  std::uint32_t parent = kNone;  // index in ReportDescriptor::collection_nodes
};

// One main item of a report: `count` elements of `bit_size` bits each,
// starting `bit_offset` bits into the report's payload (after the ID byte).
struct Field {
  std::uint64_t bit_offset = 0;
  std::uint32_t bit_size = 0;      // Report Size
  std::uint32_t count = 0;         // Report Count
  std::uint32_t flags = 0;         // field_flag bits of the main item
  std::vector<UsageRange> usages;  // empty for padding
  // Logical range, sign-extended when the minimum is negative (then the
  // elements are signed too), zero-extended otherwise.
  std::int64_t logical_minimum = 0;
  std::int64_t logical_maximum = 0;
  // Physical range: has_physical is false when both are 0 (physical = logical).
  std::int64_t physical_minimum = 0;
  std::int64_t physical_maximum = 0;
  bool has_physical = false;
  std::uint32_t unit = 0;         // the Unit item's nibbles: system, length, mass, ...
  std::int8_t unit_exponent = 0;  // power of ten of the unit
  std::uint32_t collection = Collection::kNone;  // innermost enclosing collection

  bool IsConstant() const { return (flags & field_flag::kConstant) != 0; }
  bool IsVariable() const { return (flags & field_flag::kVariable) != 0; }
  bool IsArray() const { return !IsVariable(); }
  bool IsRelative() const { return (flags & field_flag::kRelative) != 0; }
  bool HasNullState() const { return (flags & field_flag::kNullState) != 0; }
  bool IsSigned() const { return logical_minimum < 0; }
  // Usages the ranges hold together (ranges counted whole).
  std::uint64_t UsageCount() const;
  // The usage at that index of the expanded list; 0 past its end.
  Usage UsageAt(std::uint64_t index) const;
  // A variable field's usage of element `element`: the element's own, the
  // last usage for elements beyond the list (as the class definition says).
  Usage ElementUsage(std::uint64_t element) const;
};

// One report, i.e. one (kind, report ID) pair. Report ID 0 stands for the
// single report of a device that does not number its reports. A report whose
// main items carry no bits (Report Size or Count 0 under a report ID) is kept:
// it travels as its ID byte alone and has no fields.
struct Report {
  ReportKind kind = ReportKind::kInput;
  std::uint8_t report_id = 0;
  std::uint64_t bits = 0;              // saturates at kMaxReportBits
  std::uint16_t collection_usage = 0;  // usage of the top-level collection that declares it
  std::vector<Field> fields;           // in descriptor order, padding included

  // Payload length in whole bytes (bits rounded up).
  std::uint32_t Bytes() const;
};
// The name the bridges know a report by: they use its length.
using ReportLength = Report;

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
  std::vector<ReportLength> reports;     // sorted by kind, then report ID; the fields
                                         // declared inside this collection
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
  // Every collection, in descriptor order; fields and nodes refer to them by index.
  std::vector<Collection> collection_nodes;
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
  // That report of the whole descriptor, nullptr when it lacks it.
  const Report* FindReport(ReportKind kind, std::uint8_t report_id) const;
  // The collections enclosing the field, outermost first.
  std::vector<Collection> CollectionPath(const Field& field) const;
};

// Parses a whole report descriptor.
ReportDescriptor Parse(std::span<const std::uint8_t> bytes);

}  // namespace vyhid::descriptor
