// Matcher lifecycle and registration: creation, adding patterns, releasing
// the tables and the whole matcher.
#include "engine/matcher/pattern_matcher.h"

#include <algorithm>
#include <limits>

#include "engine/matcher/fold_table.h"

namespace veltor {

PatternMatcherPtr CreateMatcher() noexcept { return PatternMatcherPtr(NewObject<PatternMatcher>().release()); }

int32_t AddPattern(PatternMatcher* matcher, const uint8_t* bytes, int32_t length, int32_t exactCase,
                   int32_t tag) noexcept {
  if (matcher == nullptr || bytes == nullptr || length <= 0) return 0;
  const bool isLong = length > 2;
  // The counts are 32-bit; refuse a registration they could not count.
  if ((isLong ? matcher->longCount : matcher->shortCount) == std::numeric_limits<int32_t>::max()) return 0;
  const auto size = static_cast<size_t>(length);
  PatternEntry entry;
  entry.length = length;
  entry.tag = tag;
  entry.exactCase = exactCase;
  entry.bytes = NewBuffer<uint8_t>(size);
  entry.folded = NewBuffer<uint8_t>(size);
  if (!entry.bytes || !entry.folded) return 0;
  std::copy_n(bytes, size, entry.bytes.get());
  for (size_t i = 0; i < size; ++i) entry.folded[i] = FoldTable[bytes[i]];
  // The list's room is the last allocation: until it succeeds nothing is
  // changed. Once it has, the sets may point into a list that moved.
  if (!matcher->patterns.Append(std::move(entry))) return 0;
  // Every table is built with the sets, so without them there is none.
  if (matcher->longSet || matcher->shortSet) ResetTables(matcher);
  if (isLong) {
    ++matcher->longCount;
    matcher->minLength = std::min(matcher->minLength, length);
  } else {
    ++matcher->shortCount;
  }
  matcher->built = 0;
  return 1;
}

void ResetTables(PatternMatcher* matcher) noexcept {
  if (matcher == nullptr) return;
  matcher->longSet.reset();
  matcher->shortSet.reset();
  matcher->shiftTable.reset();
  matcher->longIndex.reset();
  matcher->longCandidates.reset();
  matcher->longFoldedBytes.reset();
  matcher->windowShift.reset();
  std::fill(std::begin(matcher->shortIndex), std::end(matcher->shortIndex), 0);
}

void DestroyMatcher(PatternMatcher* matcher) noexcept {
  if (matcher == nullptr) return;
  DeleteObject(matcher);
}

}  // namespace veltor
