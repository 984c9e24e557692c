// The scan's evaluation allocates nothing: it cannot fail for lack of
// memory, however deep the rules go.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/rules/evaluator.h"
#include "engine/rules/rule_fixture.h"
#include "support/allocation_failure.h"
#include "compiler/bytecode/bytecode_encoder.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::MakeRuleFixture;
using testing::Rule;
using testing::RuleRow;

TEST(Allocation, EvaluatingRulesAllocatesNothing) {
  // Rule 9 nests 2,000 OpNot over a reference to rule 7.
  const std::vector<uint8_t> deep = EncodeNestedChain(OpNot, 2000, RuleRef(7)).value();
  auto fixture = MakeRuleFixture(
      {{100, true}, {200, false}},
      {Rule(1, Or(And(SignatureRef(100), SignatureRef(200)), Greater(RuleRef(7), Float64(0.5))), true),
       Rule(7, Sum(RuleRef(8), RuleRef(1), Float32(0.75f)), true), Rule(8, Aggregate(99, {Not(Int32(0))})),
       RuleRow{9, deep, true}});
  const auto rules = fixture->library.header.ruleCount;
  int32_t fired = 0;
  const int64_t allocations = testing::ForEachAllocationFailure([&](const testing::AllocationFailureScope&) {
    std::fill_n(fixture->context.ruleEvaluated.get(), rules, RuleNotEvaluated);
    fired = fixture->EvaluateTopLevelRules();
  });
  EXPECT_EQ(0, allocations);
  EXPECT_EQ(2, fired);  // rules 7 and 9: rules 1 and 7 form a ring, where rule 1 reads 0 for rule 7
  EXPECT_EQ(1.0, fixture->RuleValue(9));  // an even number of OpNot over rule 7's 0.75
}

}  // namespace
}  // namespace veltor
