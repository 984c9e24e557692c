// veltor: compiles, shows and packs the scanner's database files.
#include <exception>
#include <iostream>
#include <new>
#include <string_view>
#include <vector>

#include "tools/veltor/command.h"

namespace {

using veltor::cli::AllCommands;
using veltor::cli::Command;

void PrintOverview(std::ostream& out) {
  out << "usage: veltor COMMAND [ARGUMENTS...]\n"
         "       veltor COMMAND --help\n"
         "\n"
         "Builds and inspects the database files (.vlb) of the content scanner. Signatures\n"
         "and rules are written in the rule language (.vsr files, see docs/rules.md).\n"
         "\n"
         "Commands:\n";
  for (const Command* command : AllCommands()) {
    out << "  " << command->name << std::string(10 - std::min<size_t>(command->name.size(), 9), ' ')
        << command->summary << '\n';
  }
  out << "\n"
         "Exit status: 0 on success, 1 when the input has errors or a file cannot be\n"
         "read or written, 2 for a wrong command line.\n";
}

int Run(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (arguments.empty()) {
    PrintOverview(std::cerr);
    return veltor::cli::ExitUsage;
  }
  if (arguments[0] == "--help" || arguments[0] == "-h" || arguments[0] == "help") {
    if (arguments.size() > 1) {
      for (const Command* command : AllCommands()) {
        if (command->name == arguments[1]) {
          std::cout << command->help;
          return veltor::cli::ExitSuccess;
        }
      }
    }
    PrintOverview(std::cout);
    return veltor::cli::ExitSuccess;
  }
  for (const Command* command : AllCommands()) {
    if (command->name == arguments[0]) return command->run(std::span(arguments).subspan(1));
  }
  std::cerr << "veltor: unknown command '" << arguments[0] << "'\n\n";
  PrintOverview(std::cerr);
  return veltor::cli::ExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Output files are written only at the very end, so stopping here on
  // exhausted memory leaves nothing half-written.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "veltor: out of memory\n";
  } catch (const std::exception& error) {
    std::cerr << "veltor: " << error.what() << '\n';
  }
  return veltor::cli::ExitFailure;
}
