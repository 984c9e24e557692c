// veltor dump: a database file as rule language source.
#include <iostream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "compiler/rulelang/database_image.h"
#include "compiler/rulelang/source_printer.h"
#include "veltor/command_support.h"
#include "scanning/files.h"
#include "scanning/signature_names.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
namespace {

constexpr std::string_view Help =
    "usage: veltor dump FILE.vlb [-o OUT.vsr] [--body]\n"
    "\n"
    "Prints what a database holds as rule language source (see\n"
    "share/doc/veltor/rules.md of the installation):\n"
    "every signature and rule in table order with its id, flags, pattern, extra\n"
    "bytes, name and expression, and the header's reserved fields. Expressions\n"
    "that are not one well-formed node are shown as raw bytes. Compiling the\n"
    "output gives a database with the same records; for a database made by\n"
    "'veltor compile' it gives the very same file when the build time is the same\n"
    "(when the build time is a whole second, as 'veltor compile' stores it, the\n"
    "comment at the top gives the SOURCE_DATE_EPOCH that reproduces it).\n"
    "Signatures are anonymous in a database; when FILE.vlb.names (written by\n"
    "'veltor compile') is beside it, each named one gets its name in a comment.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write the source to FILE instead of standard output\n"
    "      --body          FILE is a raw database body (as 'veltor unpack' writes\n"
    "                      it), not a database file\n"
    "  -h, --help          show this text\n"
    "\n"
    "Exit status: 0 on success, 1 when the file cannot be read or is not a valid\n"
    "database, 2 for a wrong command line.\n";

constexpr OptionDefinition Options[] = {{"-o", "--output", true}, {"", "--body", false}};

int RunDump(const Command& command, const ParsedArguments& parsed) {
  const std::string_view path = parsed.positional[0];
  const std::optional<DatabaseInput> input = ReadDatabaseInput(command, path, parsed.Has("--body"));
  if (!input) return ExitFailure;
  const rulelang::DatabaseContents& contents = input->contents;

  const uint64_t buildTime = BuildTime(contents.header);
  std::string preamble = "Decompiled from " + std::string(path) + " by veltor dump.\n";
  preamble += std::to_string(contents.entries.signatures.size()) + " signatures, " +
              std::to_string(contents.entries.rules.size()) + " rules, built ";
  preamble += DescribeFileTime(buildTime, false) + ".";
  if (buildTime % 10'000'000 == 0 && buildTime >= rulelang::FileTimeFromUnixSeconds(0)) {
    preamble += "\nThe build time is not part of the source; SOURCE_DATE_EPOCH=" +
                std::to_string(rulelang::UnixSecondsFromFileTime(buildTime)) + " reproduces it.";
  }
  SignatureNames names;
  if (!parsed.Has("--body")) {
    std::string error;
    if (std::optional<SignatureNames> loaded = LoadSignatureNames(path, contents.header.headerCrc, error)) {
      names = std::move(*loaded);
    } else {
      ReportError(command.name, "signature names not used: " + error);
    }
  }
  const std::string source = rulelang::PrintDatabaseSource(contents.entries, preamble, names);
  if (const std::optional<std::string_view> output = parsed.Value("--output")) {
    return WriteOutputFile(command, *output,
                           std::span(reinterpret_cast<const uint8_t*>(source.data()), source.size()));
  }
#ifdef _WIN32
  // The same bytes as with -o: lines end in \n, not \r\n.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  std::cout << source;
  std::cout.flush();
  return std::cout ? ExitSuccess : ExitFailure;
}

}  // namespace

extern const Command DumpCommand{"dump", "print a database file as rule source", Help, Options, 1, 1, RunDump};

}  // namespace veltor::cli
