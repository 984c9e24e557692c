// The matcher through its contract: what is found, where and in which
// order, counts, argument checks, rebuilds and the holder's result codes.
// Correctness over random patterns and inputs is matcher_differential_test's.
#include "engine/matcher/pattern_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "engine/matcher/hit_recorder.h"

namespace veltor {
namespace {

using testing::Hits;
using testing::RecordHit;

const uint8_t* Bytes(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

int32_t Add(PatternMatcher* matcher, std::string_view pattern, int32_t tag, int32_t exactCase = 0) {
  return AddPattern(matcher, Bytes(pattern), static_cast<int32_t>(pattern.size()), exactCase, tag);
}

// The hits in order; the count returned must be their number.
Hits Search(PatternMatcher* matcher, std::string_view input) {
  Hits hits;
  const int32_t found = SearchBuffer(matcher, Bytes(input), static_cast<int32_t>(input.size()), RecordHit, &hits);
  EXPECT_EQ(found, static_cast<int32_t>(hits.size()));
  return hits;
}

TEST(PatternMatcher, AnEmptyMatcherBuildsAndFindsNothing) {
  PatternMatcherPtr matcher = CreateMatcher();
  ASSERT_TRUE(matcher);
  EXPECT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_TRUE(Search(matcher.get(), "anything at all").empty());
}

TEST(PatternMatcher, KeepsItsOwnCopyOfEachPattern) {
  PatternMatcherPtr matcher = CreateMatcher();
  std::string pattern = "Hello";
  ASSERT_EQ(Add(matcher.get(), pattern, 1, 1), 1);
  pattern.assign("XXXXX");  // the caller's buffer may change right away
  EXPECT_EQ(Search(matcher.get(), "XXXXX hello Hello"), (Hits{{12, 1}}));
}

TEST(PatternMatcher, RejectsInvalidArguments) {
  PatternMatcherPtr matcher = CreateMatcher();
  ASSERT_EQ(Add(matcher.get(), "abc", 1), 1);
  ASSERT_EQ(BuildTables(matcher.get()), 1);

  EXPECT_EQ(AddPattern(nullptr, Bytes("abc"), 3, 0, 1), 0);
  EXPECT_EQ(AddPattern(matcher.get(), nullptr, 3, 0, 1), 0);
  EXPECT_EQ(AddPattern(matcher.get(), Bytes("abc"), 0, 0, 1), 0);
  EXPECT_EQ(AddPattern(matcher.get(), Bytes("abc"), -1, 0, 1), 0);

  EXPECT_EQ(BuildTables(nullptr), 0);
  Hits hits;
  EXPECT_EQ(SearchBuffer(nullptr, Bytes("abc"), 3, RecordHit, &hits), 0);
  EXPECT_EQ(SearchBuffer(matcher.get(), nullptr, 3, RecordHit, &hits), 0);
  EXPECT_EQ(SearchBuffer(matcher.get(), Bytes("abc"), 0, RecordHit, &hits), 0);
  EXPECT_EQ(SearchBuffer(matcher.get(), Bytes("abc"), -5, RecordHit, &hits), 0);
  EXPECT_TRUE(hits.empty());
  EXPECT_EQ(SearchBuffer(matcher.get(), Bytes("abc"), 3, nullptr, nullptr), 1);  // no callback, still counted
  EXPECT_EQ(Search(matcher.get(), "abcab"), (Hits{{0, 1}}));  // rejected calls registered nothing

  ResetTables(nullptr);
  DestroyMatcher(nullptr);
}

// Patterns registered in order, then searches with every hit expected.
struct SearchCase {
  const char* name;
  std::vector<std::pair<std::string, int32_t>> patterns;  // tag < 0: exact-case, under the tag -tag
  std::vector<std::pair<std::string, Hits>> searches;
};

std::string Repeat(char c, size_t n, std::string_view tail = {}) { return std::string(n, c).append(tail); }

const SearchCase SearchCases[] = {
    {"a long pattern at the window's every step",
     {{"ABCDE", 7}},
     {{"xxabcdeABCDE", {{2, 7}, {7, 7}}}, {"ABCD", {}}, {"ABCDABCDEABCD", {{4, 7}}}}},
    {"short patterns only, at both ends of the byte range",
     {{"\xff", 1}, {std::string("\x00\xff", 2), 2}, {std::string("\x00", 1), 3}},
     {{std::string("\xff\x00\xff\x00", 4), {{0, 1}, {1, 3}, {1, 2}, {2, 1}, {3, 3}}}}},
    {"buckets at both ends of the byte range and of the block hash range",
     {{"b", 1}, {"\xff\xfe", 2}, {"a", 3}, {"ABC", 4}, {"\x41zzz", 5}},
     {{"ab\xff\xfe" "ABCAzzz", {{0, 3}, {1, 1}, {2, 2}, {4, 3}, {5, 1}, {7, 3}, {4, 4}, {7, 5}}}}},
    {"letters fold, other bytes never; exact-case does not fold",
     {{"aBc", 1}, {"XyZ", -2}, {"@[\xe9", 3}, {"q", 4}, {"Rs", -5}},
     {{"abc ABC AbC aBc", {{0, 1}, {4, 1}, {8, 1}, {12, 1}}},
      {"xyz XYZ XyZ", {{8, 2}}},
      {"@[\xe9 `{\xe9 @[\xc9", {{0, 3}}},
      {"q Q Rs rs RS rS", {{0, 4}, {2, 4}, {4, 5}}}}},
    {"both ends of the input, overlapping occurrences, short before long",
     {{"zz", 1}, {"k", 2}, {"aaa", 3}, {"wxyz", 4}},
     {{"aaaa", {{0, 3}, {1, 3}}},
      {"kzzz", {{0, 2}, {1, 1}, {2, 1}}},
      {"wxyzk...wxyz", {{4, 2}, {0, 4}, {8, 4}}},
      {"wxy", {}}}},
    {"an input shorter than the window still finds short patterns",
     {{"abcdefgh", 1}, {"ef", 2}, {"h", 3}},
     {{"abcdefg", {{4, 2}}}, {"abcdefgh", {{4, 2}, {7, 3}, {0, 1}}}}},
    {"set order at one position: by folded bytes, prefix first, equal ones newest first",
     {{"ab", 1}, {"b", 2}, {"A", 3}, {"AB", 4}, {"abcd", 5}, {"QBCD", 6}, {"abc", 7}, {"ABC", 8}, {"aBcD", 9},
      {"bcd", 10}},
     {{"abcd", {{0, 3}, {0, 4}, {0, 1}, {1, 2}, {0, 8}, {0, 7}, {0, 9}, {0, 5}, {1, 10}}},
      {"qbcdabcd",
       {{1, 2}, {4, 3}, {4, 4}, {4, 1}, {5, 2}, {0, 6}, {1, 10}, {4, 8}, {4, 7}, {4, 9}, {4, 5}, {5, 10}}}}},
    {"first bytes that differ in the high nibble share a bucket, not hits",
     {{"\x41xyz", 1}, {"\x51xyz", 2}, {"\xc1xyz", 3}},
     {{"\xc1XYZ\x51xyz-\x41Xyz\x61xyz", {{0, 3}, {4, 2}, {9, 1}, {13, 1}}}}},
    {"the window stops at 256 bytes",
     {{Repeat('a', 299, "b"), 1}, {Repeat('d', 1, Repeat('c', 269)), 2}},
     {{Repeat('x', 1, Repeat('a', 299, "b--d")) + Repeat('c', 269, Repeat('a', 299)), {{1, 1}, {303, 2}}},
      {Repeat('a', 299, "b") + Repeat('a', 299, "b"), {{0, 1}, {300, 1}}}}},
    {"every registration of the same bytes has its own hits",
     {{"dup", 1}, {"DUP", 2}, {"Dup", -3}, {"x", 4}, {"X", 5}},
     {{"dupDupX", {{6, 5}, {6, 4}, {0, 2}, {0, 1}, {3, 3}, {3, 2}, {3, 1}}}}},
};

TEST(PatternMatcher, SearchCases) {
  for (const SearchCase& c : SearchCases) {
    SCOPED_TRACE(c.name);
    PatternMatcherPtr matcher = CreateMatcher();
    for (const auto& [pattern, tag] : c.patterns) {
      ASSERT_EQ(Add(matcher.get(), pattern, tag < 0 ? -tag : tag, tag < 0 ? 1 : 0), 1);
    }
    for (const auto& [input, hits] : c.searches) {
      EXPECT_EQ(Search(matcher.get(), input), hits) << input;
    }
  }
}

TEST(PatternMatcher, PatternAddedAfterBuildIsFoundByNextSearch) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "needle", 1);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_EQ(Search(matcher.get(), "a needle, a pin"), (Hits{{2, 1}}));

  Add(matcher.get(), "pin", 2);
  Add(matcher.get(), "a", 3);
  EXPECT_EQ(Search(matcher.get(), "a needle, a pin"), (Hits{{0, 3}, {10, 3}, {2, 1}, {12, 2}}));
}

// The matcher stays marked built without its tables: it finds nothing until
// a registration makes the next search build again, from every pattern.
TEST(PatternMatcher, ResetTablesKeepsRegistrationsForTheNextBuild) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "ab", 1);
  Add(matcher.get(), "abcd", 2);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  ResetTables(matcher.get());
  EXPECT_TRUE(Search(matcher.get(), "abcd").empty());
  Add(matcher.get(), "cd", 3);
  EXPECT_EQ(Search(matcher.get(), "abcd"), (Hits{{0, 1}, {2, 3}, {0, 2}}));
}

TEST(PatternMatcher, DestroysAHundredThousandPatterns) {
  PatternMatcherPtr matcher = CreateMatcher();
  for (int32_t i = 0; i < 100000; ++i) {
    std::string pattern = std::to_string(i);
    pattern.insert(0, 1, 'p');
    ASSERT_EQ(Add(matcher.get(), pattern, i), 1);
  }
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_EQ(Search(matcher.get(), "p99999"), (Hits{{0, 9}, {0, 99}, {0, 999}, {0, 9999}, {0, 99999}}));
  matcher.reset();
}

TEST(MatcherHolder, ResultCodes) {
  MatcherHolder empty;
  EXPECT_EQ(HolderSearch(&empty, nullptr, 0, nullptr, nullptr), HolderNoMatcher);
  EXPECT_EQ(HolderSearch(&empty, Bytes("abc"), 3, nullptr, nullptr), HolderNoMatcher);
  EXPECT_EQ(HolderSearch(nullptr, Bytes("abc"), 3, nullptr, nullptr), HolderNoMatcher);

  MatcherHolder holder{CreateMatcher(), false};
  Add(holder.matcher.get(), "abc", 1);
  EXPECT_EQ(HolderSearch(&holder, nullptr, 3, nullptr, nullptr), HolderBadInput);
  EXPECT_EQ(HolderSearch(&holder, Bytes("abc"), 0, nullptr, nullptr), HolderBadInput);
  EXPECT_EQ(HolderSearch(&holder, Bytes("abc"), -1, nullptr, nullptr), HolderBadInput);
  EXPECT_FALSE(holder.ready);  // no build was attempted

  EXPECT_EQ(HolderSearch(&holder, Bytes("abcABC"), 6, nullptr, nullptr), 2);  // a null callback is fine
  EXPECT_TRUE(holder.ready);

  // A later registration is picked up by the search's own rebuild.
  Add(holder.matcher.get(), "c", 2);
  Hits hits;
  EXPECT_EQ(HolderSearch(&holder, Bytes("abc"), 3, RecordHit, &hits), 2);
  EXPECT_EQ(hits, (Hits{{2, 2}, {0, 1}}));
}

}  // namespace
}  // namespace veltor
