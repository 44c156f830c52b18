#include "HIDrecords.h"

#include <algorithm>
#include <cstring>

std::string_view ReadShortString(const TShortString& s) {
  return std::string_view(s.Chars, s.Length);
}

void WriteShortString(TShortString& s, std::string_view bytes) {
  const std::size_t n = std::min<std::size_t>(bytes.size(), sizeof(s.Chars));
  std::memset(s.Chars, 0, sizeof(s.Chars));
  // An empty view may have a null data pointer, which memcpy must not get.
  if (n > 0) std::memcpy(s.Chars, bytes.data(), n);
  s.Length = static_cast<std::uint8_t>(n);
}

void WriteShortStringUtf8(TShortString& s, std::string_view utf8) {
  std::size_t n = std::min<std::size_t>(utf8.size(), sizeof(s.Chars));
  if (n < utf8.size()) {
    // Back up over continuation bytes so that the cut falls before the lead
    // byte of the character that does not fit.
    while (n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) --n;
  }
  WriteShortString(s, utf8.substr(0, n));
}

namespace vyhid {

TReportCapabilities* CapabilityTable(THIDdeviceInfo& info, ReportKind kind) {
  switch (kind) {
    case ReportKind::kInput:
      return info.InputReportCaps;
    case ReportKind::kOutput:
      return info.OutputReportCaps;
    case ReportKind::kFeature:
      break;
  }
  return info.FeatureReportCaps;
}

const TReportCapabilities* CapabilityTable(const THIDdeviceInfo& info, ReportKind kind) {
  return CapabilityTable(const_cast<THIDdeviceInfo&>(info), kind);
}

// The records are packed: their fields are read and written by name, never
// through a pointer or a member pointer, which would assume alignment.
std::uint16_t BufferSize(const THIDdeviceInfo& info, ReportKind kind) {
  switch (kind) {
    case ReportKind::kInput:
      return info.InputBufferSize;
    case ReportKind::kOutput:
      return info.OutputBufferSize;
    case ReportKind::kFeature:
      break;
  }
  return info.FeatureBufferSize;
}

void SetBufferSize(THIDdeviceInfo& info, ReportKind kind, std::uint16_t size) {
  switch (kind) {
    case ReportKind::kInput:
      info.InputBufferSize = size;
      return;
    case ReportKind::kOutput:
      info.OutputBufferSize = size;
      return;
    case ReportKind::kFeature:
      break;
  }
  info.FeatureBufferSize = size;
}

const char* ReportKindName(ReportKind kind) {
  switch (kind) {
    case ReportKind::kInput:
      return "input";
    case ReportKind::kOutput:
      return "output";
    case ReportKind::kFeature:
      break;
  }
  return "feature";
}

}  // namespace vyhid
