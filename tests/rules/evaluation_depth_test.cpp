// The depth limit shared by node nesting and rule-reference chains, and
// evaluation on a thread with a 1 MiB stack.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "rules/evaluator.h"
#include "rules/rule_fixture.h"
#include "support/small_stack_thread.h"
#include "tools/bytecode/bytecode_encoder.h"
#include "tools/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::Bytes;
using testing::MakeRuleFixture;
using testing::Rule;
using testing::RuleSpec;

constexpr uint32_t Limit = MaxEvaluationDepth;

struct Walked {
  double value;
  int64_t end;  // -1: no end
};

Walked Walk(const std::vector<uint8_t>& bytes) {
  const uint8_t* end = nullptr;
  const double value = EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), &end);
  return {value, end == nullptr ? -1 : end - bytes.data()};
}

std::vector<uint8_t> NotChain(uint32_t levels, int32_t leaf) {
  return EncodeNestedChain(OpNot, levels, Int32(leaf)).value();
}

// Not applied n times to x (0 or 1).
double NotTimes(uint32_t n, double x) { return n % 2 == 0 ? x : 1.0 - x; }

TEST(DepthLimit, NodesAtTheLimitAreRead) {
  // Limit - 1 OpNot levels put the leaf exactly at the limit.
  const std::vector<uint8_t> bytes = NotChain(Limit - 1, 1);
  const Walked read = Walk(bytes);
  EXPECT_EQ(NotTimes(Limit - 1, 1.0), read.value);
  EXPECT_EQ(static_cast<int64_t>(bytes.size()), read.end);
}

TEST(DepthLimit, ANodeBeyondTheLimitIsReadLikeACutNode) {
  // One more level: the leaf yields 0 and reports no end, so the innermost
  // OpNot ends where the leaf starts.
  const Walked read = Walk(NotChain(Limit, 1));
  EXPECT_EQ(NotTimes(Limit, 0.0), read.value);
  EXPECT_EQ(int64_t{5} * Limit, read.end);
}

TEST(DepthLimit, EnclosingAggregatesStopAtTheNodeBeyondTheLimit) {
  // Each OpSum has two children, the nested sum and an OpInt32 1 after it.
  // Within the limit every sum adds 1 to the one inside it.
  const auto nestedSums = [](uint32_t levels) {
    std::vector<uint8_t> bytes = EncodeNestedChain(OpSum, levels, Int32(1)).value();
    for (uint32_t level = 0; level < levels; ++level) bytes[size_t{level} * 5 + 4] = 2;
    for (uint32_t level = 0; level < levels; ++level) bytes = testing::Join(std::move(bytes), Bytes(Int32(1)));
    return bytes;
  };
  const std::vector<uint8_t> within = nestedSums(Limit - 1);
  const Walked read = Walk(within);
  EXPECT_EQ(static_cast<double>(Limit), read.value);
  EXPECT_EQ(static_cast<int64_t>(within.size()), read.end);

  // Beyond it, no sum reads the node below the limit at a shallower level as
  // its second child: all of them stop there.
  const Walked stopped = Walk(nestedSums(Limit));
  EXPECT_EQ(0.0, stopped.value);
  EXPECT_EQ(int64_t{5} * Limit, stopped.end);
}

TEST(DepthLimit, ANodeBeyondTheLimitIsNotReadAgainByEachAncestor) {
  // Nothing but two-child OpSum headers, far deeper than the limit. Were
  // every ancestor to read the node below the limit afresh as its next
  // child, the walk would take 2^Limit steps.
  std::vector<uint8_t> bytes = EncodeNestedChain(OpSum, 3 * Limit, Int32(1)).value();
  for (uint32_t level = 0; level < 3 * Limit; ++level) bytes[size_t{level} * 5 + 4] = 2;
  const Walked read = Walk(bytes);
  EXPECT_EQ(0.0, read.value);
  EXPECT_EQ(int64_t{5} * Limit, read.end);
}

// Rules 1..count, rule i referencing rule i + 1 and the last scoring `last`.
std::vector<RuleSpec> ReferenceChain(uint32_t count, bool topLevel) {
  std::vector<RuleSpec> rules;
  for (uint32_t id = 1; id < count; ++id) rules.push_back(Rule(id, RuleRef(id + 1), topLevel));
  rules.push_back(Rule(count, Int32(1), topLevel));
  return rules;
}

TEST(DepthLimit, EachReferenceHopIsOneLevel) {
  // The root of rule i lies at level i.
  auto within = MakeRuleFixture({}, ReferenceChain(Limit, false));
  EXPECT_EQ(1.0, within->EvaluateById(1));

  // One rule more: the reference to it would put its root below the limit,
  // so it yields 0 and the rule is left for a shallower evaluation.
  auto beyond = MakeRuleFixture({}, ReferenceChain(Limit + 1, false));
  EXPECT_EQ(0.0, beyond->EvaluateById(1));
  EXPECT_EQ(RuleMemoised, beyond->RuleState(Limit));
  EXPECT_EQ(RuleNotEvaluated, beyond->RuleState(Limit + 1));
  EXPECT_EQ(0.0, beyond->RuleValue(2));
  EXPECT_EQ(1.0, beyond->EvaluateById(Limit + 1));
}

TEST(DepthLimit, NestingAndReferencesShareTheLimit) {
  // A reference at level Limit - 1 enters its rule at level Limit; one
  // level deeper it does not.
  const auto wrapped = [](uint32_t levels) {
    std::vector<uint8_t> bytes = EncodeNestedChain(OpSum, levels, RuleRef(2)).value();
    return RuleSpec{1, bytes, false};
  };
  auto within = MakeRuleFixture({}, {wrapped(Limit - 2), Rule(2, Int32(7))});
  EXPECT_EQ(7.0, within->EvaluateById(1));
  auto beyond = MakeRuleFixture({}, {wrapped(Limit - 1), Rule(2, Int32(7))});
  EXPECT_EQ(0.0, beyond->EvaluateById(1));
  EXPECT_EQ(RuleNotEvaluated, beyond->RuleState(2));
}

// Runs `body` on a thread with a 1 MiB stack and reports the stack it used.
void RunOnOneMebibyteStack(const std::string& what, uint32_t levels, const std::function<void()>& body) {
  const testing::SmallStackRun run = testing::RunOnSmallStack(testing::OneMebibyte, body);
  ASSERT_TRUE(run.ran);
  if (run.peakStackBytes != 0) {
    std::printf("%s: peak stack %zu bytes, %.1f per level over %u levels\n", what.c_str(), run.peakStackBytes,
                static_cast<double>(run.peakStackBytes) / levels, levels);
    ::testing::Test::RecordProperty("peakStackBytes", std::to_string(run.peakStackBytes));
  }
}

TEST(OneMebibyteStack, ARuleThatReferencesItself) {
  auto fixture = MakeRuleFixture({}, {Rule(1, Sum(RuleRef(1), Int32(1)), true)});
  int32_t fired = -1;
  RunOnOneMebibyteStack("self reference", 2, [&] { fired = fixture->EvaluateTopLevelRules(); });
  EXPECT_EQ(1, fired);
  EXPECT_EQ(1.0, fixture->RuleValue(1));
}

TEST(OneMebibyteStack, ARingOfAThousandRules) {
  // Rule i scores rule i + 1 plus 1, and rule 1000 refers back to rule 1.
  // Each hop costs two levels (the sum and the reference), so one entry
  // reaches Limit / 2 rules: rules 1..500 from rule 1 (rule 500 reads 0 for
  // rule 501, which lies below the limit), then rules 501..1000 from rule
  // 501, where rule 1000 reads rule 1's memoised 500.
  static_assert(Limit == 1000, "the expected scores below assume a limit of 1000");
  std::vector<RuleSpec> rules;
  for (uint32_t id = 1; id <= 1000; ++id) rules.push_back(Rule(id, Sum(RuleRef(id % 1000 + 1), Int32(1)), true));
  auto fixture = MakeRuleFixture({}, rules);
  int32_t fired = -1;
  RunOnOneMebibyteStack("ring of 1,000 rules", Limit, [&] { fired = fixture->EvaluateTopLevelRules(); });
  EXPECT_EQ(1000, fired);
  for (uint32_t id = 1; id <= 500; ++id) ASSERT_EQ(501.0 - id, fixture->RuleValue(id)) << id;
  for (uint32_t id = 501; id <= 1000; ++id) ASSERT_EQ(1501.0 - id, fixture->RuleValue(id)) << id;
}

TEST(OneMebibyteStack, AMillionNestedNots) {
  const std::vector<uint8_t> bytes = NotChain(1000000, 0);
  Walked read{};
  RunOnOneMebibyteStack("1,000,000 nested OpNot", Limit, [&] { read = Walk(bytes); });
  // Read down to the limit, where the node below the innermost OpNot read
  // counts as a cut 0.
  EXPECT_EQ(NotTimes(Limit, 0.0), read.value);
  EXPECT_EQ(int64_t{5} * Limit, read.end);
}

TEST(OneMebibyteStack, AChainOfAHundredThousandRules) {
  // Each entry walks Limit rules down the chain; the one beyond them reads
  // as 0 and is evaluated by the pass itself later. So the rules of every
  // block of Limit score 0 but those of the last, which reach the final
  // rule's 1.
  constexpr uint32_t Count = 100000;
  static_assert(Count % Limit == 0, "the chain ends with a full block");
  auto fixture = MakeRuleFixture({}, ReferenceChain(Count, true));
  int32_t fired = -1;
  RunOnOneMebibyteStack("chain of 100,000 rules", Limit, [&] { fired = fixture->EvaluateTopLevelRules(); });
  EXPECT_EQ(static_cast<int32_t>(Limit), fired);
  for (uint32_t id = 1; id <= Count; ++id) {
    ASSERT_EQ(RuleMemoised, fixture->RuleState(id)) << id;
    ASSERT_EQ(id > Count - Limit ? 1.0 : 0.0, fixture->RuleValue(id)) << id;
  }
}

TEST(OneMebibyteStack, AChainOfRulesThroughAggregates) {
  // The costliest level: every hop passes an aggregate and a reference.
  std::vector<RuleSpec> rules;
  for (uint32_t id = 1; id < 5000; ++id) rules.push_back(Rule(id, Sum(Int32(0), RuleRef(id + 1))));
  rules.push_back(Rule(5000, Int32(1)));
  auto fixture = MakeRuleFixture({}, rules);
  double score = -1.0;
  RunOnOneMebibyteStack("chain through aggregates", Limit, [&] { score = fixture->EvaluateById(1); });
  EXPECT_EQ(0.0, score);
}

}  // namespace
}  // namespace veltor
