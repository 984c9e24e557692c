#pragma once
// What the subcommands share: reading their command line, their input and
// output files and the build time.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/rulelang/database_image.h"
#include "veltor/arguments.h"
#include "veltor/command.h"

namespace veltor::cli {

// Reads the arguments after the subcommand's name against the command's
// options and runs it. Prints the help text (exit 0) for --help, or an error
// and the usage (exit 2) when the arguments are wrong or the number of
// positional arguments is outside what the command takes.
int RunCommand(const Command& command, std::span<const std::string_view> arguments);

// "2024-05-01 12:00:00" for a FILETIME, in UTC or in local time; nothing when
// the time is after the year 9999 or outside what the calendar functions
// handle.
std::optional<std::string> FormatFileTime(uint64_t fileTime, bool local);

// FormatFileTime with " UTC" or " local", or the raw value when the time
// cannot be shown as a date ("FILETIME 0x... (not a calendar date)").
std::string DescribeFileTime(uint64_t fileTime, bool local);

// The value of an option the command cannot do without (-o), or nothing
// after "missing -o WHAT" (exit status ExitUsage).
std::optional<std::string_view> RequiredOutput(const Command& command, const ParsedArguments& parsed,
                                               std::string_view what);

// The bytes of a file named on the command line, or nothing after an error
// message.
std::optional<std::vector<uint8_t>> ReadInputFile(const Command& command, std::string_view path,
                                                  uint64_t limit = UINT64_MAX);

// A database file named on the command line, or a raw database body with
// `body`, read and decoded; nothing after an error message.
struct DatabaseInput {
  uint64_t fileSize = 0;
  rulelang::DatabaseContents contents;
};
std::optional<DatabaseInput> ReadDatabaseInput(const Command& command, std::string_view path, bool body);

// `veltor --version` (also `veltor scan --version`): the program's version
// and whether it opens archives; with a database, its build time and
// counts. ExitSuccess, or ExitFailure when the database cannot be read.
int PrintVersion(std::optional<std::string_view> database);

// "veltor NAME: message" on standard error.
void ReportError(std::string_view command, std::string_view message);

// Writes the output file: ExitSuccess, or ExitFailure after an error message
// ending in `afterError`.
int WriteOutputFile(const Command& command, std::string_view path, std::span<const uint8_t> bytes,
                    std::string_view afterError = "");

}  // namespace veltor::cli
