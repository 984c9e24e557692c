// The scan context over a library parsed from a real body: what it
// registers, and what a scan pass marks, evaluates and counts.
#include "engine/scan/scan_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "compiler/dbwriter/database_writer.h"
#include "engine/database/signature_library.h"
#include "engine/rules/evaluator.h"
#include "support/records.h"

namespace veltor {
namespace {

using namespace bytecode;

SignatureLibraryPtr Library(const std::vector<SignatureInput>& signatures, const std::vector<RuleInput>& rules) {
  return testing::Parse(WriteDatabaseBody(signatures, rules));
}

RuleInput Rule(uint32_t id, const ExpressionNode& expression, uint32_t flags = RuleFlagTopLevel) {
  return testing::Rule(id, "Rule." + std::to_string(id), expression, flags);
}

int32_t Pass(ScanContext& context, std::string_view bytes) {
  return RunScanPass(&context, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

std::vector<uint8_t> Hits(const ScanContext& context) {
  const uint32_t count = context.evaluation.library->header.signatureCount;
  return {context.evaluation.signatureHits.get(), context.evaluation.signatureHits.get() + count};
}

// Contexts over the same signatures (one database loaded twice) share one
// copy of the finder's tables and nothing else: interleaved streams stay
// apart. Other signatures, or the same bytes with another case rule, get
// tables of their own, and the last context to go frees its tables.
TEST(ScanContext, ContextsOverTheSameSignaturesShareOnlyTheFinderTables) {
  const std::vector<SignatureInput> signatures{testing::Signature(1, "needle"), testing::Signature(2, "hay", SignatureFlagWide)};
  const std::vector<RuleInput> rules{Rule(1, SignatureRef(1))};
  const auto first = Library(signatures, rules);
  const auto second = Library(signatures, {});
  auto exact = signatures;
  exact[0].flags = SignatureFlagExactCase;
  const auto other = Library(exact, rules);
  const size_t before = SharedFinderTablesCount();
  {
    const auto a = BuildScanContext(first.get());
    const auto b = BuildScanContext(second.get());
    const auto c = BuildScanContext(other.get());
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(SharedFinderTablesCount(), before + 2);
    BeginScanPass(a.get());
    BeginScanPass(b.get());
    BeginScanPass(c.get());
    for (const std::string_view piece : {"nee", "dle and NEE"}) {
      FeedScanPass(a.get(), reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
      FeedScanPass(b.get(), reinterpret_cast<const uint8_t*>("xh"), 2);
      FeedScanPass(c.get(), reinterpret_cast<const uint8_t*>("NEEDLE"), 6);
    }
    EXPECT_EQ(FinishScanPass(a.get()), 1);
    EXPECT_EQ(FinishScanPass(c.get()), 0);
    EXPECT_EQ(Hits(*a), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(Hits(*b), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(Hits(*c), (std::vector<uint8_t>{0, 0}));
  }
  EXPECT_EQ(SharedFinderTablesCount(), before);
}

// Loaded as a handle loads it: the library is filed and shared.
SignatureLibraryPtr Shared(const std::vector<SignatureInput>& signatures, const std::vector<RuleInput>& rules) {
  const std::vector<uint8_t> body = WriteDatabaseBody(signatures, rules);
  HeapArray<uint8_t> copy = NewBuffer<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), copy.get());
  return ShareDatabaseBody(std::move(copy), static_cast<uint32_t>(body.size()));
}

// Tables built over a shared library compare later keys with that library's
// records: they stay right after its own handle is gone, for another
// database with the same signatures, and are not taken by one whose
// patterns differ in a single byte or flag.
TEST(ScanContext, TablesOverASharedLibraryOutliveItsFirstHolder) {
  const std::vector<SignatureInput> signatures{testing::Signature(1, "needle"), testing::Signature(2, "hay", SignatureFlagWide)};
  const size_t before = SharedFinderTablesCount();
  auto first = Shared(signatures, {Rule(1, SignatureRef(1))});
  auto firstContext = BuildScanContext(first.get());
  const auto second = Shared(signatures, {Rule(2, SignatureRef(2))});
  ASSERT_TRUE(firstContext && second && first.get() != second.get());
  const auto secondContext = BuildScanContext(second.get());
  ASSERT_TRUE(secondContext);
  EXPECT_EQ(SharedFinderTablesCount(), before + 1);
  firstContext.reset();
  first.reset();
  for (const auto& [changed, tables] : std::vector<std::pair<std::vector<SignatureInput>, size_t>>{
           {{testing::Signature(1, "needle"), testing::Signature(2, "hay", SignatureFlagWide)}, before + 1},
           {{testing::Signature(1, "needlf"), testing::Signature(2, "hay", SignatureFlagWide)}, before + 2},
           {{testing::Signature(1, "needle"), testing::Signature(2, "hay")}, before + 2},
           {{testing::Signature(1, "needle")}, before + 2}}) {
    const auto third = Shared(changed, {});
    const auto thirdContext = BuildScanContext(third.get());
    ASSERT_TRUE(thirdContext);
    EXPECT_EQ(SharedFinderTablesCount(), tables);
  }
  EXPECT_EQ(Pass(*secondContext, std::string_view("NEEDLE h\0A\0y\0", 14)), 1);
  EXPECT_EQ(Hits(*secondContext), (std::vector<uint8_t>{1, 1}));
}

TEST(ScanContext, EachFormMarksItsSignatureWithItsCaseRule) {
  // Written out of id order: index order is id order.
  const auto library = Library({testing::Signature(30, "xyz", SignatureFlagExactCase | SignatureFlagWide), testing::Signature(10, "AB", SignatureFlagWide),
                                testing::Signature(20, ""), testing::Signature(25, "c\xE9")},
                               {});
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  EXPECT_GT(ScanContextMemory(context.get()), sizeof(ScanContext));
  const struct {
    std::string_view input;
    std::vector<uint8_t> hits;
  } cases[] = {
      {"ab", {1, 0, 0, 0}},
      {std::string_view("a\0B\0", 4), {1, 0, 0, 0}},
      {"C\xE9", {0, 0, 1, 0}},
      {"xyz", {0, 0, 0, 1}},
      {"XYZ", {0, 0, 0, 0}},
      {std::string_view("x\0y\0z\0", 6), {0, 0, 0, 1}},
      {std::string_view("x\0Y\0z\0", 6), {0, 0, 0, 0}},
      {std::string_view("\0\0\0", 3), {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Pass(*context, c.input), 0);
    EXPECT_EQ(Hits(*context), c.hits) << c.input;
  }
}

TEST(ScanContext, WideSignaturesAreMarkedByEitherForm) {
  const auto library = Library({testing::Signature(1, "AB", SignatureFlagWide), testing::Signature(2, "\x80", SignatureFlagWide)}, {});
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  EXPECT_EQ(Pass(*context, "..ab.."), 0);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(Pass(*context, std::string_view("a\0b\0", 4)), 0);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{1, 0}));
  // 0x80 is the euro sign: U+20AC, little-endian.
  EXPECT_EQ(Pass(*context, "\xAC\x20"), 0);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{0, 1}));
}

TEST(ScanContext, PassResultsForBadArguments) {
  const auto library = Library({testing::Signature(1, "abc")}, {Rule(1, SignatureRef(1))});
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  const uint8_t byte = 'a';
  EXPECT_EQ(RunScanPass(nullptr, &byte, 1), ScanPassBadArguments);
  EXPECT_EQ(RunScanPass(context.get(), nullptr, 1), ScanPassBadArguments);

  EXPECT_EQ(Pass(*context, "abc"), 1);
  // A zero length changes nothing: the last scan's flags stay.
  EXPECT_EQ(RunScanPass(context.get(), &byte, 0), ScanPassBadArguments);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{1}));
  EXPECT_EQ(context->evaluation.ruleEvaluated[0], RuleMemoised);

  ScanContext orphan;
  EXPECT_EQ(RunScanPass(&orphan, &byte, 1), ScanPassNoLibrary);
  EXPECT_EQ(BuildScanContext(nullptr), nullptr);
}

TEST(ScanContext, CountsTopLevelRulesStrictlyAboveTheFiringThreshold) {
  const double threshold = 0.0001;
  const auto library = Library({}, {Rule(1, Float64(threshold)), Rule(2, Float64(std::nextafter(threshold, 1.0))),
                                    Rule(3, Float64(std::nan(""))), Rule(4, Float64(-5.0)), Rule(5, Float64(2.0)),
                                    Rule(6, Float64(9.0), 0)});
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  // No signatures: the rules are evaluated all the same.
  EXPECT_EQ(Pass(*context, "anything"), 2);
  EXPECT_EQ(context->evaluation.ruleEvaluated[5], RuleNotEvaluated) << "not top-level, not referenced";
}

TEST(ScanContext, ALibraryWithoutRulesFiresNothing) {
  const auto library = Library({testing::Signature(1, "a")}, {});
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);
  EXPECT_EQ(Pass(*context, "aaaa"), 0);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{1}));
}

TEST(ScanContext, ConsecutivePassesStartFromClearedFlagsAndLeaveScoresAlone) {
  const auto library = Library({testing::Signature(1, "first"), testing::Signature(2, "second"), testing::Signature(3, "")},
                               {Rule(1, SignatureRef(1)), Rule(2, SignatureRef(2)), Rule(3, SignatureRef(3)),
                                Rule(4, Int32(1), 0)});
  const auto context = BuildScanContext(library.get());
  ASSERT_TRUE(context);

  EXPECT_EQ(Pass(*context, "first"), 1);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{1, 0, 0}));
  context->evaluation.ruleValues[3] = 42.0;  // an unevaluated rule's slot: the pass never touches it

  EXPECT_EQ(Pass(*context, "second"), 1);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{0, 1, 0}));
  EXPECT_EQ(context->evaluation.ruleValues[0], 0.0);
  EXPECT_EQ(context->evaluation.ruleValues[1], 1.0);
  EXPECT_EQ(context->evaluation.ruleValues[3], 42.0);

  // A signature without a pattern is never marked.
  EXPECT_EQ(Pass(*context, std::string(1000, '\0')), 0);
  EXPECT_EQ(Hits(*context), (std::vector<uint8_t>{0, 0, 0}));
}

TEST(ScanContext, ARingScoresTheSameWhicheverRuleThePassMeetsFirst) {
  // Rules 1 and 2 refer to each other: each reads 0 for the other, so rule
  // 1 scores 0 and rule 2 scores 1, with the ids either way round.
  for (const auto& [first, second] : {std::pair<uint32_t, uint32_t>{1, 2}, {2, 1}}) {
    const auto library = Library({}, {Rule(first, RuleRef(second)), Rule(second, Sum(RuleRef(first), Int32(1)))});
    const auto context = BuildScanContext(library.get());
    ASSERT_TRUE(context);
    EXPECT_EQ(Pass(*context, "x"), 1);
    EXPECT_EQ(context->evaluation.ruleValues[first - 1], 0.0);
    EXPECT_EQ(context->evaluation.ruleValues[second - 1], 1.0);
  }
}

}  // namespace
}  // namespace veltor
