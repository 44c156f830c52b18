#include "CapsRecord.h"

#include <algorithm>
#include <map>

namespace vyhid::win32 {
namespace {

constexpr std::size_t kTableEntries = 10;
constexpr std::uint64_t kMaxCount = 255;

void FillKind(ReportKind kind, std::uint16_t length, std::uint16_t usage,
              std::span<const ItemCaps> items, std::uint16_t& bufferSize,
              TReportCapabilities (&table)[kTableEntries]) {
  bufferSize = length;
  // Bits per report ID of this kind, ascending by ID.
  std::map<std::uint8_t, std::uint64_t> bits;
  for (const ItemCaps& item : items) {
    if (item.kind == kind) bits[item.report_id] += std::uint64_t{item.bit_size} * item.report_count;
  }
  for (TReportCapabilities& entry : table) entry = TReportCapabilities{};
  if (length == 0) return;  // the parser says the kind is absent
  std::size_t i = 0;
  for (const auto& [id, reportBits] : bits) {
    if (i == kTableEntries) break;
    const std::uint64_t payload =
        bits.size() == 1 ? std::uint64_t{length} - 1 : (reportBits + 7) / 8;
    table[i].Usage = usage;
    table[i].ReportId = id;
    table[i].ReportSize = 8;
    table[i].ReportCount = static_cast<std::uint8_t>(std::min(payload, kMaxCount));
    ++i;
  }
}

}  // namespace

void FillCapabilities(const CollectionCaps& collection, std::span<const ItemCaps> items,
                      THIDdeviceInfo& info) {
  std::uint16_t size = 0;
  FillKind(ReportKind::kOutput, collection.output_length, collection.usage, items, size,
           info.OutputReportCaps);
  info.OutputBufferSize = size;
  FillKind(ReportKind::kInput, collection.input_length, collection.usage, items, size,
           info.InputReportCaps);
  info.InputBufferSize = size;
  FillKind(ReportKind::kFeature, collection.feature_length, collection.usage, items, size,
           info.FeatureReportCaps);
  info.FeatureBufferSize = size;
}

}  // namespace vyhid::win32
