// The one way a command fails: a CliError carries the exit status and the
// message that RunVyhid prints on the error stream.
#pragma once

#include <stdexcept>
#include <string>

#include "vyhid/Cli.h"

namespace vyhid {

class CliError : public std::runtime_error {
 public:
  CliError(ExitStatus status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  ExitStatus status() const { return status_; }

 private:
  ExitStatus status_;
};

}  // namespace vyhid
