// The decompiler's promise: any database prints as source that compiles back
// to the same records, and the source of compiled text is a fixed point.
#include <gtest/gtest.h>

#include "random_database.h"
#include "rulelang_test_util.h"
#include "tools/rulelang/source_printer.h"

namespace veltor::testing {
namespace {

TEST(RuleLanguageRoundTrip, AnyRecordsPrintAndCompileBack) {
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    RandomDatabase random(seed);
    const rulelang::DatabaseEntries original = random.Make();
    const std::string source = rulelang::PrintDatabaseSource(original, "seed " + std::to_string(seed));
    const rulelang::CompileResult compiled = CompileText(source);
    ASSERT_EQ(Errors(compiled), std::vector<std::string>{}) << "seed " << seed << "\n" << source;
    ASSERT_EQ(compiled.entries.signatures, original.signatures) << "seed " << seed << "\n" << source;
    ASSERT_EQ(compiled.entries.rules.size(), original.rules.size()) << "seed " << seed;
    for (size_t i = 0; i < original.rules.size(); ++i) {
      ASSERT_EQ(compiled.entries.rules[i], original.rules[i]) << "seed " << seed << " rule " << i << "\n" << source;
    }
    ASSERT_TRUE(compiled.entries == original) << "seed " << seed << "\n" << source;
    // Printing what was compiled gives the same text again.
    ASSERT_EQ(rulelang::PrintDatabaseSource(compiled.entries, "seed " + std::to_string(seed)), source);
  }
}

TEST(RuleLanguageRoundTrip, ExpressionsPrintWithTheOperatorsTheyWereWrittenIn) {
  const rulelang::CompileResult compiled = CompileText(
      "signature mz = \"MZ\";\n"
      "rule Helper = mz;\n"
      "rule \"Top rule\" report = (mz and Helper) or rule[\"Top rule\"] > 0.5 and not mz xor 2 ^ -1 ^ 3 == 1 "
      "or (1 + 2) + 3 * -4 - -5 / (6 - 7) or max(1, 2f) <= root(9, 2) or op(7, 1, sig[9]);\n");
  ASSERT_FALSE(compiled.diagnostics.HasErrors());
  EXPECT_EQ(rulelang::PrintDatabaseSource(compiled.entries, ""),
            "signature id 1 = \"MZ\";\n"
            "\n"
            "rule Helper id 1 = sig[1];\n"
            "rule \"Top rule\" id 2 report = sig[1] and Helper or rule[\"Top rule\"] > 0.5 and not sig[1] xor 2 ^ "
            "(-1) ^ 3 == 1 or (1 + 2) + 3 * -4 - -5 / (6 - 7) or max(1, 2f) <= root(9, 2) or op(7, 1, sig[9]);\n");
}

}  // namespace
}  // namespace veltor::testing
