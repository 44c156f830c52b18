#include "CapsRecord.h"

#include <algorithm>
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

}  // namespace vyhid::win32
