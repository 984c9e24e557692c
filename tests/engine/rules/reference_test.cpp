// Signature and rule references: the id search, the rule memo, no
// short-circuit, and rules that reach themselves through references.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "engine/rules/evaluator.h"
#include "engine/rules/record_search.h"
#include "engine/rules/rule_fixture.h"
#include "support/small_stack_thread.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::Bytes;
using testing::MakeRuleFixture;
using testing::Rule;

struct IdRecord {
  uint32_t id;
};

int32_t Find(const std::vector<IdRecord>& table, uint32_t id) {
  return FindRecordIndex(std::span<const IdRecord>(table), id);
}

TEST(RecordSearch, FindsEveryIdOfSmallTables) {
  EXPECT_EQ(RecordNotFound, Find({}, 0));
  EXPECT_EQ(RecordNotFound, Find({}, 0xFFFFFFFF));
  EXPECT_EQ(0, Find({{0xFFFFFFFF}}, 0xFFFFFFFF));
  EXPECT_EQ(RecordNotFound, Find({{0xFFFFFFFF}}, 0));
  const std::vector<IdRecord> four = {{10}, {20}, {30}, {40}};
  for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(i, Find(four, four[i].id));
  for (const uint32_t missing : {0u, 5u, 15u, 25u, 35u, 45u, 0xFFFFFFFFu}) {
    EXPECT_EQ(RecordNotFound, Find(four, missing));
  }
}

TEST(RecordSearch, ComparesIdsAsUnsigned) {
  // Ids that a signed comparison would put first.
  const std::vector<IdRecord> table = {{0}, {1}, {0x7FFFFFFF}, {0x80000000}, {0xFFFFFFFE}, {0xFFFFFFFF}};
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(static_cast<int32_t>(i), Find(table, table[i].id));
  EXPECT_EQ(RecordNotFound, Find(table, 0x80000001));
}

TEST(RecordSearch, FindsEveryIdOfALargeTable) {
  // 100,000 ids spread over the whole range, the last ones right below
  // 0xFFFFFFFF; every gap holds an id that must not be found.
  std::vector<IdRecord> table;
  for (uint32_t i = 0; i < 99990; ++i) table.push_back({i * 42949u + 1});
  for (uint32_t i = 10; i > 0; --i) table.push_back({0xFFFFFFFF - 2 * (i - 1)});
  for (size_t i = 0; i < table.size(); ++i) {
    ASSERT_EQ(static_cast<int32_t>(i), Find(table, table[i].id));
    ASSERT_EQ(RecordNotFound, Find(table, table[i].id - 1));
  }
}

TEST(SignatureReferences, ReadTheHitFlag) {
  auto fixture = MakeRuleFixture({{0xFFFFFFFF, true}, {7, false}, {0x80000000, true}}, {});
  EXPECT_EQ(1.0, fixture->Evaluate(SignatureRef(0xFFFFFFFF)));
  EXPECT_EQ(1.0, fixture->Evaluate(SignatureRef(0x80000000)));
  EXPECT_EQ(0.0, fixture->Evaluate(SignatureRef(7)));
  // An unknown id yields 0 but is read: the sum goes on to its next child.
  EXPECT_EQ(2.0, fixture->Evaluate(Sum(SignatureRef(999), Int32(2))));

  auto single = MakeRuleFixture({{42, true}}, {});
  EXPECT_EQ(1.0, single->Evaluate(SignatureRef(42)));
  EXPECT_EQ(0.0, single->Evaluate(SignatureRef(41)));
}

TEST(References, WithoutTablesOrContextYieldZeroButAreRead) {
  const std::vector<uint8_t> bytes = Bytes(Sum(SignatureRef(1), RuleRef(1), Int32(3)));
  const auto size = static_cast<uint32_t>(bytes.size());
  const uint8_t* end = nullptr;
  EXPECT_EQ(3.0, EvaluateExpression(nullptr, bytes.data(), size, &end));
  EXPECT_EQ(bytes.data() + size, end);

  auto fixture = MakeRuleFixture({{1, true}}, {Rule(1, Int32(5))});
  EXPECT_EQ(9.0, EvaluateExpression(&fixture->context, bytes.data(), size, nullptr));
  EvaluationState noLibrary;
  EXPECT_EQ(3.0, EvaluateExpression(&noLibrary, bytes.data(), size, nullptr));
  fixture->context.signatureHits.reset();
  fixture->context.ruleValues.reset();
  fixture->context.ruleEvaluated.reset();
  EXPECT_EQ(3.0, EvaluateExpression(&fixture->context, bytes.data(), size, nullptr));

  auto empty = MakeRuleFixture({}, {});
  EXPECT_EQ(3.0, empty->Evaluate(Sum(SignatureRef(1), RuleRef(1), Int32(3))));
}

TEST(RuleReferences, FindEachRuleAndLeaveTheMemoAloneForUnknownIds) {
  auto fixture = MakeRuleFixture(
      {}, {Rule(30, Int32(3)), Rule(10, Int32(1)), Rule(40, Int32(4)), Rule(20, Int32(2))});
  for (const uint32_t missing : {5u, 15u, 25u, 35u, 45u}) EXPECT_EQ(0.0, fixture->Evaluate(RuleRef(missing)));
  for (const uint32_t id : {10u, 20u, 30u, 40u}) EXPECT_EQ(RuleNotEvaluated, fixture->RuleState(id));
  for (const uint32_t id : {10u, 20u, 30u, 40u}) {
    EXPECT_EQ(id / 10.0, fixture->Evaluate(RuleRef(id)));
    EXPECT_EQ(RuleMemoised, fixture->RuleState(id));
  }
}

TEST(Memo, AReferencedRuleIsEvaluatedOncePerScan) {
  auto fixture = MakeRuleFixture({{50, true}}, {Rule(1, SignatureRef(50))});
  EXPECT_EQ(1.0, fixture->Evaluate(RuleRef(1)));
  // Later references read the memo, not the (changed) hit flags.
  fixture->SetHit(50, false);
  EXPECT_EQ(2.0, fixture->Evaluate(Sum(RuleRef(1), RuleRef(1))));
  EXPECT_EQ(1.0, fixture->EvaluateById(1));
}

TEST(Memo, BoundsTheWorkOfSharedReferences) {
  // Rule i sums two references to rule i + 1: 2^63 evaluations without the
  // memo, 64 with it (the deadline of the small-stack run ends a regression).
  std::vector<testing::RuleRow> rules;
  for (uint32_t i = 0; i < 63; ++i) rules.push_back(Rule(i, Sum(RuleRef(i + 1), RuleRef(i + 1))));
  rules.push_back(Rule(63, Int32(1)));
  auto fixture = MakeRuleFixture({}, rules);
  double score = 0;
  ASSERT_TRUE(testing::RunOnSmallStack(testing::OneMebibyte, [&] { score = fixture->EvaluateById(0); }).ran);
  EXPECT_EQ(9223372036854775808.0, score);
}

TEST(Memo, ATopLevelRuleEvaluatedByAReferenceIsNotEvaluatedAgain) {
  auto fixture = MakeRuleFixture(
      {{50, true}}, {Rule(1, RuleRef(2), true), Rule(2, SignatureRef(50), true), Rule(3, Int32(0), true)});
  EXPECT_EQ(1.0, fixture->EvaluateById(1));
  EXPECT_EQ(RuleMemoised, fixture->RuleState(2));
  fixture->SetHit(50, false);
  // Rule 2 keeps the score its reference memoised; rule 3 is evaluated now.
  EXPECT_EQ(2, fixture->EvaluateTopLevelRules());
  EXPECT_EQ(1.0, fixture->RuleValue(2));
  EXPECT_EQ(RuleMemoised, fixture->RuleState(3));
}

TEST(Memo, RulesThatAreNotTopLevelAreEvaluatedOnlyWhenReferenced) {
  auto fixture = MakeRuleFixture({}, {Rule(1, RuleRef(2), true), Rule(2, Float64(0.75)), Rule(3, Int32(9)),
                                      testing::RuleRow{4, {}, false}});
  EXPECT_EQ(1, fixture->EvaluateTopLevelRules());
  EXPECT_EQ(0.75, fixture->RuleValue(1));
  EXPECT_EQ(RuleMemoised, fixture->RuleState(2));
  EXPECT_EQ(RuleNotEvaluated, fixture->RuleState(3));
  // A rule without expression bytes scores 0 and is memoised with 0.
  EXPECT_EQ(0.0, fixture->Evaluate(RuleRef(4)));
  EXPECT_EQ(RuleMemoised, fixture->RuleState(4));
}

TEST(Memo, ARootThatDoesNotAdvanceStillScores) {
  // The score is the root's value whether or not it advanced: a cut root is 0,
  // a root with a cut child keeps what it folded.
  auto fixture = MakeRuleFixture({}, {testing::RuleRow{1, Bytes(Cut(Int32(5), 6)), false},
                                      testing::RuleRow{2, Bytes(Sum(Int32(5), Cut(Int32(1), 2))), false}});
  EXPECT_EQ(0.0, fixture->Evaluate(RuleRef(1)));
  EXPECT_EQ(RuleMemoised, fixture->RuleState(1));
  EXPECT_EQ(5.0, fixture->Evaluate(RuleRef(2)));
}

TEST(NoShortCircuit, EveryChildIsEvaluatedAndMemoised) {
  auto fixture = MakeRuleFixture({}, {Rule(1, Int32(1)), Rule(2, Int32(2)), Rule(3, Int32(3)), Rule(4, Int32(4)),
                                      Rule(5, Int32(5)), Rule(6, Int32(6)), Rule(7, Int32(7))});
  EXPECT_EQ(0.0, fixture->Evaluate(And(Bool(false), RuleRef(1))));
  EXPECT_EQ(1.0, fixture->Evaluate(Or(Bool(true), RuleRef(2))));
  EXPECT_EQ(0.0, fixture->Evaluate(Not(Int32(1), RuleRef(3), RuleRef(4))));
  EXPECT_EQ(1.0, fixture->Evaluate(Greater(Int32(2), Int32(1), RuleRef(5))));
  const std::vector<uint8_t> unrecognised = Bytes(Aggregate(7, {RuleRef(6), RuleRef(7)}));
  const uint8_t* end = nullptr;
  EXPECT_EQ(0.0, EvaluateExpression(&fixture->context, unrecognised.data(), 21, &end));
  EXPECT_EQ(unrecognised.data() + 21, end);
  for (uint32_t id = 1; id <= 7; ++id) {
    EXPECT_EQ(RuleMemoised, fixture->RuleState(id)) << id;
    EXPECT_EQ(id, fixture->RuleValue(id)) << id;
  }
}

TEST(Cycles, ARuleThatReferencesItselfReadsZeroForItself) {
  auto fixture = MakeRuleFixture({}, {Rule(1, Sum(RuleRef(1), Int32(1)), true)});
  EXPECT_EQ(1, fixture->EvaluateTopLevelRules());
  EXPECT_EQ(1.0, fixture->RuleValue(1));
  EXPECT_EQ(RuleMemoised, fixture->RuleState(1));
}

// Every rule of a ring reads 0 for the rules of its own ring, so its score
// is the same whichever rule a scan starts from, that is whatever the ids;
// rules outside the ring read the ring's scores in full.
TEST(Cycles, ARingReadsZeroInsideItselfWhateverTheIds) {
  for (const auto& [a, b, c] : {std::array<uint32_t, 3>{1, 2, 3}, {3, 2, 1}, {2, 3, 1}}) {
    auto fixture = MakeRuleFixture({}, {Rule(a, Sum(RuleRef(b), Int32(1)), true), Rule(b, Sum(RuleRef(c), Int32(10))),
                                        Rule(c, Sum(RuleRef(a), Int32(100)), true), Rule(9, Sum(RuleRef(b), Int32(5)), true),
                                        Rule(8, Not(RuleRef(7)), true), Rule(7, Not(RuleRef(8)))});
    EXPECT_EQ(4, fixture->EvaluateTopLevelRules());
    EXPECT_EQ(1.0, fixture->RuleValue(a));
    EXPECT_EQ(10.0, fixture->RuleValue(b));
    EXPECT_EQ(100.0, fixture->RuleValue(c));
    EXPECT_EQ(15.0, fixture->RuleValue(9));
    // Two rules that deny each other both read 0 for the other.
    EXPECT_EQ(1.0, fixture->RuleValue(8));
    EXPECT_EQ(1.0, fixture->EvaluateById(7));
  }
}

TEST(Cycles, SharedReferencesWithoutACycleReadFullScores) {
  auto fixture = MakeRuleFixture(
      {}, {Rule(1, Sum(RuleRef(2), RuleRef(3))), Rule(2, Product(RuleRef(3), Int32(2))), Rule(3, Int32(5))});
  EXPECT_EQ(15.0, fixture->EvaluateById(1));
}

TEST(EvaluateRule, YieldsZeroWhereNoRuleCanBeEvaluated) {
  auto fixture = MakeRuleFixture({}, {Rule(1, Int32(5))});
  EXPECT_EQ(0.0, EvaluateRule(fixture->context, 1));  // index past the table
  fixture->context.ruleEvaluated[0] = RuleInProgress;
  EXPECT_EQ(0.0, EvaluateRule(fixture->context, 0));
  EXPECT_EQ(RuleInProgress, fixture->context.ruleEvaluated[0]);
  EvaluationState noLibrary;
  EXPECT_EQ(0.0, EvaluateRule(noLibrary, 0));
}

}  // namespace
}  // namespace veltor
