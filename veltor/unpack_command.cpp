// veltor unpack: the raw body out of a database file.
#include "engine/database/database_format.h"
#include "compiler/dbwriter/database_envelope.h"
#include "veltor/command_support.h"
#include "scanning/files.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
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

constexpr OptionDefinition Options[] = {{"-o", "--output", true}};

int RunUnpack(const Command& command, const ParsedArguments& parsed) {
  const std::optional<std::string_view> output = RequiredOutput(command, parsed, "BODY");
  if (!output) return ExitUsage;
  const std::optional<std::vector<uint8_t>> file = ReadInputFile(command, parsed.positional[0], MaxDatabaseSize);
  if (!file) return ExitFailure;
  const std::optional<std::vector<uint8_t>> body = UnsealDatabase(*file);
  if (!body) {
    ReportError(command.name, std::string(parsed.positional[0]) +
                              ": not a database file: it is too short or does not start with the database magic");
    return ExitFailure;
  }
  return WriteOutputFile(command, *output, *body);
}

}  // namespace

extern const Command UnpackCommand{"unpack", "take the raw body out of a database file",
    Help, Options, 1, 1, RunUnpack};

}  // namespace veltor::cli
