// veltor compile: rule language sources to a database file.
#include <chrono>
#include <cstdlib>
#include <iostream>

#include <algorithm>
#include <filesystem>

#include "compiler/rulelang/compiler.h"
#include "engine/database/database_format.h"
#include "compiler/rulelang/database_image.h"
#include "engine/database/database_memory.h"
#include "scanning/signature_names.h"
#include "veltor/command_support.h"
#include "scanning/files.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading
namespace {

// Errors shown before the rest are only counted: a wrong file given as
// source would otherwise bury the first, telling error under hundreds.
constexpr size_t MaxErrorsShown = 20;

const std::string Help = std::string(
    "usage: veltor compile RULES.vsr... [-o FILE.vlb] [-w]\n"
    "\n"
    "Compiles rule language sources (UTF-8 text; the language is described in\n"
    "share/doc/veltor/rules.md of the installation) into one database file.\n"
    "The files form one namespace; their declarations follow each other in the\n"
    "order given.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   the database file to write (default: qzdata.vlb in the\n"
    "                      current folder; the program says where it wrote)\n"
    "  -w, --fail-on-warnings  treat warnings as errors: write nothing, exit 1\n"
    "  -h, --help          show this text\n"
    "\n"
    "Errors and warnings go to standard error as 'file:line:col: error: message'.\n"
    "Every error of the run is counted and the first ") + std::to_string(MaxErrorsShown) + " are shown; then\n"
    "nothing is written and the exit status is 1. The output is written to a\n"
    "temporary file in the same folder and renamed over FILE only when complete,\n"
    "so an existing database is never left half-written.\n"
    "\n"
    "Signature names: the database keeps none (rules refer to signatures by\n"
    "id), so the names the sources give are written beside it, to FILE.names\n"
    "(a text map of id and name, tied to this database; see\n"
    "share/doc/veltor/rules.md), for 'veltor scan -s', '--explain', 'veltor\n"
    "dump' and Python. Without named signatures, an old FILE.names is removed.\n"
    "\n"
    "Warnings (the database is written all the same, unless -w): patterns of 1\n"
    "or 2 bytes (wide signatures: their UTF-16LE form too), checked at every\n"
    "position of every scan; empty patterns; signatures no rule refers to;\n"
    "rules that can never report or report on every input; a database with no\n"
    "reported rule; references to ids nobody declares; rings of rule\n"
    "references.\n"
    "\n"
    "Environment:\n"
    "  SOURCE_DATE_EPOCH   when set, the build time stored in the database (seconds\n"
    "                      since 1970-01-01 UTC) instead of the current time, so\n"
    "                      that the same sources give the same file\n"
    "\n"
    "Exit status: 0 when the database was written, 1 for errors in the sources\n"
    "(or warnings with -w) or files that cannot be read or written, 2 for a\n"
    "wrong command line.\n";

// The build time: SOURCE_DATE_EPOCH, or now.
std::optional<uint64_t> BuildTime(std::string& error) {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr) {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    // Whole seconds, as SOURCE_DATE_EPOCH gives: `veltor dump` can then name
    // the SOURCE_DATE_EPOCH that rebuilds the very same file.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    return rulelang::FileTimeFromUnixSeconds(seconds.count());
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

constexpr OptionDefinition Options[] = {{"-o", "--output", true}, {"-w", "--fail-on-warnings", false}};

// What a database file or body given as source would otherwise produce: an
// error for every NUL byte in it.
std::optional<std::string> NotRuleSource(std::span<const uint8_t> bytes) {
  if (bytes.size() >= EnvelopeMagic.size() && std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), bytes.begin())) {
    return "this is a database file (see 'veltor dump'), not rule source";
  }
  if (bytes.size() >= BodyMagic.size() && std::equal(BodyMagic.begin(), BodyMagic.end(), bytes.begin())) {
    return "this is a raw database body (see 'veltor dump --body'), not rule source";
  }
  return std::nullopt;
}

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
    if (const std::optional<std::string> wrong = NotRuleSource(*bytes)) {
      ReportError(command.name, std::string(path) + ": " + *wrong);
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
  size_t errorsShown = 0;
  size_t warnings = 0;
  for (const rulelang::Diagnostic& diagnostic : result.diagnostics.items) {
    const bool isError = diagnostic.severity == rulelang::Severity::Error;
    warnings += isError ? 0 : 1;
    // Past the cap nothing more is shown: warnings among that many errors
    // are noise.
    if (errorsShown == MaxErrorsShown) continue;
    errorsShown += isError ? 1 : 0;
    std::cerr << rulelang::FormatDiagnostic(diagnostic, files) << '\n';
  }
  if (const size_t errors = result.diagnostics.ErrorCount(); errors != 0) {
    ReportError(command.name, std::to_string(errors) + (errors == 1 ? " error" : " errors") +
                                  (errors > errorsShown ? " (the first " + std::to_string(errorsShown) + " shown)" : "") +
                                  "; nothing written");
    return ExitFailure;
  }
  if (warnings != 0 && parsed.Has("--fail-on-warnings")) {
    ReportError(command.name, std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings") +
                                  " and --fail-on-warnings; nothing written");
    return ExitFailure;
  }
  std::vector<uint8_t> image;
  try {
    image = rulelang::WriteDatabaseImage(result.entries, *buildTime);
  } catch (const std::exception&) {
    ReportError(command.name, "the database would not fit the file format's 32-bit sizes; nothing written");
    return ExitFailure;
  }
  const int status = WriteOutputFile(command, output, image, "; nothing written");
  if (status == ExitSuccess) {
    const std::string namesPath = output + std::string(SignatureNamesSuffix);
    if (result.signatureNames.empty()) {
      std::error_code ignored;  // a map of an earlier build would be refused anyway
      std::filesystem::remove(std::filesystem::path(namesPath), ignored);
    } else {
      const SignatureLibraryPtr library = LoadDatabaseImage(image);
      if (!library) {
        ReportError(command.name, "out of memory while writing " + namesPath);
        return ExitFailure;
      }
      const std::string text = FormatSignatureNames(library->header.headerCrc, result.signatureNames);
      const int namesStatus =
          WriteOutputFile(command, namesPath, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
      if (namesStatus != ExitSuccess) return namesStatus;
    }
  }
  // Without -o the file lands in the current folder, which the user may not
  // have expected.
  if (status == ExitSuccess && !parsed.Has("--output")) {
    std::error_code code;
    const std::filesystem::path written = std::filesystem::absolute(std::filesystem::path(output), code);
    ReportError(command.name, "wrote " + (code ? output : written.string()) + " (" +
                                  std::to_string(result.entries.signatures.size()) + " signatures, " +
                                  std::to_string(result.entries.rules.size()) + " rules)");
  }
  return status;
}

}  // namespace

extern const Command CompileCommand{"compile", "compile rule sources (.vsr) into a database file",
    Help, Options, 1, SIZE_MAX, RunCompile};

}  // namespace veltor::cli
