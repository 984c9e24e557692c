#include "compiler/dbwriter/database_writer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "engine/database/crc32.h"
#include "engine/text/little_endian.h"

namespace veltor {
namespace {

uint32_t CheckedU32(uint64_t value, const char* what) {
  if (value > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error(std::string(what) + " does not fit a 32-bit field");
  }
  return static_cast<uint32_t>(value);
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t bytes[4];
  StoreU32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

void AppendBytes(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

uint32_t LengthField(const std::optional<uint32_t>& forced, const std::vector<uint8_t>& bytes, const char* what) {
  return forced ? *forced : CheckedU32(bytes.size(), what);
}

// One table: its records back to back, then `slack` filler bytes.
template <typename Record, typename Encode>
std::vector<uint8_t> EncodeTable(std::span<const Record> records, uint32_t slack, uint8_t filler, Encode encode) {
  std::vector<uint8_t> table;
  for (const Record& record : records) {
    const std::vector<uint8_t> bytes = encode(record);
    table.insert(table.end(), bytes.begin(), bytes.end());
  }
  table.insert(table.end(), slack, filler);
  return table;
}

// CRC of the bytes a header says a table occupies; 0 when that range is not
// inside the body at all (such a body is rejected before its CRC matters).
uint32_t CrcOfRange(const std::vector<uint8_t>& body, uint32_t offset, uint32_t length) {
  if (uint64_t{offset} + length > body.size()) return 0;
  return Crc32(body.data() + offset, length);
}

}  // namespace

std::vector<uint8_t> EncodeSignatureRecord(const SignatureInput& signature) {
  std::vector<uint8_t> out;
  out.reserve(SignatureRecordFixedSize + signature.pattern.size() + signature.extra.size());
  AppendU32(out, signature.id);
  AppendU32(out, signature.flags);
  AppendU32(out, signature.reserved1);
  AppendU32(out, LengthField(signature.patternLengthField, signature.pattern, "pattern"));
  AppendU32(out, LengthField(signature.extraLengthField, signature.extra, "extra bytes"));
  AppendU32(out, signature.reserved2);
  AppendBytes(out, signature.pattern);
  AppendBytes(out, signature.extra);
  return out;
}

std::vector<uint8_t> EncodeRuleRecord(const RuleInput& rule) {
  std::vector<uint8_t> out;
  out.reserve(RuleRecordFixedSize + rule.name.size() + rule.expression.size());
  AppendU32(out, rule.id);
  AppendU32(out, rule.flags);
  AppendU32(out, LengthField(rule.nameLengthField, rule.name, "rule name"));
  AppendBytes(out, rule.name);
  AppendU32(out, LengthField(rule.expressionLengthField, rule.expression, "rule expression"));
  AppendBytes(out, rule.expression);
  return out;
}

std::vector<uint8_t> WriteDatabaseBody(std::span<const SignatureInput> signatures, std::span<const RuleInput> rules,
                                       const BodyOptions& options) {
  const std::vector<uint8_t> signatureTable =
      EncodeTable(signatures, options.signatureTableSlack, options.filler, EncodeSignatureRecord);
  const std::vector<uint8_t> ruleTable = EncodeTable(rules, options.ruleTableSlack, options.filler, EncodeRuleRecord);

  const bool signaturesFirst = options.order == TableOrder::SignaturesFirst;
  const std::vector<uint8_t>& first = signaturesFirst ? signatureTable : ruleTable;
  const std::vector<uint8_t>& second = signaturesFirst ? ruleTable : signatureTable;
  const uint64_t firstOffset = uint64_t{BodyHeaderSize} + options.gapBeforeTables;
  const uint64_t secondOffset = firstOffset + first.size() + options.gapBetweenTables;
  const uint32_t totalSize = CheckedU32(secondOffset + second.size(), "body size");
  CheckedU32(uint64_t{totalSize} + options.bytesAfterTotalSize, "body size with trailing bytes");

  std::vector<uint8_t> body(std::size_t{totalSize} + options.bytesAfterTotalSize, options.filler);
  std::copy(first.begin(), first.end(), body.begin() + static_cast<std::ptrdiff_t>(firstOffset));
  std::copy(second.begin(), second.end(), body.begin() + static_cast<std::ptrdiff_t>(secondOffset));

  DatabaseHeader header;
  header.magic = BodyMagic;
  header.reserved1 = options.reserved1;
  header.reserved2 = options.reserved2;
  header.buildTimeLow = static_cast<uint32_t>(options.buildTime);
  header.buildTimeHigh = static_cast<uint32_t>(options.buildTime >> 32);
  header.totalSize = totalSize;
  header.signatureTableOffset = static_cast<uint32_t>(signaturesFirst ? firstOffset : secondOffset);
  header.signatureTableLength = static_cast<uint32_t>(signatureTable.size());
  header.signatureCount = CheckedU32(signatures.size(), "signature count");
  header.ruleTableOffset = static_cast<uint32_t>(signaturesFirst ? secondOffset : firstOffset);
  header.ruleTableLength = static_cast<uint32_t>(ruleTable.size());
  header.ruleCount = CheckedU32(rules.size(), "rule count");
  header.reservedArea = options.reservedArea;

  const HeaderOverrides& forced = options.overrides;
  if (forced.magic) header.magic = *forced.magic;
  if (forced.totalSize) header.totalSize = *forced.totalSize;
  if (forced.signatureTableOffset) header.signatureTableOffset = *forced.signatureTableOffset;
  if (forced.signatureTableLength) header.signatureTableLength = *forced.signatureTableLength;
  if (forced.signatureCount) header.signatureCount = *forced.signatureCount;
  if (forced.ruleTableOffset) header.ruleTableOffset = *forced.ruleTableOffset;
  if (forced.ruleTableLength) header.ruleTableLength = *forced.ruleTableLength;
  if (forced.ruleCount) header.ruleCount = *forced.ruleCount;

  // Table CRCs first (with all CRC fields still zero), then the header CRC,
  // which covers everything before the CRC fields.
  auto writeHeader = [&] {
    const auto bytes = EncodeDatabaseHeader(header);
    std::copy(bytes.begin(), bytes.end(), body.begin());
  };
  writeHeader();
  header.signatureTableCrc = forced.signatureTableCrc.value_or(
      CrcOfRange(body, header.signatureTableOffset, header.signatureTableLength));
  header.ruleTableCrc = forced.ruleTableCrc.value_or(CrcOfRange(body, header.ruleTableOffset, header.ruleTableLength));
  writeHeader();
  header.headerCrc = forced.headerCrc.value_or(Crc32(body.data(), HeaderCrcCoverage));
  writeHeader();
  return body;
}

}  // namespace veltor
