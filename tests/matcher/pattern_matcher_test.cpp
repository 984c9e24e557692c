// The matcher's observable behaviour: shift table, hits and their order,
// counts, argument checks, rebuilds and the holder's result codes.
#include "matcher/pattern_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "matcher/hit_recorder.h"

namespace veltor {
namespace {

using testing::Hit;
using testing::Hits;
using testing::RecordHit;

const uint8_t* Bytes(std::string_view text) { return reinterpret_cast<const uint8_t*>(text.data()); }

int32_t Add(PatternMatcher* matcher, std::string_view pattern, int32_t tag, int32_t exactCase = 0) {
  return AddPattern(matcher, Bytes(pattern), static_cast<int32_t>(pattern.size()), exactCase, tag);
}

Hits Search(PatternMatcher* matcher, std::string_view input, int32_t* count = nullptr) {
  Hits hits;
  const int32_t found = SearchBuffer(matcher, Bytes(input), static_cast<int32_t>(input.size()), RecordHit, &hits);
  EXPECT_EQ(found, static_cast<int32_t>(hits.size()));
  if (count != nullptr) *count = found;
  return hits;
}

TEST(PatternMatcher, FiveByteExampleShiftTableAndHits) {
  PatternMatcherPtr matcher = CreateMatcher();
  ASSERT_TRUE(matcher);
  ASSERT_EQ(Add(matcher.get(), "ABCDE", 7), 1);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_EQ(matcher->minLength, 5);

  const uint32_t abc = BlockHash('A', 'B', 'C');
  const uint32_t bcd = BlockHash('B', 'C', 'D');
  const uint32_t cde = BlockHash('C', 'D', 'E');
  int mismatches = 0;
  for (uint32_t h = 0; h < BlockHashSize; ++h) {
    int32_t expected = 5;
    if ((h & 0xFF) == 'A') expected = 4;
    if ((h & 0xFFFF) == ('A' << 8 | 'B')) expected = 3;
    if (h == abc) expected = 2;
    if (h == bcd) expected = 1;
    if (h == cde) expected = 0;
    if (matcher->shiftTable[h] != expected && ++mismatches <= 5) {
      ADD_FAILURE() << "shiftTable[" << h << "] = " << matcher->shiftTable[h] << ", expected " << expected;
    }
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(Search(matcher.get(), "xxabcdeABCDE"), (Hits{{2, 7}, {7, 7}}));
}

TEST(PatternMatcher, FreshMatcherIsOpenAndEmpty) {
  PatternMatcherPtr matcher = CreateMatcher();
  ASSERT_TRUE(matcher);
  EXPECT_EQ(matcher->minLength, 256);
  EXPECT_EQ(matcher->built, 0);
  EXPECT_EQ(matcher->longCount + matcher->shortCount, 0);
  EXPECT_TRUE(matcher->patterns.empty());

  // With nothing registered the build succeeds and every search finds nothing.
  EXPECT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_EQ(matcher->built, 1);
  EXPECT_FALSE(matcher->longSet || matcher->shortSet || matcher->shiftTable || matcher->longIndex);
  EXPECT_TRUE(Search(matcher.get(), "anything at all").empty());
}

TEST(PatternMatcher, RegistrationKeepsOwnCopiesAndCounts) {
  PatternMatcherPtr matcher = CreateMatcher();
  std::string pattern = "Hello";
  ASSERT_EQ(Add(matcher.get(), pattern, 1, 1), 1);
  pattern.assign("XXXXX");  // the caller's buffer may change right away

  const PatternEntry& entry = matcher->patterns.front();
  EXPECT_EQ(std::string(entry.bytes.get(), entry.bytes.get() + 5), "Hello");
  EXPECT_EQ(std::string(entry.folded.get(), entry.folded.get() + 5), "HELLO");
  EXPECT_EQ(entry.length, 5);
  EXPECT_EQ(entry.exactCase, 1);
  EXPECT_EQ(entry.tag, 1);
  EXPECT_EQ(entry.owner, matcher.get());

  ASSERT_EQ(Add(matcher.get(), "ab", 2), 1);
  ASSERT_EQ(Add(matcher.get(), "abc", 3), 1);
  ASSERT_EQ(Add(matcher.get(), std::string(300, 'z'), 4), 1);
  EXPECT_EQ(matcher->longCount, 3);
  EXPECT_EQ(matcher->shortCount, 1);
  EXPECT_EQ(matcher->minLength, 3);
  EXPECT_EQ(matcher->patterns.front().tag, 4);  // newest first
}

TEST(PatternMatcher, RejectsInvalidArguments) {
  PatternMatcherPtr matcher = CreateMatcher();
  ASSERT_EQ(Add(matcher.get(), "abc", 1), 1);
  ASSERT_EQ(BuildTables(matcher.get()), 1);

  EXPECT_EQ(AddPattern(nullptr, Bytes("abc"), 3, 0, 1), 0);
  EXPECT_EQ(AddPattern(matcher.get(), nullptr, 3, 0, 1), 0);
  EXPECT_EQ(AddPattern(matcher.get(), Bytes("abc"), 0, 0, 1), 0);
  EXPECT_EQ(AddPattern(matcher.get(), Bytes("abc"), -1, 0, 1), 0);
  EXPECT_EQ(matcher->longCount, 1);  // rejected calls change nothing
  EXPECT_EQ(matcher->built, 1);

  EXPECT_EQ(BuildTables(nullptr), 0);
  Hits hits;
  EXPECT_EQ(SearchBuffer(nullptr, Bytes("abc"), 3, RecordHit, &hits), 0);
  EXPECT_EQ(SearchBuffer(matcher.get(), nullptr, 3, RecordHit, &hits), 0);
  EXPECT_EQ(SearchBuffer(matcher.get(), Bytes("abc"), 0, RecordHit, &hits), 0);
  EXPECT_EQ(SearchBuffer(matcher.get(), Bytes("abc"), -5, RecordHit, &hits), 0);
  EXPECT_TRUE(hits.empty());
  EXPECT_EQ(SearchBuffer(matcher.get(), Bytes("abc"), 3, nullptr, nullptr), 1);  // no callback, still counted

  ResetTables(nullptr);
  DestroyMatcher(nullptr);
}

TEST(PatternMatcher, FoldsOnlyAsciiLettersAndHonoursExactCase) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "aBc", 1);
  Add(matcher.get(), "XyZ", 2, 1);
  Add(matcher.get(), "@[\xe9", 3);  // neighbours of the letters, and a byte above 0x7F
  Add(matcher.get(), "q", 4);
  Add(matcher.get(), "Rs", 5, 1);

  struct Case {
    std::string_view input;
    Hits hits;
  };
  const Case cases[] = {
      {"abc ABC AbC aBc", {{0, 1}, {4, 1}, {8, 1}, {12, 1}}},
      {"xyz XYZ XyZ", {{8, 2}}},
      {"@[\xe9 `{\xe9 @[\xc9", {{0, 3}}},
      {"q Q Rs rs RS rS", {{0, 4}, {2, 4}, {4, 5}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Search(matcher.get(), c.input), c.hits) << c.input;
  }
}

TEST(PatternMatcher, FindsOccurrencesAtBothEndsAndOverlapping) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "zz", 1);
  Add(matcher.get(), "k", 2);
  Add(matcher.get(), "aaa", 3);
  Add(matcher.get(), "wxyz", 4);

  EXPECT_EQ(Search(matcher.get(), "aaaa"), (Hits{{0, 3}, {1, 3}}));
  EXPECT_EQ(Search(matcher.get(), "kzzz"), (Hits{{0, 2}, {1, 1}, {2, 1}}));
  EXPECT_EQ(Search(matcher.get(), "wxyzk...wxyz"), (Hits{{4, 2}, {0, 4}, {8, 4}}));
  EXPECT_EQ(Search(matcher.get(), "wxy"), Hits{});
  EXPECT_EQ(Search(matcher.get(), "xyz"), Hits{});
}

TEST(PatternMatcher, InputShorterThanWindowStillFindsShortPatterns) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "abcdefgh", 1);
  Add(matcher.get(), "ef", 2);
  Add(matcher.get(), "h", 3);
  EXPECT_EQ(Search(matcher.get(), "abcdefg"), (Hits{{4, 2}}));
  EXPECT_EQ(Search(matcher.get(), "abcdefgh"), (Hits{{4, 2}, {7, 3}, {0, 1}}));
}

TEST(PatternMatcher, ShortPatternsOnlyNeedNoLargeTables) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "\xff", 1);
  Add(matcher.get(), std::string_view("\x00\xff", 2), 2);
  Add(matcher.get(), std::string_view("\x00", 1), 3);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_FALSE(matcher->shiftTable || matcher->longIndex || matcher->longSet);
  EXPECT_EQ(matcher->minLength, 256);
  EXPECT_EQ(Search(matcher.get(), std::string_view("\xff\x00\xff\x00", 4)),
            (Hits{{0, 1}, {1, 3}, {1, 2}, {2, 1}, {3, 3}}));
}

TEST(PatternMatcher, BucketsByFirstByteAndBlockHash) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "b", 1);
  Add(matcher.get(), "\xff\xfe", 2);
  Add(matcher.get(), "a", 3);
  Add(matcher.get(), "ABC", 4);
  Add(matcher.get(), "\x41zzz", 5);
  ASSERT_EQ(BuildTables(matcher.get()), 1);

  // shortSet: "A", "B", "\xff\xfe"
  EXPECT_EQ(matcher->shortIndex[0], 0);
  EXPECT_EQ(matcher->shortIndex['A'], 0);
  EXPECT_EQ(matcher->shortIndex['B'], 1);
  EXPECT_EQ(matcher->shortIndex['C'], 2);
  EXPECT_EQ(matcher->shortIndex[0xff], 2);
  // longSet: "ABC" (hash 0x14243), then "AZZZ" (hash 0x15A5A)
  EXPECT_EQ(matcher->longIndex[0], 0);
  EXPECT_EQ(matcher->longIndex[BlockHash('A', 'B', 'C')], 0);
  EXPECT_EQ(matcher->longIndex[BlockHash('A', 'B', 'C') + 1], 1);
  EXPECT_EQ(matcher->longIndex[BlockHash('A', 'Z', 'Z')], 1);
  EXPECT_EQ(matcher->longIndex[BlockHash('A', 'Z', 'Z') + 1], 2);
  EXPECT_EQ(matcher->longIndex[BlockHashSize - 1], 2);
}

TEST(PatternMatcher, HitsAtOnePositionComeInSetOrder) {
  PatternMatcherPtr matcher = CreateMatcher();
  // Registration order; the set order is by folded bytes, a prefix first,
  // equal folded bytes newest first.
  Add(matcher.get(), "ab", 1);
  Add(matcher.get(), "b", 2);
  Add(matcher.get(), "A", 3);
  Add(matcher.get(), "AB", 4);
  Add(matcher.get(), "abcd", 5);
  Add(matcher.get(), "QBCD", 6);  // 'Q' is 0x51: same block hash as "ABC"
  Add(matcher.get(), "abc", 7);
  Add(matcher.get(), "ABC", 8);
  Add(matcher.get(), "aBcD", 9);
  Add(matcher.get(), "bcd", 10);

  EXPECT_EQ(Search(matcher.get(), "abcd"),
            (Hits{{0, 3}, {0, 4}, {0, 1}, {1, 2}, {0, 8}, {0, 7}, {0, 9}, {0, 5}, {1, 10}}));
  EXPECT_EQ(Search(matcher.get(), "qbcdabcd"), (Hits{{1, 2}, {4, 3}, {4, 4}, {4, 1}, {5, 2}, {0, 6}, {1, 10},
                                                     {4, 8}, {4, 7}, {4, 9}, {4, 5}, {5, 10}}));
}

TEST(PatternMatcher, HighNibbleTwinsShareABucketButNotHits) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "\x41xyz", 1);
  Add(matcher.get(), "\x51xyz", 2);
  Add(matcher.get(), "\xc1xyz", 3);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  const uint32_t h = BlockHash(0x41, 'X', 'Y');
  EXPECT_EQ(matcher->longIndex[h], 0);
  EXPECT_EQ(matcher->longIndex[h + 1], 3);
  EXPECT_EQ(Search(matcher.get(), "\xc1XYZ\x51xyz-\x41Xyz\x61xyz"), (Hits{{0, 3}, {4, 2}, {9, 1}, {13, 1}}));
}

TEST(PatternMatcher, WindowCapsAt256Bytes) {
  PatternMatcherPtr matcher = CreateMatcher();
  std::string first(300, 'a');
  first[299] = 'b';
  std::string second(270, 'c');
  second[0] = 'd';
  Add(matcher.get(), first, 1);
  Add(matcher.get(), second, 2);
  EXPECT_EQ(matcher->minLength, 256);

  std::string input = "x";
  input.append(first).append("--").append(second).append(first, 0, 299);
  EXPECT_EQ(Search(matcher.get(), input), (Hits{{1, 1}, {303, 2}}));
  EXPECT_EQ(Search(matcher.get(), first + first), (Hits{{0, 1}, {300, 1}}));
}

TEST(PatternMatcher, DuplicatesReportEachRegistration) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "dup", 1);
  Add(matcher.get(), "DUP", 2);
  Add(matcher.get(), "Dup", 3, 1);
  Add(matcher.get(), "x", 4);
  Add(matcher.get(), "X", 5);
  int32_t count = 0;
  EXPECT_EQ(Search(matcher.get(), "dupDupX", &count), (Hits{{6, 5}, {6, 4}, {0, 2}, {0, 1}, {3, 3}, {3, 2}, {3, 1}}));
  EXPECT_EQ(count, 7);
}

TEST(PatternMatcher, PatternAddedAfterBuildIsFoundByNextSearch) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "needle", 1);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  EXPECT_EQ(Search(matcher.get(), "a needle, a pin"), (Hits{{2, 1}}));

  Add(matcher.get(), "pin", 2);
  Add(matcher.get(), "a", 3);
  EXPECT_EQ(matcher->built, 0);
  EXPECT_EQ(matcher->minLength, 3);
  EXPECT_EQ(Search(matcher.get(), "a needle, a pin"), (Hits{{0, 3}, {10, 3}, {2, 1}, {12, 2}}));
  EXPECT_EQ(matcher->built, 1);
}

TEST(PatternMatcher, ResetTablesDropsTablesButKeepsRegistrations) {
  PatternMatcherPtr matcher = CreateMatcher();
  Add(matcher.get(), "ab", 1);
  Add(matcher.get(), "abcd", 2);
  ASSERT_EQ(BuildTables(matcher.get()), 1);
  ResetTables(matcher.get());
  EXPECT_FALSE(matcher->longSet || matcher->shortSet || matcher->shiftTable || matcher->longIndex);
  for (int32_t start : matcher->shortIndex) EXPECT_EQ(start, 0);
  EXPECT_EQ(matcher->longCount, 1);
  EXPECT_EQ(matcher->shortCount, 1);
  EXPECT_EQ(matcher->minLength, 4);
  EXPECT_EQ(matcher->built, 1);
  EXPECT_EQ(std::distance(matcher->patterns.begin(), matcher->patterns.end()), 2);
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
  EXPECT_EQ(holder.matcher->built, 0);

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
