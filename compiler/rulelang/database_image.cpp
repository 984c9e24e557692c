#include "compiler/rulelang/database_image.h"

#include <algorithm>

#include "engine/database/database_format.h"
#include "engine/database/signature_library.h"
#include "engine/database/table_reader.h"
#include "compiler/dbwriter/database_envelope.h"
#include "compiler/dbwriter/database_writer.h"

namespace veltor::rulelang {
namespace {

constexpr int64_t FileTimeUnitsPerSecond = 10'000'000;
constexpr int64_t SecondsFrom1601To1970 = 11'644'473'600;

}  // namespace

uint64_t FileTimeFromUnixSeconds(int64_t seconds) noexcept {
  return static_cast<uint64_t>((seconds + SecondsFrom1601To1970) * FileTimeUnitsPerSecond);
}

int64_t UnixSecondsFromFileTime(uint64_t fileTime) noexcept {
  return static_cast<int64_t>(fileTime / FileTimeUnitsPerSecond) - SecondsFrom1601To1970;
}

std::vector<uint8_t> WriteBody(const DatabaseEntries& entries, uint64_t buildTime) {
  BodyOptions options;
  options.reserved1 = entries.reserved1;
  options.reserved2 = entries.reserved2;
  options.buildTime = buildTime;
  options.reservedArea = entries.reservedArea;
  return WriteDatabaseBody(entries.signatures, entries.rules, options);
}

std::vector<uint8_t> WriteDatabaseImage(const DatabaseEntries& entries, uint64_t buildTime) {
  return SealDatabase(WriteBody(entries, buildTime), entries.envelope);
}

std::optional<DatabaseContents> ReadBody(std::span<const uint8_t> body, std::string& error) {
  if (body.size() > UINT32_MAX) {
    error = "the database body is not valid: it is larger than 4 GiB";
    return std::nullopt;
  }
  if (const char* problem = CheckDatabaseBody(body.data(), static_cast<uint32_t>(body.size()))) {
    error = std::string("the database body is not valid (the engine would refuse it): ") + problem;
    return std::nullopt;
  }
  if (!ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()))) {
    error = "the database body is not valid (the engine would refuse it): a record runs past the end of its "
            "table, or memory ran out";
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

  // The engine accepted the body, so every record lies within its table.
  TableReader signatures = SignatureTableReader(body, header);
  for (uint32_t i = 0; i < header.signatureCount; ++i) {
    SignatureRecordView view;
    if (!signatures.ReadSignature(view)) {
      error = "signature record " + std::to_string(i + 1) + " runs past the end of its table";
      return std::nullopt;
    }
    SignatureInput& entry = entries.signatures.emplace_back();
    entry.id = view.id;
    entry.flags = view.flags;
    entry.reserved1 = view.reserved1;
    entry.reserved2 = view.reserved2;
    entry.pattern.assign(view.pattern.begin(), view.pattern.end());
    entry.extra.assign(view.extra.begin(), view.extra.end());
  }
  TableReader rules = RuleTableReader(body, header);
  for (uint32_t i = 0; i < header.ruleCount; ++i) {
    RuleRecordView view;
    if (!rules.ReadRule(view)) {
      error = "rule record " + std::to_string(i + 1) + " runs past the end of its table";
      return std::nullopt;
    }
    RuleInput& entry = entries.rules.emplace_back();
    entry.id = view.id;
    entry.flags = view.flags;
    entry.name.assign(view.name.begin(), view.name.end());
    entry.expression.assign(view.expression.begin(), view.expression.end());
  }
  return contents;
}

std::optional<DatabaseContents> ReadDatabaseImage(std::span<const uint8_t> file, std::string& error) {
  const std::optional<std::vector<uint8_t>> body = UnsealDatabase(file);
  if (!body) {
    const bool magic = file.size() >= EnvelopeMagic.size() &&
                       std::equal(EnvelopeMagic.begin(), EnvelopeMagic.end(), file.begin());
    error = magic ? "not a database file: it ends within its 256-byte envelope header"
                  : "not a database file: it does not start with the database magic";
    return std::nullopt;
  }
  std::optional<DatabaseContents> contents = ReadBody(*body, error);
  if (contents) {
    std::copy_n(file.begin() + EnvelopeMagic.size(), EnvelopeFillerSize, contents->entries.envelope.begin());
  }
  return contents;
}

}  // namespace veltor::rulelang
