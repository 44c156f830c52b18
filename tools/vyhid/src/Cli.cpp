// Parses the command line, runs the command and turns failures into a
// message on the error stream and an exit status.
#include "vyhid/Cli.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "Args.h"
#include "Commands.h"
#include "Error.h"

namespace vyhid {
namespace {

constexpr char kMainHelp[] =
    R"(usage: vyhid [--simulate[=FILE] | --bridge PATH] COMMAND [ARGS]

Lists HID devices and talks to them through the TVyHID component.

commands:
  list [--filter TEXT] [--json]      the attached devices
  monitor DEVICE                     a device's input reports, attach, removal,
                                     close and reconnection, until Ctrl-C
  send DEVICE [--feature] [--id ID] (HEX | --file PATH)
                                     send output (or feature) reports
  get DEVICE [--feature] --id ID     fetch one input (or feature) report

DEVICE is a device number as 'vyhid list' shows it, or a text: the first
device whose description contains it (letters A-Z in any case), e.g. "VID:046D".

options:
  --simulate[=FILE]  use the simulated bridge with the virtual devices of FILE
                     (default: the bundled keyboard, mouse and vendor device)
  --bridge PATH      load this bridge library (also: environment VYHID_BRIDGE);
                     by default the hidraw bridge installed with the tool
  -h, --help         help; 'vyhid COMMAND --help' for one command
  --version          the version and the bridges the tool finds

exit status: 0 success, 1 the device refused or failed, 2 bad usage or input,
3 no usable bridge, 4 no such device, 5 permission denied, 130 interrupted.
)";

constexpr char kListHelp[] =
    R"(usage: vyhid list [--filter TEXT] [--json]

Scans for HID devices and prints each device's description: its number,
VID, PID, product, manufacturer, access ([R/W] or [R/O]), buffer sizes and
reports.

  --filter TEXT  only the devices whose description contains TEXT
                 (letters A-Z in any case)
  --json         a JSON array with every field of each device's summary
                 record, its number (DevNr) and its description lines
)";

constexpr char kMonitorHelp[] =
    R"(usage: vyhid monitor DEVICE

Opens the device and prints, each on a line with the time, every input
report (report ID and bytes in hex) and every attach, removal, close and
reconnection, until interrupted (Ctrl-C). When the device is unplugged and
plugged in again, it is reopened and monitoring goes on.
)";

constexpr char kSendHelp[] =
    R"(usage: vyhid send DEVICE [--feature] [--id ID] (HEX | --file PATH) [--reply]

Sends the bytes as output reports (or feature reports with --feature), as
many bytes a report as the device's report holds (at most 64), zero-padded,
and prints how much was sent. Of feature reports the device says how much it
took; a refused report is an error.

  HEX            bytes in hex: "48 65 6c", "48656c", "0x48,0x65", ...
  --file PATH    the bytes of a file ("-": standard input)
  --id ID        report ID, 0-255 (default: the device's own)
  --feature      send feature reports
  --progress     show progress on standard error (shown anyway on a
                 terminal for long sends)
  --reply        then print the device's answer: its next input report
                 (or, with --feature, the feature report read back)
  --timeout MS   how long --reply waits for an input report (default 1000)
)";

constexpr char kGetHelp[] =
    R"(usage: vyhid get DEVICE [--feature] --id ID

Fetches one input report (or feature report with --feature) with the given
report ID and prints it: "id ID, N bytes: hex".
)";

const std::vector<OptionSpec>& Specs(std::string_view command) {
  static const std::vector<OptionSpec> globals = {{"simulate", OptionSpec::kOptionalValue},
                                                  {"bridge", OptionSpec::kValue},
                                                  {"help", OptionSpec::kFlag},
                                                  {"version", OptionSpec::kFlag}};
  auto with = [](std::vector<OptionSpec> own) {
    own.insert(own.end(), globals.begin(), globals.end());
    return own;
  };
  static const std::vector<OptionSpec> list =
      with({{"filter", OptionSpec::kValue}, {"json", OptionSpec::kFlag}});
  static const std::vector<OptionSpec> monitor = with({});
  static const std::vector<OptionSpec> send = with({{"feature", OptionSpec::kFlag},
                                                    {"id", OptionSpec::kValue},
                                                    {"file", OptionSpec::kValue},
                                                    {"progress", OptionSpec::kFlag},
                                                    {"reply", OptionSpec::kFlag},
                                                    {"timeout", OptionSpec::kValue}});
  static const std::vector<OptionSpec> get =
      with({{"feature", OptionSpec::kFlag}, {"id", OptionSpec::kValue}});
  if (command == "list") return list;
  if (command == "monitor") return monitor;
  if (command == "send") return send;
  if (command == "get") return get;
  return globals;
}

struct Command {
  std::string_view name;
  const char* help;
  int (*run)(CommandContext&);
};

constexpr Command kCommands[] = {{"list", kListHelp, RunList},
                                 {"monitor", kMonitorHelp, RunMonitor},
                                 {"send", kSendHelp, RunSend},
                                 {"get", kGetHelp, RunGet}};

int Run(const std::vector<std::string>& arguments, LineWriter& out, LineWriter& err, int stopFd) {
  const ParsedArgs args = ParseArgs(arguments, Specs);
  if (args.Has("version")) {
    // Which bridges the tool would load, so that an installation can be checked.
    auto found = [](const std::string& path) { return path.empty() ? "not found" : path; };
    out.Line("vyhid " VYHID_VERSION);
    out.Line("hidraw bridge: " + found(InstallPaths::FindBridge("hidraw")));
    out.Line("simulated bridge: " + found(InstallPaths::FindBridge("sim")));
    return kExitOk;
  }
  const Command* command = nullptr;
  for (const Command& candidate : kCommands) {
    if (candidate.name == args.command) command = &candidate;
  }
  if (args.command == "help" || (args.command.empty() && args.Has("help"))) {
    out.Raw(kMainHelp);
    return kExitOk;
  }
  if (args.command.empty()) {
    err.Raw(kMainHelp);
    return kExitUsage;
  }
  if (command == nullptr) {
    throw CliError(kExitUsage, "unknown command '" + args.command + "'; 'vyhid --help' lists them");
  }
  if (args.Has("help")) {
    out.Raw(command->help);
    return kExitOk;
  }

  CommandContext context{args, out, err, stopFd, {}};
  if (const std::optional<std::string> simulate = args.Value("simulate")) {
    context.bridge.simulate = true;
    context.bridge.simulateFile = *simulate;
  }
  context.bridge.path = args.Value("bridge");
  if (const char* env = std::getenv("VYHID_BRIDGE")) context.bridge.envPath = env;
  return command->run(context);
}

}  // namespace

int RunVyhid(int argc, const char* const* argv, const CliStreams& streams) {
  LineWriter out(streams.out);
  LineWriter err(streams.err);
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return Run(arguments, out, err, streams.stop);
  } catch (const CliError& e) {
    err.Line(std::string("vyhid: ") + e.what());
    return e.status();
  } catch (const std::exception& e) {
    err.Line(std::string("vyhid: internal error: ") + e.what());
    return kExitFailure;
  }
}

}  // namespace vyhid
