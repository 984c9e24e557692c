#include "tools/rulelang/database_image.h"

#include <algorithm>

#include "database/database_format.h"
#include "database/little_endian.h"
#include "database/signature_library.h"
#include "dbwriter/database_envelope.h"
#include "dbwriter/database_writer.h"

namespace veltor::rulelang {
namespace {

constexpr int64_t FileTimeUnitsPerSecond = 10'000'000;
constexpr int64_t SecondsFrom1601To1970 = 11'644'473'600;

// Reads stored records one after another, never past the body.
struct RecordReader {
  std::span<const uint8_t> body;
  uint64_t position;

  bool Word(uint32_t& value) {
    if (position + 4 > body.size()) return false;
    value = LoadU32(body.data() + position);
    position += 4;
    return true;
  }
  bool Bytes(uint32_t length, std::vector<uint8_t>& out) {
    if (position + length > body.size()) return false;
    out.assign(body.begin() + static_cast<std::ptrdiff_t>(position),
               body.begin() + static_cast<std::ptrdiff_t>(position + length));
    position += length;
    return true;
  }
};

}  // namespace

uint64_t FileTimeFromUnixSeconds(int64_t seconds) noexcept {
  return static_cast<uint64_t>((seconds + SecondsFrom1601To1970) * FileTimeUnitsPerSecond);
}

int64_t UnixSecondsFromFileTime(uint64_t fileTime) noexcept {
  return static_cast<int64_t>(fileTime / FileTimeUnitsPerSecond) - SecondsFrom1601To1970;
}

std::vector<uint8_t> WriteBody(const DatabaseEntries& entries, uint64_t buildTime) {
  std::vector<SignatureInput> signatures;
  signatures.reserve(entries.signatures.size());
  for (const SignatureEntry& entry : entries.signatures) {
    SignatureInput input;
    input.id = entry.id;
    input.flags = entry.flags;
    input.reserved1 = entry.reserved1;
    input.reserved2 = entry.reserved2;
    input.pattern = entry.pattern;
    input.extra = entry.extra;
    signatures.push_back(std::move(input));
  }
  std::vector<RuleInput> rules;
  rules.reserve(entries.rules.size());
  for (const RuleEntry& entry : entries.rules) {
    RuleInput input;
    input.id = entry.id;
    input.flags = entry.flags;
    input.name = entry.name;
    input.expression = entry.expression;
    rules.push_back(std::move(input));
  }
  BodyOptions options;
  options.reserved1 = entries.reserved1;
  options.reserved2 = entries.reserved2;
  options.buildTime = buildTime;
  std::copy(entries.reservedArea.begin(), entries.reservedArea.end(), options.reservedArea.begin());
  return WriteDatabaseBody(signatures, rules, options);
}

std::vector<uint8_t> WriteDatabaseImage(const DatabaseEntries& entries, uint64_t buildTime) {
  return SealDatabase(WriteBody(entries, buildTime), entries.envelope);
}

std::optional<DatabaseContents> ReadBody(std::span<const uint8_t> body, std::string& error) {
  if (body.size() > UINT32_MAX ||
      !ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()))) {
    error = "the database body is not valid: the engine would refuse it (wrong magic or size, a CRC that "
            "does not match, or a table outside the body)";
    return std::nullopt;
  }
  DatabaseContents contents;
  contents.bodySize = static_cast<uint32_t>(body.size());
  contents.header = DecodeDatabaseHeader(body.first<BodyHeaderSize>());
  const DatabaseHeader& header = contents.header;
  DatabaseEntries& entries = contents.entries;
  entries.reserved1 = header.reserved1;
  entries.reserved2 = header.reserved2;
  std::copy(header.reservedArea.begin(), header.reservedArea.end(), entries.reservedArea.begin());

  RecordReader signatures{body, header.signatureTableOffset};
  for (uint32_t i = 0; i < header.signatureCount; ++i) {
    SignatureEntry entry;
    uint32_t patternLength = 0;
    uint32_t extraLength = 0;
    if (!signatures.Word(entry.id) || !signatures.Word(entry.flags) || !signatures.Word(entry.reserved1) ||
        !signatures.Word(patternLength) || !signatures.Word(extraLength) || !signatures.Word(entry.reserved2) ||
        !signatures.Bytes(patternLength, entry.pattern) || !signatures.Bytes(extraLength, entry.extra)) {
      error = "signature record " + std::to_string(i + 1) + " runs past the end of the body";
      return std::nullopt;
    }
    entries.signatures.push_back(std::move(entry));
  }
  RecordReader rules{body, header.ruleTableOffset};
  for (uint32_t i = 0; i < header.ruleCount; ++i) {
    RuleEntry entry;
    uint32_t nameLength = 0;
    uint32_t expressionLength = 0;
    if (!rules.Word(entry.id) || !rules.Word(entry.flags) || !rules.Word(nameLength) ||
        !rules.Bytes(nameLength, entry.name) || !rules.Word(expressionLength) ||
        !rules.Bytes(expressionLength, entry.expression)) {
      error = "rule record " + std::to_string(i + 1) + " runs past the end of the body";
      return std::nullopt;
    }
    entries.rules.push_back(std::move(entry));
  }
  return contents;
}

std::optional<DatabaseContents> ReadDatabaseImage(std::span<const uint8_t> file, std::string& error) {
  const std::optional<std::vector<uint8_t>> body = UnsealDatabase(file);
  if (!body) {
    error = "not a database file: it is too short or does not start with the database magic";
    return std::nullopt;
  }
  std::optional<DatabaseContents> contents = ReadBody(*body, error);
  if (contents) {
    std::copy_n(file.begin() + EnvelopeMagic.size(), EnvelopeFreeSize, contents->entries.envelope.begin());
  }
  return contents;
}

}  // namespace veltor::rulelang
