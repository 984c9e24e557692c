#include "scanning/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>


namespace veltor::scanning {

std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view path, std::string& error, uint64_t limit) {
  const std::filesystem::path file{std::string(path)};
  std::error_code code;
  if (std::filesystem::is_directory(file, code)) {
    error = "cannot read " + std::string(path) + ": it is a folder";
    return std::nullopt;
  }
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    error = "cannot read " + std::string(path) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  constexpr size_t Chunk = size_t{1} << 20;
  while (stream) {
    if (bytes.size() > limit) {
      error = "cannot read " + std::string(path) + ": larger than " + std::to_string(limit) + " bytes";
      return std::nullopt;
    }
    const size_t had = bytes.size();
    bytes.resize(had + Chunk);
    stream.read(reinterpret_cast<char*>(bytes.data() + had), static_cast<std::streamsize>(Chunk));
    bytes.resize(had + static_cast<size_t>(stream.gcount()));
  }
  if (stream.bad()) {
    error = "cannot read " + std::string(path) + ": read error";
    return std::nullopt;
  }
  if (bytes.size() > limit) {
    error = "cannot read " + std::string(path) + ": larger than " + std::to_string(limit) + " bytes";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace veltor::scanning
