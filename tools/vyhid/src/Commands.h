// The tool's commands. Each returns an exit status or throws CliError.
#pragma once

#include "Args.h"
#include "Bridge.h"
#include "Output.h"

namespace vyhid {

struct CommandContext {
  const ParsedArgs& args;
  LineWriter& out;
  LineWriter& err;
  int stopFd;  // -1: nothing stops the run but the end of the work
  BridgeRequest bridge;
};

int RunList(CommandContext& c);
int RunMonitor(CommandContext& c);
int RunSend(CommandContext& c);
int RunGet(CommandContext& c);

// Whether the stop descriptor is readable now (without reading it).
bool StopRequested(int stopFd);

}  // namespace vyhid
