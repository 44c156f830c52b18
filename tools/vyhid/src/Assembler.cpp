// Input reports from their pieces (Assembler.h).
#include "Assembler.h"

#include <limits>

#include "Hex.h"

namespace vyhid {

void ReportAssembler::Add(const THIDreport& piece, std::size_t bytes) {
  const std::string_view payload_piece = PayloadOf(piece, bytes);
  if (pending_ && pending_id_ != piece.ReportID) Flush();
  if (!pending_) {
    pending_ = true;
    pending_id_ = piece.ReportID;
    expected_ = descriptor_.ReportBytes(vyhid::ReportKind::kInput, piece.ReportID)
                    .value_or(std::numeric_limits<std::uint32_t>::max());
    bytes_.clear();
    if (descriptor_.uses_report_ids) bytes_.push_back(static_cast<char>(piece.ReportID));
  }
  bytes_.append(payload_piece);
  const std::size_t payload = bytes_.size() - (descriptor_.uses_report_ids ? 1 : 0);
  if (payload >= expected_ || payload_piece.size() < vyhid::kPayloadBytes) Flush();
}

void ReportAssembler::Flush() {
  if (!pending_) return;
  pending_ = false;
  sink_(bytes_);
}

}  // namespace vyhid
