#pragma once
// Everything a database holds that the language can say, record by record in
// table order: what the compiler produces and what the decompiler reads. Two
// databases are equivalent when these are equal.
#include <array>
#include <cstdint>
#include <vector>

namespace veltor::rulelang {

inline constexpr size_t ReservedAreaSize = 68;    // body header bytes 48..115
inline constexpr size_t EnvelopeFreeSize = 240;   // file bytes 16..255

struct SignatureEntry {
  uint32_t id = 0;
  uint32_t flags = 0;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::vector<uint8_t> pattern;
  std::vector<uint8_t> extra;
  bool operator==(const SignatureEntry&) const = default;
};

struct RuleEntry {
  uint32_t id = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> name;        // Windows-1252
  std::vector<uint8_t> expression;  // bytecode, possibly malformed
  bool operator==(const RuleEntry&) const = default;
};

struct DatabaseEntries {
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  std::array<uint8_t, ReservedAreaSize> reservedArea{};
  std::array<uint8_t, EnvelopeFreeSize> envelope{};
  std::vector<SignatureEntry> signatures;  // table order
  std::vector<RuleEntry> rules;            // table order
  bool operator==(const DatabaseEntries&) const = default;
};

}  // namespace veltor::rulelang
