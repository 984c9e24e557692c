#pragma once
// A small command-line reader for the subcommands, as getopt-style programs
// read theirs: positional arguments anywhere, options with a value (-o FILE,
// -oFILE, --output FILE, --output=FILE), flags, bundled short options (-ri,
// -rj4) and "--" to end the options.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::cli {

struct OptionDefinition {
  std::string_view shortName;  // "-o", or empty
  std::string_view longName;   // "--output"
  bool takesValue;
  bool repeatable = false;  // may be given more than once (--exclude); else twice is an error
};

struct ParsedArguments {
  std::vector<std::string_view> positional;
  std::vector<std::pair<std::string_view, std::string_view>> options;  // long name, value ("" for flags)
  bool help = false;

  std::optional<std::string_view> Value(std::string_view longName) const;
  // Every value of a repeatable option, in the order given.
  std::vector<std::string> Values(std::string_view longName) const;
  bool Has(std::string_view longName) const;
};

// Nothing, with `error` set, for an unknown option, a missing value or an
// option that is not repeatable given twice. "-h" and "--help" set `help`.
std::optional<ParsedArguments> ParseArguments(std::span<const std::string_view> arguments,
                                              std::span<const OptionDefinition> definitions, std::string& error);

}  // namespace veltor::cli
