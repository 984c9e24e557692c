#pragma once
// Layout of the literal finder (private to matcher/).
//
// Two Aho-Corasick automata: one over folded bytes for the patterns that
// ignore case, one over raw bytes for the exact-case patterns (an exact
// occurrence is also a folded one, but only the exact one may mark). Each
// trie node that ends a pattern is one "entry": identical patterns share it
// and their tags are listed together.
//
// The first denseRows states (DenseRowStates below) are numbered breadth-first
// (the root is 0, then every depth-1 state, ...); the deeper ones depth-first
// from there, so a state's first child follows it and a chain of single
// children is consecutive. The first denseRows states (all of a small
// automaton; the shallow ones, where a scan spends most of its steps, of a
// large one) have complete transition rows (256 targets, indexed by the raw
// input byte with folding already applied), so a step from them is one
// lookup and the failure walk ends at the first of them it meets. Every
// state has one packed word (failure link, report flag, where its children
// are) and its label; what only some states have (other children, an
// entry, a report link) is kept for those alone, found by rank.
//
// Everything below FinderTables is read-only once built, so one copy may
// serve every handle that loaded the same signatures (finder_cache.cpp);
// what a scan changes lives in LiteralFinder, one per handle.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/matcher/literal_finder.h"
#include "engine/platform/allocation.h"

namespace veltor {

// Complete rows per automaton: 2,048 rows of 256 targets are 2 MiB, so both
// automata together stay within the fixed few MiB a handle may spend on
// speed. At least the root and every depth-1 state fit.
inline constexpr int32_t DenseRowLimit = 2048;

// A large automaton gets one row per DenseRowStates states (a row's 256
// targets then cost at most what those states' packed words do), between
// DenseRowFloor and DenseRowLimit: a smaller automaton of a large set, most
// often the exact-case one, is not charged the larger one's rows.
inline constexpr int32_t DenseRowStates = 256;
inline constexpr int32_t DenseRowFloor = 512;
static_assert(DenseRowFloor <= DenseRowLimit);

// An automaton of at most this many states instead gets complete rows for
// every state, as 16-bit targets (4 MiB at most), and `dense` is dropped:
// hostile inputs drive a scan deep into a small automaton, where a missing
// row costs a failure walk per byte.
inline constexpr int32_t NarrowRowLimit = 8192;

inline constexpr uint32_t ReportFlag = 0x80000000u;
inline constexpr uint16_t NarrowReportFlag = 0x8000u;
static_assert(NarrowRowLimit < NarrowReportFlag);

// More distinct start pairs than this would fill the 8 nibble buckets: the
// vector skip would let nearly every position through.
inline constexpr int32_t NibbleSkipPairLimit = 48;


// A state's packed word: above PackedFailShift its failure link, or for a
// state whose children are listed (StateEdges) the offset of its list in
// `edges`; the report flag (report >= 0); and where its children are: none,
// one (the next state, StateNext), or listed. A list is the failure link,
// then the child count - 1 and the labels in sorted order, as bytes padded
// to whole words, then the targets: one place to read for a step. Offsets
// get 29 bits and a list at most 3 words per child, so an automaton has
// fewer than StateLimit states (a set with more, over 128 MiB of patterns,
// fails to build as if out of memory).
inline constexpr uint32_t StateChildren = 3u;
inline constexpr uint32_t StateNext = 1u;
inline constexpr uint32_t StateEdges = 2u;
inline constexpr uint32_t PackedReport = 4u;
inline constexpr int PackedFailShift = 3;
inline constexpr int32_t StateLimit = int32_t{1} << 27;

// The sets of states found by rank, one bit per state: those that end an
// entry (the entry is the rank, so entries are numbered in state order),
// and those with a report link that end no entry (their link is in
// `reportOf`).
enum StateSet : int { EntryStates = 0, ReportStates = 1 };
inline constexpr int StateSetCount = 2;

// 64 states' bits of each set, in 32-bit halves, and how many states of
// each set come before them.
struct StateBits {
  uint32_t low[StateSetCount];
  uint32_t high[StateSetCount];
  int32_t before[StateSetCount];
};

// Class rows (literal_finder_classes.cpp): input bytes that no pattern of
// the automaton tells apart (case folding included) share a class, and every
// state has a complete row over the classes, so a step is one load whatever
// the depth. A row is `classCount` targets and one more word: the entry its
// dictionary walk starts at (ReportEntryOf). Targets are row offsets
// (state * stride, so a step needs no multiplication) carrying ReportFlag
// when the target has a report. Built when the automaton has no narrow rows
// and the whole table fits ClassRowBudget, the wide rows it replaces at 4
// bytes a target (so it costs at most half a MiB more than their 3-byte
// form, and stays about as likely to be in the cache), or when forced; the
// automaton's `rows` and `narrow` rows are then dropped.
inline constexpr size_t ClassRowBudget = size_t{DenseRowLimit} * 256 * sizeof(uint32_t);

// A scan over class rows runs ClassLanes stretches of a chunk at once, each
// from the root ClassRows::longest bytes before its own (an automaton's
// state depends on no more bytes than that), so that the stretches' loads
// overlap; the last one leaves the stream's state. Only where a block is at
// least ClassLaneMinimum bytes and ClassLaneOverlaps times the lanes'
// overlap. Adaptively (literal_finder_scan.cpp), the scan steps one position
// at a time with the skip until, within ClassProbeWindow bytes, it stepped
// at more than 1 position in ClassDenseShare (ClassProbeSteps at least: the
// skip no longer pays), then takes lanes for ClassLaneBlock bytes, and
// probes again.
inline constexpr size_t ClassLanes = 4;
inline constexpr size_t ClassLaneMinimum = 256;
inline constexpr size_t ClassLaneOverlaps = 2 * ClassLanes;
inline constexpr size_t ClassDenseShare = 4;
inline constexpr size_t ClassProbeSteps = 256;
inline constexpr size_t ClassProbeWindow = 4096;
inline constexpr size_t ClassLaneBlock = 32768;

struct ClassRows {
  uint32_t stride = 0;  // 0: not built; else classCount + 1
  uint32_t classCount = 0;
  uint32_t longest = 0;  // the automaton's longest key: its deepest state
  ClassRowChoice scan = ClassRowChoice::Adaptive;  // Adaptive, Single or Lanes
  uint8_t classOf[256] = {};  // raw input byte -> class
  GrowableArray<uint32_t> rows;  // stateCount * stride
};

// Filled while building (each allocation checked) and never resized
// afterwards, so a scan cannot allocate.
struct FinderAutomaton {
  int32_t stateCount = 0;  // 0: no pattern of this kind, the automaton is skipped
  int32_t denseRows = 0;   // states [0, denseRows) have a row in `dense`
  bool folded = false;     // input bytes go through FoldByte before `label` is compared
  // While building only: denseRows * 256 complete transitions (a target
  // that has a report carries ReportFlag) and per state the packed word
  // (failure link, report flag, children: above). Both are then narrowed
  // into `rows` and `words` and released.
  GrowableArray<uint32_t> dense;
  GrowableArray<uint32_t> packed;
  // The same, each value in the fewest bytes that hold every one of them (3
  // or 4, little-endian, read by one 4-byte load and a mask; one padding byte
  // at the end): a row target as target << 1 | report, so a step from a
  // state with a row is still one load. Most automata have fewer than 2^23
  // states and list offsets under 2^21, so 3 bytes hold them.
  GrowableArray<uint8_t> rows;
  GrowableArray<uint8_t> words;
  uint32_t rowWidth = 4;
  uint32_t rowMask = ~0u;
  uint32_t wordWidth = 4;
  uint32_t wordMask = ~0u;
  GrowableArray<uint8_t> label;     // per state: the (folded) byte of the edge into it
  GrowableArray<StateBits> bits;    // per 64 states
  GrowableArray<uint32_t> edges;    // the lists of StateEdges states (above)
  // Per ReportStates state (by rank): the entry of the first state on its
  // suffix chain that ends one. The dictionary walk starts there (at the
  // state's own entry for one that ends an entry) and goes on by
  // FinderTables::nextEntry, without the states.
  GrowableArray<int32_t> reportOf;
  int32_t entryBase = 0;  // the entry of this automaton's first EntryStates state
  // Root skip: bit (a << 8 | b) is set when some pattern may start with the
  // input bytes a, b (folding applied), or a alone is a pattern.
  GrowableArray<uint64_t> startPairs;  // 65536 bits
  GrowableArray<uint16_t> narrow;  // stateCount * 256 targets, NarrowReportFlag as above; or empty
  // Vector skip ("nibble buckets"): the distinct start pairs, spread over 8
  // buckets, as four 16-entry tables indexed by the low and high nibbles of
  // a position's first and second byte; a bucket bit set in all four lookups
  // makes the position a candidate. Only for small pair sets (useful), and
  // checked against startPairs after, so it only ever skips less.
  bool nibbleSkip = false;
  alignas(16) uint8_t nibbleMasks[4][16] = {};  // low 1st, high 1st, low 2nd, high 2nd
  int32_t depthOneEnd = 1;  // states [1, depthOneEnd) are the depth-1 states
  int32_t entryCount = 0;  // entries ending in this automaton
  ClassRows classes;       // when built, the only table a scan steps through
};

// The filter in front of the automata, for sets whose patterns all have at
// most FilterMaxLength bytes. Each entry of FilterGram bytes or more is filed under one
// FilterGram-byte fragment of its folded key (its "anchor", chosen to be
// rare), hashed. A scan hashes the folded fragment at every position, tests
// one bit, and only when it is set verifies the entries of that hash's
// bucket that are not yet found. Work spent verifying is counted; past
// workPerByte per byte fed (plus workSlack), the scan switches to
// the automata for the rest of the stream (see literal_finder_scan.cpp).
// Shorter entries are listed by their folded first byte and tested where
// their folded first two bytes (any second byte for a 1-byte entry) are a
// start pair of `shortPairs`.
inline constexpr int32_t FilterGram = 4;
// The window keeps the longest pattern's length - 1 bytes between rounds,
// so the cap bounds it (and the bytes re-read after a switch to the
// automata): sets with a longer pattern keep the automata from the start.
inline constexpr int32_t FilterMaxLength = 8192;
static_assert(FilterMaxLength <= UINT16_MAX);  // FilterItem's offset and length
// Bytes appended to the window per round: at least FilterPiece, and at
// least FilterPieceFactor times the carried bytes, so that re-checking them
// costs at most 1 / FilterPieceFactor more positions.
inline constexpr size_t FilterPiece = 4096;
inline constexpr size_t FilterPieceFactor = 4;
// The budget: when every automaton has complete rows (small sets), a step
// costs about what a candidate costs, so the filter gives way as soon as
// candidates are about as frequent as bytes. Large automata miss the cache
// at nearly every step, so the filter keeps going far longer.
inline constexpr uint64_t FilterWorkPerByteSmall = 1;
inline constexpr uint64_t FilterWorkSlackSmall = uint64_t{1} << 16;
inline constexpr uint64_t FilterWorkPerByteLarge = 16;
inline constexpr uint64_t FilterWorkSlackLarge = uint64_t{1} << 22;
inline constexpr uint32_t FilterHashFactor = 0x9E3779B1u;

// The nibble pass in front of the filter: each distinct anchor (and each
// short entry's bytes) goes into one of 8 buckets; per anchor byte j, two
// 16-entry tables map the low and the high nibble of window byte p + j to
// the buckets that accept it. A position is a candidate when some bucket
// accepts all 2 x FilterGram lookups. A set takes it when the buckets are
// expected to pass at most 1 in NibblePassLimit positions of ordinary data
// (bytes weighted as the anchors' choice weighs them): measured on the
// bench's sets, beyond about 1 in 1.5 the positions the pass rules out no
// longer pay for it (about 500 distinct anchors).
inline constexpr int32_t NibbleBuckets = 8;
inline constexpr double NibblePassLimit = 2.0;
// Sets with more distinct anchors fill every bucket: not even estimated.
inline constexpr size_t NibbleAnchorLimit = 768;

// The bytes of a key the first comparison reads at once (FilterItem).
inline constexpr size_t FilterKeyHead = 8;

// An entry filed in the filter. Its key's last bytes are the labels of the
// chain of states that ends at its state (each the only child, numbered
// next, of the one before it: a tail), so only the bytes before that chain,
// and at least the first FilterKeyHead, are kept in keyBytes (KeptKeyBytes).
struct FilterItem {
  uint32_t gram;   // the anchor's folded bytes, as a little-endian load reads them
  int32_t state;   // the entry's state in its automaton, where marking starts
  int32_t entry;   // its rank, kept: a found entry is skipped without reading the states
  uint32_t keyAt;  // offset of the key's kept bytes in keyBytes
  uint16_t offset : 15;  // of the anchor in the key
  uint16_t exact : 1;    // 1: the key is raw bytes, compared with raw input, and the entry is in automata[1]
  uint16_t length;       // at most FilterMaxLength
};
static_assert(sizeof(FilterItem) == 20 && FilterMaxLength < (1 << 15));

struct FinderFilter {
  bool enabled = false;  // the set qualifies
  uint32_t bitShift = 32;     // a hash's top (32 - bitShift) bits index `bits`
  uint32_t bucketShift = 32;  // its top (32 - bucketShift) bits index `bucketStart`
  GrowableArray<uint64_t> bits;
  GrowableArray<int32_t> bucketStart;  // buckets + 1 offsets into items
  GrowableArray<FilterItem> items;
  GrowableArray<uint8_t> keyBytes;
  GrowableArray<FilterItem> shortItems;  // sorted by folded first byte
  GrowableArray<int32_t> shortStart;     // 257 offsets into shortItems, or empty: no short entry
  GrowableArray<uint64_t> shortPairs;    // 65536 bits
  // The nibble pass: low and high nibble tables for each anchor byte j at
  // [2j] and [2j + 1]; only run when `nibble` is set.
  bool nibble = false;
  alignas(16) uint8_t anchorMasks[2 * FilterGram][16] = {};
  int32_t carry = 0;  // longest pattern - 1: window bytes kept between rounds
  size_t piece = FilterPiece;  // bytes appended per round (FilterPiece, FilterPieceFactor)
  // Kept bytes whose positions are checked again with the next piece: an
  // occurrence that ends in the piece has its anchor at most (length -
  // offset - 1) bytes before it, over every item (3 for a short entry's pair).
  int32_t recheck = 0;
  uint64_t workPerByte = FilterWorkPerByteLarge;
  uint64_t workSlack = FilterWorkSlackLarge;
};

// 64 entries' bits and how many entries with the bit set come before them.
struct EntryLinks {
  uint64_t bits;
  int32_t before;
};

// What a finder reads and never changes: both automata, the filter and the
// tag lists. Shared by reference count (literal_finder.h).
struct FinderTables {
  FinderAutomaton automata[2];  // [0] folded, [1] exact-case
  FinderFilter filter;
  FilterKind kind = FilterKind::None;  // what `filter` does: None, Hashed or Nibble
  int32_t entryCount = 0;              // over both automata
  // Per entry: its tag (most entries have one), or for an entry of several
  // (identical patterns), -2 - the offset in moreTags of their count,
  // followed by the tags.
  GrowableArray<int32_t> tagOf;
  GrowableArray<int32_t> moreTags;
  // Per entry: the next entry on the suffix chain of its state (the report
  // link of its failure state), or -1. Read only when the entry is marked.
  // Most entries have none, so only those that do keep it: per 64 entries
  // the bits of those that have one and how many came before (NextEntryOf).
  // `nextEntry` is the build's array of every entry's, then released.
  GrowableArray<int32_t> nextEntry;
  GrowableArray<EntryLinks> nextBits;
  GrowableArray<int32_t> nextOf;
  size_t memory = 0;  // bytes allocated for all of the above
  // Holders: finders and the cache's lookups. The last release frees.
  std::atomic<int32_t> references{1};
  // Set when the tables are in the cache (finder_cache.cpp): the key they
  // were filed under (a copy, or its holder's), and their place in its list.
  GrowableArray<uint8_t> cacheKey;
  FinderKeyHolder keyHolder;
  size_t cacheKeyLength = 0;
  uint64_t cacheHash = 0;
  bool cached = false;
  FinderTables* cacheNext = nullptr;
};

// One handle's scan state over shared tables.
struct LiteralFinder {
  FinderTables* tables = nullptr;  // one reference, released with the finder
  // Where the stream so far left each automaton: a state, or for an
  // automaton with class rows that state's row offset (the root is 0 either way).
  int32_t state[2] = {};
  int32_t unfound[2] = {};  // entries not yet found this scan: at 0 the automaton stops
  HeapArray<uint8_t> found;  // entryCount: 1 once the entry occurred this scan
  // The filter's window: the last `carry` bytes of the stream and the next
  // piece, raw and folded: a verification never reaches outside it.
  HeapArray<uint8_t> raw;
  HeapArray<uint8_t> folded;
  bool active = false;  // this scan still filters (else the automata run)
  bool lanes[2] = {};   // an automaton with class rows runs lanes (ClassLanes) for now
  size_t kept = 0;
  uint64_t fed = 0;
  uint64_t work = 0;
  size_t scanMemory = 0;  // bytes of the above
};

// Adds one reference; releasing the last frees the tables (and takes them
// out of the cache).
void RetainFinderTables(FinderTables* tables) noexcept;
// Frees the tables themselves (the last release calls it).
void DestroyFinderTables(FinderTables* tables) noexcept;
// Takes tables that are about to be freed out of the cache (finder_cache.cpp).
void ForgetCachedFinderTables(FinderTables* tables) noexcept;

inline bool InStateSet(const FinderAutomaton& a, StateSet set, int32_t state) noexcept {
  const StateBits& b = a.bits[static_cast<size_t>(state) >> 6];
  const auto bit = static_cast<uint32_t>(state) & 63;
  return ((bit < 32 ? b.low[set] >> bit : b.high[set] >> (bit - 32)) & 1) != 0;
}

// The set bits of a word, inline: without a build flag for the popcnt
// instruction (the library runs on any x86-64), std::popcount is a call.
inline int32_t BitCount(uint64_t word) noexcept {
  word -= (word >> 1) & 0x5555555555555555u;
  word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
  word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int32_t>((word * 0x0101010101010101u) >> 56);
}

// How many states of `set` come before `state`.
inline int32_t StateRank(const FinderAutomaton& a, StateSet set, int32_t state) noexcept {
  const StateBits& b = a.bits[static_cast<size_t>(state) >> 6];
  const auto bit = static_cast<uint32_t>(state) & 63;
  const uint64_t word = (uint64_t{b.high[set]} << 32 | b.low[set]) & ((uint64_t{1} << bit) - 1);
  return b.before[set] + BitCount(word);
}

inline uint32_t LoadWord(const uint8_t* at) noexcept {
  uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// The packed word of `state` (once built).
inline uint32_t PackedOf(const FinderAutomaton& a, int32_t state) noexcept {
  return LoadWord(a.words.data() + static_cast<size_t>(state) * a.wordWidth) & a.wordMask;
}

// The row target of `state` (< denseRows) by raw byte, with ReportFlag.
inline uint32_t RowTarget(const FinderAutomaton& a, int32_t state, uint8_t raw) noexcept {
  const uint32_t value =
      LoadWord(a.rows.data() + (static_cast<size_t>(state) * 256 + raw) * a.rowWidth) & a.rowMask;
  return value >> 1 | value << 31;
}

// Whether the state before `state` is its parent: a chain's state has one
// child, the next state.
inline bool ParentIsPrevious(const FinderAutomaton& a, int32_t state) noexcept {
  return state > 0 && (PackedOf(a, state - 1) & StateChildren) == StateNext;
}

// How many first bytes of a key of `length` bytes ending at `state` the
// filter keeps: the key bytes from the labels of the chain up to `state`
// are left out, down to the first FilterKeyHead. The verification walks the
// chain in the same steps.
inline size_t KeptKeyBytes(const FinderAutomaton& a, int32_t state, size_t length) noexcept {
  size_t kept = length;
  while (kept > FilterKeyHead) {
    --kept;
    if (!ParentIsPrevious(a, state)) break;
    --state;
  }
  return kept;
}

inline int32_t FailOf(const FinderAutomaton& a, int32_t state) noexcept {
  const uint32_t word = PackedOf(a, state);
  return static_cast<int32_t>((word & StateChildren) == StateEdges ? a.edges[word >> PackedFailShift]
                                                                    : word >> PackedFailShift);
}

// The entry `state` ends; only for states that end one.
inline int32_t EntryOf(const FinderAutomaton& a, int32_t state) noexcept {
  return a.entryBase + StateRank(a, EntryStates, state);
}

// The entry of the first state on the suffix chain of `state` (itself
// included) that ends one, or -1: one word of bits and at most one load.
inline int32_t ReportEntryOf(const FinderAutomaton& a, int32_t state) noexcept {
  if (InStateSet(a, EntryStates, state)) return EntryOf(a, state);
  if (!InStateSet(a, ReportStates, state)) return -1;
  return a.reportOf[static_cast<size_t>(StateRank(a, ReportStates, state))];
}

// The next entry on the suffix chain of entry `e`'s state, or -1.
inline int32_t NextEntryOf(const FinderTables& t, int32_t e) noexcept {
  const EntryLinks& links = t.nextBits[static_cast<size_t>(e) >> 6];
  const auto bit = static_cast<uint32_t>(e) & 63;
  if ((links.bits >> bit & 1) == 0) return -1;
  return t.nextOf[static_cast<size_t>(links.before + BitCount(links.bits & ((uint64_t{1} << bit) - 1)))];
}

inline bool StartPair(const uint64_t* pairs, uint8_t first, uint8_t second) noexcept {
  const auto bit = static_cast<uint32_t>(first) << 8 | second;
  return (pairs[bit >> 6] >> (bit & 63) & 1) != 0;
}

enum class ClassBuild { Built, NotWorth, OutOfMemory };
// Builds the class rows of a finished automaton: by the set (BySet: when
// they fit the budget and it has no narrow rows, scanned adaptively), or
// always, scanned as `choice` says (unless the offsets would not fit 31
// bits). NotWorth leaves the automaton as it was. `longest`: the
// automaton's longest key.
ClassBuild BuildClassRows(FinderAutomaton& a, ClassRowChoice choice, int32_t longest) noexcept;

// The skip of the active path: the first position at or after `from` where
// a pattern may start (its pair is a start pair), or length - 1 when there
// is none before the last byte. `from` < length.
size_t SkipToCandidate(const FinderAutomaton& a, const uint8_t* bytes, size_t from, size_t length) noexcept;

// The nibble pass over a folded window from position `from` (< limit):
// moves `from` over the positions it rules out, then returns the width w of
// the block there (1 to 64, at most limit - from) and sets bit i of
// `candidates` for each position from + i it cannot rule out (bit 0 need
// not be set). Reads at most up to folded[limit + FilterGram - 2].
using AnchorBlockFunction = size_t (*)(const FinderFilter& f, const uint8_t* folded, size_t& from, size_t limit,
                                       uint64_t& candidates) noexcept;
// The active path's; null for the scalar path, which rules nothing out.
AnchorBlockFunction ActiveAnchorBlock() noexcept;
// The same contract for the hashed test itself (positions whose anchor bit
// is clear), for sets without short entries; null below AVX2 (no gather).
AnchorBlockFunction ActiveHashedBlock() noexcept;

}  // namespace veltor
