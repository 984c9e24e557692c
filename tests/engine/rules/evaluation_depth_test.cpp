// Evaluation has no depth limit: nesting and reference chains of any depth
// are evaluated exactly, in any id order, on a thread with a 64 KiB stack.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/rules/evaluator.h"
#include "engine/rules/rule_fixture.h"
#include "support/small_stack_thread.h"
#include "compiler/bytecode/bytecode_encoder.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::Bytes;
using testing::MakeRuleFixture;
using testing::Rule;
using testing::RuleRow;

// A stack small servers and some C libraries give their threads.
constexpr size_t SmallStack = 64 * 1024;

struct Walked {
  double value;
  int64_t end;  // -1: no end
};

Walked Walk(const std::vector<uint8_t>& bytes) {
  const uint8_t* end = nullptr;
  const double value = EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), &end);
  return {value, end == nullptr ? -1 : end - bytes.data()};
}

// Runs `body` on a thread with a 64 KiB stack and reports the stack it used.
void RunOnSmallStack(const std::string& what, const std::function<void()>& body) {
  const testing::SmallStackRun run = testing::RunOnSmallStack(SmallStack, body);
  ASSERT_TRUE(run.ran);
  if (run.peakStackBytes != 0) {
    std::printf("%s: peak stack %zu bytes\n", what.c_str(), run.peakStackBytes);
    ::testing::Test::RecordProperty("peakStackBytes", std::to_string(run.peakStackBytes));
  }
}

TEST(SmallStack, AMillionNestedNotsAreReadToTheLeaf) {
  constexpr uint32_t Levels = 1000000;
  const std::vector<uint8_t> bytes = EncodeNestedChain(OpNot, Levels, Int32(1)).value();
  Walked read{};
  // Rule 2 reaches the deep rule through a reference.
  auto fixture = MakeRuleFixture({}, {Rule(2, RuleRef(1), true), RuleRow{1, bytes, true}});
  int32_t fired = -1;
  RunOnSmallStack("1,000,000 nested OpNot", [&] {
    read = Walk(bytes);
    fired = fixture->EvaluateTopLevelRules();
  });
  EXPECT_EQ(1.0, read.value);  // an even number of OpNot over 1
  EXPECT_EQ(static_cast<int64_t>(bytes.size()), read.end);
  EXPECT_EQ(1.0, fixture->RuleValue(1));
  EXPECT_EQ(2, fired);
}

// Rules 1..count, each referring to the next and the last scoring 1; in
// `descending` order rule i refers to rule i - 1 and rule 1 scores 1.
std::vector<RuleRow> ReferenceChain(uint32_t count, bool descending) {
  std::vector<RuleRow> rules;
  for (uint32_t id = 1; id <= count; ++id) {
    const bool last = descending ? id == 1 : id == count;
    rules.push_back(last ? Rule(id, Int32(1), true) : Rule(id, RuleRef(descending ? id - 1 : id + 1), true));
  }
  return rules;
}

TEST(SmallStack, AChainOfAHundredThousandRulesScoresTheSameInEitherIdOrder) {
  constexpr uint32_t Count = 100000;
  for (const bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending" : "ascending");
    auto fixture = MakeRuleFixture({}, ReferenceChain(Count, descending));
    int32_t fired = -1;
    RunOnSmallStack("chain of 100,000 rules", [&] { fired = fixture->EvaluateTopLevelRules(); });
    EXPECT_EQ(static_cast<int32_t>(Count), fired);
    for (uint32_t id = 1; id <= Count; ++id) {
      ASSERT_EQ(RuleMemoised, fixture->RuleState(id)) << id;
      ASSERT_EQ(1.0, fixture->RuleValue(id)) << id;
    }
  }
}

TEST(SmallStack, AChainThroughAggregatesIsEvaluatedToItsEnd) {
  // Every hop passes an aggregate and a reference.
  std::vector<RuleRow> rules;
  for (uint32_t id = 1; id < 5000; ++id) rules.push_back(Rule(id, Sum(Int32(0), RuleRef(id + 1))));
  rules.push_back(Rule(5000, Int32(1)));
  auto fixture = MakeRuleFixture({}, rules);
  double score = -1.0;
  RunOnSmallStack("chain through aggregates", [&] { score = fixture->EvaluateById(1); });
  EXPECT_EQ(1.0, score);
}

TEST(SmallStack, ARingOfAThousandRules) {
  // Rule i scores rule i + 1 plus 1, and rule 1000 refers back to rule 1:
  // one ring, inside which every reference reads 0, and a rule outside it
  // that enters it; the walk stays shallow whatever the ring's size.
  std::vector<RuleRow> rules;
  for (uint32_t id = 1; id <= 1000; ++id) rules.push_back(Rule(id, Sum(RuleRef(id % 1000 + 1), Int32(1)), true));
  rules.push_back(Rule(2000, Sum(RuleRef(500), Int32(1)), true));
  auto fixture = MakeRuleFixture({}, rules);
  int32_t fired = -1;
  RunOnSmallStack("ring of 1,000 rules", [&] { fired = fixture->EvaluateTopLevelRules(); });
  EXPECT_EQ(1001, fired);
  for (uint32_t id = 1; id <= 1000; ++id) ASSERT_EQ(1.0, fixture->RuleValue(id)) << id;
  EXPECT_EQ(2.0, fixture->RuleValue(2000));
}

TEST(SmallStack, ARuleThatReferencesItself) {
  auto fixture = MakeRuleFixture({}, {Rule(1, Sum(RuleRef(1), Int32(1)), true)});
  int32_t fired = -1;
  RunOnSmallStack("self reference", [&] { fired = fixture->EvaluateTopLevelRules(); });
  EXPECT_EQ(1, fired);
  EXPECT_EQ(1.0, fixture->RuleValue(1));
}

TEST(CutNodes, ACutDeepInsideIsNotReadAgainByEachAncestor) {
  // Nothing but two-child OpSum headers over a 1: every sum's second child
  // lies past the span end. Were every ancestor to read the cut node afresh
  // as its next child, the walk would take 2^levels steps.
  constexpr uint32_t Levels = 3000;
  std::vector<uint8_t> bytes = EncodeNestedChain(OpSum, Levels, Int32(1)).value();
  for (uint32_t level = 0; level < Levels; ++level) bytes[size_t{level} * 5 + 4] = 2;
  const Walked read = Walk(bytes);
  EXPECT_EQ(1.0, read.value);
  EXPECT_EQ(static_cast<int64_t>(bytes.size()), read.end);
}

}  // namespace
}  // namespace veltor
