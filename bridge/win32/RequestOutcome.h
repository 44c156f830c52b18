// How a request to a device ends when the bridge bounds its wait: the
// decision, apart from the system calls, so that its tests run anywhere.
#pragma once

#include <cstdint>

namespace vyhid::win32 {

// The system's error codes the decision knows (winerror.h).
constexpr std::uint32_t kErrorOperationAborted = 995;  // ERROR_OPERATION_ABORTED
constexpr std::uint32_t kErrorTimeout = 1460;          // ERROR_TIMEOUT
constexpr std::uint32_t kErrorGenFailure = 31;         // ERROR_GEN_FAILURE

// The error an overlapped request ends with, 0 when it succeeded. `in_time`:
// it ended within its bound; otherwise it was cancelled (CancelIoEx) and
// waited for. `completed` and `error`: what GetOverlappedResult then said.
// A request that completed succeeded, even when its time ran out before the
// cancel could take hold: the device took it. One the cancel ended timed
// out; any other failure is the system's own.
std::uint32_t RequestError(bool in_time, bool completed, std::uint32_t error);

}  // namespace vyhid::win32
