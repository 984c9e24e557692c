#pragma once
// The scan path's literal finder: which registered patterns occur in a
// stream of bytes, with no positions, counts or order. The scan context
// needs no more than that, and answering only that lets the finder stay
// linear on any input and allocate nothing while it scans.
//
// Contract:
// - A pattern occurs when its bytes appear in the stream fed since the last
//   BeginFinderScan, ASCII letters compared without case unless the pattern
//   is exact-case (then byte for byte), occurrences across chunk borders
//   included.
// - Each tag of an occurring pattern is marked: hits[tag] = 1 for every tag
//   in [0, hitCount). Nothing is ever cleared by a feed, so any split of the
//   same bytes marks the same tags.
// - Work per scan is bounded by a constant times (bytes fed + number of
//   feeds + distinct patterns); BeginFinderScan costs O(distinct patterns).
// - Building may fail (null) when memory runs out; nothing here throws, and
//   BeginFinderScan and FeedFinder never allocate.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/matcher/pattern_matcher.h"

namespace veltor {

struct LiteralFinder;  // layout: matcher/literal_finder_tables.h

void FreeLiteralFinder(LiteralFinder* finder) noexcept;

struct LiteralFinderDeleter {
  void operator()(LiteralFinder* finder) const noexcept { FreeLiteralFinder(finder); }
};
using LiteralFinderPtr = std::unique_ptr<LiteralFinder, LiteralFinderDeleter>;

// A finder over every pattern on the matcher's registration list, its tags
// and exact-case flags included. Null for a null matcher or exhausted memory.
LiteralFinderPtr BuildLiteralFinder(const PatternMatcher* registered) noexcept;

// Forgets the stream so far and every pattern found in it.
void BeginFinderScan(LiteralFinder* finder) noexcept;

// Continues the stream with `length` bytes and marks the tags of every
// pattern that now occurs and had not yet been found.
void FeedFinder(LiteralFinder* finder, const uint8_t* bytes, size_t length, uint8_t* hits, size_t hitCount) noexcept;

// Bytes the finder allocated (tables and per-scan state), for reporting.
size_t LiteralFinderMemory(const LiteralFinder* finder) noexcept;

// How a scan skips the positions where no pattern can start. Chosen once,
// when the library is loaded, from what the CPU supports (the best path);
// the environment variable VELTOR_SIMD=scalar|ssse3|avx2 asks for a lower
// one. Every path marks the same tags; only the speed differs.
enum class FinderPath : int32_t { Scalar = 0, Ssse3 = 1, Avx2 = 2 };

FinderPath ActiveFinderPath() noexcept;
// Switches every later scan to `path` (for tests; not while scans run).
// False, changing nothing, when the CPU cannot run it.
bool ForceFinderPath(FinderPath path) noexcept;

}  // namespace veltor
