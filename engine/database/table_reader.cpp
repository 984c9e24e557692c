#include "engine/database/table_reader.h"

#include "engine/text/little_endian.h"

namespace veltor {

bool TableReader::ReadU32(uint32_t& value) noexcept {
  if (rest.size() < 4) return false;
  value = LoadU32(rest.data());
  rest = rest.subspan(4);
  return true;
}

bool TableReader::ReadBytes(uint32_t length, std::span<const uint8_t>& bytes) noexcept {
  if (rest.size() < length) return false;
  bytes = rest.first(length);
  rest = rest.subspan(length);
  return true;
}

bool TableReader::ReadSignature(SignatureRecordView& record) noexcept {
  uint32_t patternLength = 0;
  uint32_t extraLength = 0;
  return ReadU32(record.id) && ReadU32(record.flags) && ReadU32(record.reserved1) && ReadU32(patternLength) &&
         ReadU32(extraLength) && ReadU32(record.reserved2) && ReadBytes(patternLength, record.pattern) &&
         ReadBytes(extraLength, record.extra);
}

bool TableReader::ReadRule(RuleRecordView& record) noexcept {
  uint32_t nameLength = 0;
  uint32_t expressionLength = 0;
  return ReadU32(record.id) && ReadU32(record.flags) && ReadU32(nameLength) && ReadBytes(nameLength, record.name) &&
         ReadU32(expressionLength) && ReadBytes(expressionLength, record.expression);
}

TableReader SignatureTableReader(std::span<const uint8_t> body, const DatabaseHeader& header) noexcept {
  return {body.subspan(header.signatureTableOffset, header.signatureTableLength)};
}

TableReader RuleTableReader(std::span<const uint8_t> body, const DatabaseHeader& header) noexcept {
  return {body.subspan(header.ruleTableOffset, header.ruleTableLength)};
}

}  // namespace veltor
