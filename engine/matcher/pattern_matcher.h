#pragma once
// Multi-pattern byte matcher. Reports every occurrence of every registered
// pattern, overlapping ones included, ignoring ASCII letter case unless a
// pattern is exact-case.
//
// Patterns of 1-2 bytes ("short") are looked up at every position through a
// bucket index by first folded byte. Longer patterns ("long") are found by a
// skipping search: a window of minLength bytes slides over the input, a shift
// table indexed by the block hash of the window's last three bytes says how
// far it may move, and only where the shift is 0 are candidates compared,
// taken from a bucket table indexed by the block hash of the window's first
// three bytes.
//
// Hits come in this order: all short-pattern hits by ascending position, then
// all long-pattern hits by ascending position; at one position in set order.
//
// Set order is fully deterministic:
// - shortSet: by folded bytes, compared as unsigned over the shorter length,
//   the shorter entry first when one is a prefix of the other;
// - longSet: by the block hash of the first three folded bytes, then by the
//   folded bytes as for shortSet;
// - entries still equal come newest first (the later registration first).
// So at one position, hits of equal folded bytes come newest first, and a
// pattern comes before every longer pattern that it is a prefix of.
//
// Positions and window arithmetic are done in 64 bits, so any input of up
// to INT32_MAX bytes is searched without overflow. Out-of-memory is never
// thrown out of these operations: it is their 0 or null result.
#include <cstdint>
#include <memory>

#include "engine/platform/allocation.h"

namespace veltor {

// H(x, y, z) over three folded bytes: a 20-bit value. Only the low four bits
// of the first byte take part.
inline constexpr uint32_t BlockHashSize = 1u << 20;
inline constexpr uint32_t BlockHash(uint8_t x, uint8_t y, uint8_t z) noexcept {
  return (static_cast<uint32_t>(x) & 0xFu) << 16 | static_cast<uint32_t>(y) << 8 | z;
}

// The longest window: minLength starts here and only falls.
inline constexpr int32_t MaxWindowLength = 256;

struct PatternMatcher;

struct PatternEntry {
  int32_t tag = 0;
  HeapArray<uint8_t> bytes;   // the pattern as registered
  int32_t length = 0;         // > 0
  HeapArray<uint8_t> folded;  // bytes through FoldTable
  int32_t exactCase = 0;              // nonzero: an occurrence must also match bytes exactly
};

// position: offset of the occurrence's first byte; tag: the entry's tag.
using HitCallback = void (*)(int32_t position, int32_t tag, void* userData);

// Readable bytes after the search's folded copies: 8-byte loads may run
// past the last byte.
inline constexpr size_t FoldedBytesPadding = 8;

// What the long pass reads of one longSet entry, in one contiguous array in
// set order: candidates are binary-searched and compared there without
// chasing two pointers per probe.
struct LongCandidate {
  uint64_t head = 0;                   // the first min(8, length) folded bytes, big-endian, zero-padded
  const uint8_t* folded = nullptr;     // into longFoldedBytes
  const uint8_t* exactBytes = nullptr; // the entry's bytes when it is exact-case, else null
  int32_t length = 0;
  int32_t tag = 0;
};

struct PatternMatcher {
  // Registration list, oldest first. The sets point into it, so a
  // registration (which may move it) releases the sets and tables.
  GrowableArray<PatternEntry> patterns;
  HeapArray<const PatternEntry*> longSet;   // entries of length >= 3, in set order
  HeapArray<const PatternEntry*> shortSet;  // entries of length 1-2, in set order
  int32_t longCount = 0;
  int32_t shortCount = 0;
  HeapArray<int32_t> shiftTable;  // BlockHashSize entries
  // BlockHashSize bucket starts into longSet, plus one last entry holding
  // longCount, so that every bucket ends at longIndex[h + 1].
  HeapArray<int32_t> longIndex;
  int32_t shortIndex[256] = {};  // bucket starts into shortSet by first folded byte
  int32_t minLength = MaxWindowLength;
  int32_t built = 0;
  // Derived by BuildTables for the search's speed, and freed with the other
  // tables. The long pass reads these instead of longSet and shiftTable:
  // they pack what it needs closer together, so more of it stays in cache.
  HeapArray<LongCandidate> longCandidates;  // longCount entries in set order
  HeapArray<uint8_t> longFoldedBytes;       // every long entry's folded bytes, in set order, then
                                            // FoldedBytesPadding zeros
  HeapArray<uint8_t> windowShift;           // shiftTable capped at 255, one byte each
};

void DestroyMatcher(PatternMatcher* matcher) noexcept;

struct PatternMatcherDeleter {
  void operator()(PatternMatcher* matcher) const noexcept { DestroyMatcher(matcher); }
};
using PatternMatcherPtr = std::unique_ptr<PatternMatcher, PatternMatcherDeleter>;

// A new, empty, open matcher with minLength 256; null when memory runs out.
PatternMatcherPtr CreateMatcher() noexcept;

// Registers a copy of the pattern (and releases the sets and tables, which
// the next build makes again). 1 on success; 0 for a null matcher, null
// bytes, length <= 0 or exhausted memory (the matcher is then unchanged).
int32_t AddPattern(PatternMatcher* matcher, const uint8_t* bytes, int32_t length, int32_t exactCase,
                   int32_t tag) noexcept;

// Builds the sets and tables from every registered pattern. 1 on success
// (at once when already built); 0 for a null matcher or exhausted memory,
// leaving the matcher open with no sets or tables.
int32_t BuildTables(PatternMatcher* matcher) noexcept;

// Searches the input, building first when needed. Returns the number of
// occurrences; 0 for bad arguments, a failed build or exhausted memory.
int32_t SearchBuffer(PatternMatcher* matcher, const uint8_t* input, int32_t length, HitCallback callback,
                     void* userData) noexcept;

// Frees the sets and tables; keeps the patterns, counts, minLength and built.
void ResetTables(PatternMatcher* matcher) noexcept;

// The scan context's owner of a matcher. ready records that some build has
// succeeded; nothing clears it.
struct MatcherHolder {
  PatternMatcherPtr matcher;  // null when creation failed
  bool ready = false;
};

inline constexpr int32_t HolderNoMatcher = -2;
inline constexpr int32_t HolderBadInput = -3;
inline constexpr int32_t HolderBuildFailed = -4;

// -2 without a matcher; -3 for null input or length <= 0; -4 when not ready
// and the build fails; otherwise SearchBuffer's result.
int32_t HolderSearch(MatcherHolder* holder, const uint8_t* input, int32_t length, HitCallback callback,
                     void* userData) noexcept;

}  // namespace veltor
