// The bytecode builder: trees encode to the bytes the evaluator reads, and
// well-formed bytecode decodes back to the same tree.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/rules/evaluator.h"
#include "engine/rules/rule_fixture.h"
#include "compiler/bytecode/bytecode_decoder.h"
#include "compiler/bytecode/bytecode_encoder.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::Bytes;
using testing::Join;

TEST(Encoder, WritesEachNodeKindLittleEndian) {
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}), Bytes(Int32(-2)));
  EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 2}), Bytes(BoolByte(2)));
  EXPECT_EQ((std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0x80, 0x3F}), Bytes(Float32(1.0f)));
  EXPECT_EQ((std::vector<uint8_t>{3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), Bytes(Float64(1.0)));
  EXPECT_EQ((std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12}), Bytes(SignatureRef(0x12345678)));
  EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}), Bytes(RuleRef(1)));
  EXPECT_EQ((std::vector<uint8_t>{0x31, 0, 0, 0, 1, 1, 0, 0, 0, 1}), Bytes(Aggregate(49, {Bool(true)})));
}

TEST(Encoder, WritesDeliberatelyMalformedNodes) {
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0}), Bytes(Cut(Int32(5), 3)));
  EXPECT_EQ((std::vector<uint8_t>{0x20, 0, 0, 0, 9}), Bytes(WithChildCount(Sum(), 9)));
  EXPECT_EQ((std::vector<uint8_t>{0x20, 0, 0, 0, 2, 0xAB}), Bytes(Sum(RawBytes({0xAB}), RawBytes({}))));
  // Cutting keeps whole the nodes before the cut.
  EXPECT_EQ((std::vector<uint8_t>{0x22, 0, 0, 0, 2, 1, 0, 0, 0, 1, 0}), Bytes(Cut(Product(Bool(true), Int32(1)), 11)));
}

TEST(Encoder, RefusesMoreThan255Children) {
  std::vector<ExpressionNode> children(256, Bool(true));
  EXPECT_EQ(std::nullopt, Encode(Aggregate(OpAnd, children)));
  std::vector<uint8_t> out = {7};
  EXPECT_FALSE(EncodeTo(Sum(Aggregate(OpAnd, children)), out));
  EXPECT_EQ(std::vector<uint8_t>{7}, out);
  children.pop_back();
  EXPECT_EQ(5u + 255u * 5u, Encode(Aggregate(OpAnd, children)).value().size());
  EXPECT_EQ(5u + 256u * 5u, Encode(WithChildCount(Aggregate(OpAnd, std::vector<ExpressionNode>(256, Bool(true))), 0))
                                .value()
                                .size());
}

TEST(Encoder, NestedChainsMatchTheirTrees) {
  EXPECT_EQ(Bytes(Not(Not(Not(Int32(4))))), EncodeNestedChain(OpNot, 3, Int32(4)).value());
  EXPECT_EQ(Bytes(Int32(4)), EncodeNestedChain(OpNot, 0, Int32(4)).value());
}

TEST(Decoder, RoundTripsWellFormedTrees) {
  const ExpressionNode trees[] = {
      Int32(INT32_MIN),
      BoolByte(0x7F),
      Float32(-0.0f),
      Float64(std::numeric_limits<double>::quiet_NaN()),
      RuleRef(0xFFFFFFFF),
      Or(And(SignatureRef(100), SignatureRef(200)), Greater(RuleRef(7), Float64(0.5))),
      Aggregate(0xFFFFFFFD, {Sum(), Aggregate(4, {Int32(1)}), Min(Float64(1e300))}),
      Aggregate(OpXor, std::vector<ExpressionNode>(255, Not(Bool(false)))),
  };
  for (const ExpressionNode& tree : trees) {
    const std::vector<uint8_t> bytes = Bytes(tree);
    const std::optional<ExpressionNode> decoded = Decode(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(tree, *decoded);
    EXPECT_EQ(bytes, Bytes(*decoded));
  }
}

TEST(Decoder, RejectsBytecodeThatIsNotOneWholeTree) {
  const ExpressionNode product = Product(Int32(2), Float64(3.0));
  const struct {
    std::string name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"opcode cut", {0, 0, 0}},
      {"literal cut", Bytes(Cut(Float64(1.0), 11))},
      {"child count outside the span", Bytes(Cut(Sum(), 4))},
      {"child cut", Bytes(Cut(product, 20))},
      {"missing child", Bytes(WithChildCount(product, 3))},
      {"trailing bytes", Join(Bytes(product), {0})},
      {"deeper than the tools decode", EncodeNestedChain(OpNot, MaxEvaluationDepth, Int32(1)).value()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(std::nullopt, Decode(c.bytes));
  }
  EXPECT_TRUE(Decode(EncodeNestedChain(OpNot, MaxEvaluationDepth - 1, Int32(1)).value()).has_value());
}

}  // namespace
}  // namespace veltor
