// Each opcode's value: literals, the fold of every aggregate, truth, the
// divisor guard, the bounds of OpMax/OpMin and NaN.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/rules/bytecode.h"
#include "engine/rules/evaluator.h"
#include "engine/rules/rule_fixture.h"
#include "engine/rules/score_values.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor {
namespace {

using namespace bytecode;
using testing::Bytes;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double Evaluate(const ExpressionNode& expression) {
  const std::vector<uint8_t> bytes = Bytes(expression);
  return EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
}

ExpressionNode I(int32_t value) { return Int32(value); }
ExpressionNode F(double value) { return Float64(value); }

struct ValueCase {
  std::string name;
  ExpressionNode expression;
  double expected;
};

// Compares to within 4 ulps, and NaN with NaN.
void ExpectValues(const std::vector<ValueCase>& cases) {
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    const double value = Evaluate(c.expression);
    if (std::isnan(c.expected)) {
      EXPECT_TRUE(std::isnan(value)) << value;
    } else {
      EXPECT_DOUBLE_EQ(c.expected, value);
    }
  }
}

TEST(Constants, AreTheDoublesNearestTheirDecimals) {
  EXPECT_EQ(0.0001, TruthThreshold);
  EXPECT_EQ(1e38, MaxBound);
  EXPECT_EQ(-1e38, MinBound);
  EXPECT_EQ(uint64_t{0x3F1A36E2EB1C432D}, std::bit_cast<uint64_t>(TruthThreshold));
  EXPECT_EQ(uint64_t{0x47D2CED32A16A1B1}, std::bit_cast<uint64_t>(MaxBound));
  EXPECT_EQ(uint64_t{0xC7D2CED32A16A1B1}, std::bit_cast<uint64_t>(MinBound));
  EXPECT_EQ(uint64_t{0xC7D2CED32A16A1B1}, std::bit_cast<uint64_t>(Evaluate(Max(F(-1e300), F(-5e38)))));
  EXPECT_EQ(uint64_t{0x47D2CED32A16A1B1}, std::bit_cast<uint64_t>(Evaluate(Min(F(1e300)))));
}

TEST(Literals, ReadTheirOperands) {
  ExpectValues({
      {"int32 FF FF FF FF", RawBytes({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}), -1.0},
      {"int32 minimum", I(INT32_MIN), -2147483648.0},
      {"bool byte 02", BoolByte(2), 1.0},
      {"bool byte 00", BoolByte(0), 0.0},
      {"float32 widened", Float32(0.1f), static_cast<double>(0.1f)},
      {"float64 as stored", F(-123.456), -123.456},
      {"float64 NaN", F(NaN), NaN},
      {"float64 little-endian 0.5", RawBytes({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE0, 0x3F}), 0.5},
  });
}

TEST(Arithmetic, FoldsLeftToRight) {
  ExpectValues({
      {"sum", Sum(I(1), I(2), F(3.5)), 6.5},
      {"difference 10-3-2", Difference(I(10), I(3), I(2)), 5.0},
      {"difference of one child", Difference(I(-4)), -4.0},
      {"product", Product(I(2), I(3), I(4)), 24.0},
      {"quotient", Quotient(I(100), I(5), I(4)), 5.0},
      {"quotient by 0 is guarded", Quotient(I(10), I(0)), 10.0},
      {"quotient by 0.00005 is guarded", Quotient(I(10), F(0.00005)), 10.0},
      {"quotient by -0.00005 is guarded", Quotient(I(10), F(-0.00005)), 10.0},
      {"quotient by 0.0001 is not guarded", Quotient(I(10), F(0.0001)), 100000.0},
      {"quotient of one child", Quotient(I(7)), 7.0},
      {"power 2^3^2 is (2^3)^2", Power(I(2), I(3), I(2)), 64.0},
      {"power of one child", Power(I(7)), 7.0},
      {"power with negative exponent", Power(I(2), I(-2)), 0.25},
      {"root of 9 by 2", Root(I(9), I(2)), 3.0},
      {"root of 8 by 0 is guarded", Root(I(8), I(0)), 8.0},
      {"root chain", Root(I(4096), I(2), I(3)), 4.0},
      {"root of one child", Root(I(7)), 7.0},
  });
}

TEST(Logic, UsesTheTruthThreshold) {
  const double belowThreshold = std::nextafter(TruthThreshold, 0.0);
  ExpectValues({
      {"not 0.0001", Not(F(0.0001)), 0.0},
      {"not 0.00009", Not(F(0.00009)), 1.0},
      {"not just below 0.0001", Not(F(belowThreshold)), 1.0},
      {"not -0.5", Not(F(-0.5)), 0.0},
      {"not float32 0.0001 (widens below the threshold)", Not(Float32(0.0001f)), 1.0},
      {"not negates the first child only", Not(I(0), I(1), I(1)), 1.0},
      {"and 0.0001, -3", And(F(0.0001), I(-3)), 1.0},
      {"and with a false child", And(I(1), F(-0.00009), I(1)), 0.0},
      {"or of false children", Or(I(0), F(0.00009)), 0.0},
      {"or with a true child", Or(I(0), F(-0.0001)), 1.0},
      {"xor of three true", Xor(I(1), I(2), I(3)), 1.0},
      {"xor of two true", Xor(I(1), I(2)), 0.0},
      {"xor of one true among false", Xor(I(0), I(5), I(0)), 1.0},
      {"logical results are exactly 1", And(I(7), I(9)), 1.0},
  });
}

TEST(Bounds, MaxAndMinStartFromPlusMinus1e38) {
  ExpectValues({
      {"max of -1e300 and -5e38", Max(F(-1e300), F(-5e38)), -1e38},
      {"min of 1e300", Min(F(1e300)), 1e38},
      {"max", Max(I(3), I(7), I(5)), 7.0},
      {"min", Min(I(3), I(7), I(-2)), -2.0},
      {"max above the bound", Max(F(2e38)), 2e38},
  });
}

TEST(Comparisons, CompareTheFirstTwoChildren) {
  ExpectValues({
      {"greater of one child compares with -1e38", Greater(I(5)), 1.0},
      {"greater-equal of one child", GreaterEqual(I(5)), 1.0},
      {"less of one child", Less(I(5)), 0.0},
      {"less-equal of one child", LessEqual(I(5)), 0.0},
      {"equal of one child", Equal(I(5)), 0.0},
      {"greater of -1e38 alone", Greater(F(-1e38)), 0.0},
      {"greater-equal of -1e38 alone", GreaterEqual(F(-1e38)), 1.0},
      {"greater 2, 1, 99 ignores the third", Greater(I(2), I(1), I(99)), 1.0},
      {"greater of equals", Greater(I(1), I(1)), 0.0},
      {"greater-equal of equals", GreaterEqual(I(1), I(1)), 1.0},
      {"less-equal of equals", LessEqual(I(1), I(1)), 1.0},
      {"less", Less(I(1), I(2)), 1.0},
      {"less of equals", Less(I(1), I(1)), 0.0},
      {"equal 0.3 and 0.30001", Equal(F(0.3), F(0.30001)), 1.0},
      {"equal 1 and 1.001", Equal(I(1), F(1.001)), 0.0},
      {"equal within 0.0001 either way", Equal(F(0.30001), F(0.3)), 1.0},
  });
}

TEST(NaN, NeverWinsComparesOrCountsAsTrue) {
  ExpectValues({
      {"max of NaN alone", Max(F(NaN)), -1e38},
      {"max of NaN then 3", Max(F(NaN), I(3)), 3.0},
      {"max of 3 then NaN", Max(I(3), F(NaN)), 3.0},
      {"min of NaN alone", Min(F(NaN)), 1e38},
      {"greater with NaN", Greater(F(NaN), I(1)), 0.0},
      {"greater-equal with NaN", GreaterEqual(I(1), F(NaN)), 0.0},
      {"less with NaN", Less(F(NaN), I(1)), 0.0},
      {"less-equal with NaN", LessEqual(F(NaN), F(NaN)), 0.0},
      {"equal with NaN", Equal(F(NaN), F(NaN)), 0.0},
      {"NaN is false for not", Not(F(NaN)), 1.0},
      {"NaN is false for and", And(F(NaN)), 0.0},
      {"NaN is false for or", Or(F(NaN)), 0.0},
      {"NaN is false for xor", Xor(F(NaN), I(1)), 1.0},
      {"NaN divisor is not guarded", Quotient(I(10), F(NaN)), NaN},
      {"NaN propagates through sums", Sum(I(1), F(NaN)), NaN},
      {"pow(NaN, 0) is 1", Power(F(NaN), I(0)), 1.0},
      {"pow(1, NaN) is 1", Power(I(1), F(NaN)), 1.0},
  });
}

TEST(UnrecognisedOpcodes, YieldZeroAfterReadingTheirChildren) {
  for (const uint32_t opcode : {4u, 7u, 31u, 49u, 0x7FFFFFFFu, 0xFFFFFFFDu}) {
    SCOPED_TRACE(opcode);
    const std::vector<uint8_t> bytes = Bytes(Sum(Aggregate(opcode, {I(5), I(6)}), I(2)));
    const uint8_t* end = bytes.data();
    EXPECT_EQ(2.0, EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), &end));
    EXPECT_EQ(bytes.data() + bytes.size(), end);
  }
}

// A node with no children yields its fold's start and ends after its header.
TEST(ChildCountZero, YieldsTheFoldStart) {
  const struct {
    uint32_t opcode;
    double expected;
  } cases[] = {
      {OpSum, 0.0},      {OpDifference, 0.0},   {OpProduct, 1.0}, {OpQuotient, 0.0},     {OpPower, 0.0},
      {OpRoot, 0.0},     {OpAnd, 1.0},          {OpOr, 0.0},      {OpNot, 1.0},          {OpXor, 0.0},
      {OpMax, -1e38},    {OpMin, 1e38},
      // A comparison without children has no first operand; it yields 0.
      {OpGreater, 0.0},  {OpGreaterEqual, 0.0}, {OpEqual, 0.0},   {OpLessEqual, 0.0},    {OpLess, 0.0},
      {12, 0.0},         {0xFFFFFFFDu, 0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opcode);
    const std::vector<uint8_t> bytes = Bytes(Aggregate(c.opcode, {}));
    ASSERT_EQ(5u, bytes.size());
    const uint8_t* end = bytes.data();
    EXPECT_EQ(c.expected, EvaluateExpression(nullptr, bytes.data(), 5, &end));
    EXPECT_EQ(bytes.data() + 5, end);
  }
}

}  // namespace
}  // namespace veltor
