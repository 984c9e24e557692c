#pragma once
// Everything a database holds that the language can say, record by record in
// table order: what the compiler produces and what the decompiler reads. Two
// databases are equivalent when these are equal.
#include <array>
#include <cstdint>
#include <vector>

#include "engine/database/database_format.h"
#include "compiler/dbwriter/database_envelope.h"
#include "compiler/dbwriter/database_writer.h"

namespace veltor::rulelang {

inline constexpr size_t ReservedAreaSize = std::tuple_size_v<decltype(DatabaseHeader::reservedArea)>;

struct DatabaseEntries {
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::array<uint8_t, ReservedAreaSize> reservedArea{};
  std::array<uint8_t, EnvelopeFillerSize> envelope{};
  // The writer's records, as the language says them: names in Windows-1252,
  // expressions as bytecode (possibly malformed), length fields never forced.
  std::vector<SignatureInput> signatures;  // table order
  std::vector<RuleInput> rules;            // table order
  bool operator==(const DatabaseEntries&) const = default;
};

}  // namespace veltor::rulelang
