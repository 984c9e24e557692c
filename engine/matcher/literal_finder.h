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
#include <span>

#include "engine/matcher/pattern_matcher.h"
#include "engine/platform/allocation.h"

namespace veltor {

struct LiteralFinder;  // layout: matcher/literal_finder_tables.h
struct FinderTables;   // the part of a finder that is read-only once built

void FreeLiteralFinder(LiteralFinder* finder) noexcept;

struct LiteralFinderDeleter {
  void operator()(LiteralFinder* finder) const noexcept { FreeLiteralFinder(finder); }
};
using LiteralFinderPtr = std::unique_ptr<LiteralFinder, LiteralFinderDeleter>;

// Drops one reference to the tables; the last frees them. Accepts null.
void ReleaseFinderTables(FinderTables* tables) noexcept;

struct FinderTablesDeleter {
  void operator()(FinderTables* tables) const noexcept { ReleaseFinderTables(tables); }
};
// One reference to tables that may be shared.
using FinderTablesPtr = std::unique_ptr<FinderTables, FinderTablesDeleter>;

// Which filter runs in front of the automata (engine/matcher/DESIGN.md). By
// default the set's shape decides, when the finder is built.
enum class FilterKind : int32_t {
  BySet = 0,    // the choice below, made from the set
  None = 1,     // the automata alone: the set has a pattern over 8,192 bytes
  Hashed = 2,   // a hashed 4-byte anchor per pattern, tested at every position
  Nibble = 3,   // the same, after a vector pass over nibble masks of the anchors
};

// Class rows (engine/matcher/DESIGN.md): a complete table over the byte
// classes of the set, for automata where it is small. By default the set's
// shape decides, and a scan moves between one position at a time with the
// skip and several stretches of the chunk at once ("lanes") by how densely
// the automaton steps; the other values build them for every automaton and
// fix the scan.
enum class ClassRowChoice : int32_t {
  BySet = 0,
  Adaptive = 1,  // built; scanned as by the set
  Single = 2,    // built; one position at a time, with the skip
  Lanes = 3,     // built; in lanes wherever a chunk is long enough
};

// How a finder is built. The defaults are what the scan path uses; the other
// values force one path, so that tests can reach each one by itself. Any
// choice marks the same tags.
struct FinderOptions {
  FilterKind filter = FilterKind::BySet;  // a filter the set cannot take falls back to None
  bool wideRows = false;  // complete rows only for the shallowest states, as for large sets; no class rows by set
  ClassRowChoice classRows = ClassRowChoice::BySet;
  // The filter's verification budget per byte fed and at the start of a
  // scan; negative: the set's default.
  int64_t filterWorkPerByte = -1;
  int64_t filterWorkSlack = -1;
};

// The tables of a finder over every pattern on the matcher's registration
// list, its tags and exact-case flags included. Null for a null matcher or
// exhausted memory.
FinderTablesPtr BuildFinderTables(const PatternMatcher* registered, const FinderOptions& options = {}) noexcept;

// A finder (the scan state of one user) over the tables, which it keeps the
// reference to. Null for null tables or exhausted memory (the reference is
// then dropped).
LiteralFinderPtr NewLiteralFinder(FinderTablesPtr tables) noexcept;

// BuildFinderTables, then NewLiteralFinder.
LiteralFinderPtr BuildLiteralFinder(const PatternMatcher* registered, const FinderOptions& options = {}) noexcept;

// The process's cache of finder tables, so that users of the same patterns
// (handles of one database) share one copy. A key must determine the
// tables entirely: the caller serialises whatever they are built from.
// Thread-safe. A key is compared whole; its hash only narrows the search.
//
// A new reference to the tables filed under `key`, or null when none are.
FinderTablesPtr FindSharedFinderTables(std::span<const uint8_t> key) noexcept;
// Files `tables` (not yet filed, not yet used by a finder) under `key`,
// which they keep, and returns them; when equal tables were filed
// meanwhile, returns those instead and drops `tables`. Filed tables leave
// the cache when their last reference is dropped. Allocates nothing.
FinderTablesPtr ShareFinderTables(FinderTablesPtr tables, GrowableArray<uint8_t>&& key) noexcept;
// How many tables the cache holds (for tests).
size_t SharedFinderTablesCount() noexcept;

// The filter the finder was built with (never BySet).
FilterKind ChosenFilter(const LiteralFinder* finder) noexcept;
// Whether some automaton of the finder steps through class rows.
bool FinderHasClassRows(const LiteralFinder* finder) noexcept;
// "automata", "hashed" or "nibble", for reports.
const char* FilterKindName(FilterKind kind) noexcept;

// Forgets the stream so far and every pattern found in it.
void BeginFinderScan(LiteralFinder* finder) noexcept;

// Continues the stream with `length` bytes and marks the tags of every
// pattern that now occurs and had not yet been found.
void FeedFinder(LiteralFinder* finder, const uint8_t* bytes, size_t length, uint8_t* hits, size_t hitCount) noexcept;

// Bytes the finder allocated (tables and per-scan state), for reporting.
size_t LiteralFinderMemory(const LiteralFinder* finder) noexcept;
// Of those, the per-scan state (found flags, the filter's window); the rest
// are tables, read-only once built and possibly shared.
size_t LiteralFinderScanMemory(const LiteralFinder* finder) noexcept;

// How a scan skips the positions where no pattern (for the automata) or no
// anchor (for the nibble filter) can start. Chosen once, when the library is
// loaded, from what the CPU supports (the best path); the environment
// variable VELTOR_SIMD=scalar|ssse3|avx2|avx512 asks for a lower one. Every
// path marks the same tags; only the speed differs.
enum class FinderPath : int32_t { Scalar = 0, Ssse3 = 1, Avx2 = 2, Avx512 = 3 };

FinderPath ActiveFinderPath() noexcept;
// "scalar", "ssse3", "avx2" or "avx512": the names VELTOR_SIMD takes.
const char* FinderPathName(FinderPath path) noexcept;
// Switches every later scan to `path` (for tests; not while scans run).
// False, changing nothing, when the CPU cannot run it.
bool ForceFinderPath(FinderPath path) noexcept;

}  // namespace veltor
