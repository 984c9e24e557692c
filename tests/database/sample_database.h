#pragma once
// Records and bodies shared by the database tests, written with the real
// database writer.
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "database/signature_library.h"
#include "dbwriter/database_writer.h"

namespace veltor::testing {

inline std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

inline SignatureInput Signature(uint32_t id, std::string_view pattern, std::string_view extra = {},
                                uint32_t flags = 0) {
  SignatureInput signature;
  signature.id = id;
  signature.flags = flags;
  signature.reserved1 = id ^ 0xA5A5A5A5U;
  signature.reserved2 = id ^ 0x5A5A5A5AU;
  signature.pattern = Bytes(pattern);
  signature.extra = Bytes(extra);
  return signature;
}

inline RuleInput Rule(uint32_t id, std::string_view name, std::vector<uint8_t> expression = {}, uint32_t flags = 0) {
  RuleInput rule;
  rule.id = id;
  rule.flags = flags;
  rule.name = Bytes(name);
  rule.expression = std::move(expression);
  return rule;
}

// Three signatures and three rules, out of id order, with empty and
// non-empty fields of every kind.
inline std::vector<SignatureInput> SampleSignatures() {
  return {Signature(30, "needle", "extra", SignatureFlagExactCase), Signature(10, "", ""),
          Signature(20, "wide", "", SignatureFlagWide)};
}

inline std::vector<RuleInput> SampleRules() {
  return {Rule(200, "Rule.Two", {1, 2, 3, 4}, RuleFlagTopLevel), Rule(100, "", {}), Rule(300, "Rule.Three", {9})};
}

inline std::vector<uint8_t> SampleBody(const BodyOptions& options = {}) {
  return WriteDatabaseBody(SampleSignatures(), SampleRules(), options);
}

inline SignatureLibraryPtr Parse(const std::vector<uint8_t>& body) {
  return ParseDatabaseBody(body.data(), static_cast<uint32_t>(body.size()));
}

}  // namespace veltor::testing
