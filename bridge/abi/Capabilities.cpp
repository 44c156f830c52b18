#include "Capabilities.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace vyhid::abi {

void FillCapabilityTable(THIDdeviceInfo& info, ReportKind kind, std::uint16_t buffer_size,
                         std::span<const ReportSummary> reports) {
  std::vector<ReportSummary> sorted(reports.begin(), reports.end());
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.report_id < b.report_id; });
  TReportCapabilities* table = CapabilityTable(info, kind);
  for (std::size_t i = 0; i < kCapabilityEntries; ++i) {
    TReportCapabilities entry{};
    if (i < sorted.size()) {
      entry.Usage = sorted[i].usage;
      entry.ReportId = sorted[i].report_id;
      entry.ReportSize = 8;
      entry.ReportCount = static_cast<std::uint8_t>(std::min<std::uint32_t>(
          sorted[i].payload_bytes, std::numeric_limits<std::uint8_t>::max()));
    }
    table[i] = entry;
  }
  SetBufferSize(info, kind, buffer_size);
}

std::uint16_t BufferSizeFor(std::uint32_t longest_payload_bytes) {
  if (longest_payload_bytes == 0) return 0;
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(longest_payload_bytes + 1, 0xFFFF));
}

}  // namespace vyhid::abi
