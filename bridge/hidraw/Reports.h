// Report framing between the hidraw node and the bridge's 65-byte records.
// Pure functions: safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "HIDrecords.h"

namespace vyhid::hidraw {

// Receives one piece of an input report and its payload byte count; returns
// false to stop delivering the rest.
using PieceSink = std::function<bool(const THIDreport& report, std::uint8_t count)>;

// Hands one input report as read from the node to sink: the report ID from
// the first byte when the device numbers its reports (0 otherwise), the
// payload after it, in consecutive 64-byte pieces carrying the same ID (one
// piece with count 0 for an empty payload). Data bytes past count are zero.
void SplitInputReport(std::span<const std::uint8_t> raw, bool numbered, const PieceSink& sink);

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
