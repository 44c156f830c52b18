#include "descriptor/ReportCodec.h"

#include <algorithm>

#include "descriptor/UsageNames.h"

namespace vyhid::descriptor {
namespace {

// Elements wider than this are read and written by their low 64 bits.
constexpr std::uint32_t kValueBits = 64;

std::int64_t SignExtend(std::uint64_t raw, std::uint32_t bits) {
  if (bits == 0 || bits >= kValueBits) return static_cast<std::int64_t>(raw);
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  return static_cast<std::int64_t>((raw ^ sign) - sign);
}

// A logical range a value can be checked against; a descriptor whose minimum
// exceeds its maximum gives none, and its values count as data.
bool HasRange(const Field& f) {
  return f.logical_minimum <= f.logical_maximum;
}

bool InRange(const Field& f, std::int64_t value) {
  return !HasRange(f) || (value >= f.logical_minimum && value <= f.logical_maximum);
}

std::optional<double> Physical(const Field& f, std::int64_t logical) {
  if (!f.has_physical) return std::nullopt;
  const auto lmin = static_cast<double>(f.logical_minimum);
  const auto lmax = static_cast<double>(f.logical_maximum);
  const auto pmin = static_cast<double>(f.physical_minimum);
  const auto pmax = static_cast<double>(f.physical_maximum);
  if (lmax == lmin) return pmin;
  return pmin + (static_cast<double>(logical) - lmin) * (pmax - pmin) / (lmax - lmin);
}

// The value can be stored in one element: in its bits as two's complement when
// the field is signed, as an unsigned number otherwise.
bool Fits(const Field& f, std::int64_t value) {
  const std::uint32_t width = std::min(f.bit_size, kValueBits);
  if (width == kValueBits) return true;
  if (f.IsSigned()) {
    const std::int64_t half = std::int64_t{1} << (width - 1);
    return value >= -half && value < half;
  }
  return value >= 0 && static_cast<std::uint64_t>(value) < (std::uint64_t{1} << width);
}

std::string Bits(const Field& f) {
  return std::to_string(f.bit_size) + (f.IsSigned() ? " signed" : " unsigned") + " bits";
}

// Elements of the field that lie wholly inside `bits` bits of payload.
std::uint64_t ElementsWithin(const Field& f, std::uint64_t bits) {
  if (f.bit_size == 0 || f.bit_offset >= bits) return 0;
  return std::min<std::uint64_t>(f.count, (bits - f.bit_offset) / f.bit_size);
}

std::uint64_t ElementOffset(const Field& f, std::uint64_t element) {
  return f.bit_offset + element * f.bit_size;
}

std::int64_t ReadElement(const Field& f, std::span<const std::uint8_t> payload,
                         std::uint64_t element) {
  const std::uint32_t bits = std::min(f.bit_size, kValueBits);
  const std::uint64_t raw = ExtractBits(payload, ElementOffset(f, element), bits).value_or(0);
  return f.IsSigned() ? SignExtend(raw, bits) : static_cast<std::int64_t>(raw);
}

// The index of the usage in the field's expanded usage list.
std::optional<std::uint64_t> IndexOf(const Field& f, Usage usage) {
  std::uint64_t base = 0;
  for (const UsageRange& r : f.usages) {
    if (usage >= r.minimum && usage <= r.maximum) return base + (usage - r.minimum);
    base += r.maximum >= r.minimum ? std::uint64_t{r.maximum} - r.minimum + 1 : 0;
  }
  return std::nullopt;
}

// The usage an array slot's value selects, 0 when it selects none (outside
// the logical range or the usage list, or usage ID 0: "no event").
Usage ArrayUsage(const Field& f, std::int64_t value) {
  if (!HasRange(f) || !InRange(f, value)) return 0;
  const Usage usage = f.UsageAt(static_cast<std::uint64_t>(value - f.logical_minimum));
  return UsageId(usage) == 0 ? 0 : usage;
}

void InsertBits(std::span<std::uint8_t> bytes, std::uint64_t bit_offset, std::uint32_t bit_size,
                std::uint64_t value) {
  for (std::uint32_t i = 0; i < bit_size; ++i) {
    const std::uint64_t bit = bit_offset + i;
    const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    std::uint8_t& byte = bytes[bit / 8];
    byte = ((value >> i) & 1) != 0 ? (byte | mask) : (byte & ~mask);
  }
}

// A variable field's element usages in order, one step per element, without
// walking the usage list from its start each time.
class ElementUsages {
 public:
  explicit ElementUsages(const Field& f) : f_(f) {}
  Usage Next() {
    while (range_ < f_.usages.size()) {
      const UsageRange& r = f_.usages[range_];
      if (r.maximum >= r.minimum && step_ <= std::uint64_t{r.maximum} - r.minimum) {
        last_ = static_cast<Usage>(r.minimum + step_++);
        return last_;
      }
      ++range_;
      step_ = 0;
    }
    return last_;  // past the list: its last usage repeats
  }

 private:
  const Field& f_;
  std::size_t range_ = 0;
  std::uint64_t step_ = 0;
  Usage last_ = 0;
};

}  // namespace

std::optional<std::uint64_t> ExtractBits(std::span<const std::uint8_t> bytes,
                                         std::uint64_t bit_offset, std::uint32_t bit_size) {
  if (bit_size > kValueBits || bit_offset > bytes.size() * std::uint64_t{8} ||
      bit_size > bytes.size() * std::uint64_t{8} - bit_offset) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  std::uint32_t done = 0;
  while (done < bit_size) {
    const std::uint64_t bit = bit_offset + done;
    const std::uint32_t shift = bit % 8;
    const std::uint32_t take = std::min<std::uint32_t>(8 - shift, bit_size - done);
    const std::uint64_t chunk = (bytes[bit / 8] >> shift) & ((1u << take) - 1);
    value |= chunk << done;
    done += take;
  }
  return value;
}

DecodedReport Decode(const Report& report, std::span<const std::uint8_t> payload) {
  DecodedReport decoded;
  decoded.report = &report;
  const std::uint64_t bits = payload.size() * std::uint64_t{8};
  std::uint64_t elements = 0;  // at most one value each: room made once
  for (const Field& f : report.fields) {
    if (!f.usages.empty()) elements += ElementsWithin(f, bits);
  }
  decoded.values.reserve(static_cast<std::size_t>(elements));
  for (std::size_t fi = 0; fi < report.fields.size(); ++fi) {
    const Field& f = report.fields[fi];
    if (f.usages.empty()) continue;  // padding
    const std::uint64_t n = ElementsWithin(f, bits);
    ElementUsages usages(f);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::int64_t value = ReadElement(f, payload, i);
      const auto index = static_cast<std::uint32_t>(i);
      if (f.IsArray()) {
        const Usage usage = ArrayUsage(f, value);
        if (usage != 0) decoded.values.push_back({usage, fi, index, true, false, value, {}});
        continue;
      }
      const bool is_null = !InRange(f, value);
      decoded.values.push_back({usages.Next(), fi, index, false, is_null, value,
                                is_null ? std::nullopt : Physical(f, value)});
    }
  }
  return decoded;
}

DecodedReport Decode(const ReportDescriptor& descriptor, ReportKind kind,
                     std::span<const std::uint8_t> bytes) {
  std::uint8_t id = 0;
  if (descriptor.uses_report_ids) {
    if (bytes.empty()) return {};
    id = bytes[0];
    bytes = bytes.subspan(1);
  }
  const Report* report = descriptor.FindReport(kind, id);
  if (report == nullptr) return {};
  return Decode(*report, bytes);
}

ReportEncoder::ReportEncoder(const Report& report)
    : report_(&report), payload_(std::min<std::size_t>(report.Bytes(), kMaxEncodedBytes)) {}

std::string ReportEncoder::Set(Usage usage, std::int64_t value) {
  const std::uint64_t bits = payload_.size() * std::uint64_t{8};
  for (const Field& f : report_->fields) {
    if (f.IsConstant()) continue;
    const std::optional<std::uint64_t> index = IndexOf(f, usage);
    if (!index) continue;
    const std::uint64_t n = ElementsWithin(f, bits);
    const std::uint32_t width = std::min(f.bit_size, kValueBits);
    const std::string range = std::to_string(f.logical_minimum) + ".." +
                              std::to_string(f.logical_maximum) + " of " + UsageName(usage);
    if (f.IsVariable()) {
      // Elements past the usage list repeat its last usage: the first of them.
      if (*index >= f.count) continue;
      if (*index >= n)
        return UsageName(usage) + " lies past the " + std::to_string(bits / 8) +
               " bytes an encoder builds";
      if (!InRange(f, value)) {
        return "value " + std::to_string(value) + " outside the logical range " + range;
      }
      // A descriptor may give a range its field cannot hold: never store a cut value.
      if (!Fits(f, value)) {
        return "value " + std::to_string(value) + " of " + UsageName(usage) +
               " does not fit in the field's " + Bits(f);
      }
      InsertBits(payload_, ElementOffset(f, *index), width, static_cast<std::uint64_t>(value));
      return {};
    }
    const std::int64_t selector = f.logical_minimum + static_cast<std::int64_t>(*index);
    if (!HasRange(f) || selector > f.logical_maximum) {
      return UsageName(usage) + " lies outside the array's logical range " + range;
    }
    if (!Fits(f, selector)) {
      return "index " + std::to_string(selector) + " of " + UsageName(usage) +
             " does not fit in the array's " + Bits(f);
    }
    std::optional<std::uint64_t> free_slot;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::int64_t slot = ReadElement(f, payload_, i);
      if (slot == selector && ArrayUsage(f, slot) == usage) {
        if (value == 0) InsertBits(payload_, ElementOffset(f, i), width, 0);
        if (value != 0) return {};  // already held
      } else if (!free_slot && ArrayUsage(f, slot) == 0) {
        free_slot = i;
      }
    }
    if (value == 0) return {};
    if (!free_slot) return "every slot of the array of " + UsageName(usage) + " is taken";
    InsertBits(payload_, ElementOffset(f, *free_slot), width, static_cast<std::uint64_t>(selector));
    return {};
  }
  return "the report has no field of " + UsageName(usage);
}

std::vector<std::uint8_t> ReportEncoder::Bytes() const {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(payload_.size() + 1);
  if (report_->report_id != 0) bytes.push_back(report_->report_id);
  bytes.insert(bytes.end(), payload_.begin(), payload_.end());
  return bytes;
}

}  // namespace vyhid::descriptor
