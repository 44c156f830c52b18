// Input reports put back together from the 64-byte pieces the component
// hands out, by the report's length in the descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "VyHID.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid {

// Not thread-safe: the caller serialises Add and Flush. The descriptor must
// outlive the assembler.
class ReportAssembler {
 public:
  // Gets each whole report as the device sent it: its report ID byte first
  // when the descriptor numbers its reports, then the payload.
  using Sink = std::function<void(std::string_view report)>;
  ReportAssembler(const vyhid::descriptor::ReportDescriptor& descriptor, Sink sink)
      : descriptor_(descriptor), sink_(std::move(sink)) {}

  // One piece of `bytes` bytes. A report ends when it reaches the
  // descriptor's length or with a short piece (a report the descriptor lacks
  // ends there); a piece of another report first ends the one in progress,
  // which lost its end.
  void Add(const THIDreport& piece, std::size_t bytes);
  // Hands out a report still in progress, as far as it came.
  void Flush();

 private:
  const vyhid::descriptor::ReportDescriptor& descriptor_;
  Sink sink_;
  bool pending_ = false;
  std::uint8_t pending_id_ = 0;
  std::uint32_t expected_ = 0;
  std::string bytes_;
};

}  // namespace vyhid
