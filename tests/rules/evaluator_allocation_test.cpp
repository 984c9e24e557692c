// The evaluator allocates nothing: a scan's evaluation cannot fail for lack
// of memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "rules/evaluator.h"
#include "rules/rule_fixture.h"
#include "support/allocation_failure.h"
#include "tools/bytecode/bytecode_encoder.h"
#include "tools/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::MakeRuleFixture;
using testing::Rule;

TEST(Allocation, EvaluatingRulesAllocatesNothing) {
  auto fixture = MakeRuleFixture(
      {{100, true}, {200, false}},
      {Rule(1, Or(And(SignatureRef(100), SignatureRef(200)), Greater(RuleRef(7), Float64(0.5))), true),
       Rule(7, Sum(RuleRef(8), RuleRef(1), Float32(0.75f)), true), Rule(8, Aggregate(99, {Not(Int32(0))}))});
  const std::vector<uint8_t> deep = EncodeNestedChain(OpNot, 2 * MaxEvaluationDepth, RuleRef(7)).value();
  const auto rules = fixture->library.header.ruleCount;
  int32_t fired = 0;
  double deepValue = -1.0;
  const int64_t allocations = testing::ForEachAllocationFailure([&](const testing::AllocationFailureScope&) {
    std::fill_n(fixture->context.ruleEvaluated.get(), rules, RuleNotEvaluated);
    fired = fixture->EvaluateTopLevelRules();
    deepValue = EvaluateExpression(&fixture->context, deep.data(), static_cast<uint32_t>(deep.size()), nullptr);
  });
  EXPECT_EQ(0, allocations);
  EXPECT_EQ(2, fired);
  EXPECT_EQ(0.0, deepValue);  // an even number of OpNot levels over a cut 0
}

}  // namespace
}  // namespace veltor
