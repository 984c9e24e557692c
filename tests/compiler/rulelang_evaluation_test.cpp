// What compiled expressions compute, asked of the engine's evaluator rather
// than of the encoder: the operators, their precedence and associativity,
// the literal types, the function forms, the split chains, and references.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/rules/evaluator.h"
#include "engine/rules/rule_fixture.h"
#include "rulelang_test_util.h"

namespace veltor::testing {
namespace {

double Score(std::string_view expression) {
  const rulelang::CompileResult result = CompileText("rule r report = " + std::string(expression) + ";");
  EXPECT_EQ(Errors(result), std::vector<std::string>{}) << expression;
  if (result.entries.rules.empty()) return std::nan("");
  const std::vector<uint8_t>& bytes = result.entries.rules[0].expression;
  const uint8_t* end = nullptr;
  const double value = EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), &end);
  EXPECT_EQ(end, bytes.data() + bytes.size()) << expression << ": the whole expression is one node";
  return value;
}

struct Case {
  const char* expression;
  double expected;
};

void PrintTo(const Case& c, std::ostream* out) { PrintSource(c.expression, out); }

class ExpressionValueTest : public ::testing::TestWithParam<Case> {};

TEST_P(ExpressionValueTest, EvaluatesAsWritten) {
  const double value = Score(GetParam().expression);
  if (std::isnan(GetParam().expected)) {
    EXPECT_TRUE(std::isnan(value)) << GetParam().expression << " = " << value;
  } else {
    EXPECT_DOUBLE_EQ(value, GetParam().expected) << GetParam().expression;
  }
}

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Precedence, ExpressionValueTest,
    ::testing::Values(Case{"2 + 3 * 4", 14}, Case{"(2 + 3) * 4", 20}, Case{"10 - 3 - 2", 5},
                      Case{"10 - (3 - 2)", 9}, Case{"100 / 10 / 5", 2}, Case{"100 / (10 / 5)", 50},
                      Case{"2 * 3 ^ 2", 18}, Case{"2 ^ 3 ^ 2", 64}, Case{"2 ^ (3 ^ 2)", 512},
                      Case{"-2 ^ 2", -4}, Case{"(-2) ^ 2", 4}, Case{"2 ^ -1", 0.5}, Case{"-(1 + 2)", -3},
                      Case{"- -3", 3}, Case{"1 - -1", 2}, Case{"1 + 2 > 2", 1}, Case{"not 1 > 2", 1},
                      Case{"not 1 and 0", 0}, Case{"not (1 and 0)", 1}, Case{"1 or 0 and 0", 1},
                      Case{"(1 or 0) and 0", 0}, Case{"1 xor 1 and 0", 1}, Case{"(1 xor 1) and 0", 0},
                      Case{"0 and 1 or 1", 1}, Case{"1 or 1 xor 1", 1}, Case{"(1 or 1) xor 1", 0},
                      Case{"(3 > 2) == 1", 1}));

// Each operator and function reaches its opcode, each literal its value. What
// the opcodes compute (guards, the truth threshold, NaN, empty folds) is
// tested once, on the bytecode, in tests/rules/opcode_fold_test.cpp.
INSTANTIATE_TEST_SUITE_P(
    Operators, ExpressionValueTest,
    ::testing::Values(Case{"2 > 1", 1}, Case{"1 > 1", 0}, Case{"1 >= 1", 1}, Case{"1 <= 0", 0}, Case{"1 < 2", 1},
                      Case{"1 xor 1", 0}));

INSTANTIATE_TEST_SUITE_P(
    Functions, ExpressionValueTest,
    ::testing::Values(Case{"max(1, 5, 3)", 5}, Case{"min(4, -2, 0)", -2},
                      Case{"root(9, 2)", 3}, Case{"root(64, 2, 3)", 2}, Case{"sum(7)", 7}, Case{"product()", 1},
                      Case{"difference(10, 3, 2)", 5}, Case{"quotient(10, 4)", 2.5}, Case{"power(2, 3, 2)", 64},
                      Case{"all()", 1}, Case{"any()", 0}, Case{"odd(1, 1, 1)", 1}, Case{"negate(0, 1, 1)", 1},
                      Case{"greater(2, 1, 99)", 1}, Case{"greater_equal(5)", 1}, Case{"less(5)", 0},
                      Case{"less_equal(5)", 0}, Case{"equal(2, 2)", 1}, Case{"op(7, 1, 2)", 0},
                      Case{"op(32, 1, 2)", 3}, Case{"op(4000000000)", 0}));

INSTANTIATE_TEST_SUITE_P(
    Literals, ExpressionValueTest,
    ::testing::Values(Case{"42", 42}, Case{"-2147483648", -2147483648.0}, Case{"0x10", 16},
                      Case{"int32(7) / 2", 3.5}, Case{"true", 1}, Case{"false", 0}, Case{"bool(2)", 1},
                      Case{"bool(0)", 0}, Case{"1.5", 1.5}, Case{"1.5f", 1.5}, Case{"0.1f", 0.100000001490116119384765625},
                      Case{"float32(0.1)", 0.100000001490116119384765625}, Case{"float64(0.1f)", 0.100000001490116119384765625},
                      Case{"inf", Inf}, Case{"-inf", -Inf}, Case{"nan", Nan}, Case{"float32(nan)", Nan},
                      Case{"float64bits(0x3FF0000000000000)", 1}, Case{"float32bits(0x40490FDB)", 3.1415927410125732421875},
                      Case{"-0.0 + 1", 1}));

std::string Chain(const char* first, const char* separator, const char* operand, int count) {
  std::string text = first;
  for (int i = 1; i < count; ++i) text += std::string(separator) + operand;
  return text;
}

// Chains longer than 255 operands are split into nested nodes; the value is
// that of the whole chain.
TEST(CompiledExpressions, SplitChainsKeepTheirValue) {
  EXPECT_DOUBLE_EQ(Score(Chain("1", " + ", "1", 600)), 600);
  EXPECT_DOUBLE_EQ(Score(Chain("1000", " - ", "1", 600)), 401);
  EXPECT_DOUBLE_EQ(Score(Chain("1", " * ", "2", 600)), std::ldexp(1.0, 599));
  EXPECT_DOUBLE_EQ(Score(Chain("1e300", " / ", "2", 600)), 1e300 / std::ldexp(1.0, 599));
  EXPECT_DOUBLE_EQ(Score(Chain("2", " ^ ", "1", 600)), 2);
  EXPECT_DOUBLE_EQ(Score(Chain("true", " and ", "true", 600)), 1);
  EXPECT_DOUBLE_EQ(Score(Chain("true", " and ", "true", 600) + " and false"), 0);
  EXPECT_DOUBLE_EQ(Score(Chain("false", " or ", "false", 600) + " or true"), 1);
  EXPECT_DOUBLE_EQ(Score(Chain("true", " xor ", "true", 601)), 1);
  EXPECT_DOUBLE_EQ(Score(Chain("true", " xor ", "true", 600)), 0);
  EXPECT_DOUBLE_EQ(Score("max(" + Chain("1", ", ", "1", 400) + ", 7)"), 7);
  EXPECT_DOUBLE_EQ(Score("min(" + Chain("1", ", ", "1", 400) + ", -7)"), -7);
  EXPECT_DOUBLE_EQ(Score("root(" + Chain("4", ", ", "1", 300) + ", 2)"), 2);
}

// A compiled database evaluated as a scan would: hit flags in, rule scores out.
struct CompiledFixture {
  rulelang::CompileResult compiled;
  std::unique_ptr<RuleFixture> fixture;
};

CompiledFixture Build(std::string_view source, const std::vector<uint32_t>& hits) {
  CompiledFixture built{CompileText(source), nullptr};
  EXPECT_EQ(Errors(built.compiled), std::vector<std::string>{});
  std::vector<SignatureRow> signatures;
  for (const SignatureInput& entry : built.compiled.entries.signatures) {
    signatures.push_back({entry.id, std::find(hits.begin(), hits.end(), entry.id) != hits.end()});
  }
  std::vector<RuleRow> rules;
  for (const RuleInput& entry : built.compiled.entries.rules) {
    rules.push_back({entry.id, entry.expression, (entry.flags & RuleFlagTopLevel) != 0});
  }
  built.fixture = MakeRuleFixture(signatures, std::move(rules));
  return built;
}

TEST(CompiledExpressions, ReferencesReadHitsAndRuleScores) {
  const char* source =
      "signature mz exact = { 4D 5A 90 00 };\n"
      "signature stub id 100 = \"This program cannot be run\";\n"
      "signature packer = \"UPX0\";\n"
      "rule Packed = packer;\n"
      "rule Trojan.Dropper.Generic id 7 report = mz and (stub or Packed);\n"
      "rule \"Weighted score\" report = Trojan.Dropper.Generic * 0.6 + 0.5 * sig[100];\n"
      "rule ById report = rule[7] and not rule[\"Packed\"];\n";
  {
    CompiledFixture built = Build(source, {1, 100});
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(7), 1);
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(8), 1.1);
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(9), 1);
  }
  {
    CompiledFixture built = Build(source, {1, 101});
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(7), 1);
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(8), 0.6);
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(9), 0);
  }
  {
    CompiledFixture built = Build(source, {100, 101});
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(7), 0);
    EXPECT_DOUBLE_EQ(built.fixture->EvaluateById(8), 0.5);
  }
}

TEST(CompiledExpressions, ConstantRulesThatCannotReportOrAlwaysReportAreWarnedAbout) {
  const rulelang::CompileResult result = CompileText(
      "rule Low report = 0.2 + 0.3;\n"
      "rule High report = 0.25 * 4;\n"
      "rule Undefined report = 0 / 0 * nan;\n");
  EXPECT_EQ(Warnings(result),
            (std::vector<std::string>{
                "test.vsr:1:1: warning: rule Low can never report: it refers to no signature or rule and always "
                "scores 0.5, below 0.501",
                "test.vsr:2:1: warning: rule High reports on every input: it refers to no signature or rule and "
                "always scores 1, at least 0.501",
                "test.vsr:3:1: warning: rule Undefined can never report: it refers to no signature or rule and "
                "always scores nan, below 0.501"}));
}

// The values a reported rule can take over every combination of hits: a
// warning when it can never reach 0.501, or always does; none when unsure.
TEST(CompiledExpressions, ReportedRulesAreJudgedOverEveryCombinationOfHits) {
  enum Verdict { Silent, Never, Always };
  const std::pair<const char*, Verdict> cases[] = {
      {"a", Silent}, {"0.3 * a", Never}, {"a * 0.6", Silent}, {"a + 1", Always}, {"a - 2", Never},
      {"a or 1", Always}, {"a and 0", Never}, {"not a", Silent}, {"(a xor b) * 0.4", Never},
      {"a / 0", Silent}, {"0.3 / a", Silent}, {"0.5 / (a + 1)", Never}, {"(a + b) / 2", Silent},
      {"a ^ 2", Silent}, {"(a + 1) ^ 2", Always}, {"(a - 1) ^ 0.5", Silent}, {"root(a + 3, 2)", Always},
      {"max(a, 0.2)", Silent}, {"max(a, 0.6)", Always}, {"min(a, 0.5)", Never}, {"max(a * nan, 0.7)", Always},
      {"a > 2", Never}, {"a < 2", Always}, {"a == a", Silent}, {"a == 5", Never}, {"a >= b", Silent},
      {"a * nan", Never}, {"a * inf", Silent}, {"x + 0.2", Never}, {"x + 0.6", Always}, {"x + 0.4", Silent}, {"sig[999] + 0.3", Never},
      {"rule[999] + 0.3", Never}, {"loop * 0", Silent}, {"a + b + b - 3", Never},
      // Exactly at the report and truth thresholds, which count as reached.
      {"0.501", Always}, {"min(a, 0.501)", Silent}, {"a or 0.0001", Always}, {"(a and 0.0001) * 0.6", Silent},
  };
  for (const auto& [expression, verdict] : cases) {
    const rulelang::CompileResult result = CompileText(
        "signature a = \"aaaa\";\nsignature b = \"bbbb\";\nrule x = a * 0.2;\nrule loop = loop + a;\n"
        "rule r report = " + std::string(expression) + ";\n");
    std::string found = "silent";
    for (const std::string& warning : Warnings(result)) {
      if (warning.find("rule r can never report") != std::string::npos) found = "never";
      if (warning.find("rule r reports on every input") != std::string::npos) found = "always";
    }
    EXPECT_EQ(found, verdict == Silent ? "silent" : verdict == Never ? "never" : "always") << expression;
  }
}

// One warning per ring, in linear time; rings through shared ids included.
TEST(CompiledExpressions, EachRingOfReferencesIsWarnedAboutOnce) {
  std::string shared;
  for (int i = 0; i < 4000; ++i) shared += "rule r" + std::to_string(i) + " id 1 duplicate report = rule[1];\n";
  const std::vector<std::string> many = Warnings(CompileText(shared));
  ASSERT_EQ(many.size(), 1u);
  EXPECT_EQ(many[0], "test.vsr:1:1: warning: rule r0 refers to itself through a ring of 4000 rules: every "
                     "reference inside the ring reads 0");

  const std::vector<std::string> rings = Warnings(CompileText(
      "signature s = \"abcdefgh\";\n"
      "rule a id 1 report = rule[2] and s;\n"
      "rule b id 2 = s;\n"
      "rule c id 2 duplicate = rule[1];\n"  // a -> id 2 -> c -> a, beside the plain b
      "rule d id 5 report = d;\n"));
  EXPECT_EQ(rings, (std::vector<std::string>{
                       "test.vsr:2:1: warning: rule a refers to itself through a ring of 2 rules: every reference "
                       "inside the ring reads 0",
                       "test.vsr:5:1: warning: rule d refers to itself through a ring of rule references: every "
                       "reference inside the ring reads 0"}));

  const std::vector<std::string> nothing = Warnings(CompileText("signature s = \"abcd\";\nrule quiet = s;\n"));
  EXPECT_NE(std::find(nothing.begin(), nothing.end(),
                      "test.vsr:2:1: warning: no rule is marked 'report': a scan with this database can report "
                      "nothing"),
            nothing.end())
      << ::testing::PrintToString(nothing);
}

}  // namespace
}  // namespace veltor::testing
