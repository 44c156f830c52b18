// Parses the command line (CLI11), runs the command and turns failures into
// a message on the error stream and an exit status.
#include "vyhid/Cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "Commands.h"
#include "Error.h"

namespace vyhid {
namespace {

constexpr char kDeviceHelp[] = R"(
DEVICE is one of:
  a number           as 'vyhid list' shows it; digits only are always a number
  VID:xxxx PID:xxxx  the first device with this vendor and/or product ID (hex)
  a text             the first device whose description contains it (letters
                     A-Z in any case), e.g. "vendor"
An empty DEVICE is refused.
)";

constexpr char kExitHelp[] = R"(
exit status: 0 success, 1 the device refused or failed, 2 bad usage or input,
3 no usable bridge, 4 no such device, 5 permission denied, 130 interrupted
(Ctrl-C or SIGTERM: a send or a read of standard input cut short, the end of
a monitor).
)";

// CLI11's help with the usage line first, written by hand for each command.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(24); }
  std::map<std::string, std::string> usage;  // by command name, "vyhid" for the tool

  std::string make_usage(const CLI::App* app, std::string) const override {
    return "usage: " + usage.at(app->get_name()) + "\n";
  }
  // "--simulate{}" (a flag whose plain form gives "") shows as "--simulate[=FILE]".
  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, positional);
    if (const std::size_t braces = name.find("{}"); braces != std::string::npos) {
      name.replace(braces, 2, "[=FILE]");
    }
    return name;
  }
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
    return make_usage(app, name) + "\n" + make_description(app) + make_positionals(app) +
           make_groups(app, mode) + make_subcommands(app, mode) + make_footer(app);
  }
};

struct CommandEntry {
  const char* name;
  const char* usage;
  const char* description;
  const char* takes;  // what an unexpected argument is told
  int (*run)(CommandContext&);
};

constexpr CommandEntry kCommands[] = {
    {"list", "vyhid list [--filter TEXT] [--json]",
     "Scans for HID devices and prints each device's description: its number, VID,\n"
     "PID, product, manufacturer, access ([R/W] or [R/O]), buffer sizes and reports.",
     "no arguments", RunList},
    {"monitor", "vyhid monitor DEVICE [--decode] [--json]",
     "Opens the device and prints, each on a line with the time, every input report\n"
     "(report ID and bytes in hex, or with --decode its values by usage name:\n"
     "\"id 0: Button1 1  X -3  Y 2\") and every attach, removal, close and\n"
     "reconnection, until interrupted (Ctrl-C, exit status 130). When the device is\n"
     "unplugged and plugged in again, it is reopened and monitoring goes on.",
     "one DEVICE", RunMonitor},
    {"describe", "vyhid describe DEVICE",
     "Prints the device's report descriptor item by item, indented by collection,\n"
     "with usage names, then each report's fields as a table: bit offset, size,\n"
     "count, usages, logical range (physical range), flags.",
     "one DEVICE", RunDescribe},
    {"send",
     "vyhid send DEVICE [--feature] [--id ID] (HEX | --file PATH | --set USAGE=VALUE...) "
     "[--reply]",
     "Sends the bytes as output reports (or feature reports with --feature), as many\n"
     "bytes a report as the device's report holds (at most 64), zero-padded, and\n"
     "prints how much was sent. Of feature reports the device says how much it\n"
     "took; a refused report is an error. A file is read a report at a time.\n"
     "With --set, one report built from values by usage name (NumLock=1): the\n"
     "report of the descriptor that holds every usage named.",
     "DEVICE and HEX", RunSend},
    {"record", "vyhid record DEVICE [-o FILE]",
     "Opens the device and records its report descriptor and every input report it\n"
     "sends, with the time since the first, in the hid-recorder text format, until\n"
     "interrupted (Ctrl-C, exit status 130), which leaves the recording complete.\n"
     "'vyhid --simulate=FILE' replays it.",
     "one DEVICE", RunRecord},
    {"get", "vyhid get DEVICE [--feature] --id ID",
     "Fetches one input report (or feature report with --feature) with the given\n"
     "report ID and prints it: \"id ID, N bytes: hex\".",
     "one DEVICE", RunGet},
};

int Run(const std::vector<std::string>& arguments, LineWriter& out, LineWriter& err, int stopFd) {
  Request request;
  CLI::App app("Lists HID devices and talks to them through the TVyHID component.", "vyhid");
  auto help = std::make_shared<HelpFormatter>();
  help->usage["vyhid"] = "vyhid [--simulate[=FILE] | --bridge PATH] COMMAND [ARGS]";
  app.formatter(help);
  app.fallthrough();  // the tool's options also after the command
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string simulateFile;
  std::optional<std::string> bridgePath;
  bool version = false;
  CLI::Option* simulate = app.add_flag(
      "--simulate{}", simulateFile,
      "use the simulated bridge with the virtual devices of\nFILE, a device file or a "
      "recording (default: the\nbundled keyboard, mouse and vendor device); FILE\nonly "
      "with '='");
  app.add_option("--bridge", bridgePath,
                 "load this bridge library (also: environment\nVYHID_BRIDGE, which the tool and "
                 "the examples\nread, not the component); by default the hidraw\nbridge "
                 "installed with the tool")
      ->type_name("PATH");
  app.add_flag("--version", version, "the version and the bridges the tool finds");
  app.footer(std::string(kDeviceHelp) + kExitHelp);

  std::map<const CLI::App*, const CommandEntry*> entries;
  for (const CommandEntry& entry : kCommands) {
    CLI::App* sub = app.add_subcommand(entry.name, entry.description);
    help->usage[entry.name] = entry.usage;
    entries[sub] = &entry;
    const std::string name = entry.name;
    if (name != "list") {
      sub->add_option("DEVICE", request.device, "a device number, VID:xxxx PID:xxxx or a text")
          ->type_name("");
    }
    if (name == "list") {
      sub->add_option("--filter", request.filter,
                      "only the devices whose description contains\nTEXT (letters A-Z in any "
                      "case)")
          ->type_name("TEXT");
      sub->add_flag("--json", request.json,
                    "a JSON array with every field of each device's\nsummary record, its number "
                    "(DevNr) and its\ndescription lines");
    }
    if (name == "send") {
      sub->add_option("HEX", request.hex, "bytes in hex: \"48 65 6c\", \"48656c\", \"0x48,0x65\"")
          ->type_name("");
      sub->add_option("--file", request.file, "the bytes of a file (\"-\": standard input)")
          ->type_name("PATH");
      sub->add_option("--set", request.sets,
                      "a value by usage name, as 'vyhid describe'\nnames it (repeatable)")
          ->type_name("USAGE=VALUE")
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    if (name == "send" || name == "get") {
      sub->add_option("--id", request.id,
                      name == "send" ? "report ID, 0-255 or 0x00-0xff (default: the\ndevice's own)"
                                     : "report ID, 0-255 or 0x00-0xff")
          ->type_name("ID");
      sub->add_flag("--feature", request.feature, "feature reports");
    }
    if (name == "send") {
      sub->add_flag("--progress", request.progress,
                    "show progress on standard error (shown anyway\non a terminal for long sends)");
      sub->add_flag("--reply", request.reply,
                    "then print the device's answer to the last\nreport: the last input report "
                    "that comes\nbefore the device falls quiet for 100 ms (with\n--feature: the "
                    "feature report read back)");
      sub->add_option("--timeout", request.timeout,
                      "how long --reply waits for the first input\nreport (default 1000)")
          ->type_name("MS");
    }
    if (name == "monitor") {
      sub->add_flag("--decode", request.decode,
                    "each input report's values by usage name,\nthrough the device's report "
                    "descriptor");
      sub->add_flag("--json", request.json,
                    "one JSON object a line: each event, and each\ninput report decoded "
                    "(\"values\")");
    }
    if (name == "record") {
      sub->add_option("-o,--output", request.output,
                      "write the recording to FILE (default: the\nstandard output)")
          ->type_name("FILE");
    }
    if (name != "list") sub->footer(kDeviceHelp);
  }
  app.allow_extras();  // unexpected arguments get the messages below

  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out.Raw(app.help(
        "", app.get_subcommands().empty() ? CLI::AppFormatMode::All : CLI::AppFormatMode::Normal));
    return kExitOk;
  } catch (const CLI::ArgumentMismatch& e) {
    // CLI11 says "--id: 1 required ID missing".
    const std::string what = e.what();
    throw CliError(kExitUsage, "option '" + what.substr(0, what.find(':')) + "' needs a value");
  } catch (const CLI::ParseError& e) {
    throw CliError(kExitUsage, e.what());
  }

  if (version) {
    // Which bridges the tool would load, so that an installation can be checked.
    auto found = [](const std::string& path) { return path.empty() ? "not found" : path; };
    out.Line("vyhid " VYHID_VERSION);
    out.Line("hidraw bridge: " + found(InstallPaths::FindBridge("hidraw")));
    out.Line("simulated bridge: " + found(InstallPaths::FindBridge("sim")));
    return kExitOk;
  }
  const std::vector<CLI::App*> parsed = app.get_subcommands();
  const CommandEntry* command = parsed.empty() ? nullptr : entries.at(parsed[0]);
  std::vector<std::string> extras = app.remaining(true);
  std::erase(extras, "--");  // CLI11 keeps the end of the options among them
  if (!extras.empty() && extras[0].rfind('-', 0) == 0 && extras[0] != "-") {
    throw CliError(kExitUsage, "unknown option '" + extras[0] + "'" +
                                   (command ? " for '" + std::string(command->name) + "'" : ""));
  }
  if (!extras.empty() && extras[0] == "help" && command == nullptr) {
    out.Raw(app.help("", CLI::AppFormatMode::All));
    return kExitOk;
  }
  if (command == nullptr && extras.empty()) {
    err.Raw(app.help("", CLI::AppFormatMode::All));
    return kExitUsage;
  }
  if (!extras.empty()) {
    const std::string& word = extras[0];
    const auto at = [&](const std::string& w) {
      return std::find(arguments.begin(), arguments.end(), w) - arguments.begin();
    };
    if (command != nullptr && at(word) > at(command->name)) {
      throw CliError(kExitUsage, "'" + std::string(command->name) + "' takes " + command->takes +
                                     ", got '" + word + "'");
    }
    const bool simulateBefore = at(word) > 0 && arguments[at(word) - 1] == "--simulate";
    throw CliError(kExitUsage,
                   "unknown command '" + word + "'; " +
                       (simulateBefore ? "a device file goes with '=': --simulate=" + word
                                       : std::string("'vyhid --help' lists them")));
  }

  request.command = command->name;
  CommandContext context{request, out, err, stopFd, {}};
  context.bridge.simulate = simulate->count() > 0;
  context.bridge.simulateFile = simulateFile;
  context.bridge.path = bridgePath;
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
