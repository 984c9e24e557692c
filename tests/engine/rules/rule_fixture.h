#pragma once
// A library of signatures and rules built in memory, and an evaluation state
// over it with the hit flags as a scan would have left them and an empty
// memo: what the evaluator sees during a scan pass.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/rules/evaluator.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {

struct SignatureRow {
  uint32_t id = 0;
  bool hit = false;
};

struct RuleRow {
  uint32_t id = 0;
  std::vector<uint8_t> expression;  // empty: the rule has no expression
  bool topLevel = false;
};

// The encoded expression.
std::vector<uint8_t> Bytes(const bytecode::ExpressionNode& node);
std::vector<uint8_t> Join(std::vector<uint8_t> first, const std::vector<uint8_t>& second);
RuleRow Rule(uint32_t id, const bytecode::ExpressionNode& expression, bool topLevel = false);

struct RuleFixture {
  SignatureLibrary library;
  EvaluationState context;  // as the scan context holds it

  // Index of the (first) record with this id in the sorted table.
  uint32_t RuleIndex(uint32_t id) const;
  uint8_t RuleState(uint32_t id) const { return context.ruleEvaluated[RuleIndex(id)]; }
  double RuleValue(uint32_t id) const { return context.ruleValues[RuleIndex(id)]; }
  void SetHit(uint32_t signatureId, bool hit);

  // Evaluates a free-standing expression against this context.
  double Evaluate(const bytecode::ExpressionNode& node);
  double EvaluateById(uint32_t ruleId) { return EvaluateRule(context, RuleIndex(ruleId)); }
  // What the scan pass does after matching: evaluates every top-level rule not
  // yet memoised, in id order, and counts those scoring above 0.0001.
  int32_t EvaluateTopLevelRules();
};

// Records are sorted by id as a loaded library's are (stably, so duplicate
// ids keep the order given).
std::unique_ptr<RuleFixture> MakeRuleFixture(const std::vector<SignatureRow>& signatures,
                                             std::vector<RuleRow> rules);

}  // namespace veltor::testing
