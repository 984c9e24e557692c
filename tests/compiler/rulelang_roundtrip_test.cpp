// The decompiler's promise: any database prints as source that compiles back
// to the same records, and the source of compiled text is a fixed point.
#include <gtest/gtest.h>

#include "support/random_database.h"
#include "rulelang_test_util.h"
#include "compiler/dbwriter/database_envelope.h"
#include "compiler/dbwriter/database_writer.h"
#include "compiler/rulelang/database_image.h"
#include "compiler/rulelang/source_printer.h"

namespace veltor::testing {
namespace {

// Any records, in a body laid out by the database writer in any of its
// layouts (tables in either order, gaps, slack, bytes after totalSize, any
// envelope filler): read, printed and compiled, they give back the same
// records; the compiled records print as the same text again and read back
// the same from the database they write.
TEST(RuleLanguageRoundTrip, AnyRecordsInAnyLayoutPrintAndCompileBack) {
  for (uint32_t seed = 1; seed <= 400; ++seed) {
    RandomDatabase random(seed);
    const rulelang::DatabaseEntries original = random.Make();
    BodyOptions options;
    options.reserved1 = original.reserved1;
    options.reserved2 = original.reserved2;
    options.buildTime = random.Double();
    options.reservedArea = original.reservedArea;
    options.order = random.Chance(2) ? TableOrder::RulesFirst : TableOrder::SignaturesFirst;
    options.gapBeforeTables = static_cast<uint32_t>(random.Below(9));
    options.gapBetweenTables = static_cast<uint32_t>(random.Below(9));
    options.signatureTableSlack = static_cast<uint32_t>(random.Below(5));
    options.ruleTableSlack = static_cast<uint32_t>(random.Below(5));
    options.bytesAfterTotalSize = static_cast<uint32_t>(random.Below(5));
    options.filler = random.Byte();
    const std::vector<uint8_t> file =
        SealDatabase(WriteDatabaseBody(original.signatures, original.rules, options), original.envelope);

    std::string error;
    const std::optional<rulelang::DatabaseContents> read = rulelang::ReadDatabaseImage(file, error);
    ASSERT_TRUE(read.has_value()) << "seed " << seed << ": " << error;
    ASSERT_TRUE(read->entries == original) << "seed " << seed;
    const std::string title = "seed " + std::to_string(seed);
    const std::string source = rulelang::PrintDatabaseSource(read->entries, title);
    const rulelang::CompileResult compiled = CompileText(source);
    ASSERT_EQ(Errors(compiled), std::vector<std::string>{}) << title << "\n" << source;
    ASSERT_EQ(compiled.entries.signatures, original.signatures) << title << "\n" << source;
    ASSERT_EQ(compiled.entries.rules.size(), original.rules.size()) << title;
    for (size_t i = 0; i < original.rules.size(); ++i) {
      ASSERT_EQ(compiled.entries.rules[i], original.rules[i]) << title << " rule " << i << "\n" << source;
    }
    ASSERT_TRUE(compiled.entries == original) << title << "\n" << source;
    ASSERT_EQ(rulelang::PrintDatabaseSource(compiled.entries, title), source);
    const std::optional<rulelang::DatabaseContents> rebuilt =
        rulelang::ReadDatabaseImage(rulelang::WriteDatabaseImage(compiled.entries, options.buildTime), error);
    ASSERT_TRUE(rebuilt.has_value()) << error;
    EXPECT_TRUE(rebuilt->entries == original) << title;
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

TEST(RuleLanguageRoundTrip, BodiesTheEngineRefusesAreNotRead) {
  std::vector<uint8_t> body = rulelang::WriteBody({}, 0);
  std::string error;
  EXPECT_TRUE(rulelang::ReadBody(body, error).has_value());
  body[4] ^= 1;  // reserved1, covered by the header CRC
  EXPECT_FALSE(rulelang::ReadBody(body, error).has_value());
  EXPECT_NE(error.find("engine would refuse it"), std::string::npos);
  EXPECT_FALSE(rulelang::ReadDatabaseImage(std::vector<uint8_t>(300, 0), error).has_value());
  EXPECT_NE(error.find("not a database file"), std::string::npos);
}

}  // namespace
}  // namespace veltor::testing
