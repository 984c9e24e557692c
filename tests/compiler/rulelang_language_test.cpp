// What the language stores: ids, flags, names and patterns in Windows-1252,
// literal types, chains and their split at 255 children.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/database/database_format.h"
#include "engine/rules/bytecode.h"
#include "rulelang_test_util.h"
#include "compiler/rulelang/expression_codec.h"
#include "compiler/rulelang/literal_forms.h"

namespace veltor::testing {
namespace {

rulelang::CompileResult CompileClean(std::string_view text) {
  rulelang::CompileResult result = CompileText(text);
  EXPECT_EQ(Errors(result), std::vector<std::string>{}) << text;
  return result;
}

bytecode::ExpressionNode Literal(uint32_t opcode, uint64_t bits) {
  bytecode::ExpressionNode node;
  node.opcode = opcode;
  node.operand = bits;
  return node;
}

bytecode::ExpressionNode TreeOf(std::string_view expression) {
  const rulelang::CompileResult result = CompileClean("rule r report = " + std::string(expression) + ";");
  if (result.entries.rules.empty()) return {};
  std::optional<bytecode::ExpressionNode> tree = rulelang::DecodeExpression(result.entries.rules[0].expression);
  EXPECT_TRUE(tree.has_value()) << expression;
  return tree.value_or(bytecode::ExpressionNode{});
}

TEST(RuleLanguage, SignatureOptionsReachTheRecord) {
  const auto result = CompileClean(
      "signature a exact wide id 7 flags 0x100 reserved1 5 reserved2 0xFFFFFFFF = \"MZ\" { 90 00 } \"\\x01\" "
      "extra { 01 02 } \"x\";\n"
      "signature b = { 4D5A 9000 };\n"
      "rule r report = a and b;");
  ASSERT_EQ(result.entries.signatures.size(), 2u);
  const SignatureInput& a = result.entries.signatures[0];
  EXPECT_EQ(a.id, 7u);
  EXPECT_EQ(a.flags, SignatureFlagExactCase | SignatureFlagWide | 0x100u);
  EXPECT_EQ(a.reserved1, 5u);
  EXPECT_EQ(a.reserved2, 0xFFFFFFFFu);
  EXPECT_EQ(a.pattern, (std::vector<uint8_t>{'M', 'Z', 0x90, 0x00, 0x01}));
  EXPECT_EQ(a.extra, (std::vector<uint8_t>{1, 2, 'x'}));
  const SignatureInput& b = result.entries.signatures[1];
  EXPECT_EQ(b.id, 8u);  // one more than the previous declaration
  EXPECT_EQ(b.flags, 0u);
  EXPECT_EQ(b.pattern, (std::vector<uint8_t>{0x4D, 0x5A, 0x90, 0x00}));
}

TEST(RuleLanguage, IdsFollowSourceOrderAcrossFiles) {
  const std::vector<rulelang::SourceFile> files{
      {"a.vsr", "rule a report = 1;\nrule b id 10 report = a;\n"}, {"b.vsr", "rule c report = b;\n"}};
  const rulelang::CompileResult result = rulelang::CompileSources(files);
  ASSERT_FALSE(result.diagnostics.HasErrors());
  ASSERT_EQ(result.entries.rules.size(), 3u);
  EXPECT_EQ(result.entries.rules[0].id, 1u);
  EXPECT_EQ(result.entries.rules[1].id, 10u);
  EXPECT_EQ(result.entries.rules[2].id, 11u);
  // c refers to b by name: rule reference to id 10.
  EXPECT_EQ(rulelang::DecodeExpression(result.entries.rules[2].expression)->operand, 10u);
}

TEST(RuleLanguage, RuleFlagsAndBodies) {
  const auto result = CompileClean(
      "rule a report flags 0x80000000 = 1;\n"
      "rule b id 3 duplicate;\n"
      "rule c report = bytes { 2A 00 00 00 } \"tail\";\n"
      "rule d report = a or b;\n");
  ASSERT_EQ(result.entries.rules.size(), 4u);
  EXPECT_EQ(result.entries.rules[0].flags, RuleFlagTopLevel | 0x80000000u);
  EXPECT_TRUE(result.entries.rules[1].expression.empty());
  EXPECT_EQ(result.entries.rules[1].flags, 0u);
  EXPECT_EQ(result.entries.rules[2].expression, (std::vector<uint8_t>{0x2A, 0, 0, 0, 't', 'a', 'i', 'l'}));
}

TEST(RuleLanguage, NamesAndTextAreStoredInWindows1252) {
  const auto result = CompileClean(
      "signature s = \"Größe €5 – ok\\x81\\x00\";\n"
      "rule Café.Noir report = s;\n"
      "rule \"Š \\\"quoted\\\" \\x9D\" report = Café.Noir;\n"
      "rule \"\" report = rule[\"Š \\\"quoted\\\" \\x9D\"];\n");
  EXPECT_EQ(result.entries.signatures[0].pattern,
            (std::vector<uint8_t>{'G', 'r', 0xF6, 0xDF, 'e', ' ', 0x80, '5', ' ', 0x96, ' ', 'o', 'k', 0x81, 0x00}));
  EXPECT_EQ(result.entries.rules[0].name, (std::vector<uint8_t>{'C', 'a', 'f', 0xE9, '.', 'N', 'o', 'i', 'r'}));
  EXPECT_EQ(result.entries.rules[1].name,
            (std::vector<uint8_t>{0x8A, ' ', '"', 'q', 'u', 'o', 't', 'e', 'd', '"', ' ', 0x9D}));
  EXPECT_TRUE(result.entries.rules[2].name.empty());
  EXPECT_EQ(rulelang::DecodeExpression(result.entries.rules[1].expression)->operand, 1u);
  EXPECT_EQ(rulelang::DecodeExpression(result.entries.rules[2].expression)->operand, 2u);
}

TEST(RuleLanguage, EachEscapeInTextIsItsByte) {
  const auto result = CompileClean(R"(signature s = "\\\"\'\0\a\b\t\n\v\f\r\x7F\u{20AC}"; rule r report = s;)");
  EXPECT_EQ(result.entries.signatures[0].pattern,
            (std::vector<uint8_t>{'\\', '"', '\'', 0, 7, 8, 9, 10, 11, 12, 13, 0x7F, 0x80}));
}

TEST(RuleLanguage, CharactersOutsideWindows1252AreRefused) {
  for (const char* source : {"rule \"日本\" = 1;", "rule Ωmega = 1;", "signature s = \"\\u{0081}\";",
                             "signature s = \"\xF0\x9F\x98\x80\";"}) {
    const rulelang::CompileResult result = CompileText(source);
    ASSERT_FALSE(Errors(result).empty()) << source;
    EXPECT_NE(Errors(result).front().find("Windows-1252"), std::string::npos) << source;
  }
}

TEST(RuleLanguage, DuplicatesOnPurpose) {
  const auto result = CompileClean(
      "signature a id 5 = \"abc\";\n"
      "signature b id 5 duplicate = \"abd\";\n"
      "rule x id 1 report = sig[5];\n"
      "rule x id 1 duplicate report = rule[1] and a and b;\n");
  EXPECT_EQ(result.entries.signatures[1].id, 5u);
  EXPECT_EQ(result.entries.rules[1].id, 1u);
  EXPECT_EQ(result.entries.rules[1].name, std::vector<uint8_t>{'x'});
}

TEST(RuleLanguage, ReferencesByIdNeedNoDeclaration) {
  const rulelang::CompileResult result = CompileText("rule r report = sig[100] or rule[7];");
  EXPECT_FALSE(result.diagnostics.HasErrors());
  EXPECT_EQ(Warnings(result),
            (std::vector<std::string>{"test.vsr:1:1: warning: rule r can never report: whatever signatures occur, it "
                                      "scores at most 0, below 0.501",
                                      "test.vsr:1:17: warning: no signature has id 100; this reference is always 0",
                                      "test.vsr:1:29: warning: no rule has id 7; this reference is always 0"}));
}

TEST(RuleLanguage, LiteralTypesAreExplicit) {
  struct Case {
    const char* source;
    uint32_t opcode;
    uint64_t operand;
  };
  const Case cases[] = {
      {"42", OpInt32, 42},
      {"-2147483648", OpInt32, 0x80000000u},
      {"0x7FFFFFFF", OpInt32, 0x7FFFFFFF},
      {"-1", OpInt32, 0xFFFFFFFFu},
      {"int32(-3)", OpInt32, 0xFFFFFFFDu},
      {"true", OpBool, 1},
      {"false", OpBool, 0},
      {"bool(200)", OpBool, 200},
      {"1.5", OpFloat64, 0x3FF8000000000000ull},
      {"1e0", OpFloat64, 0x3FF0000000000000ull},
      {"-0.0", OpFloat64, 0x8000000000000000ull},
      {"float64(3)", OpFloat64, 0x4008000000000000ull},
      {"inf", OpFloat64, 0x7FF0000000000000ull},
      {"-inf", OpFloat64, 0xFFF0000000000000ull},
      {"nan", OpFloat64, 0x7FF8000000000000ull},
      {"-nan", OpFloat64, 0xFFF8000000000000ull},
      {"float64bits(0x7FF0000000000001)", OpFloat64, 0x7FF0000000000001ull},
      {"1.5f", OpFloat32, 0x3FC00000u},
      {"3f", OpFloat32, 0x40400000u},
      {"-0.1f", OpFloat32, 0xBDCCCCCDu},
      {"float32(0.1)", OpFloat32, 0x3DCCCCCDu},
      {"float32(inf)", OpFloat32, 0x7F800000u},
      {"float32(nan)", OpFloat32, 0x7FC00000u},
      {"float32(-nan)", OpFloat32, 0xFFC00000u},
      {"float32bits(0x7FC00001)", OpFloat32, 0x7FC00001u},
  };
  for (const Case& c : cases) {
    const bytecode::ExpressionNode node = TreeOf(c.source);
    EXPECT_EQ(node.opcode, c.opcode) << c.source;
    EXPECT_EQ(node.operand, c.operand) << c.source;
  }
}

TEST(RuleLanguage, LiteralFormsReadBackToTheSameBits) {
  const uint64_t doubles[] = {0,
                              0x8000000000000000ull,
                              0x0000000000000001ull,  // smallest subnormal
                              0x000FFFFFFFFFFFFFull,  // largest subnormal
                              0x7FEFFFFFFFFFFFFFull,  // largest finite
                              0x3FB999999999999Aull,  // 0.1
                              0x3F1A36E2EB1C432Dull,  // 0.0001
                              0x47D2CED32A16A1B1ull,  // 1e38
                              0x7FF0000000000000ull,
                              0xFFF0000000000000ull,
                              0x7FF8000000000000ull,
                              0xFFF8000000000000ull,
                              0x7FF4000000000000ull,
                              0xFFFFFFFFFFFFFFFFull};
  for (const uint64_t bits : doubles) {
    const std::string form = rulelang::FormatLiteral(Literal(OpFloat64, bits));
    const bytecode::ExpressionNode node = TreeOf(form);
    EXPECT_EQ(node.opcode, OpFloat64) << form;
    EXPECT_EQ(node.operand, bits) << form;
  }
  const uint32_t floats[] = {0, 0x80000000u, 1, 0x7F7FFFFFu, 0x3DCCCCCDu, 0x7F800000u, 0xFF800000u,
                             0x7FC00000u, 0xFFC00000u, 0x7FA00000u, 0xFFFFFFFFu};
  for (const uint32_t bits : floats) {
    const std::string form = rulelang::FormatLiteral(Literal(OpFloat32, bits));
    const bytecode::ExpressionNode node = TreeOf(form);
    EXPECT_EQ(node.opcode, OpFloat32) << form;
    EXPECT_EQ(node.operand, bits) << form;
  }
}

TEST(RuleLanguage, ChainsOfOneOperatorAreOneNode) {
  const bytecode::ExpressionNode sum = TreeOf("1 + 2 + 3 + 4");
  EXPECT_EQ(sum.opcode, OpSum);
  EXPECT_EQ(sum.children.size(), 4u);
  const bytecode::ExpressionNode nested = TreeOf("(1 + 2) + 3");
  ASSERT_EQ(nested.children.size(), 2u);
  EXPECT_EQ(nested.children[0].opcode, OpSum);
  const bytecode::ExpressionNode mixed = TreeOf("1 + 2 - 3 + 4");
  EXPECT_EQ(mixed.opcode, OpSum);
  ASSERT_EQ(mixed.children.size(), 2u);
  EXPECT_EQ(mixed.children[0].opcode, OpDifference);
  const bytecode::ExpressionNode logic = TreeOf("true and false and true or false");
  EXPECT_EQ(logic.opcode, OpOr);
  EXPECT_EQ(logic.children[0].children.size(), 3u);
}

// 600 operands: the first 255 form a node that becomes the first child of the
// next, which takes 254 more, and so on; function forms split the same way.
TEST(RuleLanguage, ChainsSplitAt255Children) {
  for (const char* separator : {" + ", " and ", " ^ "}) {
    std::string chain = "1";
    for (int i = 1; i < 600; ++i) chain += std::string(separator) + "1";
    bytecode::ExpressionNode node = TreeOf(chain);
    std::vector<size_t> counts;
    for (const bytecode::ExpressionNode* level = &node; level != nullptr;) {
      counts.push_back(level->children.size());
      const bytecode::ExpressionNode* first = level->children.empty() ? nullptr : &level->children[0];
      level = first != nullptr && first->opcode == node.opcode ? first : nullptr;
    }
    EXPECT_EQ(counts, (std::vector<size_t>{92, 255, 255})) << separator;
  }
  std::string arguments = "1";
  for (int i = 1; i < 256; ++i) arguments += ", 1";
  const bytecode::ExpressionNode max = TreeOf("max(" + arguments + ")");
  ASSERT_EQ(max.children.size(), 2u);
  EXPECT_EQ(max.children[0].children.size(), 255u);
  const rulelang::CompileResult tooMany = CompileText("rule r = negate(" + arguments + ");");
  ASSERT_FALSE(Errors(tooMany).empty());
  EXPECT_EQ(Errors(tooMany).front(), "test.vsr:1:10: error: 'negate' takes at most 255 arguments");
}

TEST(RuleLanguage, WarningsForSlowPatternsAndUselessRecords) {
  const rulelang::CompileResult result = CompileText(
      "signature tiny = \"ab\";\n"
      "signature short = \"abcd\";\n"
      "signature widened wide = \"a\";\n"
      "signature long = \"a long pattern\";\n"
      "signature unused = \"another long one\";\n"
      "rule helper = tiny or short;\n"
      "rule orphan = widened;\n"
      "rule top report = helper and long and widened;\n"
      "rule empty report;\n");
  EXPECT_FALSE(result.diagnostics.HasErrors());
  EXPECT_EQ(Warnings(result),
            (std::vector<std::string>{
                "test.vsr:1:18: warning: signature 'tiny': its 2-byte pattern is checked at every position of every "
                "scan",
                "test.vsr:3:26: warning: signature 'widened': its 1-byte pattern is checked at every position of "
                "every scan",
                "test.vsr:3:26: warning: signature 'widened': its 2-byte UTF-16LE form is checked at every position "
                "of every scan",
                "test.vsr:5:1: warning: signature 'unused' is not referenced by any rule",
                "test.vsr:7:1: warning: rule orphan can never report: it is not marked 'report' and no reported "
                "rule refers to it",
                "test.vsr:9:1: warning: rule empty can never report: it has no expression"}));
}

}  // namespace
}  // namespace veltor::testing

namespace veltor::testing {
namespace {

std::string Nested(const char* function, int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += std::string(function) + "(";
  text += "1";
  text += std::string(static_cast<size_t>(levels), ')');
  return text;
}

// Trees up to the depth the decompiler shows as trees compile; deeper source
// is refused, also when the depth comes from splitting a very long chain.
TEST(RuleLanguage, ExpressionDepthIsBounded) {
  const rulelang::CompileResult deepest = CompileText("rule r report = " + Nested("sum", 199) + ";");
  ASSERT_FALSE(deepest.diagnostics.HasErrors());
  EXPECT_TRUE(rulelang::DecodeExpression(deepest.entries.rules[0].expression).has_value());

  const rulelang::CompileResult tooDeep = CompileText("rule r report = " + Nested("sum", 200) + ";");
  ASSERT_EQ(Errors(tooDeep).size(), 1u);
  EXPECT_NE(Errors(tooDeep).front().find("nested too deeply (more than 200 levels"), std::string::npos);

  std::string chain = "1";
  for (int i = 1; i < 255 * 200; ++i) chain += "+1";
  const rulelang::CompileResult longChain = CompileText("rule r report = " + chain + ";");
  ASSERT_EQ(Errors(longChain).size(), 1u);
  EXPECT_NE(Errors(longChain).front().find("a chain counts one level for every 255 operands"), std::string::npos);

  // Bytecode deeper than that is shown as raw bytes.
  std::vector<uint8_t> bytes = deepest.entries.rules[0].expression;
  const std::vector<uint8_t> wrapper = {OpSum, 0, 0, 0, 1};
  bytes.insert(bytes.begin(), wrapper.begin(), wrapper.end());
  EXPECT_FALSE(rulelang::DecodeExpression(bytes).has_value());
}

}  // namespace
}  // namespace veltor::testing
