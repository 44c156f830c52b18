// Parses the command line (CLI11), runs the command and turns failures into
// a message on the error stream and an exit status.
#include "vyhid/Cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <optional>
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

// CLI11's help with a usage line that names every option the command takes.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(24); }

  std::string make_usage(const CLI::App* app, std::string) const override {
    std::string usage = "usage: vyhid";
    if (app->get_parent() != nullptr) usage += " " + app->get_name();
    // In the order the command adds them, its positionals first.
    for (const CLI::Option* option : app->get_options()) {
      if (option->get_positional()) usage += " " + make_option_usage(option);
      if (option->get_positional() || option == app->get_help_ptr()) continue;
      // The long name alone: "--output FILE" rather than "-o,--output FILE".
      const std::string names = make_option_name(option, false);
      const std::string text = names.substr(names.rfind(',') + 1) + make_option_opts(option);
      usage += option->get_required() ? " " + text : " [" + text + "]";
    }
    if (!app->get_subcommands({}).empty()) usage += " COMMAND [ARGS]";
    return usage + "\n";
  }
  // What a command needs shows bare in its usage line, not marked in the list.
  std::string make_option_opts(const CLI::Option* option) const override {
    const std::string opts = CLI::Formatter::make_option_opts(option);
    return option->get_required() ? opts.substr(0, opts.rfind(" " + get_label("REQUIRED"))) : opts;
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

// An option that takes a value, which its help names `type` ("" for a
// positional, named by itself).
template <typename T>
CLI::Option* AddValue(CLI::App& command, const std::string& names, T& value, const char* type,
                      const std::string& help) {
  return command.add_option(names, value, help)->type_name(type);
}

void AddDevice(CLI::App& command, Request& request) {
  AddValue(command, "DEVICE", request.device, "", "a device number, VID:xxxx PID:xxxx or a text")
      ->required();
  command.footer(kDeviceHelp);
}

// --id and --feature; returns --id.
CLI::Option* AddReportChoice(CLI::App& command, Request& request, const std::string& id_help) {
  CLI::Option* id = AddValue(command, "--id", request.id, "ID", id_help);
  command.add_flag("--feature", request.feature, "feature reports");
  return id;
}

// One command: its name, what it does, what an unexpected argument is told,
// the options it takes (into the request) and what runs it.
struct Command {
  const char* name;
  const char* description;
  const char* takes;
  void (*configure)(CLI::App& command, Request& request);
  int (*run)(CommandContext&);
};

constexpr Command kCommands[] = {
    {"list",
     "Scans for HID devices and prints each device's description: its number, VID,\n"
     "PID, product, manufacturer, access ([R/W] or [R/O]), buffer sizes and reports.",
     "no arguments",
     [](CLI::App& command, Request& request) {
       AddValue(command, "--filter", request.filter, "TEXT",
                "only the devices whose description contains\nTEXT (letters A-Z in any "
                "case)");
       command.add_flag("--json", request.json,
                        "a JSON array with every field of each device's\nsummary record, its "
                        "number (DevNr) and its\ndescription lines");
     },
     RunList},
    {"monitor",
     "Opens the device and prints, each on a line with the time, every input report\n"
     "(report ID and bytes in hex, or with --decode its values by usage name:\n"
     "\"id 0: Button1 1  X -3  Y 2\") and every attach, removal, close and\n"
     "reconnection, until interrupted (Ctrl-C, exit status 130). When the device is\n"
     "unplugged and plugged in again, it is reopened and monitoring goes on.",
     "one DEVICE",
     [](CLI::App& command, Request& request) {
       AddDevice(command, request);
       command.add_flag("--decode", request.decode,
                        "each input report's values by usage name,\nthrough the device's report "
                        "descriptor");
       command.add_flag("--json", request.json,
                        "one JSON object a line: each event, and each\ninput report decoded "
                        "(\"values\")");
     },
     RunMonitor},
    {"describe",
     "Prints the device's report descriptor item by item, indented by collection,\n"
     "with usage names, then each report's fields as a table: bit offset, size,\n"
     "count, usages, logical range (physical range), flags.",
     "one DEVICE", AddDevice, RunDescribe},
    {"send",
     "Sends the bytes (HEX or --file PATH) as output reports (or feature reports\n"
     "with --feature), as many bytes a report as the device's report holds (at most\n"
     "64), zero-padded, and prints how much was sent. Of feature reports the device\n"
     "says how much it took; a refused report is an error. A file is read a report\n"
     "at a time. Instead of bytes, --set builds one report from values by usage\n"
     "name (NumLock=1): the report of the descriptor that holds every usage named.",
     "DEVICE and HEX",
     [](CLI::App& command, Request& request) {
       AddDevice(command, request);
       AddValue(command, "HEX", request.hex, "",
                "bytes in hex: \"48 65 6c\", \"48656c\", \"0x48,0x65\"");
       AddValue(command, "--file", request.file, "PATH",
                "the bytes of a file (\"-\": standard input)");
       AddValue(command, "--set", request.sets, "USAGE=VALUE",
                "a value by usage name, as 'vyhid describe'\nnames it (repeatable)")
           ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
       AddReportChoice(command, request,
                       "report ID, 0-255 or 0x00-0xff (default: the\ndevice's own)");
       command.add_flag("--progress", request.progress,
                        "show progress on standard error (shown anyway\non a terminal for long "
                        "sends)");
       command.add_flag("--reply", request.reply,
                        "then print the device's answer to the last\nreport: the last input "
                        "report that comes\nbefore the device falls quiet for 100 ms (with\n"
                        "--feature: the feature report read back)");
       AddValue(command, "--timeout", request.timeout, "MS",
                "how long --reply waits for the first input\nreport (default 1000)");
     },
     RunSend},
    {"record",
     "Opens the device and records its report descriptor and every input report it\n"
     "sends, with the time since the first, in the hid-recorder text format, until\n"
     "interrupted (Ctrl-C, exit status 130), which leaves the recording complete.\n"
     "'vyhid --simulate=FILE' replays it.",
     "one DEVICE",
     [](CLI::App& command, Request& request) {
       AddDevice(command, request);
       AddValue(command, "-o,--output", request.output, "FILE",
                "write the recording to FILE (default: the\nstandard output)");
     },
     RunRecord},
    {"get",
     "Fetches one input report (or feature report with --feature) with the given\n"
     "report ID and prints it: \"id ID, N bytes: hex\".",
     "one DEVICE",
     [](CLI::App& command, Request& request) {
       AddDevice(command, request);
       AddReportChoice(command, request, "report ID, 0-255 or 0x00-0xff")->required();
     },
     RunGet},
};

// The tool's own options, given before or after the command: the bridge to
// load, and --version. Returns --simulate, whose plain form gives no file.
CLI::Option* AddToolOptions(CLI::App& app, BridgeRequest& bridge, bool& version) {
  CLI::Option* simulate = app.add_flag(
      "--simulate{}", bridge.simulate_file,
      "use the simulated bridge with the virtual devices of\nFILE, a device file or a "
      "recording (default: the\nbundled keyboard, mouse and vendor device); FILE\nonly "
      "with '='");
  AddValue(app, "--bridge", bridge.path, "PATH",
           "load this bridge library (also: environment\nVYHID_BRIDGE, which the tool and "
           "the examples\nread, not the component); by default the hidraw\nbridge "
           "installed with the tool");
  app.add_flag("--version", version, "the version and the bridges the tool finds");
  return simulate;
}

// Which bridges the tool would load, so that an installation can be checked.
int PrintVersion(LineWriter& out) {
  auto found = [](const std::string& path) { return path.empty() ? "not found" : path; };
  out.Line("vyhid " VYHID_VERSION);
  out.Line("hidraw bridge: " + found(InstallPaths::FindBridge("hidraw")));
  out.Line("simulated bridge: " + found(InstallPaths::FindBridge("sim")));
  return kExitOk;
}

// The error for the first argument that no command or option took.
CliError UnexpectedArgument(const std::vector<std::string>& arguments, const std::string& word,
                            const Command* command) {
  if (word.rfind('-', 0) == 0 && word != "-") {
    return {kExitUsage, "unknown option '" + word + "'" +
                            (command ? " for '" + std::string(command->name) + "'" : "")};
  }
  const auto at = [&](const std::string& w) {
    return std::find(arguments.begin(), arguments.end(), w) - arguments.begin();
  };
  if (command != nullptr && at(word) > at(command->name)) {
    return {kExitUsage, "'" + std::string(command->name) + "' takes " + command->takes + ", got '" +
                            word + "'"};
  }
  const bool after_simulate = at(word) > 0 && arguments[at(word) - 1] == "--simulate";
  return {kExitUsage, "unknown command '" + word + "'; " +
                          (after_simulate ? "a device file goes with '=': --simulate=" + word
                                          : std::string("'vyhid --help' lists them"))};
}

int Run(const std::vector<std::string>& arguments, LineWriter& out, LineWriter& err, int stop_fd) {
  CLI::App app("Lists HID devices and talks to them through the TVyHID component.", "vyhid");
  app.formatter(std::make_shared<HelpFormatter>());
  app.fallthrough();  // the tool's options also after the command
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  BridgeRequest bridge;
  bool version = false;
  const CLI::Option* simulate = AddToolOptions(app, bridge, version);
  app.footer(std::string(kDeviceHelp) + kExitHelp);
  Request request;
  for (const Command& command : kCommands) {
    command.configure(*app.add_subcommand(command.name, command.description), request);
  }
  app.allow_extras();  // unexpected arguments get the messages of UnexpectedArgument

  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out.Raw(app.help(
        "", app.get_subcommands().empty() ? CLI::AppFormatMode::All : CLI::AppFormatMode::Normal));
    return kExitOk;
  } catch (const CLI::RequiredError& e) {
    // CLI11 says "DEVICE is required", "--id is required".
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(' '));
    const CLI::App* command = app.get_subcommands().at(0);
    const std::string type = command->get_option(name)->get_type_name();
    throw CliError(kExitUsage, "'" + command->get_name() + "' needs " +
                                   (type.empty() ? "one " + name : name + " " + type));
  } catch (const CLI::ArgumentMismatch& e) {
    // CLI11 says "--id: 1 required ID missing".
    const std::string what = e.what();
    throw CliError(kExitUsage, "option '" + what.substr(0, what.find(':')) + "' needs a value");
  } catch (const CLI::ParseError& e) {
    throw CliError(kExitUsage, e.what());
  }
  if (version) return PrintVersion(out);

  const Command* command = nullptr;
  for (const Command& candidate : kCommands) {
    if (app.got_subcommand(candidate.name)) command = &candidate;
  }
  std::vector<std::string> extras = app.remaining(true);
  std::erase(extras, "--");  // CLI11 keeps the end of the options among them
  if (command == nullptr && (extras.empty() || extras[0] == "help")) {
    (extras.empty() ? err : out).Raw(app.help("", CLI::AppFormatMode::All));
    return extras.empty() ? kExitUsage : kExitOk;
  }
  if (!extras.empty()) throw UnexpectedArgument(arguments, extras[0], command);

  bridge.simulate = simulate->count() > 0;
  if (const char* env = std::getenv("VYHID_BRIDGE")) bridge.env_path = env;
  CommandContext context{request, out, err, stop_fd, bridge};
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
