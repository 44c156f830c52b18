// Input reports in 64-byte pieces (InputPieces.h).
#include "InputPieces.h"

#include <algorithm>
#include <cstring>

namespace vyhid {

void SplitInputReport(std::span<const std::uint8_t> raw, bool numbered, const PieceSink& sink) {
  THIDreport report;
  report.ReportID = 0;
  if (numbered && !raw.empty()) {
    report.ReportID = raw[0];
    raw = raw.subspan(1);
  }
  std::size_t offset = 0;
  do {
    const std::size_t count = std::min(kPayloadBytes, raw.size() - offset);
    std::memset(report.Data.Bytes, 0, kPayloadBytes);
    if (count > 0) std::memcpy(report.Data.Bytes, raw.data() + offset, count);
    if (!sink(report, static_cast<std::uint8_t>(count))) return;
    offset += count;
  } while (offset < raw.size());
}

}  // namespace vyhid
