#pragma once
// The veltor program's subcommands. Each lives in its own *_command.cpp file
// that defines one Command; commands.cpp lists them. Adding a subcommand is
// that file plus one entry in the list.
#include <cstddef>
#include <span>
#include <string_view>

#include "veltor/arguments.h"

namespace veltor::cli {

// Exit statuses shared by every subcommand.
inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;  // errors in the input, or a file that cannot be read or written
inline constexpr int ExitUsage = 2;    // a wrong command line

struct Command {
  std::string_view name;
  std::string_view summary;  // one line for `veltor --help`
  std::string_view help;     // the whole text of `veltor NAME --help`
  std::span<const OptionDefinition> options;
  size_t minimumPositional;  // how many positional arguments it takes
  size_t maximumPositional;  // SIZE_MAX: any number
  // Runs with the command line after the subcommand's name, once it has
  // been read against `options` (see RunCommand in command_support.h).
  int (*run)(const Command& command, const ParsedArguments& arguments);
};

std::span<const Command* const> AllCommands();

}  // namespace veltor::cli
