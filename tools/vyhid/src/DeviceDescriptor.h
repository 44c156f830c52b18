// A device's report descriptor, for the commands that read reports by usage.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Session.h"
#include "descriptor/ReportDescriptor.h"

namespace vyhid {

// The descriptor's bytes for a command that cannot go on without them; when
// the bridge gives none, throws kExitFailure "cannot `doing` device N: ...".
std::vector<std::uint8_t> RequiredDescriptorBytes(Session& session, int nr,
                                                  const std::string& doing);

// The descriptor as a model. Nothing, with the reason in *why, when the
// bridge gives none or it declares no report (a parse that failed at its
// first items). A descriptor that fails later keeps what it declared before.
std::optional<vyhid::descriptor::ReportDescriptor> DescriptorOf(Session& session, int nr,
                                                                std::string* why);

// The payload length of a device's report, as its descriptor declares it,
// else as its capability table does (exact below 255 bytes, where the table
// stops counting); nothing when neither knows the report.
std::optional<std::uint32_t> DeclaredReportBytes(
    const std::optional<vyhid::descriptor::ReportDescriptor>& descriptor,
    const THIDdeviceInfo& record, vyhid::ReportKind kind, std::uint8_t id);

}  // namespace vyhid
