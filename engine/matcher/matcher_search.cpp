// SearchBuffer: folds the input once, then runs the short pass and the
// skipping long pass over the folded copy.
//
// The long pass's candidates for a window whose shift is 0 come from the
// bucket of the window's first block. A bucket is sorted by folded bytes, so
// the entries that agree with the window on its first bytes are one
// contiguous range, and every entry that occurs there is among them. Large
// buckets (zero-led blocks of binary files gather thousands of entries) are
// narrowed by binary search: first on the entries' heads (their first bytes
// as one integer), then one byte deeper at a time. At each depth the entries
// that end there are prefixes of all the others left, so they sort first,
// and they occur: they are reported before going deeper. Prefixes come
// before their extensions and equal entries keep their order, so hits still
// come in set order.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include "engine/matcher/fold_table.h"
#include "engine/matcher/pattern_matcher.h"

namespace veltor {
namespace {

// Past this many candidates a range is narrowed by binary search; below it,
// comparing each one is cheaper.
constexpr int32_t LinearLimit = 8;

struct SearchState {
  const uint8_t* input;   // as given
  const uint8_t* folded;  // through FoldTable, followed by FoldedBytesPadding zeros
  int64_t length;
  HitCallback callback;
  void* userData;
  int64_t count;
};

void Report(SearchState& state, int64_t start, int32_t tag) {
  ++state.count;
  if (state.callback != nullptr) state.callback(static_cast<int32_t>(start), tag, state.userData);
}

// Eight bytes as a big-endian integer, so that integer order is byte order.
uint64_t LoadHead(const uint8_t* bytes) noexcept {
  uint64_t head = 0;
  for (int k = 0; k < 8; ++k) head = head << 8 | bytes[k];
  return head;
}

uint64_t Load64(const uint8_t* bytes) noexcept {
  uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Whether n bytes agree, compared eight at a time. Both ranges must be
// followed by FoldedBytesPadding readable bytes.
bool SameBytes(const uint8_t* a, const uint8_t* b, int64_t n) noexcept {
  for (; n >= 8; n -= 8, a += 8, b += 8) {
    if (Load64(a) != Load64(b)) return false;
  }
  if (n == 0) return true;
  const uint64_t difference = Load64(a) ^ Load64(b);
  const auto unused = static_cast<unsigned>(64 - 8 * n);  // bits of bytes past the end
  if constexpr (std::endian::native == std::endian::little) {
    return difference << unused == 0;
  } else {
    return difference >> unused == 0;
  }
}

void ShortPass(const PatternMatcher& matcher, SearchState& state) {
  // Bucket b runs from bounds[b] to bounds[b + 1].
  int32_t bounds[257];
  std::copy(std::begin(matcher.shortIndex), std::end(matcher.shortIndex), bounds);
  bounds[256] = matcher.shortCount;
  const PatternEntry* const* set = matcher.shortSet.get();
  const uint8_t* folded = state.folded;
  for (int64_t i = 0; i < state.length; ++i) {
    const uint8_t b = folded[i];
    for (int32_t k = bounds[b]; k < bounds[b + 1]; ++k) {
      const PatternEntry& entry = *set[k];
      if (entry.length > state.length - i) continue;
      if (entry.length == 2 && entry.folded[1] != folded[i + 1]) continue;
      if (entry.exactCase != 0 &&
          std::memcmp(entry.bytes.get(), state.input + i, static_cast<size_t>(entry.length)) != 0) {
        continue;
      }
      Report(state, i, entry.tag);
    }
  }
}

struct LongPassContext {
  const LongCandidate* candidates;
  int32_t headBytes;  // min(minLength, 8): bytes every candidate's head holds
  uint64_t headMask;  // selects those bytes of a head
};

bool ExactMatches(const SearchState& state, const LongCandidate& candidate, int64_t start) {
  return candidate.exactBytes == nullptr ||
         std::memcmp(candidate.exactBytes, state.input + start, static_cast<size_t>(candidate.length)) == 0;
}

// The ranges found when the last large bucket was narrowed, by depth.
// Windows that share their first bytes with the previous one (zero runs,
// repeated text) share its ranges as far as they share bytes, and take them
// from here instead of searching again.
struct NarrowingPath {
  static constexpr int64_t MaxSteps = 64;
  struct Range {
    int32_t lo;
    int32_t hi;
  };
  const uint8_t* window = nullptr;  // the folded bytes the ranges belong to
  int64_t known = 0;                // ranges[0 .. known) are valid
  Range ranges[MaxSteps];           // ranges[i]: entries agreeing on headBytes + i bytes
};

template <typename Key, typename KeyOf>
std::pair<int32_t, int32_t> EqualRange(const LongCandidate* candidates, int32_t lo, int32_t hi, Key key,
                                       KeyOf keyOf) {
  const LongCandidate* first = std::partition_point(
      candidates + lo, candidates + hi, [&](const LongCandidate& c) { return keyOf(c) < key; });
  const LongCandidate* last = std::partition_point(
      first, candidates + hi, [&](const LongCandidate& c) { return !(key < keyOf(c)); });
  return {static_cast<int32_t>(first - candidates), static_cast<int32_t>(last - candidates)};
}

// Reports every candidate of the bucket [lo, hi) that occurs at `start`.
void MatchWindow(const LongPassContext& pass, NarrowingPath& path, SearchState& state, int64_t start, int32_t lo,
                 int32_t hi) {
  const LongCandidate* candidates = pass.candidates;
  const uint8_t* at = state.folded + start;
  const int64_t remaining = state.length - start;
  const uint64_t mask = pass.headMask;
  const uint64_t head = LoadHead(at) & mask;
  int64_t depth = 0;  // every candidate left agrees with the input on this many bytes

  if (hi - lo > LinearLimit) {
    // The same head means the same bucket, so the previous path applies as
    // long as the bytes agree.
    const uint8_t* previous = path.window;
    const int64_t previousKnown = path.known;
    bool following = previousKnown > 0 && (LoadHead(previous) & mask) == head;
    if (following) {
      lo = path.ranges[0].lo;
      hi = path.ranges[0].hi;
    } else {
      std::tie(lo, hi) = EqualRange(candidates, lo, hi, head, [mask](const LongCandidate& c) { return c.head & mask; });
      path.ranges[0] = {lo, hi};
    }
    path.window = at;
    path.known = 1;
    depth = pass.headBytes;
    for (int64_t step = 1; hi - lo > LinearLimit; ++step, ++depth) {
      // Entries that end here are prefixes of all the others: they sort
      // first, and they occur (they fit, as depth <= remaining).
      while (lo < hi && candidates[lo].length == depth) {
        if (ExactMatches(state, candidates[lo], start)) Report(state, start, candidates[lo].tag);
        ++lo;
      }
      if (depth == remaining) return;  // nothing longer fits
      const uint8_t next = at[depth];
      following = following && step < previousKnown && previous[depth] == next;
      if (following) {
        lo = path.ranges[step].lo;
        hi = path.ranges[step].hi;
      } else {
        std::tie(lo, hi) = EqualRange(candidates, lo, hi, next, [depth](const LongCandidate& c) { return c.folded[depth]; });
        if (step < NarrowingPath::MaxSteps) path.ranges[step] = {lo, hi};
      }
      if (step < NarrowingPath::MaxSteps) path.known = step + 1;
    }
  }

  const int64_t compareFrom = std::max<int64_t>(depth, pass.headBytes);
  for (int32_t k = lo; k < hi; ++k) {
    const LongCandidate& candidate = candidates[k];
    if (candidate.length > remaining) continue;
    if ((candidate.head & mask) != head) continue;
    if (!SameBytes(candidate.folded + compareFrom, at + compareFrom, candidate.length - compareFrom)) continue;
    if (ExactMatches(state, candidate, start)) Report(state, start, candidate.tag);
  }
}

void LongPass(const PatternMatcher& matcher, SearchState& state) {
  const int32_t headBytes = std::min(matcher.minLength, 8);
  const LongPassContext pass{matcher.longCandidates.get(), headBytes, ~uint64_t{0} << (64 - 8 * headBytes)};
  NarrowingPath path;
  const uint8_t* shiftTable = matcher.windowShift.get();
  const int32_t* longIndex = matcher.longIndex.get();
  const uint8_t* folded = state.folded;
  const int64_t window = matcher.minLength;
  // p is the window's last byte; 64-bit, so p + shift cannot overflow.
  for (int64_t p = window - 1; p < state.length;) {
    const uint8_t shift = shiftTable[BlockHash(folded[p - 2], folded[p - 1], folded[p])];
    if (shift != 0) {
      p += shift;
      continue;
    }
    const int64_t start = p - window + 1;
    const uint32_t h = BlockHash(folded[start], folded[start + 1], folded[start + 2]);
    if (longIndex[h] != longIndex[h + 1]) MatchWindow(pass, path, state, start, longIndex[h], longIndex[h + 1]);
    ++p;
  }
}

}  // namespace

int32_t SearchBuffer(PatternMatcher* matcher, const uint8_t* input, int32_t length, HitCallback callback,
                     void* userData) noexcept {
  if (matcher == nullptr || input == nullptr || length <= 0) return 0;
  if (BuildTables(matcher) == 0) return 0;
  const auto size = static_cast<size_t>(length);
  const HeapArray<uint8_t> folded = NewBuffer<uint8_t>(size + FoldedBytesPadding);
  if (!folded) return 0;
  uint8_t* out = folded.get();
  for (size_t i = 0; i < size; ++i) out[i] = FoldByte(input[i]);
  std::fill_n(out + size, FoldedBytesPadding, uint8_t{0});

  SearchState state{input, folded.get(), length, callback, userData, 0};
  if (matcher->shortCount > 0 && matcher->shortSet) ShortPass(*matcher, state);
  if (matcher->longCount > 0 && matcher->longSet) LongPass(*matcher, state);
  // More occurrences than a 32-bit count holds are reported as its maximum.
  return static_cast<int32_t>(std::min<int64_t>(state.count, std::numeric_limits<int32_t>::max()));
}

}  // namespace veltor
