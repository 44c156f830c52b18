#include "DescriptorCaps.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "RecordBuilder.h"

namespace vyhid::caps {

void FillCapabilities(THIDdeviceInfo& info, const descriptor::ReportDescriptor& descriptor) {
  for (const ReportKind kind : {ReportKind::kOutput, ReportKind::kInput, ReportKind::kFeature}) {
    std::vector<abi::ReportSummary> summaries;
    bool declared = false;
    for (const descriptor::ReportLength& report : descriptor.ReportsOfKind(kind)) {
      declared = true;
      // A table entry of no bytes reads as an unused one: a report of no
      // payload is known by its buffer size alone.
      if (report.Bytes() == 0) continue;
      summaries.push_back({report.report_id, report.collection_usage, report.Bytes()});
    }
    // A report of no payload still travels as its ID byte: the buffer holds it.
    const std::uint16_t buffer_size =
        !declared
            ? 0
            : std::max<std::uint16_t>(abi::BufferSizeFor(descriptor.LongestReportBytes(kind)), 1);
    abi::FillCapabilityTable(info, kind, buffer_size, summaries);
  }
}

}  // namespace vyhid::caps
