#include "engine/rules/rule_fixture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "engine/rules/score_values.h"
#include "compiler/bytecode/bytecode_encoder.h"

namespace veltor::testing {

std::vector<uint8_t> Bytes(const bytecode::ExpressionNode& node) {
  std::optional<std::vector<uint8_t>> bytes = bytecode::Encode(node);
  if (!bytes) throw std::invalid_argument("expression cannot be encoded");
  return *bytes;
}

std::vector<uint8_t> Join(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

RuleRow Rule(uint32_t id, const bytecode::ExpressionNode& expression, bool topLevel) {
  return RuleRow{id, Bytes(expression), topLevel};
}

uint32_t RuleFixture::RuleIndex(uint32_t id) const {
  const RuleRecord* first = library.rules.get();
  const RuleRecord* last = first + library.header.ruleCount;
  const RuleRecord* found =
      std::lower_bound(first, last, id, [](const RuleRecord& record, uint32_t wanted) { return record.id < wanted; });
  if (found == last || found->id != id) throw std::invalid_argument("no rule with this id");
  return static_cast<uint32_t>(found - first);
}

void RuleFixture::SetHit(uint32_t signatureId, bool hit) {
  for (uint32_t i = 0; i < library.header.signatureCount; ++i) {
    if (library.signatures[i].id == signatureId) context.signatureHits[i] = hit ? 1 : 0;
  }
}

double RuleFixture::Evaluate(const bytecode::ExpressionNode& node) {
  const std::vector<uint8_t> bytes = Bytes(node);
  return EvaluateExpression(&context, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
}

int32_t RuleFixture::EvaluateTopLevelRules() {
  int32_t count = 0;
  for (uint32_t i = 0; i < library.header.ruleCount; ++i) {
    if ((library.rules[i].flags & RuleFlagTopLevel) == 0) continue;
    if (context.ruleEvaluated[i] == RuleNotEvaluated) EvaluateRule(context, i);
    if (context.ruleValues[i] > TruthThreshold) ++count;
  }
  return count;
}

std::unique_ptr<RuleFixture> MakeRuleFixture(const std::vector<SignatureRow>& signatures,
                                             std::vector<RuleRow> rules) {
  auto fixture = std::make_unique<RuleFixture>();
  SignatureLibrary& library = fixture->library;
  std::vector<SignatureRow> sortedSignatures = signatures;
  std::stable_sort(sortedSignatures.begin(), sortedSignatures.end(),
                   [](const SignatureRow& a, const SignatureRow& b) { return a.id < b.id; });
  std::stable_sort(rules.begin(), rules.end(), [](const RuleRow& a, const RuleRow& b) { return a.id < b.id; });

  const auto signatureCount = static_cast<uint32_t>(sortedSignatures.size());
  const auto ruleCount = static_cast<uint32_t>(rules.size());
  library.header.signatureCount = signatureCount;
  library.header.ruleCount = ruleCount;
  if (signatureCount != 0) {
    library.signatures = NewArray<SignatureRecord>(signatureCount);
    for (uint32_t i = 0; i < signatureCount; ++i) library.signatures[i].id = sortedSignatures[i].id;
  }
  if (ruleCount != 0) {
    library.rules = NewArray<RuleRecord>(ruleCount);
    for (uint32_t i = 0; i < ruleCount; ++i) {
      RuleRecord& record = library.rules[i];
      record.id = rules[i].id;
      record.flags = rules[i].topLevel ? RuleFlagTopLevel : 0u;
      record.expressionLength = static_cast<uint32_t>(rules[i].expression.size());
      if (record.expressionLength != 0) {
        // Exactly expressionLength bytes, as the loader copies them, so that
        // a read past the span shows up under AddressSanitizer.
        record.expression = NewArray<uint8_t>(record.expressionLength);
        std::memcpy(record.expression.get(), rules[i].expression.data(), record.expressionLength);
      }
    }
  }
  if (!AllocateEvaluationState(library, fixture->context)) throw std::bad_alloc();
  for (uint32_t i = 0; i < signatureCount; ++i) fixture->context.signatureHits[i] = sortedSignatures[i].hit ? 1 : 0;
  return fixture;
}

}  // namespace veltor::testing
