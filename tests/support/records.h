#pragma once
// Records for the databases that tests and fuzz seeds write with the real
// database writer, and the sample database: one record of every kind.
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/database/signature_library.h"
#include "compiler/dbwriter/database_writer.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {

std::vector<uint8_t> Bytes(std::string_view text);

// Its reserved fields are derived from the id.
SignatureInput Signature(uint32_t id, std::string_view pattern, uint32_t flags = 0, std::string_view extra = {});
// The expression encoded; throws std::invalid_argument when it cannot be.
RuleInput Rule(uint32_t id, std::string_view name, const bytecode::ExpressionNode& expression,
               uint32_t flags = RuleFlagTopLevel);
RuleInput InnerRule(uint32_t id, std::string_view name, const bytecode::ExpressionNode& expression);
// The expression bytes as given, for records the encoder would not write.
RuleInput RawRule(uint32_t id, std::string_view name, std::vector<uint8_t> expression = {},
                  uint32_t flags = RuleFlagTopLevel);

// Signatures of every kind (short and long, exact-case, wide, both, empty,
// with extra bytes and reserved fields, a duplicate id, one longer than the
// matcher's window) and rules of every kind (each opcode family, references
// forward and back, a cycle, inner and top-level rules, an unknown opcode,
// an empty name, an empty expression), stored out of id order: a few
// kilobytes.
std::vector<SignatureInput> SampleSignatures();
std::vector<RuleInput> SampleRules();
std::vector<uint8_t> SampleBody(const BodyOptions& options = {});

// The body parsed by the loader; null when it refuses it.
SignatureLibraryPtr Parse(const std::vector<uint8_t>& body);

}  // namespace veltor::testing
