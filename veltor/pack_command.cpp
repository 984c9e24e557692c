// veltor pack: a raw database body sealed into a database file.
#include "compiler/dbwriter/database_envelope.h"
#include "compiler/rulelang/database_image.h"
#include "veltor/command_support.h"
#include "scanning/files.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
namespace {

constexpr std::string_view Help =
    "usage: veltor pack BODY -o FILE.vlb [--force]\n"
    "\n"
    "Seals a raw database body (the 128-byte header and the record tables, as\n"
    "built by your own tools or taken out with 'veltor unpack') into a database\n"
    "file the scanner loads: the envelope header, then the body encrypted with\n"
    "the database key. The body is checked first as the scanner checks it\n"
    "(magic, CRCs, table extents, records inside the body); a body that fails is\n"
    "not packed unless --force is given.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the database file to write (required); written through a\n"
    "                      temporary file and renamed, never left half-written\n"
    "      --force         seal the body even when the check fails\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 on success, 1 when a file cannot be read or written or the\n"
    "body fails the check, 2 for a wrong command line.\n";

constexpr OptionDefinition Options[] = {{"-o", "--output", true}, {"", "--force", false}};

int RunPack(const Command& command, const ParsedArguments& parsed) {
  const std::optional<std::string_view> output = RequiredOutput(command, parsed, "FILE.vlb");
  if (!output) return ExitUsage;
  const std::optional<std::vector<uint8_t>> body = ReadInputFile(command, parsed.positional[0]);
  if (!body) return ExitFailure;
  std::string error;
  if (!parsed.Has("--force") && !rulelang::ReadBody(*body, error)) {
    ReportError(command.name, std::string(parsed.positional[0]) + ": " + error + "; use --force to pack it anyway");
    return ExitFailure;
  }
  std::vector<uint8_t> file;
  try {
    file = SealDatabase(*body);
  } catch (const std::exception&) {
    ReportError(command.name, "the body is too large for a database file");
    return ExitFailure;
  }
  return WriteOutputFile(command, *output, file);
}

}  // namespace

extern const Command PackCommand{"pack", "seal a raw database body into a database file", Help, Options, 1, 1, RunPack};

}  // namespace veltor::cli
