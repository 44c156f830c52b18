// Command-line parsing: a command, its positional arguments and its options.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyhid {

// One option a command accepts.
struct OptionSpec {
  std::string_view name;  // without the leading "--"
  enum Kind { kFlag, kValue, kOptionalValue } kind;
};

struct ParsedArgs {
  std::string command;  // empty when none was given
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> options;  // flags map to ""

  bool Has(std::string_view name) const { return options.find(name) != options.end(); }
  std::optional<std::string> Value(std::string_view name) const;
};

// Splits the arguments (without argv[0]). The first argument that is not an
// option names the command; options may come before or after it. An option
// takes its value as "--name=value" or, for kValue, as the next argument; a
// kOptionalValue option only as "--name=value". "--" ends the options.
// `specsFor` gives the options of a command (the global ones included); an
// unknown option or a missing value throws CliError with kExitUsage.
ParsedArgs ParseArgs(const std::vector<std::string>& args,
                     const std::vector<OptionSpec>& (*specsFor)(std::string_view command));

}  // namespace vyhid
