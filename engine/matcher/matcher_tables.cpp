// BuildTables: the sorted sets, their bucket indexes and the shift table,
// always rebuilt from scratch over the whole registration list.
#include <algorithm>
#include <cstring>

#include "engine/matcher/pattern_matcher.h"

namespace veltor {
namespace {

uint32_t LeadingBlockHash(const PatternEntry& entry) noexcept {
  return BlockHash(entry.folded[0], entry.folded[1], entry.folded[2]);
}

// Folded bytes as unsigned over the shorter length; a prefix sorts first.
bool FoldedLess(const PatternEntry* a, const PatternEntry* b) noexcept {
  const auto common = static_cast<size_t>(std::min(a->length, b->length));
  const int order = std::memcmp(a->folded.get(), b->folded.get(), common);
  return order != 0 ? order < 0 : a->length < b->length;
}

bool LongSetLess(const PatternEntry* a, const PatternEntry* b) noexcept {
  const uint32_t hashA = LeadingBlockHash(*a);
  const uint32_t hashB = LeadingBlockHash(*b);
  return hashA != hashB ? hashA < hashB : FoldedLess(a, b);
}

// The set order: by `Less`, entries still equal newest first. Entries lie in
// the registration list oldest first, so the later address is the newer
// one. A total order, so an unstable sort (which allocates nothing, unlike a
// stable one) gives the one result.
template <bool (*Less)(const PatternEntry*, const PatternEntry*) noexcept>
bool NewestFirst(const PatternEntry* a, const PatternEntry* b) noexcept {
  if (Less(a, b)) return true;
  if (Less(b, a)) return false;
  return a > b;
}

// Bucket starts over a set sorted by key: index[k] is the position of the
// first entry whose key is k or greater, or count when there is none.
template <typename KeyOf>
void FillBucketStarts(int32_t* index, size_t indexSize, const PatternEntry* const* set, int32_t count,
                      KeyOf keyOf) noexcept {
  std::fill_n(index, indexSize, count);
  int64_t previous = -1;
  for (int32_t position = 0; position < count; ++position) {
    const auto key = static_cast<int64_t>(keyOf(*set[position]));
    if (key == previous) continue;
    for (int64_t k = previous + 1; k <= key; ++k) index[k] = position;
    previous = key;
  }
}

// Shift values: a window whose last block cannot end inside any pattern's
// first minLength bytes moves by minLength; the others by how far that
// block lies from the window's end.
bool FillShiftTable(PatternMatcher& matcher) noexcept {
  const int32_t window = matcher.minLength;
  int32_t* shift = matcher.shiftTable.get();
  std::fill_n(shift, BlockHashSize, window);

  uint8_t endsWithFirstByte[256] = {};
  const HeapArray<uint8_t> endsWithFirstTwo = NewArray<uint8_t>(65536);
  if (!endsWithFirstTwo) return false;
  for (int32_t i = 0; i < matcher.longCount; ++i) {
    const uint8_t* folded = matcher.longSet.get()[i]->folded.get();
    endsWithFirstByte[folded[0]] = 1;
    endsWithFirstTwo[static_cast<size_t>(folded[0]) << 8 | folded[1]] = 1;
  }
  for (uint32_t h = 0; h < BlockHashSize; ++h) {
    if (endsWithFirstByte[h & 0xFFu] != 0) shift[h] = window - 1;
    if (endsWithFirstTwo[h & 0xFFFFu] != 0) shift[h] = window - 2;
  }

  for (int32_t i = 0; i < matcher.longCount; ++i) {
    const uint8_t* folded = matcher.longSet.get()[i]->folded.get();
    for (int32_t j = 2; j < window; ++j) {
      const uint32_t h = BlockHash(folded[j - 2], folded[j - 1], folded[j]);
      shift[h] = std::min(shift[h], window - 1 - j);
    }
  }
  return true;
}

// The search's compact copies of the long set and the shift table.
bool FillSearchData(PatternMatcher& matcher) noexcept {
  const auto count = static_cast<size_t>(matcher.longCount);
  const PatternEntry* const* set = matcher.longSet.get();
  size_t totalBytes = 0;
  for (size_t i = 0; i < count; ++i) totalBytes += static_cast<size_t>(set[i]->length);
  matcher.longCandidates = NewArray<LongCandidate>(count);
  // Zeros after the last entry let the search compare in 8-byte steps.
  matcher.longFoldedBytes = NewArray<uint8_t>(totalBytes + FoldedBytesPadding);
  matcher.windowShift = NewBuffer<uint8_t>(BlockHashSize);
  if (!matcher.longCandidates || !matcher.longFoldedBytes || !matcher.windowShift) return false;
  uint8_t* pool = matcher.longFoldedBytes.get();
  for (size_t i = 0; i < count; ++i) {
    const PatternEntry& entry = *set[i];
    const auto length = static_cast<size_t>(entry.length);
    LongCandidate& candidate = matcher.longCandidates.get()[i];
    for (size_t k = 0; k < 8; ++k) candidate.head = candidate.head << 8 | (k < length ? entry.folded[k] : 0u);
    candidate.folded = std::copy_n(entry.folded.get(), length, pool) - length;
    pool += length;
    candidate.exactBytes = entry.exactCase != 0 ? entry.bytes.get() : nullptr;
    candidate.length = entry.length;
    candidate.tag = entry.tag;
  }

  const int32_t* shift = matcher.shiftTable.get();
  uint8_t* narrow = matcher.windowShift.get();
  // A shift of 256 becomes 255: moving less is always safe.
  for (uint32_t h = 0; h < BlockHashSize; ++h) narrow[h] = static_cast<uint8_t>(std::min(shift[h], 255));
  return true;
}

bool BuildSets(PatternMatcher& matcher) noexcept {
  if (matcher.longCount > 0) {
    matcher.longSet = NewBuffer<const PatternEntry*>(static_cast<size_t>(matcher.longCount));
    if (!matcher.longSet) return false;
  }
  if (matcher.shortCount > 0) {
    matcher.shortSet = NewBuffer<const PatternEntry*>(static_cast<size_t>(matcher.shortCount));
    if (!matcher.shortSet) return false;
  }
  const PatternEntry** longFill = matcher.longSet.get();
  const PatternEntry** shortFill = matcher.shortSet.get();
  for (const PatternEntry& entry : matcher.patterns) {
    if (entry.length > 2) {
      *longFill++ = &entry;
    } else {
      *shortFill++ = &entry;
    }
  }
  if (matcher.longSet) std::sort(matcher.longSet.get(), longFill, NewestFirst<LongSetLess>);
  if (matcher.shortSet) std::sort(matcher.shortSet.get(), shortFill, NewestFirst<FoldedLess>);
  return true;
}

}  // namespace

int32_t BuildTables(PatternMatcher* matcher) noexcept {
  if (matcher == nullptr) return 0;
  if (matcher->built != 0) return 1;
  ResetTables(matcher);
  const auto built = [matcher]() noexcept {
    if (!BuildSets(*matcher)) return false;
    if (matcher->shortSet) {
      FillBucketStarts(matcher->shortIndex, 256, matcher->shortSet.get(), matcher->shortCount,
                       [](const PatternEntry& entry) { return entry.folded[0]; });
    }
    if (matcher->longSet) {
      // One entry more than there are hashes: the end of the last bucket.
      matcher->longIndex = NewBuffer<int32_t>(BlockHashSize + 1);
      matcher->shiftTable = NewBuffer<int32_t>(BlockHashSize);
      if (!matcher->longIndex || !matcher->shiftTable) return false;
      FillBucketStarts(matcher->longIndex.get(), BlockHashSize + 1, matcher->longSet.get(), matcher->longCount,
                       LeadingBlockHash);
      if (!FillShiftTable(*matcher) || !FillSearchData(*matcher)) return false;
    }
    return true;
  };
  if (!built()) {
    ResetTables(matcher);
    return 0;
  }
  matcher->built = 1;
  return 1;
}

}  // namespace veltor
