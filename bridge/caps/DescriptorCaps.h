// A device record's reports as its report descriptor declares them. Pure
// functions, no I/O: safe from any thread.
#pragma once

#include "HIDrecords.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid::caps {

// Buffer sizes and capability tables from a parsed descriptor: per kind, the
// longest report in bytes plus one for the report ID byte (0 when the kind
// is absent), and one entry per report ID in ascending order, at most 10,
// with ReportSize 8, ReportCount the payload bytes (at most 255) and the
// usage of the report's top-level collection.
void FillCapabilities(THIDdeviceInfo& info, const descriptor::ReportDescriptor& descriptor);

}  // namespace vyhid::caps
