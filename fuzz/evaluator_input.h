#pragma once
// The evaluator target's input: a small library and the bytecode to
// evaluate against it, all taken from the fuzz data.
//
//   u8 signatureCount (mod 8), then per signature:
//       u8 id, u8 flags, u8 patternLength (mod 3: 0 to 2 bytes), pattern
//   u8 ruleCount (mod 8), then per rule:
//       u8 id, u8 flags, u16 expressionLength, expression
//   u8 hit flags: bit k marks signature index k as hit
//   the rest: the bytecode evaluated on its own
//
// Ids are one byte so that references in arbitrary bytecode find records
// often, and rule expressions can refer to each other in cycles. Patterns
// are at most 2 bytes long (and only 1-byte ones may be wide), so that the matcher never builds its 8 MiB
// tables: this target is about the evaluator, and stays fast.
#include <cstdint>
#include <span>
#include <vector>

#include "compiler/dbwriter/database_writer.h"

namespace veltor::fuzz {

struct EvaluatorInput {
  std::vector<SignatureInput> signatures;
  std::vector<RuleInput> rules;
  uint8_t hitFlags = 0;
  std::span<const uint8_t> expression;
};

EvaluatorInput DecodeEvaluatorInput(std::span<const uint8_t> data);
std::vector<uint8_t> EncodeEvaluatorInput(const EvaluatorInput& input);

}  // namespace veltor::fuzz
