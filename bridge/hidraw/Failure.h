// How the hidraw bridge records why a call failed: the failing system call,
// the node (or other object) and the system's reason, under the code a caller
// of HIDlastError acts on.
#pragma once

#include <cerrno>
#include <string_view>

#include "Diagnostics.h"

namespace vyhid::hidraw {

// The caller's category of a system error: EACCES for a refused permission,
// ENOENT for a node or device that is not there (any more), EBUSY for one
// held elsewhere; every other error as it is.
constexpr int FailureCode(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return EACCES;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return ENOENT;
    default:
      return error;
  }
}

// Records "call(object): strerror(error)" as the reason the current call
// fails, with FailureCode(error); printed when VYHID_DEBUG=1.
inline void RecordSystemError(std::string_view call, std::string_view object, int error) {
  abi::SetSystemError(call, object, error, FailureCode(error));
}

}  // namespace vyhid::hidraw
