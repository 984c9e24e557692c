// veltor unpack: the raw body out of a database file.
#include "database/database_format.h"
#include "dbwriter/database_envelope.h"
#include "tools/veltor/command_support.h"
#include "tools/veltor/files.h"

namespace veltor::cli {
namespace {

constexpr std::string_view Help =
    "usage: veltor unpack FILE.vlb -o BODY\n"
    "\n"
    "Takes the body out of a database file: strips the 256-byte envelope header\n"
    "and decrypts the rest with the database key. The body is written as it is,\n"
    "whether or not the scanner would accept it; 'veltor pack' seals it again\n"
    "and 'veltor dump --body' shows it.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the body file to write (required); written through a\n"
    "                      temporary file and renamed\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written or the\n"
    "input is not a database file (too short, or no database magic), 2 for a\n"
    "wrong command line.\n";

int RunUnpack(std::span<const std::string_view> arguments);

}  // namespace

extern const Command UnpackCommand{"unpack", "take the raw body out of a database file", Help, RunUnpack};

namespace {

int RunUnpack(std::span<const std::string_view> arguments) {
  static constexpr OptionDefinition Options[] = {{"-o", "--output", true}};
  int exitCode = ExitSuccess;
  const std::optional<ParsedArguments> parsed = ReadCommandLine(UnpackCommand, arguments, Options, 1, 1, exitCode);
  if (!parsed) return exitCode;
  const std::optional<std::string_view> output = RequiredOutput(UnpackCommand, *parsed, "BODY");
  if (!output) return ExitUsage;
  const std::optional<std::vector<uint8_t>> file = ReadInputFile(UnpackCommand, parsed->positional[0], MaxDatabaseSize);
  if (!file) return ExitFailure;
  const std::optional<std::vector<uint8_t>> body = UnsealDatabase(*file);
  if (!body) {
    ReportError("unpack", std::string(parsed->positional[0]) +
                              ": not a database file: it is too short or does not start with the database magic");
    return ExitFailure;
  }
  return WriteOutputFile(UnpackCommand, *output, *body);
}

}  // namespace
}  // namespace veltor::cli
