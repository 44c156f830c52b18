// Builds the device records a bridge hands out: the one place that decides
// how a device's names and reports are written into THIDdeviceInfo.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "HIDrecords.h"

namespace vyhid::abi {

// What a bridge tells about one device besides its reports.
struct DeviceDescription {
  std::string_view identity;  // SymLink: bytes, at most kIdentityChars of them compared
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t version = 0;
  std::string_view manufacturer;  // the names: UTF-8 on Linux, the ANSI code page on Windows
  std::string_view product;
  std::string_view serial;
  bool read_write = false;  // the device can be opened for writing
  std::uint32_t handle = 0;
};

// A record with every byte written: the description's fields, names cut at
// 255 bytes on a character boundary, no reports (zero sizes and tables).
THIDdeviceInfo MakeDeviceRecord(const DeviceDescription& device);

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

// Hands out a device's report descriptor as HIDGetReportDescriptor does
// (EntryPoints.h): copies min(size, its length) bytes into buffer when buffer
// is not null, and returns its whole length.
std::int32_t CopyReportDescriptor(std::span<const std::uint8_t> descriptor, std::uint8_t* buffer,
                                  std::uint32_t size);

// A count as an entry point's one-byte result: values above 255 read as 255
// (a buffer size of a device with reports longer than 254 bytes).
constexpr std::uint8_t ByteResult(std::uint32_t value) {
  return static_cast<std::uint8_t>(value > 0xFF ? 0xFF : value);
}

// The buffer size a device's longest report of a kind gives: its payload plus
// the report ID byte, 0 for a kind without reports, at most 0xFFFF.
std::uint16_t BufferSizeFor(std::uint32_t longest_payload_bytes);

}  // namespace vyhid::abi
