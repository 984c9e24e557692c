#pragma once
// What the subcommands share: reading their command line and the build time.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tools/veltor/arguments.h"
#include "tools/veltor/command.h"

namespace veltor::cli {

// Parses the arguments; prints the help text (and returns nothing with
// `exitCode` 0) for --help, or an error and the usage (exit 2) when they are
// wrong or the number of positional arguments is outside [minimum, maximum].
std::optional<ParsedArguments> ReadCommandLine(const Command& command, std::span<const std::string_view> arguments,
                                               std::span<const OptionDefinition> definitions, size_t minimum, size_t maximum,
                                               int& exitCode);

// "2024-05-01 12:00:00" for a FILETIME, in UTC or in local time; nothing when
// the time is after the year 9999 or outside what the calendar functions
// handle.
std::optional<std::string> FormatFileTime(uint64_t fileTime, bool local);

// FormatFileTime with " UTC" or " local", or the raw value when the time
// cannot be shown as a date ("FILETIME 0x... (not a calendar date)").
std::string DescribeFileTime(uint64_t fileTime, bool local);

// The most bytes a database file can have: the loader refuses larger ones,
// so the tools stop reading there.
inline constexpr uint64_t MaxDatabaseFileSize = 0x7FFFFFFF;

}  // namespace veltor::cli
