// An input report as a device sends it, cut into the 64-byte records that a
// bridge hands to the input callback. Every bridge delivers long reports the
// same way through this one function. Pure: safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "HIDrecords.h"

namespace vyhid {

// Receives one piece of an input report and its payload byte count; returns
// false to stop delivering the rest.
using PieceSink = std::function<bool(const THIDreport& report, std::uint8_t count)>;

// Hands one input report as the device sent it to sink: the report ID from
// the first byte when the device numbers its reports (0 otherwise), the
// payload after it, in consecutive 64-byte pieces carrying the same ID (one
// piece with count 0 for an empty payload). Data bytes past count are zero.
void SplitInputReport(std::span<const std::uint8_t> raw, bool numbered, const PieceSink& sink);

}  // namespace vyhid
