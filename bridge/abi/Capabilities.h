// Fills a device record's buffer size and capability table of one kind: the
// one place that decides what a bridge reports about a device's reports.
#pragma once

#include <cstdint>
#include <span>

#include "HIDrecords.h"

namespace vyhid::abi {

// One report of a kind, as a bridge learnt it.
struct ReportSummary {
  std::uint8_t report_id = 0;       // 0: the device numbers no reports
  std::uint16_t usage = 0;          // the usage of the report's top-level collection
  std::uint32_t payload_bytes = 0;  // without the report ID byte
};

// Sets the kind's buffer size to `buffer_size` and its table to the first
// kCapabilityEntries reports by ascending ID: {usage, ID, ReportSize 8,
// ReportCount payload bytes cut at 255}; the entries past them are zero.
void FillCapabilityTable(THIDdeviceInfo& info, ReportKind kind, std::uint16_t buffer_size,
                         std::span<const ReportSummary> reports);

// The buffer size a device's longest report of a kind gives: its payload plus
// the report ID byte, 0 for a kind without reports, at most 0xFFFF.
std::uint16_t BufferSizeFor(std::uint32_t longest_payload_bytes);

}  // namespace vyhid::abi
