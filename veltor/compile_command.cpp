// veltor compile: rule language sources to a database file.
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "compiler/rulelang/compiler.h"
#include "compiler/rulelang/database_image.h"
#include "veltor/command_support.h"
#include "scanning/files.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
namespace {

constexpr std::string_view Help =
    "usage: veltor compile RULES.vsr... [-o FILE.vlb]\n"
    "\n"
    "Compiles rule language sources (UTF-8 text, see docs/rules.md) into one\n"
    "database file. The files form one namespace; their declarations follow each\n"
    "other in the order given.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the database file to write (default: qzdata.vlb)\n"
    "  -h, --help          show this text\n"
    "\n"
    "Errors and warnings go to standard error as 'file:line:col: error: message'.\n"
    "Every error of the run is reported; then nothing is written and the exit\n"
    "status is 1. The output is written to a temporary file in the same folder\n"
    "and renamed over FILE only when complete, so an existing database is never\n"
    "left half-written.\n"
    "\n"
    "Warnings (the database is written all the same): patterns of 1 or 2 bytes,\n"
    "checked at every position of every scan; patterns of 3 to 5 bytes, which\n"
    "shorten the window every scan skips by (the warning gives the window);\n"
    "wide signatures count their UTF-16LE form too; signatures no rule refers to;\n"
    "rules that can never report; references to ids nobody declares; rings of\n"
    "rule references.\n"
    "\n"
    "Environment:\n"
    "  SOURCE_DATE_EPOCH   when set, the build time stored in the database (seconds\n"
    "                      since 1970-01-01 UTC) instead of the current time, so\n"
    "                      that the same sources give the same file\n"
    "\n"
    "Exit status: 0 when the database was written, 1 for errors in the sources or\n"
    "files that cannot be read or written, 2 for a wrong command line.\n";

// The build time: SOURCE_DATE_EPOCH, or now.
std::optional<uint64_t> BuildTime(std::string& error) {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr) {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ticks = std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>>(sinceEpoch);
    return rulelang::FileTimeFromUnixSeconds(0) + static_cast<uint64_t>(ticks.count());
  }
  const std::string_view text(epoch);
  int64_t seconds = 0;
  constexpr int64_t Limit = 900'000'000'000;  // well inside FILETIME, about the year 30000
  if (text.empty() || text.size() > 12) {
    error = "SOURCE_DATE_EPOCH must be a number of seconds since 1970, not '" + std::string(text) + "'";
    return std::nullopt;
  }
  for (const char c : text) {
    if (c < '0' || c > '9') {
      error = "SOURCE_DATE_EPOCH must be a number of seconds since 1970, not '" + std::string(text) + "'";
      return std::nullopt;
    }
    seconds = seconds * 10 + (c - '0');
  }
  if (seconds > Limit) {
    error = "SOURCE_DATE_EPOCH is too large";
    return std::nullopt;
  }
  return rulelang::FileTimeFromUnixSeconds(seconds);
}

constexpr OptionDefinition Options[] = {{"-o", "--output", true}};

int RunCompile(const Command& command, const ParsedArguments& parsed) {
  const std::string output(parsed.Value("--output").value_or("qzdata.vlb"));

  std::vector<rulelang::SourceFile> files;
  bool readable = true;
  for (const std::string_view path : parsed.positional) {
    const std::optional<std::vector<uint8_t>> bytes = ReadInputFile(command, path);
    if (!bytes) {
      readable = false;
      continue;
    }
    files.push_back({std::string(path), std::string(bytes->begin(), bytes->end())});
  }
  if (!readable) return ExitFailure;

  std::string error;
  const std::optional<uint64_t> buildTime = BuildTime(error);
  if (!buildTime) {
    ReportError(command.name, error);
    return ExitFailure;
  }

  const rulelang::CompileResult result = rulelang::CompileSources(files);
  for (const rulelang::Diagnostic& diagnostic : result.diagnostics.items) {
    std::cerr << rulelang::FormatDiagnostic(diagnostic, files) << '\n';
  }
  if (const size_t errors = result.diagnostics.ErrorCount(); errors != 0) {
    ReportError(command.name, std::to_string(errors) + (errors == 1 ? " error" : " errors") + "; nothing written");
    return ExitFailure;
  }
  std::vector<uint8_t> image;
  try {
    image = rulelang::WriteDatabaseImage(result.entries, *buildTime);
  } catch (const std::exception&) {
    ReportError(command.name, "the database would not fit the file format's 32-bit sizes; nothing written");
    return ExitFailure;
  }
  return WriteOutputFile(command, output, image, "; nothing written");
}

}  // namespace

extern const Command CompileCommand{"compile", "compile rule sources (.vsr) into a database file",
    Help, Options, 1, SIZE_MAX, RunCompile};

}  // namespace veltor::cli
