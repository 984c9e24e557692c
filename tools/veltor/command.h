#pragma once
// The veltor program's subcommands. Each lives in its own *_command.cpp file
// that defines one Command; commands.cpp lists them. Adding a subcommand is
// that file plus one entry in the list.
#include <span>
#include <string_view>

namespace veltor::cli {

// Exit statuses shared by every subcommand.
inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;  // errors in the input, or a file that cannot be read or written
inline constexpr int ExitUsage = 2;    // a wrong command line

struct Command {
  std::string_view name;
  std::string_view summary;  // one line for `veltor --help`
  std::string_view help;     // the whole text of `veltor NAME --help`
  // Runs with the arguments after the subcommand's name.
  int (*run)(std::span<const std::string_view> arguments);
};

std::span<const Command* const> AllCommands();

}  // namespace veltor::cli
