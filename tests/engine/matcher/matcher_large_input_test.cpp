// An input of the largest length a search accepts: window and position
// arithmetic must not overflow near its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "engine/matcher/hit_recorder.h"
#include "engine/matcher/pattern_matcher.h"

namespace veltor {
namespace {

using testing::Hits;
using testing::RecordHit;

TEST(MatcherLargeInput, FindsOccurrencesAtTheEndOfAMaximalBuffer) {
#if defined(VELTOR_ASAN) || defined(VELTOR_TSAN)
  // 4 GiB of input and scratch take the instrumented build close to a
  // minute; the search code is the same, and the Release build runs this.
  GTEST_SKIP() << "too slow under a sanitizer";
#endif
  constexpr int32_t length = std::numeric_limits<int32_t>::max();
  constexpr auto size = static_cast<size_t>(length);
  std::unique_ptr<uint8_t[]> input;
  try {
    input = std::make_unique<uint8_t[]>(size);  // zero-filled
  } catch (const std::bad_alloc&) {
    GTEST_SKIP() << "cannot allocate 2 GiB here";
  }

  // Zero blocks move the 256-byte window by its full length, so the window's
  // end is pushed beyond INT32_MAX unless the arithmetic is wide enough.
  PatternMatcherPtr matcher = CreateMatcher();
  ASSERT_TRUE(matcher);
  const std::string pattern(300, 'Q');
  ASSERT_EQ(AddPattern(matcher.get(), reinterpret_cast<const uint8_t*>(pattern.data()), 300, 0, 1), 1);
  ASSERT_EQ(AddPattern(matcher.get(), reinterpret_cast<const uint8_t*>("QQ"), 2, 0, 2), 1);
  std::fill_n(input.get() + size - 300, 300, uint8_t{'q'});

  Hits hits;
  EXPECT_EQ(SearchBuffer(matcher.get(), input.get(), length, RecordHit, &hits), 300);
  Hits expected;
  for (int32_t position = length - 300; position < length - 1; ++position) expected.emplace_back(position, 2);
  expected.emplace_back(length - 300, 1);  // ends on the last byte
  EXPECT_EQ(hits, expected);
}

}  // namespace
}  // namespace veltor
