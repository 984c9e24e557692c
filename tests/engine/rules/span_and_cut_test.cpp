// Spans, the end out-parameter and cut nodes: where a node ends, what a node
// cut short by the span end yields, and how it stops its enclosing
// aggregates.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/rules/evaluator.h"
#include "engine/rules/rule_fixture.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::Bytes;

constexpr int64_t NoEnd = -1;

struct Walked {
  double value;
  int64_t end;  // offset of the reported end, NoEnd when end was not written
};

Walked Walk(const std::vector<uint8_t>& bytes, EvaluationState* context = nullptr) {
  const uint8_t* end = nullptr;
  const double value = EvaluateExpression(context, bytes.data(), static_cast<uint32_t>(bytes.size()), &end);
  return {value, end == nullptr ? NoEnd : end - bytes.data()};
}

Walked Walk(const ExpressionNode& expression) { return Walk(Bytes(expression)); }

TEST(Span, TooShortOrAbsentYieldsZeroWithoutEnd) {
  const uint8_t bytes[4] = {0, 0, 0, 0};
  const uint8_t* end = bytes;
  EXPECT_EQ(0.0, EvaluateExpression(nullptr, nullptr, 100, &end));
  EXPECT_EQ(bytes, end);
  for (uint32_t length = 0; length < 4; ++length) {
    EXPECT_EQ(0.0, EvaluateExpression(nullptr, bytes, length, &end));
    EXPECT_EQ(bytes, end);
  }
  EXPECT_EQ(0.0, EvaluateExpression(nullptr, bytes, 3, nullptr));
}

TEST(Span, EveryFixedSizeNodeNeedsItsWholeSize) {
  const struct {
    std::string name;
    ExpressionNode node;
    uint32_t size;
    double value;
  } cases[] = {
      {"int32", Int32(-7), 8, -7.0},
      {"bool", Bool(true), 5, 1.0},
      {"float32", Float32(2.5f), 8, 2.5},
      {"float64", Float64(0.25), 12, 0.25},
      {"signature reference", SignatureRef(1), 8, 0.0},
      {"rule reference", RuleRef(1), 8, 0.0},
      {"aggregate header", Sum(), 5, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> whole = Bytes(c.node);
    ASSERT_EQ(c.size, whole.size());
    const Walked read = Walk(whole);
    EXPECT_EQ(c.value, read.value);
    EXPECT_EQ(c.size, read.end);
    const Walked cut = Walk(std::vector<uint8_t>(whole.begin(), whole.end() - 1));
    EXPECT_EQ(0.0, cut.value);
    EXPECT_EQ(NoEnd, cut.end);
  }
}

TEST(Span, BytesAfterTheRootAreIgnored) {
  const Walked read = Walk(testing::Join(Bytes(Int32(7)), {0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
  EXPECT_EQ(7.0, read.value);
  EXPECT_EQ(8, read.end);
}

TEST(Span, EveryNodeOfAnExpressionSharesTheSpanEnd) {
  // The second child of the sum is read with the bytes up to the span end,
  // not a length of its own: the trailing Int32 9 stays outside the root.
  const std::vector<uint8_t> bytes = testing::Join(Bytes(Sum(Int32(1), Sum(Int32(2), Int32(3)))), Bytes(Int32(9)));
  const Walked read = Walk(bytes);
  EXPECT_EQ(6.0, read.value);
  EXPECT_EQ(static_cast<int64_t>(bytes.size()) - 8, read.end);
}

TEST(CutNodes, ACutChildEndsItsParentAtTheCutNode) {
  // OpSum of OpInt32 5 and an OpInt32 with only 7 bytes left.
  const ExpressionNode cutInt = Cut(Int32(9), 7);
  const Walked sum = Walk(Sum(Int32(5), cutInt));
  EXPECT_EQ(5.0, sum.value);
  EXPECT_EQ(13, sum.end);  // 5 (header) + 8: the cut node's start
  EXPECT_EQ(0.0, Walk(Product(Int32(5), cutInt)).value);
}

TEST(CutNodes, ACutChildFoldsAsZero) {
  const ExpressionNode cut = Cut(Int32(1), 3);
  const struct {
    std::string name;
    ExpressionNode expression;
    double expected;
  } cases[] = {
      {"product", Product(Int32(3), cut), 0.0},
      {"and", And(Int32(1), cut), 0.0},
      {"max", Max(Int32(-5), cut), 0.0},
      {"min", Min(Int32(5), cut), 0.0},
      {"power after the first", Power(Int32(5), cut), 1.0},
      {"quotient", Quotient(Int32(5), cut), 5.0},
      {"root", Root(Int32(5), cut), 5.0},
      {"sum", Sum(Int32(5), cut), 5.0},
      {"difference", Difference(Int32(5), cut), 5.0},
      {"or", Or(Int32(1), cut), 1.0},
      {"xor", Xor(Int32(1), cut), 1.0},
      {"not of a cut first child", Not(cut), 1.0},
      {"comparison takes 0 for b", Greater(Int32(1), cut), 1.0},
      {"comparison takes 0 for a", Less(cut), 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.expected, Walk(c.expression).value);
  }
}

TEST(CutNodes, AMissingChildIsACutNode) {
  // A child count beyond the children present: the first missing child is cut.
  const Walked read = Walk(WithChildCount(Sum(Int32(5)), 3));
  EXPECT_EQ(5.0, read.value);
  EXPECT_EQ(13, read.end);
  EXPECT_EQ(0.0, Walk(WithChildCount(Product(Int32(5)), 2)).value);
}

TEST(CutNodes, ChildCountOutsideTheSpanIsACutNode) {
  // Only the opcode fits: the node yields 0 and reports no end, for known
  // and unrecognised opcodes alike.
  for (const uint32_t opcode : {uint32_t{OpProduct}, uint32_t{OpNot}, 7u}) {
    SCOPED_TRACE(opcode);
    const Walked alone = Walk(Cut(Aggregate(opcode, {}), 4));
    EXPECT_EQ(0.0, alone.value);
    EXPECT_EQ(NoEnd, alone.end);
    const Walked inSum = Walk(Sum(Int32(5), Cut(Aggregate(opcode, {}), 4)));
    EXPECT_EQ(5.0, inSum.value);
    EXPECT_EQ(13, inSum.end);
  }
}

TEST(CutNodes, StopEveryEnclosingAggregateThatMeetsThem) {
  // An OpProduct of 2 children whose first child is an OpSum of OpInt32 4
  // and a cut node: the sum yields 4 and ends at the cut node, which the
  // product then meets as its second child.
  const ExpressionNode innerSum = Sum(Int32(4), Cut(Int32(1), 6));
  const Walked product = Walk(WithChildCount(Product(innerSum), 2));
  EXPECT_EQ(0.0, product.value);
  EXPECT_EQ(18, product.end);  // 5 + 5 + 8

  // Three levels up, each ancestor folds one 0 for the cut node and stops.
  const Walked power = Walk(WithChildCount(Difference(WithChildCount(Power(innerSum), 2)), 3));
  EXPECT_EQ(1.0, power.value);  // pow(4, 0) - 0
  EXPECT_EQ(23, power.end);

  const Walked comparison = Walk(WithChildCount(Greater(innerSum), 2));
  EXPECT_EQ(1.0, comparison.value);  // 4 > 0
  const Walked minimum = Walk(WithChildCount(Min(WithChildCount(Max(innerSum), 2)), 2));
  EXPECT_EQ(0.0, minimum.value);  // min(1e38, max(-1e38, 4, 0), 0)
}

// The worked example: scores 1 when signatures 100 and 200 both occurred, or
// when rule 7 scores more than 0.5.
TEST(WorkedExample, FiftyOneBytes) {
  const std::vector<uint8_t> expected = {
      0x27, 0x00, 0x00, 0x00, 0x02,                                            // OpOr, 2 children
      0x26, 0x00, 0x00, 0x00, 0x02,                                            // OpAnd, 2 children
      0xFE, 0xFF, 0xFF, 0xFF, 0x64, 0x00, 0x00, 0x00,                          // OpSignatureRef 100
      0xFE, 0xFF, 0xFF, 0xFF, 0xC8, 0x00, 0x00, 0x00,                          // OpSignatureRef 200
      0x2C, 0x00, 0x00, 0x00, 0x02,                                            // OpGreater, 2 children
      0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x00, 0x00, 0x00,                          // OpRuleRef 7
      0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x3F,  // OpFloat64 0.5
  };
  const std::vector<uint8_t> bytes =
      Bytes(Or(And(SignatureRef(100), SignatureRef(200)), Greater(RuleRef(7), Float64(0.5))));
  ASSERT_EQ(expected, bytes);
  ASSERT_EQ(51u, bytes.size());

  auto fixture = testing::MakeRuleFixture({{100, true}, {200, false}}, {testing::Rule(7, Float64(0.8))});
  EvaluationState* context = &fixture->context;
  const uint8_t* base = bytes.data();
  const auto at = [&](uint32_t offset) {
    const uint8_t* end = nullptr;
    const double value = EvaluateExpression(context, base + offset, 51 - offset, &end);
    return Walked{value, end == nullptr ? NoEnd : end - base};
  };
  EXPECT_EQ(1.0, at(10).value);
  EXPECT_EQ(18, at(10).end);
  EXPECT_EQ(0.0, at(18).value);
  EXPECT_EQ(26, at(18).end);
  const Walked andNode = at(5);
  EXPECT_EQ(0.0, andNode.value);
  EXPECT_EQ(26, andNode.end);
  EXPECT_EQ(0.5, at(39).value);
  EXPECT_EQ(51, at(39).end);
  EXPECT_EQ(RuleNotEvaluated, fixture->RuleState(7));
  const Walked greater = at(26);
  EXPECT_EQ(1.0, greater.value);
  EXPECT_EQ(51, greater.end);
  EXPECT_EQ(RuleMemoised, fixture->RuleState(7));
  EXPECT_EQ(0.8, fixture->RuleValue(7));

  const Walked root = at(0);
  EXPECT_EQ(1.0, root.value);
  EXPECT_EQ(51, root.end);

  fixture->SetHit(200, true);
  fixture->context.ruleValues[fixture->RuleIndex(7)] = 0.4;  // as if rule 7 had scored 0.4
  EXPECT_EQ(1.0, at(0).value);                               // both signatures
  fixture->SetHit(100, false);
  EXPECT_EQ(0.0, at(0).value);
}

}  // namespace
}  // namespace veltor
