#include "RecordBuilder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace vyhid::abi {

THIDdeviceInfo MakeDeviceRecord(const DeviceDescription& device) {
  THIDdeviceInfo info;
  std::memset(&info, 0, sizeof info);
  WriteShortString(info.SymLink, device.identity);
  info.Handle = device.handle;
  info.VID = device.vendor_id;
  info.PID = device.product_id;
  info.VersionNumber = device.version;
  WriteShortStringUtf8(info.ManufacturerString, device.manufacturer);
  WriteShortStringUtf8(info.ProductString, device.product);
  WriteShortStringUtf8(info.SerialNumberString, device.serial);
  info.HasReadWriteAccess = device.read_write ? 1 : 0;
  return info;
}

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

std::int32_t CopyReportDescriptor(std::span<const std::uint8_t> descriptor, std::uint8_t* buffer,
                                  std::uint32_t size) {
  if (buffer != nullptr) {
    std::copy_n(descriptor.begin(), std::min<std::size_t>(size, descriptor.size()), buffer);
  }
  return static_cast<std::int32_t>(
      std::min<std::size_t>(descriptor.size(), std::numeric_limits<std::int32_t>::max()));
}

std::uint16_t BufferSizeFor(std::uint32_t longest_payload_bytes) {
  if (longest_payload_bytes == 0) return 0;
  return static_cast<std::uint16_t>(std::min<std::uint32_t>(longest_payload_bytes + 1, 0xFFFF));
}

}  // namespace vyhid::abi
