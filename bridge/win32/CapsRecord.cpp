#include "CapsRecord.h"

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

#include "RecordBuilder.h"

namespace vyhid::win32 {
namespace {

void FillKind(ReportKind kind, std::uint16_t length, std::uint16_t usage,
              std::span<const ItemCaps> items, THIDdeviceInfo& info) {
  // Bits per report ID of this kind, ascending by ID.
  std::map<std::uint8_t, std::uint64_t> bits;
  for (const ItemCaps& item : items) {
    if (item.kind == kind) bits[item.report_id] += std::uint64_t{item.bit_size} * item.report_count;
  }
  // The capabilities leave out constant padding and say nowhere where an item
  // lies in its report ("HIDP_VALUE_CAPS structure", "HidP_GetCaps": only the
  // collection's longest report counts it): a report among several lacks its
  // padding bytes, which a single report takes from the length.
  std::vector<abi::ReportSummary> reports;
  if (length != 0) {  // otherwise the parser says the kind is absent
    for (const auto& [id, reportBits] : bits) {
      const std::uint64_t payload =
          bits.size() == 1 ? std::uint64_t{length} - 1 : (reportBits + 7) / 8;
      reports.push_back(
          {id, usage, static_cast<std::uint32_t>(std::min<std::uint64_t>(payload, 0xFFFF))});
    }
  }
  abi::FillCapabilityTable(info, kind, length, reports);
}

}  // namespace

ItemCaps ButtonItem(const ButtonCaps& button) {
  constexpr std::uint16_t kVariable = 0x02;
  const auto usages = static_cast<std::uint16_t>(
      button.usage_max >= button.usage_min ? button.usage_max - button.usage_min + 1 : 1);
  if ((button.bit_field & kVariable) != 0) {
    return {button.kind, button.report_id, 1,
            button.report_count != 0 ? button.report_count : usages};
  }
  const std::uint16_t field = button.usage_max <= 0xFF ? 8 : 16;
  return {button.kind, button.report_id, field,
          button.report_count != 0 ? button.report_count : std::uint16_t{1}};
}

void FillCapabilities(const CollectionCaps& collection, std::span<const ItemCaps> items,
                      THIDdeviceInfo& info) {
  FillKind(ReportKind::kOutput, collection.output_length, collection.usage, items, info);
  FillKind(ReportKind::kInput, collection.input_length, collection.usage, items, info);
  FillKind(ReportKind::kFeature, collection.feature_length, collection.usage, items, info);
}

std::uint8_t PayloadTaken(const THIDdeviceInfo& info, ReportKind kind, std::uint8_t report_id) {
  const std::uint16_t size = BufferSize(info, kind);
  std::uint32_t payload = size > 0 ? size - 1u : 0u;
  const TReportCapabilities* table = CapabilityTable(info, kind);
  for (std::size_t i = 0; i < kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount != 0 && entry.ReportId == report_id) {
      payload = entry.ReportCount;
      break;
    }
  }
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(payload, kPayloadBytes));
}

std::size_t InputPayload(const THIDdeviceInfo& info, std::uint8_t report_id, std::size_t read) {
  if (read == 0) return 0;
  const TReportCapabilities* table = CapabilityTable(info, ReportKind::kInput);
  for (std::size_t i = 0; i < kCapabilityEntries; ++i) {
    const TReportCapabilities entry = table[i];
    if (entry.ReportCount != 0 && entry.ReportId == report_id &&
        entry.ReportCount < std::numeric_limits<std::uint8_t>::max()) {
      return std::min<std::size_t>(read - 1, entry.ReportCount);
    }
  }
  return read - 1;
}

}  // namespace vyhid::win32
