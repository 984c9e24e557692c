#include "veltor/command_support.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "engine/database/database_format.h"
#include "compiler/dbwriter/atomic_file.h"
#include "scanning/files.h"
#include "scanning/scan_archives.h"

namespace veltor::cli {

using namespace scanning;  // the scan job and its file reading

int PrintVersion(std::optional<std::string_view> database) {
  std::cout << "veltor " << VELTOR_VERSION << '\n' << ArchiveSupportLine() << '\n';
  if (!database) return ExitSuccess;
  std::string error;
  const auto bytes = ReadWholeFile(*database, error, MaxDatabaseSize);
  const auto contents = bytes ? rulelang::ReadDatabaseImage(*bytes, error) : std::nullopt;
  if (!contents) {
    std::cerr << "veltor: " << (bytes ? std::string(*database) + ": " : std::string()) << error << '\n';
    return ExitFailure;
  }
  size_t reported = 0;
  for (const auto& rule : contents->entries.rules) reported += (rule.flags & RuleFlagTopLevel) != 0 ? 1 : 0;
  std::cout << "database " << *database << ": built " << DescribeFileTime(BuildTime(contents->header), false) << ", "
            << contents->entries.signatures.size() << " signatures, " << contents->entries.rules.size()
            << " rules (" << reported << " reported)\n";
  return ExitSuccess;
}

void ReportError(std::string_view command, std::string_view message) {
  std::cerr << "veltor " << command << ": " << message << '\n';
}

int RunCommand(const Command& command, std::span<const std::string_view> arguments) {
  std::string error;
  const std::optional<ParsedArguments> parsed = ParseArguments(arguments, command.options, error);
  if (parsed && parsed->help) {
    std::cout << command.help;
    return ExitSuccess;
  }
  if (parsed && parsed->positional.size() < command.minimumPositional) {
    error = "missing arguments";
  } else if (parsed && parsed->positional.size() > command.maximumPositional) {
    error = "unexpected argument '" + std::string(parsed->positional[command.maximumPositional]) + "'";
  } else if (parsed) {
    return command.run(command, *parsed);
  }
  ReportError(command.name, error);
  const std::string_view usage = command.help.substr(0, command.help.find('\n') + 1);
  std::cerr << usage << "Try 'veltor " << command.name << " --help'.\n";
  return ExitUsage;
}

std::optional<std::string_view> RequiredOutput(const Command& command, const ParsedArguments& parsed,
                                               std::string_view what) {
  const std::optional<std::string_view> output = parsed.Value("--output");
  if (!output) ReportError(command.name, "missing -o " + std::string(what));
  return output;
}

std::optional<std::vector<uint8_t>> ReadInputFile(const Command& command, std::string_view path, uint64_t limit) {
  std::string error;
  std::optional<std::vector<uint8_t>> bytes = ReadWholeFile(path, error, limit);
  if (!bytes) ReportError(command.name, error);
  return bytes;
}

std::optional<DatabaseInput> ReadDatabaseInput(const Command& command, std::string_view path, bool body) {
  const std::optional<std::vector<uint8_t>> bytes = ReadInputFile(command, path, MaxDatabaseSize);
  if (!bytes) return std::nullopt;
  std::string error;
  std::optional<rulelang::DatabaseContents> contents =
      body ? rulelang::ReadBody(*bytes, error) : rulelang::ReadDatabaseImage(*bytes, error);
  if (!contents) {
    ReportError(command.name, std::string(path) + ": " + error);
    return std::nullopt;
  }
  return DatabaseInput{bytes->size(), std::move(*contents)};
}

int WriteOutputFile(const Command& command, std::string_view path, std::span<const uint8_t> bytes,
                    std::string_view afterError) {
  // Replaced through a temporary file in the same folder: on failure the old
  // file is untouched and no temporary file is left.
  std::string reason;
  if (WriteFileAtomically(std::filesystem::path(std::string(path)), bytes, &reason)) return ExitSuccess;
  ReportError(command.name, "cannot write " + std::string(path) + ": " + reason + std::string(afterError));
  return ExitFailure;
}

std::optional<std::string> FormatFileTime(uint64_t fileTime, bool local) {
  const int64_t seconds = rulelang::UnixSecondsFromFileTime(fileTime);
  // 9999-12-31 23:59:59 UTC: four-digit years only, and no year wraps.
  if (seconds > 253402300799) return std::nullopt;
  if (local) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm parts{};
#ifdef _WIN32
    if (localtime_s(&parts, &time) != 0) return std::nullopt;
#else
    if (localtime_r(&time, &parts) == nullptr) return std::nullopt;
#endif
    char buffer[64];
    if (std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts) == 0) return std::nullopt;
    return std::string(buffer);
  }
  using namespace std::chrono;
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t secondOfDay = seconds - days * 86400;
  const year_month_day date{sys_days{std::chrono::days{days}}};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02lld:%02lld:%02lld", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<long long>(secondOfDay / 3600), static_cast<long long>(secondOfDay / 60 % 60),
                static_cast<long long>(secondOfDay % 60));
  return std::string(buffer);
}

std::string DescribeFileTime(uint64_t fileTime, bool local) {
  if (const std::optional<std::string> text = FormatFileTime(fileTime, local)) {
    return *text + (local ? " local" : " UTC");
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "FILETIME 0x%016llX (not a calendar date)",
                static_cast<unsigned long long>(fileTime));
  return buffer;
}

}  // namespace veltor::cli
