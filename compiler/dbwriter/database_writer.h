#pragma once
// Writes database bodies: the 128-byte header and the two record tables, laid
// out from lists of records. Used by the rule compiler, by `veltor pack` and
// by the tests, which also need bodies that are deliberately wrong: every
// header field and every record length field can be forced to a given value.
//
// The layout comes from database/database_format.h, the same description the
// loader reads with.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/database/database_format.h"

namespace veltor {

// One signature record, written as id, flags, reserved1, patternLength,
// extraLength, reserved2, pattern, extra.
struct SignatureInput {
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> extra;
  // When set, written instead of the true length (the bytes are written as
  // given): for bodies whose records claim more or less than they hold.
  std::optional<uint32_t> patternLengthField;
  std::optional<uint32_t> extraLengthField;
  bool operator==(const SignatureInput&) const = default;
};

// One rule record, written as id, flags, nameLength, name, expressionLength,
// expression.
struct RuleInput {
  uint32_t id = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> name;  // 8-bit text, no terminator
  std::vector<uint8_t> expression;
  std::optional<uint32_t> nameLengthField;
  std::optional<uint32_t> expressionLengthField;
  bool operator==(const RuleInput&) const = default;
};

enum class TableOrder { SignaturesFirst, RulesFirst };

// Header values to write instead of the ones the layout gives. A CRC left
// unset is computed over the bytes the (possibly forced) offset and length
// name, so that a forged extent gets past the CRC check and reaches the check
// meant to catch it. Table CRCs are computed before the header CRC, with the
// three CRC fields still zero.
struct HeaderOverrides {
  std::optional<std::array<uint8_t, 4>> magic;
  std::optional<uint32_t> totalSize;
  std::optional<uint32_t> signatureTableOffset;
  std::optional<uint32_t> signatureTableLength;
  std::optional<uint32_t> signatureCount;
  std::optional<uint32_t> ruleTableOffset;
  std::optional<uint32_t> ruleTableLength;
  std::optional<uint32_t> ruleCount;
  std::optional<uint32_t> headerCrc;
  std::optional<uint32_t> signatureTableCrc;
  std::optional<uint32_t> ruleTableCrc;
};

// The body is laid out as
//   header | gapBeforeTables | first table + its slack | gapBetweenTables |
//   second table + its slack | (totalSize ends here) | bytesAfterTotalSize
// where gaps, slack and trailing bytes are all `filler`. A table's slack
// counts into its length (bytes after its last record); gaps do not belong
// to any table.
struct BodyOptions {
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  uint64_t buildTime = 0;  // FILETIME, UTC
  std::array<uint8_t, 68> reservedArea{};
  TableOrder order = TableOrder::SignaturesFirst;
  uint32_t gapBeforeTables = 0;
  uint32_t gapBetweenTables = 0;
  uint32_t signatureTableSlack = 0;
  uint32_t ruleTableSlack = 0;
  uint32_t bytesAfterTotalSize = 0;
  uint8_t filler = 0;
  HeaderOverrides overrides;
};

// Records are written in the order given. Throws std::length_error when the
// body would not fit the format's 32-bit sizes, std::bad_alloc when memory
// runs out.
std::vector<uint8_t> WriteDatabaseBody(std::span<const SignatureInput> signatures,
                                       std::span<const RuleInput> rules,
                                       const BodyOptions& options = {});

// The bytes of one record, exactly as they appear in a table.
std::vector<uint8_t> EncodeSignatureRecord(const SignatureInput& signature);
std::vector<uint8_t> EncodeRuleRecord(const RuleInput& rule);

}  // namespace veltor
