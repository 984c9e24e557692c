// Broken sources: every error carries its position, and one run reports all.
#include <gtest/gtest.h>

#include "rulelang_test_util.h"

namespace veltor::testing {
namespace {

struct BrokenSource {
  const char* source;
  const char* firstError;  // the whole first line, position included
};

void PrintTo(const BrokenSource& c, std::ostream* out) { PrintSource(c.source, out); }

class BrokenSourceTest : public ::testing::TestWithParam<BrokenSource> {};

TEST_P(BrokenSourceTest, ReportsTheErrorAtItsPosition) {
  const rulelang::CompileResult result = CompileText(GetParam().source);
  const std::vector<std::string> errors = Errors(result);
  ASSERT_FALSE(errors.empty()) << GetParam().source;
  EXPECT_EQ(errors.front(), GetParam().firstError) << GetParam().source;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BrokenSourceTest,
    ::testing::Values(
        BrokenSource{"signature a = \"abc\"", "test.vsr:1:20: error: expected ';' after the signature, found end of file"},
        BrokenSource{"signature a \"abc\";", "test.vsr:1:13: error: expected '=' before the signature's pattern, found a string"},
        BrokenSource{"signature a = 5;",
                     "test.vsr:1:15: error: expected a pattern (a \"text\" string or a { hex } block), found '5'"},
        BrokenSource{"signature a = { 4D 5 };", "test.vsr:1:20: error: odd number of hex digits; write every byte as two digits"},
        BrokenSource{"signature a = { 4D ZZ };",
                     "test.vsr:1:20: error: unexpected character in a hex block; only hex digit pairs may stand there"},
        BrokenSource{"signature a = { 4D", "test.vsr:1:15: error: hex block is not closed with '}'"},
        BrokenSource{"signature a = \"abc;", "test.vsr:1:15: error: unterminated string"},
        BrokenSource{"signature a = \"a\\qb\";", "test.vsr:1:17: error: unknown escape \\q"},
        BrokenSource{"signature a = \"a\\x4\";", "test.vsr:1:17: error: \\x needs two hexadecimal digits"},
        BrokenSource{"signature a = \"\xE2\x86\x92\";",
                     "test.vsr:1:16: error: character U+2192 has no Windows-1252 form; write the bytes wanted as "
                     "\\xNN escapes"},
        BrokenSource{"signature a exact exact = \"abc\";", "test.vsr:1:19: error: 'exact' is given twice"},
        BrokenSource{"signature a id 4294967296 = \"abc\";",
                     "test.vsr:1:16: error: an id 4294967296 is too large (at most 4294967295)"},
        BrokenSource{"signature rule = \"abc\";", "test.vsr:1:11: error: 'rule' is a keyword and cannot name a signature"},
        BrokenSource{"rule and = 1;", "test.vsr:1:6: error: 'and' is a keyword; write the rule's name in quotes"},
        BrokenSource{"rule r = 1 +;", "test.vsr:1:13: error: expected an operand, found ';'"},
        BrokenSource{"rule r = (1 + 2;", "test.vsr:1:16: error: expected ')' to close the parenthesis, found ';'"},
        BrokenSource{"rule r = 1 < 2 < 3;", "test.vsr:1:16: error: comparisons do not chain; use parentheses or 'and'"},
        BrokenSource{"rule r = 1 != 2;", "test.vsr:1:12: error: there is no '!=' operator; write not (a == b)"},
        BrokenSource{"rule r = 2147483648;",
                     "test.vsr:1:10: error: integer 2147483648 is out of the 32-bit integer range; write a float such "
                     "as 2147483648.0"},
        BrokenSource{"rule r = 99999999999;",
                     "test.vsr:1:10: error: integer 99999999999 is out of the 32-bit integer range; write a float "
                     "such as 99999999999.0"},
        BrokenSource{"rule r = 1e999;", "test.vsr:1:10: error: number 1e999 is out of the 64-bit float range"},
        BrokenSource{"rule r = 1e39f;", "test.vsr:1:10: error: number 1e39f is out of the 32-bit float range"},
        BrokenSource{"rule r = 12abc;", "test.vsr:1:12: error: unexpected character after number 12"},
        BrokenSource{"rule r = frobnicate(1);", "test.vsr:1:10: error: unknown function 'frobnicate'"},
        BrokenSource{"rule r = bool(256);", "test.vsr:1:10: error: bool() takes a byte value from 0 to 255"},
        BrokenSource{"rule r = int32(1.5);", "test.vsr:1:10: error: int32() takes an integer"},
        BrokenSource{"rule r = float32(a);", "test.vsr:1:10: error: 'float32' takes one number"},
        BrokenSource{"rule r = op(3, 1);",
                     "test.vsr:1:10: error: op() is for aggregate and unrecognised opcodes; opcode 3 is a literal or "
                     "a reference"},
        BrokenSource{"rule r = missing;",
                     "test.vsr:1:10: error: unknown name 'missing': no signature or rule is declared with it"},
        BrokenSource{"rule r = rule[\"gone\"];",
                     "test.vsr:1:10: error: unknown name rule[\"gone\"]: no signature or rule is declared with it"},
        BrokenSource{"rule r = sig[-1];", "test.vsr:1:14: error: expected a signature id, found '-'"},
        BrokenSource{"rule r report report = 1;", "test.vsr:1:15: error: 'report' is given twice"},
        BrokenSource{"rule r = 1;\nrule r = 2;",
                     "test.vsr:2:6: error: rule r is already declared at test.vsr:1:6; write 'duplicate' if both rules "
                     "are meant to have this name"},
        BrokenSource{"signature s = \"abc\";\nsignature s = \"abd\";",
                     "test.vsr:2:11: error: signature 's' is already declared at test.vsr:1:11"},
        BrokenSource{"signature a id 5 = \"abc\";\nsignature b id 5 = \"abd\";",
                     "test.vsr:2:16: error: signature id 5 is already used at test.vsr:1:1; write 'duplicate' if "
                     "both records are meant to have it"},
        BrokenSource{"rule a id 4 = 1;\nrule b id 3 = 1;\nrule c = 1;",
                     "test.vsr:3:1: error: rule id 4 is already used at test.vsr:1:1; write 'duplicate' if both "
                     "records are meant to have it"},
        BrokenSource{"signature x = \"abc\";\nrule x = 1;",
                     "test.vsr:2:6: error: rule x has the name of the signature declared at test.vsr:1:11"},
        BrokenSource{"rule r = 1;\nrule s = r2 + 1;", "test.vsr:2:10: error: unknown name 'r2': no signature or rule is declared with it"},
        BrokenSource{"rule a = 1;\nrule a duplicate = 1;\nrule b = a;",
                     "test.vsr:3:10: error: name 'a' belongs to 2 rules; refer to one of them by id, as in rule[1]"},
        BrokenSource{"database reserved \"0123456789012345678901234567890123456789012345678901234567890123456789\";",
                     "test.vsr:1:1: error: 'reserved' holds at most 68 bytes, not 70"},
        BrokenSource{"database;\ndatabase;", "test.vsr:2:1: error: a second 'database' statement; the first is at test.vsr:1:1"},
        BrokenSource{"signature a = \"x\"; @", "test.vsr:1:20: error: unexpected character '@'"},
        BrokenSource{"rule r = 1; 42", "test.vsr:1:13: error: expected 'signature', 'rule' or 'database', found '42'"}));

TEST(RuleLanguageErrors, OneRunReportsEveryError) {
  const rulelang::CompileResult result = CompileText(
      "signature a = \"abc\"\n"     // missing ';' (the next statement still parses)
      "signature b = { 4 };\n"      // odd hex digit
      "rule r = 1 +;\n"             // missing operand
      "rule s = unknown;\n"         // unresolved name
      "rule t = \"\xE2\x82\xAC\" + 1;\n"  // a string is no operand
      "rule u report = b;\n");      // fine
  const std::vector<std::string> errors = Errors(result);
  ASSERT_EQ(errors.size(), 5u) << ::testing::PrintToString(errors);
  EXPECT_EQ(errors[0], "test.vsr:2:1: error: expected ';' after the signature, found 'signature'");
  EXPECT_EQ(errors[1], "test.vsr:2:17: error: odd number of hex digits; write every byte as two digits");
  EXPECT_EQ(errors[2], "test.vsr:3:13: error: expected an operand, found ';'");
  EXPECT_EQ(errors[3], "test.vsr:4:10: error: unknown name 'unknown': no signature or rule is declared with it");
  EXPECT_EQ(errors[4], "test.vsr:5:10: error: expected an operand, found a string");
}

TEST(RuleLanguageErrors, ColumnsCountCharactersNotBytes) {
  // "é€" are two characters of five UTF-8 bytes before the error.
  const rulelang::CompileResult result = CompileText("rule \"é€\" = @;");
  ASSERT_FALSE(Errors(result).empty());
  EXPECT_EQ(Errors(result).front(), "test.vsr:1:13: error: unexpected character '@'");
}

TEST(RuleLanguageErrors, FilesKeepTheirOwnNamesAndLines) {
  const std::vector<rulelang::SourceFile> files{{"one.vsr", "rule a report = b;\n"},
                                                {"two.vsr", "\nrule b = c;\n"}};
  const rulelang::CompileResult result = rulelang::CompileSources(files);
  ASSERT_EQ(result.diagnostics.ErrorCount(), 1u);
  EXPECT_EQ(rulelang::FormatDiagnostic(result.diagnostics.items.front(), files),
            "two.vsr:2:10: error: unknown name 'c': no signature or rule is declared with it");
}

TEST(RuleLanguageErrors, NestingBeyondTheLimitIsAnErrorNotACrash) {
  const std::string deep = "rule r report = " + std::string(5000, '(') + "1" + std::string(5000, ')') + ";";
  const rulelang::CompileResult result = CompileText(deep);
  ASSERT_EQ(result.diagnostics.ErrorCount(), 1u);
  EXPECT_NE(Errors(result).front().find("nested too deeply"), std::string::npos);
}

}  // namespace
}  // namespace veltor::testing
