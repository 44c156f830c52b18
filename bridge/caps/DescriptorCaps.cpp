#include "DescriptorCaps.h"

#include <vector>

#include "RecordBuilder.h"

namespace vyhid::caps {

void FillCapabilities(THIDdeviceInfo& info, const descriptor::ReportDescriptor& descriptor) {
  for (const ReportKind kind : {ReportKind::kOutput, ReportKind::kInput, ReportKind::kFeature}) {
    std::vector<abi::ReportSummary> summaries;
    for (const descriptor::ReportLength& report : descriptor.ReportsOfKind(kind)) {
      summaries.push_back({report.report_id, report.collection_usage, report.Bytes()});
    }
    abi::FillCapabilityTable(info, kind, abi::BufferSizeFor(descriptor.LongestReportBytes(kind)),
                             summaries);
  }
}

}  // namespace vyhid::caps
