// The tool's commands. Each returns an exit status or throws CliError.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Bridge.h"
#include "Output.h"

namespace vyhid {

// What the command line asked for (Cli.cpp fills it).
struct Request {
  std::string device;             // DEVICE
  std::vector<std::string> hex;   // a send's HEX words
  std::vector<std::string> sets;  // a send's --set USAGE=VALUE, in order
  std::optional<std::string> filter, id, file, timeout, output;
  bool json = false, decode = false, feature = false, progress = false, reply = false;
};

struct CommandContext {
  const Request& args;
  LineWriter& out;
  LineWriter& err;
  int stop_fd;  // -1: nothing stops the run but the end of the work
  BridgeRequest bridge;
};

int RunList(CommandContext& c);
int RunMonitor(CommandContext& c);
int RunSend(CommandContext& c);
int RunGet(CommandContext& c);
int RunRecord(CommandContext& c);
int RunDescribe(CommandContext& c);

// Runs the component's message loop until the stop descriptor is readable.
// Throws CliError when the wait itself fails.
void RunUntilStopped(int stop_fd);

// Whether the stop descriptor is readable now (without reading it).
bool StopRequested(int stop_fd);

}  // namespace vyhid
