#pragma once
// Whole-file reads and writes for the subcommands, with messages that name
// the file and the reason.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltor::cli {

// The file's bytes, or nothing with `error` set ("cannot read PATH: reason").
// Reading stops with an error past `limit` bytes, so that a device such as
// /dev/zero cannot exhaust memory.
std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view path, std::string& error,
                                                  uint64_t limit = UINT64_MAX);

// Replaces the file through a temporary file in the same folder: on failure
// the old file is untouched and no temporary file is left.
bool WriteWholeFile(std::string_view path, std::span<const uint8_t> bytes, std::string& error);

// "veltor NAME: message" on standard error.
void ReportError(std::string_view command, std::string_view message);

}  // namespace veltor::cli
