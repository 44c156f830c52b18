// Report framing between the hidraw node and the bridge's 65-byte records.
// Pure functions: safe from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "HIDrecords.h"
#include "InputPieces.h"

namespace vyhid::hidraw {

// Input reports go to the callback in pieces as the bridge kit cuts them.
using vyhid::PieceSink;
using vyhid::SplitInputReport;

// The bytes to hand to the node for an output or feature report of
// payload_length bytes: the report ID byte (0 for devices that do not number
// their reports), then up to 64 payload bytes from the record, then zeros up
// to payload_length.
std::vector<std::uint8_t> BuildOutgoing(const THIDreport& report, std::uint32_t payload_length);

// How many payload bytes of the record a report of payload_length bytes takes.
std::uint8_t TakenBytes(std::uint32_t payload_length);

// Stores a report fetched from the node (its ID byte first) into the record:
// ReportID is left as the caller set it, Data receives up to 64 payload bytes
// and zeros after them. Returns the payload bytes stored.
std::uint8_t StoreFetched(THIDreport& report, std::span<const std::uint8_t> fetched);

}  // namespace vyhid::hidraw
