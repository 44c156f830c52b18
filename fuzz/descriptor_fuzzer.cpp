// Feeds arbitrary bytes to the report-descriptor parser and checks that what
// it makes of them is consistent, whether the descriptor is accepted or not;
// then decodes the same bytes as each report, encodes a decoded value back,
// and reads every usage's name back to its usage.
// fuzz-libraries: hid_descriptor vyhid_abi
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "descriptor/ReportCodec.h"
#include "descriptor/ReportDescriptor.h"
#include "descriptor/UsageNames.h"

namespace {

using vyhid::descriptor::DecodedReport;
using vyhid::descriptor::kMaxEncodedBytes;
using vyhid::descriptor::kMaxReportBits;
using vyhid::descriptor::Report;
using vyhid::descriptor::ReportDescriptor;
using vyhid::descriptor::ReportEncoder;
using vyhid::descriptor::ReportKind;
using vyhid::descriptor::ReportLength;
using vyhid::descriptor::Usage;
using vyhid::descriptor::Value;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Reports sorted by kind then ID, each pair once, sizes within the bound; a
// report of no bits has an ID and no fields, and fields follow each other.
void CheckReports(const std::vector<ReportLength>& reports) {
  for (std::size_t i = 0; i < reports.size(); ++i) {
    Check(reports[i].bits <= kMaxReportBits);
    Check(reports[i].bits > 0 || (reports[i].report_id != 0 && reports[i].fields.empty()));
    std::uint64_t offset = 0;
    for (const auto& field : reports[i].fields) {
      Check(field.bit_offset == offset || offset == kMaxReportBits);
      offset = std::min(offset + std::uint64_t{field.bit_size} * field.count, kMaxReportBits);
    }
    Check(reports[i].Bytes() == (reports[i].bits + 7) / 8);
    if (i > 0) {
      const ReportLength& a = reports[i - 1];
      const ReportLength& b = reports[i];
      Check(a.kind < b.kind || (a.kind == b.kind && a.report_id < b.report_id));
    }
  }
}

constexpr std::ptrdiff_t kNamesChecked = 8;
constexpr std::uint32_t kLongReport = 512;

bool Named(Usage usage) {
  const std::vector<Usage> found =
      vyhid::descriptor::FindUsages(vyhid::descriptor::UsageName(usage));
  return std::find(found.begin(), found.end(), usage) != found.end();
}

// The input bytes as the report's payload: values stay inside their fields and
// their ranges, names read back, and a value set by usage decodes again.
void CheckCodec(const Report& report, std::span<const std::uint8_t> payload) {
  const DecodedReport decoded = vyhid::descriptor::Decode(report, payload);
  const Value* settable = nullptr;
  for (const Value& v : decoded.values) {
    Check(v.field < report.fields.size() && v.index < report.fields[v.field].count);
    const auto& field = report.fields[v.field];
    if (!v.is_null && field.logical_minimum <= field.logical_maximum) {
      Check(v.logical >= field.logical_minimum && v.logical <= field.logical_maximum);
    }
    // Names are looked up in the whole table: a few per report keep the runs fast.
    if (&v - decoded.values.data() < kNamesChecked) Check(Named(v.usage));
    if (settable == nullptr && !v.is_null && !field.IsConstant()) settable = &v;
  }
  ReportEncoder encoder(report);
  const std::size_t id_byte = report.report_id != 0 ? 1 : 0;
  Check(encoder.Bytes().size() ==
        std::min<std::size_t>(report.Bytes(), kMaxEncodedBytes) + id_byte);
  // Decoding a long report once more costs more than it finds.
  if (settable != nullptr && report.Bytes() <= kLongReport &&
      encoder.Set(settable->usage, settable->logical).empty()) {
    const std::vector<std::uint8_t> bytes = encoder.Bytes();
    const DecodedReport again =
        vyhid::descriptor::Decode(report, std::span(bytes).subspan(id_byte));
    Check(std::any_of(again.values.begin(), again.values.end(),
                      [&](const Value& v) { return v.usage == settable->usage; }));
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
  for (const Report& r : d.reports) CheckCodec(r, std::span(data, size));
  return 0;
}
