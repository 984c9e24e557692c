#pragma once
// Reads the records of a body's tables front to back, in stored order. Every
// read is checked against the table's end first, so a record that claims
// more bytes than its table holds stops the reading instead of reading past
// the table (or the body). The loader copies what it reads into a
// SignatureLibrary; tools read the same way to see records as stored.
#include <cstdint>
#include <span>

#include "engine/database/database_format.h"

namespace veltor {

// A record as it lies in the table: fixed fields and borrowed byte ranges.
struct SignatureRecordView {
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::span<const uint8_t> pattern;
  std::span<const uint8_t> extra;
};

struct RuleRecordView {
  uint32_t id = 0;
  uint32_t flags = 0;
  std::span<const uint8_t> name;
  std::span<const uint8_t> expression;
};

struct TableReader {
  std::span<const uint8_t> rest;  // the table's bytes not read yet

  // False, with nothing consumed that matters, when the record does not fit
  // in what is left of the table.
  bool ReadSignature(SignatureRecordView& record) noexcept;
  bool ReadRule(RuleRecordView& record) noexcept;

  bool ReadU32(uint32_t& value) noexcept;
  bool ReadBytes(uint32_t length, std::span<const uint8_t>& bytes) noexcept;
};

// Readers over the two tables of a body whose extents have been checked
// (each table lies within the body).
TableReader SignatureTableReader(std::span<const uint8_t> body, const DatabaseHeader& header) noexcept;
TableReader RuleTableReader(std::span<const uint8_t> body, const DatabaseHeader& header) noexcept;

}  // namespace veltor
