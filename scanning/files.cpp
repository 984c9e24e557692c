#include "scanning/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "scanning/scan_system.h"

namespace veltor::scanning {

std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view path, std::string& error, uint64_t limit) {
  const std::string failed = "cannot read " + std::string(path) + ": ";
  const std::filesystem::path file{std::string(path)};
  std::error_code code;
  if (std::filesystem::is_directory(file, code)) {
    error = failed + "it is a folder";
    return std::nullopt;
  }
  // Opened as `veltor scan` opens files: never waiting, regular files only,
  // so that a FIFO or a device can neither block the command nor feed it
  // without end.
  InputFile input;
  std::string reason;
  if (!OpenInput(input, file, reason)) {
    error = failed + reason;
    return std::nullopt;
  }
  if (!input.regular) {
    error = failed + NotRegularFileReason(std::filesystem::status(file, code).type());
    return std::nullopt;
  }
  const std::string tooLarge = failed + "larger than " + std::to_string(limit) + " bytes";
  if (input.size > limit) {
    error = tooLarge;
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  constexpr size_t Chunk = size_t{1} << 20;
  for (;;) {
    const size_t had = bytes.size();
    bytes.resize(had + Chunk);
    const std::optional<size_t> count = ReadInput(input, bytes.data() + had, Chunk, reason);
    if (!count) {
      error = failed + reason;
      return std::nullopt;
    }
    bytes.resize(had + *count);
    if (*count == 0) break;
    // The file may have grown since it was opened.
    if (bytes.size() > limit) {
      error = tooLarge;
      return std::nullopt;
    }
  }
  return bytes;
}

}  // namespace veltor::scanning
