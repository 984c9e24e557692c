// SearchBuffer: folds the input once, then runs the short pass and the
// skipping long pass over the folded copy.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "matcher/fold_table.h"
#include "matcher/pattern_matcher.h"

namespace veltor {
namespace {

struct SearchState {
  const uint8_t* input;   // as given
  const uint8_t* folded;  // through FoldTable
  int64_t length;
  HitCallback callback;
  void* userData;
  int64_t count;
};

// Reports the entry at `start` if it occurs there: the folded bytes match
// and, for exact-case entries, the bytes as given match too.
void TryEntry(SearchState& state, const PatternEntry& entry, int64_t start) {
  const auto size = static_cast<size_t>(entry.length);
  if (std::memcmp(entry.folded.get(), state.folded + start, size) != 0) return;
  if (entry.exactCase != 0 && std::memcmp(entry.bytes.get(), state.input + start, size) != 0) return;
  ++state.count;
  if (state.callback != nullptr) state.callback(static_cast<int32_t>(start), entry.tag, state.userData);
}

void ShortPass(const PatternMatcher& matcher, SearchState& state) {
  for (int64_t i = 0; i < state.length; ++i) {
    const uint8_t b = state.folded[i];
    const int32_t begin = matcher.shortIndex[b];
    const int32_t end = b == 255 ? matcher.shortCount : matcher.shortIndex[b + 1];
    for (int32_t k = begin; k < end; ++k) {
      const PatternEntry& entry = *matcher.shortSet.get()[k];
      if (entry.length > state.length - i) continue;
      TryEntry(state, entry, i);
    }
  }
}

void LongPass(const PatternMatcher& matcher, SearchState& state) {
  const int64_t window = matcher.minLength;
  const uint8_t* folded = state.folded;
  for (int64_t p = window - 1; p < state.length;) {
    const int32_t shift = matcher.shiftTable[BlockHash(folded[p - 2], folded[p - 1], folded[p])];
    if (shift != 0) {
      p += shift;
      continue;
    }
    const int64_t s = p - window + 1;
    const uint32_t h = BlockHash(folded[s], folded[s + 1], folded[s + 2]);
    const int32_t end = h == BlockHashSize - 1 ? matcher.longCount : matcher.longIndex[h + 1];
    for (int32_t k = matcher.longIndex[h]; k < end; ++k) {
      const PatternEntry& entry = *matcher.longSet.get()[k];
      if (s + entry.length > state.length) continue;
      if (entry.folded[0] != folded[s] || entry.folded[1] != folded[s + 1]) continue;
      TryEntry(state, entry, s);
    }
    ++p;
  }
}

}  // namespace

int32_t SearchBuffer(PatternMatcher* matcher, const uint8_t* input, int32_t length, HitCallback callback,
                     void* userData) noexcept {
  if (matcher == nullptr || input == nullptr || length <= 0) return 0;
  if (BuildTables(matcher) == 0) return 0;
  const auto size = static_cast<size_t>(length);
  std::unique_ptr<uint8_t[]> folded;
  try {
    folded = std::make_unique_for_overwrite<uint8_t[]>(size);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (size_t i = 0; i < size; ++i) folded[i] = FoldTable[input[i]];

  SearchState state{input, folded.get(), length, callback, userData, 0};
  if (matcher->shortCount > 0 && matcher->shortSet) ShortPass(*matcher, state);
  if (matcher->longCount > 0 && matcher->longSet) LongPass(*matcher, state);
  // More occurrences than a 32-bit count holds are reported as its maximum.
  return static_cast<int32_t>(std::min<int64_t>(state.count, std::numeric_limits<int32_t>::max()));
}

}  // namespace veltor
