#include "scanning/signature_names.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "scanning/files.h"

namespace veltor::scanning {
namespace {

constexpr std::string_view FormatLine = "veltor signature names 1";
constexpr std::string_view CrcWord = "database ";
constexpr uint64_t MaxNamesFileSize = 64ull << 20;

bool NextLine(std::string_view& text, std::string_view& line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  return true;
}

template <typename Number>
bool ParseWhole(std::string_view text, Number& value, int base) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

std::string FormatSignatureNames(uint32_t databaseCrc, const SignatureNames& names) {
  char crc[16];
  std::snprintf(crc, sizeof crc, "%08X", databaseCrc);
  std::string out = std::string(FormatLine) + "\n" + std::string(CrcWord) + crc + "\n";
  for (const auto& [id, name] : names) out += std::to_string(id) + " " + name + "\n";
  return out;
}

std::optional<SignatureNames> ParseSignatureNames(std::string_view text, uint32_t databaseCrc, std::string& error) {
  std::string_view line;
  if (!NextLine(text, line) || line != FormatLine) {
    error = "not a signature name map of this version (the first line is not '" + std::string(FormatLine) + "')";
    return std::nullopt;
  }
  uint32_t crc = 0;
  if (!NextLine(text, line) || !line.starts_with(CrcWord) || line.size() != CrcWord.size() + 8 ||
      !ParseWhole(line.substr(CrcWord.size()), crc, 16)) {
    error = "line 2 is not 'database' and the database's CRC";
    return std::nullopt;
  }
  if (crc != databaseCrc) {
    error = "made for another database (it was rebuilt since): names left out";
    return std::nullopt;
  }
  SignatureNames names;
  for (size_t number = 3; NextLine(text, line); ++number) {
    const size_t space = line.find(' ');
    uint32_t id = 0;
    const bool ok = space != std::string_view::npos && ParseWhole(line.substr(0, space), id, 10) &&
                    space + 1 < line.size() && names.emplace(id, std::string(line.substr(space + 1))).second;
    if (!ok) {
      error = "line " + std::to_string(number) + " is not an id not seen before, a space and a name";
      return std::nullopt;
    }
  }
  return names;
}

std::optional<SignatureNames> LoadSignatureNames(std::string_view databasePath, uint32_t databaseCrc,
                                                 std::string& error) {
  const std::string path = std::string(databasePath) + std::string(SignatureNamesSuffix);
  std::error_code code;
  if (!std::filesystem::exists(std::filesystem::path(path), code)) return SignatureNames{};
  const std::optional<std::vector<uint8_t>> bytes = ReadWholeFile(path, error, MaxNamesFileSize);
  if (!bytes) return std::nullopt;
  std::optional<SignatureNames> names =
      ParseSignatureNames(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), databaseCrc,
                          error);
  if (!names) error = path + ": " + error;
  return names;
}

std::string SignatureLabel(const SignatureNames& names, uint32_t id) {
  const auto found = names.find(id);
  return std::to_string(id) + (found == names.end() ? "" : " " + found->second);
}

}  // namespace veltor::scanning
