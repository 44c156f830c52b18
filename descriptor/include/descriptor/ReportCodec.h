// Report bytes <-> values by usage, through the descriptor's model.
//
//   const ReportDescriptor d = Parse(descriptor_bytes);
//   for (const Value& v : Decode(d, ReportKind::kInput, bytes_as_read).values)
//     std::cout << UsageName(v.usage) << ' ' << v.logical << '\n';   // X -3, Y 2, Button1 1
//
//   ReportEncoder leds(*d.FindReport(ReportKind::kOutput, 0));
//   leds.Set(MakeUsage(0x08, 0x01), 1);                              // NumLock
//   std::vector<std::uint8_t> bytes = leds.Bytes();                  // {0x01}
//
// Pure computation, no global state, safe from any thread. Reads and writes
// stay within the bytes given: a report shorter than its descriptor says
// decodes only the elements that fit in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "descriptor/ReportDescriptor.h"

namespace vyhid::descriptor {

// One value of a decoded report.
struct Value {
  Usage usage = 0;
  std::size_t field = 0;    // index in Report::fields
  std::uint32_t index = 0;  // element of the field (array fields: the slot)
  // Array fields list their active usages only (the keys held), with
  // is_array set and logical the element's raw index.
  bool is_array = false;
  // The element's value is outside the logical range: the control has no
  // value now (the null state). `logical` then holds the raw bits, which are
  // not data.
  bool is_null = false;
  std::int64_t logical = 0;  // sign-extended when the field's logical minimum is negative
  // The logical value mapped linearly onto the physical range, when the field
  // has one and the value is not null; the unit exponent is not applied.
  std::optional<double> physical;
};

struct DecodedReport {
  const Report* report = nullptr;  // nullptr: the descriptor declares no such report
  std::vector<Value> values;       // in field order; padding and constant fields without
                                   // usages are left out
};

// Decodes one report's payload (the bytes after the report ID byte, if any).
DecodedReport Decode(const Report& report, std::span<const std::uint8_t> payload);
// Decodes a report as it comes from the device: with its ID byte first when
// the descriptor numbers its reports. An unknown ID gives report == nullptr.
DecodedReport Decode(const ReportDescriptor& descriptor, ReportKind kind,
                     std::span<const std::uint8_t> bytes);

// The longest payload an encoder builds: the largest report hidraw carries.
// A longer report is built only up to here, and Set refuses fields beyond.
inline constexpr std::size_t kMaxEncodedBytes = 16384;

// Builds a report by usage: every field starts zeroed (array slots empty),
// then Set writes values; Bytes gives the report as it goes to the device.
// The encoder refers to the report: keep the descriptor alive while it lives.
class ReportEncoder {
 public:
  explicit ReportEncoder(const Report& report);

  // Sets the usage's value. Variable fields: the first element of that usage
  // takes the logical value. Array fields: a non-zero value puts the usage in a free
  // slot, 0 takes it out. Returns why it could not, empty on success: no field
  // of the report has the usage, the value is outside the logical range or
  // does not fit in the field's bits, every slot of the array is taken.
  std::string Set(Usage usage, std::int64_t value);
  // The report's bytes: its ID byte first when the report has an ID, then
  // Report::Bytes() bytes of payload.
  std::vector<std::uint8_t> Bytes() const;

 private:
  const Report* report_;
  std::vector<std::uint8_t> payload_;
};

// The bits [bit_offset, bit_offset + bit_size) of bytes, least significant bit
// first as HID packs them; bit_size at most 64. Nothing when they do not fit.
std::optional<std::uint64_t> ExtractBits(std::span<const std::uint8_t> bytes,
                                         std::uint64_t bit_offset, std::uint32_t bit_size);

}  // namespace vyhid::descriptor
