// Feeds arbitrary bytes to the report-descriptor parser and checks that what
// it makes of them is consistent, whether the descriptor is accepted or not.
// fuzz-libraries: hid_descriptor vyhid_abi
#include <cstddef>
#include <cstdint>
#include <span>

#include "descriptor/ReportDescriptor.h"

namespace {

using vyhid::descriptor::kMaxReportBits;
using vyhid::descriptor::ReportDescriptor;
using vyhid::descriptor::ReportKind;
using vyhid::descriptor::ReportLength;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Reports sorted by kind then ID, each pair once, sizes within the bound.
void CheckReports(const std::vector<ReportLength>& reports) {
  for (std::size_t i = 0; i < reports.size(); ++i) {
    Check(reports[i].bits > 0 && reports[i].bits <= kMaxReportBits);
    Check(reports[i].Bytes() == (reports[i].bits + 7) / 8);
    if (i > 0) {
      const ReportLength& a = reports[i - 1];
      const ReportLength& b = reports[i];
      Check(a.kind < b.kind || (a.kind == b.kind && a.report_id < b.report_id));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ReportDescriptor d = vyhid::descriptor::Parse(std::span(data, size));
  Check(d.ok() == (d.error == vyhid::descriptor::ParseError::kNone));
  Check(d.error_offset <= size);
  CheckReports(d.reports);
  for (const auto& tlc : d.collections) {
    CheckReports(tlc.reports);
    for (std::size_t i = 1; i < tlc.report_ids.size(); ++i) {
      Check(tlc.report_ids[i - 1] < tlc.report_ids[i]);
    }
    // Every report of a collection is in the whole, at least as long.
    for (const ReportLength& r : tlc.reports) {
      const auto whole = d.ReportBytes(r.kind, r.report_id);
      Check(whole.has_value() && *whole >= r.Bytes());
    }
  }
  for (const ReportKind kind : {ReportKind::kInput, ReportKind::kOutput, ReportKind::kFeature}) {
    std::uint32_t longest = 0;
    for (const ReportLength& r : d.ReportsOfKind(kind)) {
      Check(r.kind == kind);
      if (r.Bytes() > longest) longest = r.Bytes();
    }
    Check(d.LongestReportBytes(kind) == longest);
  }
  // Without a REPORT_ID item every report is report 0.
  if (!d.uses_report_ids) {
    for (const ReportLength& r : d.reports) Check(r.report_id == 0);
  }
  return 0;
}
