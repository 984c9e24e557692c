// Scanning buffers and files through the exports, and what the host's
// callbacks receive.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>

#include "engine/api/api_fixture.h"
#include "compiler/bytecode/expression_tree.h"

namespace veltor::testing {
namespace {

using namespace bytecode;

const VeltorWideChar* Wide(const std::u16string& text) { return reinterpret_cast<const VeltorWideChar*>(text.c_str()); }

class ScanReporting : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(ScanReporting, ThresholdsAndLevels) {
  struct Case {
    double score;
    int32_t expectedLevel;  // 0: not reported
  };
  const Case cases[] = {{0.5, 0},
                        {std::nextafter(0.501, 0.0), 0},
                        {0.501, 2},
                        {0.9, 2},
                        {std::nextafter(0.999, 0.0), 2},
                        {0.999, 1},
                        {1.0, 1},
                        {-1.0, 0},
                        {1e300, 1},
                        {std::nan(""), 0}};
  for (const Case& c : cases) {
    const auto database = WriteDatabase(dir, "threshold.vlb", {}, {Rule(1, "Scored", Float64(c.score))});
    Handle handle(Open(database));
    ASSERT_TRUE(handle);
    int32_t result = -1;
    const auto reports = ScanText(handle.get(), "anything", &result);
    if (c.expectedLevel == 0) {
      EXPECT_EQ(result, 0) << c.score;
      EXPECT_TRUE(reports.empty()) << c.score;
    } else {
      EXPECT_EQ(result, 1) << c.score;
      EXPECT_EQ(reports, (std::vector<AnsiReport>{{c.expectedLevel, "Scored"}})) << c.score;
    }
  }
}

TEST_F(ScanReporting, ANullCallbackStillCounts) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {Signature(1, "abc")},
                                   {Rule(1, "A", SignatureRef(1)), Rule(2, "B", Float64(0.7)),
                                    Rule(3, "C", Float64(0.2))})));
  ASSERT_TRUE(handle);
  EXPECT_EQ(Veltor().memoryA(handle.get(), "xxabcxx", 7, nullptr, nullptr), 2);
  EXPECT_EQ(Veltor().memoryW(handle.get(), "xxabcxx", 7, nullptr, nullptr), 2);
  EXPECT_EQ(Veltor().memoryA(handle.get(), "nothing", 7, nullptr, nullptr), 1);
}

TEST_F(ScanReporting, UnnamedRulesGiveNullToAnsiAndEmptyToWide) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {}, {Rule(1, "", Int32(1))})));
  ASSERT_TRUE(handle);
  std::vector<AnsiReport> ansi;
  EXPECT_EQ(Veltor().memoryA(handle.get(), "x", 1, CollectAnsi, &ansi), 1);
  EXPECT_EQ(ansi, (std::vector<AnsiReport>{{1, std::nullopt}}));
  std::vector<WideReport> wide;
  EXPECT_EQ(Veltor().memoryW(handle.get(), "x", 1, CollectWide, &wide), 1);
  EXPECT_EQ(wide, (std::vector<WideReport>{{1, u""}}));
}

TEST_F(ScanReporting, WideNamesAreConvertedFromWindows1252) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {}, {Rule(1, "Caf\xE9 \x80 \x9F", Int32(1))})));
  ASSERT_TRUE(handle);
  std::vector<WideReport> wide;
  EXPECT_EQ(Veltor().memoryW(handle.get(), "x", 1, CollectWide, &wide), 1);
  EXPECT_EQ(wide, (std::vector<WideReport>{{1, u"Caf\u00E9 \u20AC \u0178"}}));
  std::vector<AnsiReport> ansi;
  Veltor().memoryA(handle.get(), "x", 1, CollectAnsi, &ansi);
  EXPECT_EQ(ansi, (std::vector<AnsiReport>{{1, "Caf\xE9 \x80 \x9F"}}));
}

TEST_F(ScanReporting, ReportsComeInRuleIdOrderOncePerRule) {
  // Written out of id order, matched in the reverse order of the ids, and
  // one pattern occurring many times.
  Handle handle(Open(WriteDatabase(
      dir, "rules.vlb", {Signature(10, "first"), Signature(20, "second"), Signature(30, "third")},
      {Rule(300, "Third", SignatureRef(10)), Rule(100, "First", SignatureRef(30)),
       Rule(200, "Second", SignatureRef(20)), Rule(150, "Second", SignatureRef(20)),
       InnerRule(50, "Inner", Int32(1))})));
  ASSERT_TRUE(handle);
  int32_t result = 0;
  const auto reports = ScanText(handle.get(), "third second first first first first", &result);
  EXPECT_EQ(result, 4);
  EXPECT_EQ(reports, (std::vector<AnsiReport>{{1, "First"}, {1, "Second"}, {1, "Second"}, {1, "Third"}}));
}

TEST_F(ScanReporting, RulesBelowTheReportThresholdAreNeitherReportedNorCounted) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {},
                                   {Rule(1, "Low", Float64(0.3)), Rule(2, "High", Float64(0.6))})));
  int32_t result = 0;
  EXPECT_EQ(ScanText(handle.get(), "x", &result), (std::vector<AnsiReport>{{2, "High"}}));
  EXPECT_EQ(result, 1);
}

TEST_F(ScanReporting, BadArgumentsReturnZeroWithoutCalls) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {}, {Rule(1, "Always", Int32(1))})));
  ASSERT_TRUE(handle);
  std::vector<AnsiReport> ansi;
  std::vector<WideReport> wide;
  const auto file = dir.Write("sample.txt", "content");
  EXPECT_EQ(Veltor().memoryA(handle.get(), "x", 0, CollectAnsi, &ansi), 0);
  EXPECT_EQ(Veltor().memoryA(handle.get(), "x", -1, CollectAnsi, &ansi), 0);
  EXPECT_EQ(Veltor().memoryA(handle.get(), nullptr, 1, CollectAnsi, &ansi), 0);
  EXPECT_EQ(Veltor().memoryA(nullptr, "x", 1, CollectAnsi, &ansi), 0);
  EXPECT_EQ(Veltor().memoryW(handle.get(), "x", -1, CollectWide, &wide), 0);
  EXPECT_EQ(Veltor().memoryW(nullptr, "x", 1, CollectWide, &wide), 0);
  EXPECT_EQ(Veltor().fileA(handle.get(), nullptr, CollectAnsi, &ansi), 0);
  EXPECT_EQ(Veltor().fileA(nullptr, file.string().c_str(), CollectAnsi, &ansi), 0);
  EXPECT_EQ(Veltor().fileW(handle.get(), nullptr, CollectWide, &wide), 0);
  EXPECT_EQ(Veltor().fileA(handle.get(), (dir.path() / "missing").string().c_str(), CollectAnsi, &ansi), 0);
  EXPECT_TRUE(ansi.empty());
  EXPECT_TRUE(wide.empty());
  // The handle still works afterwards.
  EXPECT_EQ(Veltor().fileA(handle.get(), file.string().c_str(), CollectAnsi, &ansi), 1);
  EXPECT_EQ(Veltor().fileW(handle.get(), Wide(WidePath(file)), CollectWide, &wide), 1);
}

TEST_F(ScanReporting, FilesFromOneByteToTheSixteenMebibyteCap) {
  // The pattern sits in the file's last bytes, so a file scanned only in part
  // would not report.
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {Signature(1, "TAIL")},
                                   {Rule(1, "Tail", SignatureRef(1))})));
  ASSERT_TRUE(handle);
  const auto writeFile = [&](const char* name, size_t size) {
    std::string content(size, 'x');
    if (size >= 4) content.replace(size - 4, 4, "TAIL");
    return dir.Write(name, content);
  };
  struct Case {
    const char* name;
    size_t size;
    int32_t expected;
  };
  const Case cases[] = {{"empty", 0, 0}, {"four", 4, 1}, {"cap", 16777216, 1}, {"over-cap", 16777217, 0}};
  for (const Case& c : cases) {
    const auto path = writeFile(c.name, c.size);
    std::vector<AnsiReport> ansi;
    EXPECT_EQ(Veltor().fileA(handle.get(), path.string().c_str(), CollectAnsi, &ansi), c.expected) << c.name;
    EXPECT_EQ(ansi.size(), static_cast<size_t>(c.expected)) << c.name;
    std::vector<WideReport> wide;
    EXPECT_EQ(Veltor().fileW(handle.get(), Wide(WidePath(path)), CollectWide, &wide), c.expected) << c.name;
    std::filesystem::remove(path);
  }
}

// Loop reads itself while in progress: 0 in every scan, never the score the
// previous scan left.
TEST_F(ScanReporting, ConsecutiveScansDoNotSeeEachOthersHitsOrScores) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {Signature(1, "alpha"), Signature(2, "beta")},
                                   {Rule(1, "Alpha", SignatureRef(1)), Rule(2, "Beta", SignatureRef(2)),
                                    Rule(3, "Loop", Sum(RuleRef(3), SignatureRef(1)))})));
  EXPECT_EQ(ScanText(handle.get(), "alpha"), (std::vector<AnsiReport>{{1, "Alpha"}, {1, "Loop"}}));
  EXPECT_EQ(ScanText(handle.get(), "beta"), (std::vector<AnsiReport>{{1, "Beta"}}));
  EXPECT_TRUE(ScanText(handle.get(), "gamma").empty());
}

TEST_F(ScanReporting, WideSignaturesMatchTheirUtf16Form) {
  Handle handle(Open(WriteDatabase(dir, "rules.vlb", {Signature(1, "Caf\xE9", SignatureFlagWide)},
                                   {Rule(1, "Wide", SignatureRef(1))})));
  const char utf16[] = "C\0a\0f\0\xE9\0";
  EXPECT_EQ(Veltor().memoryA(handle.get(), utf16, 8, nullptr, nullptr), 1);
  EXPECT_EQ(Veltor().memoryA(handle.get(), "CAF\xE9", 4, nullptr, nullptr), 1);
  EXPECT_EQ(Veltor().memoryA(handle.get(), "C\0A\0F\0", 6, nullptr, nullptr), 0);
}

}  // namespace
}  // namespace veltor::testing
