// Out-of-memory paths of the matcher: every allocation of each operation is
// made to fail in turn; the operation must report failure, leave the matcher
// as documented and leak nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "engine/matcher/literal_finder.h"
#include "engine/matcher/pattern_matcher.h"
#include "support/allocation_failure.h"

namespace veltor {
namespace {

using testing::AllocationFailureScope;
using testing::ForEachAllocationFailure;
using testing::LiveAllocationCount;

const uint8_t* Bytes(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

int32_t Add(PatternMatcher* matcher, std::string_view pattern, int32_t tag) {
  return AddPattern(matcher, Bytes(pattern), static_cast<int32_t>(pattern.size()), 0, tag);
}

// Counts hits without allocating, so that only the matcher's own
// allocations are walked.
void CountHit(int32_t, int32_t, void* userData) { ++*static_cast<int32_t*>(userData); }

constexpr std::string_view Haystack = "an ab abc abcd xyzzy ABCDEF";

PatternMatcherPtr MakeMatcher() {
  PatternMatcherPtr matcher = CreateMatcher();
  if (!matcher) return matcher;
  Add(matcher.get(), "ab", 1);
  Add(matcher.get(), "a", 2);
  Add(matcher.get(), "abcd", 3);
  Add(matcher.get(), "zzy", 4);
  Add(matcher.get(), "abc", 5);
  return matcher;
}

constexpr int32_t HaystackHits = 15;  // a 5, ab 4, abc 3, abcd 2, zzy 1

void ExpectNoTables(const PatternMatcher& matcher) {
  EXPECT_FALSE(matcher.longSet || matcher.shortSet || matcher.shiftTable || matcher.longIndex);
  EXPECT_TRUE(std::all_of(std::begin(matcher.shortIndex), std::end(matcher.shortIndex),
                          [](int32_t start) { return start == 0; }));
  EXPECT_EQ(matcher.built, 0);
}

int32_t CountHits(PatternMatcher* matcher) {
  int32_t calls = 0;
  const int32_t count =
      SearchBuffer(matcher, Bytes(Haystack), static_cast<int32_t>(Haystack.size()), CountHit, &calls);
  EXPECT_EQ(count, calls);
  return count;
}

TEST(MatcherOutOfMemory, CreateMatcherReturnsNull) {
  const int64_t live = LiveAllocationCount();
  const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
    PatternMatcherPtr matcher = CreateMatcher();
    EXPECT_EQ(matcher == nullptr, scope.Triggered());
  });
  EXPECT_GE(points, 1);
  EXPECT_EQ(LiveAllocationCount(), live);
}

TEST(MatcherOutOfMemory, AddPatternLeavesMatcherUnchanged) {
  const int64_t start = LiveAllocationCount();
  {
    PatternMatcherPtr matcher = MakeMatcher();
    ASSERT_EQ(BuildTables(matcher.get()), 1);
    for (std::string_view pattern : {std::string_view("xy"), std::string_view("zz")}) {
      const int32_t longBefore = matcher->longCount;
      const int32_t shortBefore = matcher->shortCount;
      const int32_t builtBefore = matcher->built;
      const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
        const int64_t live = LiveAllocationCount();
        const auto listLength = std::distance(matcher->patterns.begin(), matcher->patterns.end());
        const int32_t result = Add(matcher.get(), pattern, 9);
        if (!scope.Triggered()) return;  // the last run succeeds
        EXPECT_EQ(result, 0);
        EXPECT_EQ(LiveAllocationCount(), live);
        EXPECT_EQ(std::distance(matcher->patterns.begin(), matcher->patterns.end()), listLength);
        EXPECT_EQ(matcher->longCount, longBefore);
        EXPECT_EQ(matcher->shortCount, shortBefore);
        EXPECT_EQ(matcher->minLength, 3);
        EXPECT_EQ(matcher->built, builtBefore);
      });
      EXPECT_GE(points, 2);  // both copies; the list grows a block at a time
      EXPECT_EQ(matcher->longCount + matcher->shortCount, longBefore + shortBefore + 1);
      EXPECT_EQ(matcher->built, 0);
    }
  }
  EXPECT_EQ(LiveAllocationCount(), start);
}

TEST(MatcherOutOfMemory, BuildTablesFailureLeavesMatcherOpenWithoutTables) {
  const int64_t start = LiveAllocationCount();
  {
    PatternMatcherPtr matcher = MakeMatcher();
    int failures = 0;
    ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
      // As after a registration: the next build starts from scratch.
      ResetTables(matcher.get());
      matcher->built = 0;
      const int64_t live = LiveAllocationCount();
      const int32_t result = BuildTables(matcher.get());
      if (result == 1) return;  // a sort that could not get scratch memory still succeeds
      ++failures;
      EXPECT_TRUE(scope.Triggered());
      ExpectNoTables(*matcher);
      EXPECT_EQ(matcher->longCount, 3);
      EXPECT_EQ(matcher->shortCount, 2);
      EXPECT_EQ(matcher->minLength, 3);
      EXPECT_EQ(LiveAllocationCount(), live);
    });
    EXPECT_GE(failures, 6);  // both sets, both large tables, both flag arrays
    EXPECT_EQ(matcher->built, 1);
    EXPECT_EQ(CountHits(matcher.get()), HaystackHits);
  }
  EXPECT_EQ(LiveAllocationCount(), start);
}

TEST(MatcherOutOfMemory, SearchReturnsZeroWithoutCallbacks) {
  PatternMatcherPtr matcher = MakeMatcher();
  ASSERT_EQ(CountHits(matcher.get()), HaystackHits);
  for (bool rebuild : {false, true}) {
    const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
      if (rebuild) {
        ResetTables(matcher.get());
        matcher->built = 0;
      }
      const int64_t live = LiveAllocationCount();
      int32_t calls = 0;
      const int32_t result =
          SearchBuffer(matcher.get(), Bytes(Haystack), static_cast<int32_t>(Haystack.size()), CountHit, &calls);
      EXPECT_EQ(result, calls);
      if (result != 0) {
        EXPECT_EQ(result, HaystackHits);
        return;
      }
      EXPECT_TRUE(scope.Triggered());
      if (matcher->built == 0) ExpectNoTables(*matcher);  // the build failed
      if (matcher->built == 0 || !rebuild) {
        EXPECT_EQ(LiveAllocationCount(), live);
      }
    });
    EXPECT_GE(points, rebuild ? 7 : 1);
  }
}

TEST(MatcherOutOfMemory, HolderReportsFailedBuild) {
  MatcherHolder holder{MakeMatcher(), false};
  ASSERT_TRUE(holder.matcher);
  int buildFailures = 0;
  ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
    holder.ready = false;
    holder.matcher->built = 0;
    int32_t calls = 0;
    const int32_t result =
        HolderSearch(&holder, Bytes(Haystack), static_cast<int32_t>(Haystack.size()), CountHit, &calls);
    if (result == HolderBuildFailed) {
      ++buildFailures;
      EXPECT_TRUE(scope.Triggered());
      EXPECT_FALSE(holder.ready);
      ExpectNoTables(*holder.matcher);
    } else if (result == 0) {
      EXPECT_TRUE(scope.Triggered());  // the scratch copy failed after a good build
      EXPECT_TRUE(holder.ready);
    } else {
      EXPECT_EQ(result, HaystackHits);
    }
    EXPECT_EQ(calls, result > 0 ? result : 0);
  });
  EXPECT_GE(buildFailures, 6);

  // Once ready, a failed rebuild inside the search is a plain 0.
  ASSERT_TRUE(holder.ready);
  holder.matcher->built = 0;
  int32_t calls = 0;
  AllocationFailureScope failFirst(1);
  EXPECT_EQ(HolderSearch(&holder, Bytes(Haystack), static_cast<int32_t>(Haystack.size()), CountHit, &calls), 0);
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(failFirst.Triggered());
}

// The scan path's finder: on every path its build can take, each
// allocation failing in turn gives no finder and leaks nothing; the build
// that no failure reaches marks what a finder should.
TEST(MatcherOutOfMemory, FinderBuildFailsWholeOnEveryPath) {
  PatternMatcherPtr matcher = MakeMatcher();
  ASSERT_EQ(AddPattern(matcher.get(), Bytes("XyZ"), 3, 1, 6), 1);  // exact-case
  ASSERT_EQ(AddPattern(matcher.get(), Bytes("ABCDEF"), 6, 1, 7), 1);
  FinderOptions automata;
  automata.filter = FilterKind::None;
  FinderOptions wide = automata;
  wide.wideRows = true;
  FinderOptions hashed;
  hashed.filter = FilterKind::Hashed;
  FinderOptions nibble;
  nibble.filter = FilterKind::Nibble;
  FinderOptions classes;
  classes.classRows = ClassRowChoice::Lanes;
  for (const FinderOptions& options : {FinderOptions{}, automata, wide, hashed, nibble, classes}) {
    const int64_t live = LiveAllocationCount();
    uint8_t hits[8] = {};
    const int64_t points = ForEachAllocationFailure([&](const AllocationFailureScope& scope) {
      const LiteralFinderPtr finder = BuildLiteralFinder(matcher.get(), options);
      EXPECT_EQ(finder == nullptr, scope.Triggered());
      if (!finder) return;
      BeginFinderScan(finder.get());
      FeedFinder(finder.get(), Bytes(Haystack), Haystack.size(), hits, sizeof hits);
    });
    EXPECT_GE(points, 8) << FilterKindName(options.filter);
    // a, ab, abc, abcd, zzy, ABCDEF; not the exact-case XyZ.
    const uint8_t expected[8] = {0, 1, 1, 1, 1, 1, 0, 1};
    EXPECT_TRUE(std::equal(hits, hits + 8, expected)) << FilterKindName(options.filter);
    EXPECT_EQ(LiveAllocationCount(), live);
  }
}

}  // namespace
}  // namespace veltor
