#include "RequestOutcome.h"

namespace vyhid::win32 {

std::uint32_t RequestError(bool in_time, bool completed, std::uint32_t error) {
  if (completed) return 0;
  if (!in_time && error == kErrorOperationAborted) return kErrorTimeout;
  return error != 0 ? error : kErrorGenFailure;
}

}  // namespace vyhid::win32
