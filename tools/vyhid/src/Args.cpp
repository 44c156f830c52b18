#include "Args.h"

#include "Error.h"

namespace vyhid {

std::optional<std::string> ParsedArgs::Value(std::string_view name) const {
  const auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& (*specsFor)(std::string_view command)) {
  ParsedArgs parsed;
  // The command decides which options exist, so find it first, stepping
  // over the values of the global options that may precede it.
  std::size_t commandIndex = args.size();
  const std::vector<OptionSpec>& globals = specsFor("");
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") break;
    if (arg.rfind('-', 0) != 0 || arg == "-") {
      commandIndex = i;
      parsed.command = arg;
      break;
    }
    if (arg.rfind("--", 0) == 0 && arg.find('=') == std::string::npos) {
      for (const OptionSpec& s : globals) {
        if (s.kind == OptionSpec::kValue && arg.substr(2) == s.name) ++i;
      }
    }
  }
  const std::vector<OptionSpec>& specs = specsFor(parsed.command);

  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i == commandIndex) continue;
    if (optionsEnded || arg.rfind('-', 0) != 0 || arg == "-") {
      parsed.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg == "-h" ? "help" : arg.substr(arg.rfind("--", 0) == 0 ? 2 : 1);
    std::optional<std::string> value;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& s : specs) {
      if (s.name == name) spec = &s;
    }
    const std::string where = parsed.command.empty() ? "" : " for '" + parsed.command + "'";
    if (spec == nullptr) throw CliError(kExitUsage, "unknown option '" + arg + "'" + where);
    switch (spec->kind) {
      case OptionSpec::kFlag:
        if (value) throw CliError(kExitUsage, "option '--" + name + "' takes no value");
        value = "";
        break;
      case OptionSpec::kValue:
        if (!value) {
          if (i + 1 >= args.size()) {
            throw CliError(kExitUsage, "option '--" + name + "' needs a value");
          }
          value = args[++i];
        }
        break;
      case OptionSpec::kOptionalValue:
        if (!value) value = "";
        break;
    }
    parsed.options[name] = *value;
  }
  return parsed;
}

}  // namespace vyhid
