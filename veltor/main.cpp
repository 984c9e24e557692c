// veltor: scans with the library, and compiles, shows and packs its database files.
#include <exception>
#include <iostream>
#include <new>
#include <string_view>
#include <vector>

#include "veltor/arguments.h"
#include "veltor/command.h"
#include "veltor/command_support.h"

namespace {

using veltor::cli::AllCommands;
using veltor::cli::Command;

void PrintOverview(std::ostream& out) {
  out << "usage: veltor COMMAND [ARGUMENTS...]\n"
         "       veltor COMMAND --help\n"
         "       veltor --version [--db FILE]\n"
         "\n"
         "Scans files with the content scanner, and builds and inspects its database\n"
         "files (.vlb). Signatures and rules are written in the rule language (.vsr\n"
         "files), described in share/doc/veltor/rules.md of the installation\n"
         "(docs/rules.md in the sources).\n"
         "\n"
         "Commands:\n";
  for (const Command* command : AllCommands()) {
    out << "  " << command->name << std::string(10 - std::min<size_t>(command->name.size(), 9), ' ')
        << command->summary << '\n';
  }
  out << "\n"
         "Exit status: 0 on success, 1 when the input has errors or a file cannot be\n"
         "read or written, 2 for a wrong command line. 'veltor scan' differs: 0 when\n"
         "nothing was reported, 1 when something was, 2 on an error.\n"
         "\n"
         "--version prints the program's version and whether it can scan inside\n"
         "archives; with --db FILE, also the build time and the counts of that\n"
         "database.\n";
}

// veltor --version [--db FILE]
int RunVersion(std::span<const std::string_view> arguments) {
  static constexpr veltor::cli::OptionDefinition Options[] = {{"", "--version", false}, {"", "--db", true}};
  std::string error;
  const auto parsed = veltor::cli::ParseArguments(arguments, Options, error);
  if (!parsed || parsed->help || !parsed->positional.empty()) {
    std::cerr << "veltor: " << (error.empty() ? std::string("usage: veltor --version [--db FILE]") : error) << '\n';
    return veltor::cli::ExitUsage;
  }
  return veltor::cli::PrintVersion(parsed->Value("--db"));
}

int Run(int argc, char** argv) {
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  if (arguments.empty()) {
    PrintOverview(std::cerr);
    return veltor::cli::ExitUsage;
  }
  if (arguments[0] == "--version") return RunVersion(arguments);
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
    if (command->name == arguments[0]) return veltor::cli::RunCommand(*command, std::span(arguments).subspan(1));
  }
  std::string names;
  for (const Command* command : AllCommands()) names += (names.empty() ? "" : ", ") + std::string(command->name);
  std::cerr << "veltor: unknown command '" << arguments[0] << "'; the commands are " << names
            << " (veltor --help)\n";
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
