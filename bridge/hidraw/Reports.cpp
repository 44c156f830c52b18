#include "Reports.h"

#include <algorithm>
#include <cstring>

namespace vyhid::hidraw {

std::uint8_t TakenBytes(std::uint32_t payload_length) {
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(payload_length, kPayloadBytes));
}

std::vector<std::uint8_t> BuildOutgoing(const THIDreport& report, std::uint32_t payload_length) {
  std::vector<std::uint8_t> bytes(std::size_t{1} + payload_length, 0);
  bytes[0] = report.ReportID;
  std::memcpy(bytes.data() + 1, report.Data.Bytes, TakenBytes(payload_length));
  return bytes;
}

std::uint8_t StoreFetched(THIDreport& report, std::span<const std::uint8_t> fetched) {
  const std::span<const std::uint8_t> payload = fetched.empty() ? fetched : fetched.subspan(1);
  const std::size_t count = std::min(kPayloadBytes, payload.size());
  std::memset(report.Data.Bytes, 0, kPayloadBytes);
  if (count > 0) std::memcpy(report.Data.Bytes, payload.data(), count);
  return static_cast<std::uint8_t>(count);
}

}  // namespace vyhid::hidraw
