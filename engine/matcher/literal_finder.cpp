// Building the literal finder: patterns sorted by their key bytes become a
// trie breadth-first (a node is a range of sorted patterns sharing a prefix,
// its children the sub-ranges by the next byte), and the failure links,
// complete rows and report links follow in the same order.
#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>

#include "engine/matcher/fold_table.h"
#include "engine/matcher/literal_finder_tables.h"
#include "engine/platform/allocation.h"

namespace veltor {
namespace {

struct KeyedPattern {
  const uint8_t* key;  // folded bytes, or the raw bytes of an exact-case pattern
  int32_t length;
  int32_t tag;
};

bool KeyLess(const KeyedPattern& a, const KeyedPattern& b) noexcept {
  const auto common = static_cast<size_t>(std::min(a.length, b.length));
  const int order = std::memcmp(a.key, b.key, common);
  return order != 0 ? order < 0 : a.length < b.length;
}

// An entry as the filter needs it.
struct EntryKey {
  const uint8_t* key;
  int32_t length;
  int32_t state;
  int32_t entry;
  bool exact;
};

// The trie in breadth-first ids, while building; packed into the
// automaton's layout (literal_finder_tables.h) at the end.
struct Trie {
  GrowableArray<int32_t> firstChild;   // id of its first child
  GrowableArray<uint16_t> childCount;  // 0..256
  GrowableArray<int32_t> fail;         // longest proper suffix that is a state
  GrowableArray<uint8_t> label;
};

// The child of `state` by key byte k, or -1. Children are sorted by label.
int32_t ChildOf(const Trie& trie, int32_t state, uint8_t k) noexcept {
  const int32_t first = trie.firstChild[static_cast<size_t>(state)];
  const uint8_t* labels = trie.label.data() + first;
  const uint8_t* end = labels + trie.childCount[static_cast<size_t>(state)];
  const uint8_t* at = std::lower_bound(labels, end, k);
  return at != end && *at == k ? first + static_cast<int32_t>(at - labels) : -1;
}

// The automaton's transition by key byte k, for states already linked
// (rows still in breadth-first ids).
int32_t Transition(const FinderAutomaton& a, const Trie& trie, int32_t state, uint8_t k) noexcept {
  while (state >= a.denseRows) {
    const int32_t child = ChildOf(trie, state, k);
    if (child >= 0) return child;
    state = trie.fail[static_cast<size_t>(state)];
  }
  // A key byte is its own raw form (folding leaves folded bytes alone).
  return static_cast<int32_t>(a.dense[static_cast<size_t>(state) * 256 + k]);
}

// Copies `values` into `into` in `width` bytes each, little-endian, plus
// the padding byte that lets the last one be read by a 4-byte load.
bool StoreNarrowed(const GrowableArray<uint32_t>& values, uint32_t width, GrowableArray<uint8_t>& into) noexcept {
  if (!into.Assign(values.size() * width + 1, 0)) return false;
  // Whole words, each overwriting the one before's spare byte (the host is
  // little-endian, as the 4-byte loads that read them assume).
  uint8_t* at = into.data();
  for (const uint32_t value : values) {
    std::memcpy(at, &value, sizeof value);
    at += width;
  }
  return true;
}

// The build's 32-bit rows and packed words, in 3 bytes each when every
// value fits (literal_finder_tables.h); the 32-bit arrays are released.
bool NarrowTables(FinderAutomaton& a) noexcept {
  constexpr uint32_t Narrow = (uint32_t{1} << 24) - 1;
  a.rowWidth = a.stateCount <= static_cast<int32_t>(Narrow >> 1) ? 3 : 4;
  a.rowMask = a.rowWidth == 3 ? Narrow : ~0u;
  for (uint32_t& target : a.dense) target = (target & ~ReportFlag) << 1 | target >> 31;
  uint32_t widest = 0;
  for (const uint32_t word : a.packed) widest = std::max(widest, word);
  a.wordWidth = widest <= Narrow ? 3 : 4;
  a.wordMask = a.wordWidth == 3 ? Narrow : ~0u;
  if ((!a.dense.empty() && !StoreNarrowed(a.dense, a.rowWidth, a.rows)) ||
      !StoreNarrowed(a.packed, a.wordWidth, a.words)) {
    return false;
  }
  a.dense.Release();
  a.packed.Release();
  return true;
}

uint8_t KeyOf(bool folded, uint8_t raw) noexcept { return folded ? FoldByte(raw) : raw; }

// The raw bytes that reach key byte k: a folded letter's two cases.
int RawForms(bool folded, uint8_t k, uint8_t (&forms)[2]) noexcept {
  forms[0] = k;
  if (folded && k >= 'A' && k <= 'Z') {
    forms[1] = static_cast<uint8_t>(k + ('a' - 'A'));
    return 2;
  }
  return 1;
}

// Sorted patterns give their start pairs in order; neighbours (alike in
// their first byte) share a bucket, so a bucket's nibble sets stay small.
// A pair is coded first * 512 + second + 1 (second -1 for a 1-byte
// pattern), which sorts as (first, second). False when memory runs out.
bool FillNibbleMasks(FinderAutomaton& a, const GrowableArray<KeyedPattern>& patterns, bool folded) noexcept {
  GrowableArray<int32_t> pairs;
  for (const KeyedPattern& p : patterns) {
    const int32_t pair = p.key[0] * 512 + (p.length >= 2 ? p.key[1] : -1) + 1;
    if ((pairs.empty() || pairs.back() != pair) && !pairs.Append(pair)) return false;
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.Truncate(static_cast<size_t>(std::unique(pairs.begin(), pairs.end()) - pairs.begin()));
  if (pairs.size() > static_cast<size_t>(NibbleSkipPairLimit)) return true;
  a.nibbleSkip = true;
  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto bit = static_cast<uint8_t>(1u << (i * 8 / pairs.size()));
    const int32_t first = pairs[i] / 512;
    const int32_t second = pairs[i] % 512 - 1;
    uint8_t forms[2];
    for (int f = RawForms(folded, static_cast<uint8_t>(first), forms); f-- > 0;) {
      a.nibbleMasks[0][forms[f] & 15] |= bit;
      a.nibbleMasks[1][forms[f] >> 4] |= bit;
    }
    if (second < 0) {
      for (int n = 0; n < 16; ++n) {
        a.nibbleMasks[2][n] |= bit;
        a.nibbleMasks[3][n] |= bit;
      }
      continue;
    }
    for (int f = RawForms(folded, static_cast<uint8_t>(second), forms); f-- > 0;) {
      a.nibbleMasks[2][forms[f] & 15] |= bit;
      a.nibbleMasks[3][forms[f] >> 4] |= bit;
    }
  }
  return true;
}

// Numbers the states for the layout: breadth-first ids below `prefix` stay;
// of the deeper states, those below which the trie still branches come
// next, breadth-first (where a scan through them spends its steps, kept
// together), then each tail (a state whose descendants form one path, with
// that path) as a run of consecutive ids, so a tail state's child is the
// next state. Fills newId (by breadth-first id). False when memory runs out.
bool NumberStates(const Trie& trie, int32_t states, int32_t prefix, GrowableArray<int32_t>& newId) noexcept {
  const auto count = static_cast<size_t>(states);
  GrowableArray<uint8_t> tail;  // the state's descendants form one path
  if (!newId.Resize(count) || !tail.Assign(count, 0)) return false;
  for (size_t s = count; s-- > 0;) {
    const uint16_t children = trie.childCount[s];
    tail[s] = children == 0 || (children == 1 && tail[static_cast<size_t>(trie.firstChild[s])] != 0) ? 1 : 0;
  }
  for (int32_t s = 0; s < prefix; ++s) newId[static_cast<size_t>(s)] = s;
  int32_t next = prefix;
  for (size_t s = static_cast<size_t>(prefix); s < count; ++s) {
    if (tail[s] == 0) newId[s] = next++;
  }
  for (size_t p = 0; p < count; ++p) {
    if (p >= static_cast<size_t>(prefix) && tail[p] != 0) continue;  // inside a tail laid out already
    const auto first = static_cast<size_t>(trie.firstChild[p]);
    for (size_t c = std::max(first, static_cast<size_t>(prefix)); c < first + trie.childCount[p]; ++c) {
      if (tail[c] == 0) continue;
      for (size_t t = c;; t = static_cast<size_t>(trie.firstChild[t])) {
        newId[t] = next++;
        if (trie.childCount[t] == 0) break;
      }
    }
  }
  return true;
}

// Builds one automaton over `patterns` (sorted here), appending its entries
// and their tags to the tables. False when memory runs out.
bool BuildAutomaton(FinderAutomaton& a, GrowableArray<KeyedPattern>& patterns, bool folded, bool wideRows,
                    FinderTables& tables, GrowableArray<EntryKey>& keys) noexcept {
  a.folded = folded;
  a.entryBase = tables.entryCount;
  if (patterns.empty()) return true;
  std::sort(patterns.begin(), patterns.end(), KeyLess);

  // States: the distinct non-empty prefixes, plus the root.
  size_t states = 1;
  for (size_t i = 0; i < patterns.size(); ++i) {
    size_t shared = 0;
    if (i > 0) {
      const KeyedPattern& p = patterns[i - 1];
      const KeyedPattern& q = patterns[i];
      const auto limit = static_cast<size_t>(std::min(p.length, q.length));
      while (shared < limit && p.key[shared] == q.key[shared]) ++shared;
    }
    states += static_cast<size_t>(patterns[i].length) - shared;
  }
  if (states >= static_cast<size_t>(StateLimit)) return false;
  a.stateCount = static_cast<int32_t>(states);
  a.denseRows = a.stateCount <= NarrowRowLimit
                    ? std::min(a.stateCount, DenseRowLimit)
                    : std::clamp(a.stateCount / DenseRowStates, DenseRowFloor, DenseRowLimit);
  const int32_t prefix = a.denseRows;  // breadth-first ids that stay
  Trie trie;
  // Per state while building: its range of sorted patterns and its depth.
  GrowableArray<int32_t> rangeLo;
  GrowableArray<int32_t> rangeHi;
  GrowableArray<int32_t> depth;
  if (!trie.firstChild.Assign(states, 0) || !trie.childCount.Assign(states, 0) || !trie.fail.Assign(states, 0) ||
      !trie.label.Assign(states, 0) || !a.startPairs.Assign(65536 / 64, 0) ||
      !a.dense.Assign(static_cast<size_t>(a.denseRows) * 256, 0) || !rangeLo.Assign(states, 0) ||
      !rangeHi.Assign(states, static_cast<int32_t>(patterns.size())) || !depth.Assign(states, 0)) {
    return false;
  }
  // Patterns ending at a state sort first in its range; they are one entry.
  auto ends = [&](size_t s) {
    return rangeLo[s] < rangeHi[s] && patterns[static_cast<size_t>(rangeLo[s])].length == depth[s];
  };

  int32_t next = 1;  // the next free state id
  for (int32_t s = 0; s < a.stateCount; ++s) {
    const auto us = static_cast<size_t>(s);
    int32_t lo = rangeLo[us];
    const int32_t hi = rangeHi[us];
    const int32_t d = depth[us];
    while (lo < hi && patterns[static_cast<size_t>(lo)].length == d) ++lo;
    // Children: sub-ranges by the byte at depth d, in byte order.
    trie.firstChild[us] = next;
    while (lo < hi) {
      const uint8_t k = patterns[static_cast<size_t>(lo)].key[d];
      int32_t end = lo + 1;
      while (end < hi && patterns[static_cast<size_t>(end)].key[d] == k) ++end;
      const auto child = static_cast<size_t>(next++);
      trie.label[child] = k;
      rangeLo[child] = lo;
      rangeHi[child] = end;
      depth[child] = d + 1;
      ++trie.childCount[us];
      lo = end;
    }
    // Complete rows: a missing child falls back to the failure state's row,
    // which is shallower, so done already.
    if (s < a.denseRows) {
      uint32_t* row = a.dense.data() + us * 256;
      for (int raw = 0; raw < 256; ++raw) {
        const uint8_t k = KeyOf(folded, static_cast<uint8_t>(raw));
        const int32_t child = ChildOf(trie, s, k);
        row[raw] = child >= 0 ? static_cast<uint32_t>(child)
                   : s == 0 ? 0u
                            : a.dense[static_cast<size_t>(trie.fail[us]) * 256 + static_cast<size_t>(raw)];
      }
    }
    // Links of the children: every state they depend on is shallower, so
    // it is complete already.
    for (int32_t c = trie.firstChild[us]; c < trie.firstChild[us] + trie.childCount[us]; ++c) {
      const auto uc = static_cast<size_t>(c);
      trie.fail[uc] = s == 0 ? 0 : Transition(a, trie, trie.fail[us], trie.label[uc]);
    }
  }
  // Report links, in breadth-first order: a failure state is shallower, so
  // its link is already set. The root ends no entry (patterns are not empty).
  GrowableArray<int32_t> report;
  if (!report.Assign(states, -1)) return false;
  for (size_t s = 1; s < states; ++s) report[s] = ends(s) ? static_cast<int32_t>(s) : report[static_cast<size_t>(trie.fail[s])];

  // The layout: per state in its new id, the packed word and label; the
  // ranked sets and what they index, in id order.
  GrowableArray<int32_t> newId;
  if (!NumberStates(trie, a.stateCount, prefix, newId)) return false;
  // A list: the failure link, count - 1 and labels as bytes in whole
  // words, the targets.
  auto listWords = [](size_t children) { return 1 + (children + 4) / 4 + children; };
  size_t edgeWords = 0;
  for (size_t s = 0; s < states; ++s) {
    const uint16_t children = trie.childCount[s];
    if (children > 1 || (children == 1 && newId[static_cast<size_t>(trie.firstChild[s])] != newId[s] + 1)) {
      edgeWords += listWords(children);
    }
  }
  if (edgeWords >= (size_t{1} << (32 - PackedFailShift)) || !a.packed.Resize(states) || !a.label.Resize(states) ||
      !a.bits.Assign((states + 63) / 64, StateBits{}) || !a.edges.Reserve(edgeWords)) {
    return false;
  }
  auto addToSet = [&](StateSet set, size_t n) {
    StateBits& b = a.bits[n >> 6];
    const auto bit = static_cast<uint32_t>(n & 63);
    if (bit < 32) {
      b.low[set] |= 1u << bit;
    } else {
      b.high[set] |= 1u << (bit - 32);
    }
  };
  // In breadth-first order, so that the trie's arrays are read in order:
  // each state's word, label and set bits at its new id (a list's place
  // does not matter, its offset is in the word).
  for (size_t s = 0; s < states; ++s) {
    const auto n = static_cast<size_t>(newId[s]);
    const int32_t first = trie.firstChild[s];
    const uint16_t children = trie.childCount[s];
    const auto fail = static_cast<uint32_t>(newId[static_cast<size_t>(trie.fail[s])]);
    uint32_t word = fail << PackedFailShift | (report[s] >= 0 ? PackedReport : 0u);
    if (children == 1 && static_cast<size_t>(newId[static_cast<size_t>(first)]) == n + 1) {
      word |= StateNext;
    } else if (children > 0) {
      const size_t at = a.edges.size();
      word = static_cast<uint32_t>(at) << PackedFailShift | (word & PackedReport) | StateEdges;
      const size_t labelWords = (static_cast<size_t>(children) + 4) / 4;
      a.edges.Append(fail);                                                   // reserved
      for (size_t w = 0; w < labelWords + children; ++w) a.edges.Append(0u);  // reserved
      auto* labels = reinterpret_cast<uint8_t*>(a.edges.data() + at + 1);
      labels[0] = static_cast<uint8_t>(children - 1);
      for (size_t j = 0; j < children; ++j) {
        const size_t c = static_cast<size_t>(first) + j;
        labels[1 + j] = trie.label[c];
        a.edges[at + 1 + labelWords + j] = static_cast<uint32_t>(newId[c]);
      }
    }
    a.packed[n] = word;
    a.label[n] = trie.label[s];
    if (ends(s)) {
      addToSet(EntryStates, n);
    } else if (report[s] >= 0) {
      addToSet(ReportStates, n);
    }
  }
  int32_t before[StateSetCount] = {};
  for (StateBits& b : a.bits) {
    for (int set = 0; set < StateSetCount; ++set) {
      b.before[set] = before[set];
      before[set] += BitCount(uint64_t{b.high[set]} << 32 | b.low[set]);
    }
  }
  // What is kept by rank: report links, and the entries, numbered in state
  // order (the entry is the state's rank).
  GrowableArray<int32_t> entryState;  // breadth-first id, by entry rank
  if (!entryState.Resize(static_cast<size_t>(before[EntryStates])) ||
      !a.reportOf.Resize(static_cast<size_t>(before[ReportStates]))) {
    return false;
  }
  for (size_t s = 0; s < states; ++s) {
    if (ends(s)) {
      entryState[static_cast<size_t>(StateRank(a, EntryStates, newId[s]))] = static_cast<int32_t>(s);
    } else if (report[s] >= 0) {
      a.reportOf[static_cast<size_t>(StateRank(a, ReportStates, newId[s]))] =
          EntryOf(a, newId[static_cast<size_t>(report[s])]);
    }
  }
  for (const int32_t state : entryState) {
    const auto s = static_cast<size_t>(state);
    const int32_t id = tables.entryCount++;
    int32_t end = rangeLo[s];
    while (end < rangeHi[s] && patterns[static_cast<size_t>(end)].length == depth[s]) ++end;
    const int32_t first = patterns[static_cast<size_t>(rangeLo[s])].tag;
    if (end - rangeLo[s] == 1 && first >= -1) {
      if (!tables.tagOf.Append(first)) return false;
    } else {
      if (!tables.tagOf.Append(-2 - static_cast<int32_t>(tables.moreTags.size())) ||
          !tables.moreTags.Append(end - rangeLo[s])) {
        return false;
      }
      for (int32_t lo = rangeLo[s]; lo < end; ++lo) {
        if (!tables.moreTags.Append(patterns[static_cast<size_t>(lo)].tag)) return false;
      }
    }
    const int32_t link = report[static_cast<size_t>(trie.fail[s])];
    if (!tables.nextEntry.Append(link >= 0 ? EntryOf(a, newId[static_cast<size_t>(link)]) : -1)) return false;
    ++a.entryCount;
    if (!keys.Append({patterns[static_cast<size_t>(rangeLo[s])].key, depth[s], newId[s], id, !folded})) return false;
  }
  rangeLo.Release();
  rangeHi.Release();
  depth.Release();
  report.Release();
  // Row targets in the new ids (a row's own state keeps its id).
  for (uint32_t& target : a.dense) target = static_cast<uint32_t>(newId[target]);

  if (!wideRows && a.stateCount <= NarrowRowLimit) {
    if (!a.narrow.Assign(static_cast<size_t>(a.stateCount) * 256, 0)) return false;
    // Breadth-first, so that the failure state's row is complete.
    for (int32_t s = 0; s < a.stateCount; ++s) {
      const auto us = static_cast<size_t>(s);
      uint16_t* row = a.narrow.data() + static_cast<size_t>(newId[us]) * 256;
      if (s < a.denseRows) {
        for (size_t raw = 0; raw < 256; ++raw) row[raw] = static_cast<uint16_t>(a.dense[us * 256 + raw]);
        continue;
      }
      std::copy_n(a.narrow.data() + static_cast<size_t>(newId[static_cast<size_t>(trie.fail[us])]) * 256, 256, row);
      for (int32_t c = trie.firstChild[us]; c < trie.firstChild[us] + trie.childCount[us]; ++c) {
        const uint8_t k = trie.label[static_cast<size_t>(c)];
        const auto target = static_cast<uint16_t>(newId[static_cast<size_t>(c)]);
        row[k] = target;
        // A folded letter is reached from its lower-case form too.
        if (folded && k >= 'A' && k <= 'Z') row[k + ('a' - 'A')] = target;
      }
    }
    a.dense.Release();
    a.denseRows = 0;
    for (uint16_t& target : a.narrow) {
      if ((a.packed[target] & PackedReport) != 0) target = static_cast<uint16_t>(target | NarrowReportFlag);
    }
  }
  for (uint32_t& target : a.dense) {
    if ((a.packed[target] & PackedReport) != 0) target |= ReportFlag;
  }
  if (!NarrowTables(a)) return false;
  a.depthOneEnd = 1 + trie.childCount[0];
  trie = Trie();
  newId.Release();
  if (!FillNibbleMasks(a, patterns, folded)) return false;

  // Root skip pairs over raw input bytes; sorted patterns with the same
  // first two key bytes (or the same single byte) give the same pairs.
  for (size_t i = 0; i < patterns.size(); ++i) {
    const KeyedPattern& p = patterns[i];
    if (i > 0) {
      const KeyedPattern& q = patterns[i - 1];
      const bool bothLong = p.length >= 2 && q.length >= 2;
      if (p.key[0] == q.key[0] && (p.length >= 2) == (q.length >= 2) && (!bothLong || p.key[1] == q.key[1])) continue;
    }
    for (int first = 0; first < 256; ++first) {
      if (KeyOf(folded, static_cast<uint8_t>(first)) != p.key[0]) continue;
      for (int second = 0; second < 256; ++second) {
        if (p.length >= 2 && KeyOf(folded, static_cast<uint8_t>(second)) != p.key[1]) continue;
        const auto bit = static_cast<size_t>(first) << 8 | static_cast<size_t>(second);
        a.startPairs[bit >> 6] |= uint64_t{1} << (bit & 63);
      }
    }
  }
  return true;
}

// How often a byte is expected in ordinary data, roughly: runs of zeros,
// 0xFF fill, spaces and line ends are everywhere, letters and digits common.
int Commonness(uint8_t k) noexcept {
  if (k == 0) return 12;
  if (k == 0xFF || k == ' ') return 6;
  if (k == '\n' || k == '\r' || k == '\t') return 4;
  if ((k >= 'A' && k <= 'Z') || (k >= '0' && k <= '9')) return 1;
  return 0;
}

// How much a bucket's load weighs in the anchor choice at most: beyond a
// few entries per bucket, how common the fragment is decides.
constexpr int32_t FilterLoadCap = 8;

int CeilLog2(size_t n) noexcept {
  int log = 0;
  while ((size_t{1} << log) < n) ++log;
  return log;
}

// Lists the entries shorter than FilterGram by their folded first byte.
// False when memory runs out.
// The filter's item for an entry's key, anchored at `offset` (< FilterMaxLength).
FilterItem Item(uint32_t gram, const EntryKey& k, size_t keyAt, int32_t offset) noexcept {
  FilterItem item{};
  item.gram = gram;
  item.state = k.state;
  item.entry = k.entry;
  item.keyAt = static_cast<uint32_t>(keyAt);
  item.offset = static_cast<uint16_t>(offset) & 0x7FFFu;
  item.exact = k.exact;
  item.length = static_cast<uint16_t>(k.length);
  return item;
}

bool BuildShortIndex(FinderFilter& f, const GrowableArray<EntryKey>& shortKeys) noexcept {
  if (shortKeys.empty()) return true;
  GrowableArray<int32_t> next;
  if (!f.shortStart.Assign(257, 0) || !f.shortPairs.Assign(65536 / 64, 0) || !next.Resize(256) ||
      !f.shortItems.Resize(shortKeys.size())) {
    return false;
  }
  for (const EntryKey& k : shortKeys) ++f.shortStart[static_cast<size_t>(FoldByte(k.key[0])) + 1];
  for (size_t b = 0; b < 256; ++b) f.shortStart[b + 1] += f.shortStart[b];
  std::copy_n(f.shortStart.data(), 256, next.data());
  for (const EntryKey& k : shortKeys) {
    const uint8_t first = FoldByte(k.key[0]);
    f.shortItems[static_cast<size_t>(next[first]++)] = Item(0, k, f.keyBytes.size(), 0);
    if (!f.keyBytes.AppendRange(k.key, static_cast<size_t>(k.length))) return false;
    for (int second = 0; second < 256; ++second) {
      if (k.length >= 2 && FoldByte(static_cast<uint8_t>(second)) != FoldByte(k.key[1])) continue;
      const auto bit = static_cast<size_t>(first) << 8 | static_cast<size_t>(second);
      f.shortPairs[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
  }
  return true;
}

// The entries' next entries, kept for those that have one (NextEntryOf).
bool KeepNextEntries(FinderTables& t) noexcept {
  size_t linked = 0;
  for (const int32_t next : t.nextEntry) linked += next >= 0 ? 1 : 0;
  if (!t.nextBits.Assign((t.nextEntry.size() + 63) / 64, EntryLinks{0, 0}) || !t.nextOf.Reserve(linked)) return false;
  for (size_t e = 0; e < t.nextEntry.size(); ++e) {
    if ((e & 63) == 0) t.nextBits[e >> 6].before = static_cast<int32_t>(t.nextOf.size());
    if (t.nextEntry[e] < 0) continue;
    t.nextBits[e >> 6].bits |= uint64_t{1} << (e & 63);
    t.nextOf.Append(t.nextEntry[e]);  // reserved
  }
  t.nextEntry.Release();
  return true;
}

// Files every entry under its rarest anchor (shorter ones in the short
// index), when no key is longer than FilterMaxLength; otherwise leaves the
// filter off. False when memory runs out.
bool BuildFilter(FinderFilter& f, const FinderAutomaton (&automata)[2], const GrowableArray<EntryKey>& allKeys) noexcept {
  if (allKeys.empty()) return true;
  f.enabled = false;
  int32_t longest = 0;
  size_t keyBytes = 0;  // of every key
  size_t keptBytes = 0;  // kept in keyBytes: short keys whole, the others' KeptKeyBytes
  size_t shortCount = 0;
  for (const EntryKey& k : allKeys) {
    if (k.length > FilterMaxLength) return true;
    longest = std::max(longest, k.length);
    keyBytes += static_cast<size_t>(k.length);
    keptBytes += k.length < FilterGram ? static_cast<size_t>(k.length)
                                       : KeptKeyBytes(automata[k.exact ? 1 : 0], k.state, static_cast<size_t>(k.length));
    if (k.length < FilterGram) ++shortCount;
  }
  if (keptBytes > UINT32_MAX - 16) return true;  // FilterItem::keyAt
  GrowableArray<EntryKey> keys;
  GrowableArray<EntryKey> shortKeys;
  if (!keys.Reserve(allKeys.size() - shortCount) || !shortKeys.Reserve(shortCount)) return false;
  for (const EntryKey& k : allKeys) {
    if (!(k.length < FilterGram ? shortKeys : keys).Append(k)) return false;
  }
  const int bitLog = std::clamp(CeilLog2(keys.size() * 64), 15, 23);
  const int bucketLog = std::clamp(CeilLog2(keys.size() * 2), 8, 20);
  f.bitShift = static_cast<uint32_t>(32 - bitLog);
  f.bucketShift = static_cast<uint32_t>(32 - bucketLog);
  GrowableArray<int32_t> load;
  GrowableArray<uint32_t> bucketOf;
  GrowableArray<FilterItem> unsorted;
  if (!f.bits.Assign(size_t{1} << (bitLog - 6), 0) || !load.Assign(size_t{1} << bucketLog, 0) ||
      !bucketOf.Resize(keys.size()) || !unsorted.Resize(keys.size()) || !f.keyBytes.Reserve(keptBytes + FilterKeyHead)) {
    return false;
  }
  // How many keys hold each fragment (hashed, saturating): a fragment that
  // many keys share (a common prefix) would have an input that holds it
  // verify all of them, so the choice below steers off it.
  const int shareLog = std::clamp(CeilLog2(keyBytes), 12, 22);
  GrowableArray<uint16_t> shared;
  if (!shared.Assign(size_t{1} << shareLog, 0)) return false;
  for (const EntryKey& k : keys) {
    uint32_t gram = 0;
    for (int32_t end = 0; end < k.length; ++end) {
      const uint32_t before = gram;
      gram = gram >> 8 | static_cast<uint32_t>(FoldByte(k.key[end])) << 24;
      if (end + 1 < FilterGram || (end >= FilterGram && gram == before)) continue;  // a run counts once
      uint16_t& count = shared[(gram * FilterHashFactor) >> (32 - shareLog)];
      if (count != UINT16_MAX) ++count;
    }
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    const EntryKey& k = keys[i];
    int bestScore = INT32_MAX;
    int32_t best = 0;
    uint32_t bestGram = 0;
    // The fragment ending at byte `end`, rolled one byte at a time (long
    // keys have thousands): its folded bytes as a little-endian load reads
    // them, and how common it is (its bytes, plus 3 per byte that repeats
    // the one before: runs are common).
    uint32_t gram = 0;
    int common = 0;
    int commonOf[FilterGram] = {};
    for (int32_t end = 0; end < k.length; ++end) {
      const uint8_t byte = FoldByte(k.key[end]);
      const int c = Commonness(byte) + (end > 0 && byte == (gram >> 24) ? 3 : 0);
      const uint32_t before = gram;
      gram = gram >> 8 | static_cast<uint32_t>(byte) << 24;
      common += c - commonOf[end % FilterGram];
      commonOf[end % FilterGram] = c;
      // A fragment equal to the one before scores the same: the first stays.
      if (end + 1 < FilterGram || (end >= FilterGram && gram == before)) continue;
      const int32_t at = end + 1 - FilterGram;
      // A run into the fragment's first byte is not part of it.
      const int runIn = at > 0 && FoldByte(k.key[at]) == FoldByte(k.key[at - 1]) ? 3 : 0;
      // Sharing by a few keys is noise (hash collisions included); past
      // that, every doubling weighs as three common letters. The load counts
      // up to FilterLoadCap: past it, keys that all hold the same fragments
      // (A^k B) would move from the rare one to a common one.
      const int share = 3 * std::max(std::bit_width(shared[(gram * FilterHashFactor) >> (32 - shareLog)]) - 2, 0);
      const int score = (common - runIn + share) * 4 +
                        std::min(load[(gram * FilterHashFactor) >> f.bucketShift], FilterLoadCap);
      if (score < bestScore) {
        bestScore = score;
        best = at;
        bestGram = gram;
      }
    }
    const uint32_t hash = bestGram * FilterHashFactor;
    ++load[hash >> f.bucketShift];
    bucketOf[i] = hash >> f.bucketShift;
    const uint32_t bit = hash >> f.bitShift;
    f.bits[bit >> 6] |= uint64_t{1} << (bit & 63);
    unsorted[i] = Item(bestGram, k, f.keyBytes.size(), best);
    if (!f.keyBytes.AppendRange(k.key, KeptKeyBytes(automata[k.exact ? 1 : 0], k.state, static_cast<size_t>(k.length)))) {
      return false;
    }
  }
  // Items sorted by bucket, stably.
  GrowableArray<int32_t> next;
  if (!f.bucketStart.Assign(load.size() + 1, 0) || !next.Resize(load.size()) || !f.items.Resize(unsorted.size())) {
    return false;
  }
  for (size_t b = 0; b < load.size(); ++b) f.bucketStart[b + 1] = f.bucketStart[b] + load[b];
  std::copy_n(f.bucketStart.data(), load.size(), next.data());
  for (size_t i = 0; i < unsorted.size(); ++i) f.items[static_cast<size_t>(next[bucketOf[i]]++)] = unsorted[i];
  if (!BuildShortIndex(f, shortKeys)) return false;
  // Zeros for the 8-byte head comparison.
  static constexpr uint8_t Padding[8] = {};
  if (!f.keyBytes.AppendRange(Padding, sizeof Padding)) return false;
  f.carry = longest - 1;
  f.recheck = FilterGram - 1;
  for (const FilterItem& item : f.items) f.recheck = std::max(f.recheck, item.length - item.offset - 1);
  f.piece = std::max(FilterPiece, FilterPieceFactor * static_cast<size_t>(f.carry));
  f.enabled = true;
  return true;
}

// One anchor as the nibble pass sees it: its folded bytes, -1 where any byte
// is accepted (past the end of a short entry).
using NibbleAnchor = std::array<int16_t, FilterGram>;

// A rough share of each byte in a folded window of ordinary data: the
// common bytes of Commonness (zeros, fill, spaces, line ends, letters with
// both their cases) weigh more than the rest.
std::array<double, 256> ByteShares() noexcept {
  std::array<double, 256> shares{};
  double total = 0;
  for (int k = 0; k < 256; ++k) {
    const auto byte = static_cast<uint8_t>(k);
    shares[static_cast<size_t>(k)] = FoldByte(byte) != byte ? 0 : 1 + 5 * Commonness(byte);
    total += shares[static_cast<size_t>(k)];
  }
  for (double& share : shares) share /= total;
  return shares;
}

// The share of positions one bucket accepts, over bytes drawn by `shares`:
// per anchor byte, the accepted bytes are every low nibble in its table with
// every high one.
double PassRate(const uint16_t (&low)[FilterGram], const uint16_t (&high)[FilterGram],
                const std::array<double, 256>& shares) noexcept {
  double rate = 1;
  for (int32_t j = 0; j < FilterGram; ++j) {
    double accepted = 0;
    for (int h = 0; h < 16; ++h) {
      if ((high[j] >> h & 1) == 0) continue;
      for (int l = 0; l < 16; ++l) {
        if ((low[j] >> l & 1) != 0) accepted += shares[static_cast<size_t>(h << 4 | l)];
      }
    }
    rate *= accepted;
  }
  return rate;
}

enum class Masks { Filled, NotWorth, OutOfMemory };

// Spreads the distinct anchors over the buckets, each to the bucket whose
// pass rate it raises least (in sorted order, so alike anchors meet), and
// fills the masks when the sum of the buckets' rates is low enough for the
// pass to pay, or always when `force`. NotWorth (masks untouched) otherwise.
Masks BuildNibbleMasks(FinderFilter& f, bool force) noexcept {
  GrowableArray<NibbleAnchor> anchors;
  if (!anchors.Reserve(f.items.size() + f.shortItems.size())) return Masks::OutOfMemory;
  for (const FilterItem& item : f.items) {
    NibbleAnchor anchor;
    for (int32_t j = 0; j < FilterGram; ++j) anchor[static_cast<size_t>(j)] = static_cast<int16_t>(item.gram >> (8 * j) & 0xFF);
    anchors.Append(anchor);  // reserved
  }
  for (const FilterItem& item : f.shortItems) {
    NibbleAnchor anchor;
    for (int32_t j = 0; j < FilterGram; ++j) {
      anchor[static_cast<size_t>(j)] = j < item.length ? FoldByte(f.keyBytes[item.keyAt + static_cast<uint32_t>(j)]) : -1;
    }
    anchors.Append(anchor);  // reserved
  }
  std::sort(anchors.begin(), anchors.end());
  anchors.Truncate(static_cast<size_t>(std::unique(anchors.begin(), anchors.end()) - anchors.begin()));
  if (!force && anchors.size() > NibbleAnchorLimit) return Masks::NotWorth;
  const std::array<double, 256> shares = ByteShares();
  uint16_t low[NibbleBuckets][FilterGram] = {};
  uint16_t high[NibbleBuckets][FilterGram] = {};
  double rate[NibbleBuckets] = {};
  for (const NibbleAnchor& anchor : anchors) {
    int best = 0;
    double bestRise = 2;
    double bestRate = 0;
    for (int b = 0; b < NibbleBuckets; ++b) {
      uint16_t l[FilterGram];
      uint16_t h[FilterGram];
      for (int32_t j = 0; j < FilterGram; ++j) {
        const int16_t k = anchor[static_cast<size_t>(j)];
        l[j] = static_cast<uint16_t>(low[b][j] | (k < 0 ? 0xFFFF : 1 << (k & 15)));
        h[j] = static_cast<uint16_t>(high[b][j] | (k < 0 ? 0xFFFF : 1 << (k >> 4)));
      }
      const double after = PassRate(l, h, shares);
      if (after - rate[b] < bestRise) {
        bestRise = after - rate[b];
        bestRate = after;
        best = b;
      }
    }
    for (int32_t j = 0; j < FilterGram; ++j) {
      const int16_t k = anchor[static_cast<size_t>(j)];
      low[best][j] = static_cast<uint16_t>(low[best][j] | (k < 0 ? 0xFFFF : 1 << (k & 15)));
      high[best][j] = static_cast<uint16_t>(high[best][j] | (k < 0 ? 0xFFFF : 1 << (k >> 4)));
    }
    rate[best] = bestRate;
  }
  double total = 0;
  for (double r : rate) total += r;
  if (!force && total * NibblePassLimit > 1) return Masks::NotWorth;
  for (int b = 0; b < NibbleBuckets; ++b) {
    for (int32_t j = 0; j < FilterGram; ++j) {
      for (int n = 0; n < 16; ++n) {
        if ((low[b][j] >> n & 1) != 0) f.anchorMasks[2 * j][n] = static_cast<uint8_t>(f.anchorMasks[2 * j][n] | 1 << b);
        if ((high[b][j] >> n & 1) != 0) f.anchorMasks[2 * j + 1][n] = static_cast<uint8_t>(f.anchorMasks[2 * j + 1][n] | 1 << b);
      }
    }
  }
  f.nibble = true;
  return Masks::Filled;
}

}  // namespace

void DestroyFinderTables(FinderTables* tables) noexcept {
  const FinderKeyHolder holder = tables->keyHolder;
  DeleteObject(tables);
  if (holder.release != nullptr) holder.release(holder.owner);
}

void RetainFinderTables(FinderTables* tables) noexcept {
  tables->references.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseFinderTables(FinderTables* tables) noexcept {
  if (tables == nullptr || tables->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (tables->cached) ForgetCachedFinderTables(tables);
  DestroyFinderTables(tables);
}

void FreeLiteralFinder(LiteralFinder* finder) noexcept {
  if (finder == nullptr) return;
  ReleaseFinderTables(finder->tables);
  DeleteObject(finder);
}

FinderTablesPtr BuildFinderTables(const PatternMatcher* registered, const FinderOptions& options) noexcept {
  if (registered == nullptr) return nullptr;
  FinderTablesPtr tables(NewObject<FinderTables>().release());
  if (!tables) return nullptr;
  FinderTables& t = *tables;
  GrowableArray<KeyedPattern> byKind[2];
  for (const PatternEntry& entry : registered->patterns) {
    const bool exact = entry.exactCase != 0;
    if (!byKind[exact ? 1 : 0].Append({exact ? entry.bytes.get() : entry.folded.get(), entry.length, entry.tag})) {
      return nullptr;
    }
  }
  GrowableArray<EntryKey> keys;
  // Entries are at most the patterns; each pattern is one tag.
  const size_t patternCount = byKind[0].size() + byKind[1].size();
  if (!t.tagOf.Reserve(patternCount) || !keys.Reserve(patternCount) || !t.nextEntry.Reserve(patternCount) ||
      !BuildAutomaton(t.automata[0], byKind[0], true, options.wideRows, t, keys) ||
      !BuildAutomaton(t.automata[1], byKind[1], false, options.wideRows, t, keys)) {
    return nullptr;
  }
  int32_t longest[2] = {};
  for (const EntryKey& k : keys) longest[k.exact ? 1 : 0] = std::max(longest[k.exact ? 1 : 0], k.length);
  for (size_t which = 0; which < 2; ++which) {
    if ((options.classRows != ClassRowChoice::BySet || !options.wideRows) &&
        BuildClassRows(t.automata[which], options.classRows, longest[which]) == ClassBuild::OutOfMemory) {
      return nullptr;
    }
  }
  if (!KeepNextEntries(t)) return nullptr;
  FinderFilter& f = t.filter;
  if (options.filter != FilterKind::None && !BuildFilter(f, t.automata, keys)) return nullptr;
  if (f.enabled) {
    bool nibble = options.filter == FilterKind::Nibble;
    if (options.filter == FilterKind::BySet) {
      const Masks masks = BuildNibbleMasks(f, false);
      if (masks == Masks::OutOfMemory) return nullptr;
      nibble = masks == Masks::Filled;
    }
    if (nibble && !f.nibble && BuildNibbleMasks(f, true) == Masks::OutOfMemory) return nullptr;
    t.kind = f.nibble ? FilterKind::Nibble : FilterKind::Hashed;
  }
  // A step is one load through narrow or class rows.
  auto oneLoad = [](const FinderAutomaton& a) {
    return a.classes.stride != 0 || a.narrow.size() == static_cast<size_t>(a.stateCount) * 256;
  };
  const bool small = oneLoad(t.automata[0]) && oneLoad(t.automata[1]);
  f.workPerByte = options.filterWorkPerByte >= 0 ? static_cast<uint64_t>(options.filterWorkPerByte)
                  : small                        ? FilterWorkPerByteSmall
                                                 : FilterWorkPerByteLarge;
  f.workSlack = options.filterWorkSlack >= 0 ? static_cast<uint64_t>(options.filterWorkSlack)
                : small                      ? FilterWorkSlackSmall
                                             : FilterWorkSlackLarge;
  size_t memory = sizeof(FinderTables) + t.tagOf.Bytes() + t.moreTags.Bytes() + f.bits.Bytes() +
                  f.bucketStart.Bytes() + f.items.Bytes() + f.keyBytes.Bytes() + f.shortItems.Bytes() +
                  f.shortStart.Bytes() + f.shortPairs.Bytes();
  memory += t.nextBits.Bytes() + t.nextOf.Bytes();
  for (const FinderAutomaton& a : t.automata) {
    memory += a.rows.Bytes() + a.words.Bytes() + a.label.Bytes() + a.bits.Bytes() + a.edges.Bytes() + a.reportOf.Bytes() + a.narrow.Bytes() + a.startPairs.Bytes();
    memory += a.classes.rows.Bytes();
  }
  t.memory = memory;
  return tables;
}

LiteralFinderPtr NewLiteralFinder(FinderTablesPtr tables) noexcept {
  if (!tables) return nullptr;
  LiteralFinderPtr finder(NewObject<LiteralFinder>().release());
  if (!finder) return nullptr;
  const FinderTables& t = *tables;
  finder->tables = tables.release();
  const size_t window = t.filter.enabled ? static_cast<size_t>(t.filter.carry) + t.filter.piece + 8 : 0;
  finder->found = NewArray<uint8_t>(static_cast<size_t>(t.entryCount));
  if (window != 0) {
    finder->raw = NewArray<uint8_t>(window);
    finder->folded = NewArray<uint8_t>(window);
  }
  if (!finder->found || (window != 0 && (!finder->raw || !finder->folded))) return nullptr;
  finder->scanMemory = sizeof(LiteralFinder) + static_cast<size_t>(t.entryCount) + 2 * window;
  return finder;
}

LiteralFinderPtr BuildLiteralFinder(const PatternMatcher* registered, const FinderOptions& options) noexcept {
  return NewLiteralFinder(BuildFinderTables(registered, options));
}

size_t LiteralFinderMemory(const LiteralFinder* finder) noexcept {
  return finder != nullptr ? finder->tables->memory + finder->scanMemory : 0;
}

size_t LiteralFinderScanMemory(const LiteralFinder* finder) noexcept {
  return finder != nullptr ? finder->scanMemory : 0;
}

FilterKind ChosenFilter(const LiteralFinder* finder) noexcept {
  return finder != nullptr ? finder->tables->kind : FilterKind::None;
}

bool FinderHasClassRows(const LiteralFinder* finder) noexcept {
  return finder != nullptr &&
         (finder->tables->automata[0].classes.stride != 0 || finder->tables->automata[1].classes.stride != 0);
}

const char* FilterKindName(FilterKind kind) noexcept {
  switch (kind) {
    case FilterKind::Hashed:
      return "hashed";
    case FilterKind::Nibble:
      return "nibble";
    default:
      return "automata";
  }
}

void BeginFinderScan(LiteralFinder* finder) noexcept {
  if (finder == nullptr) return;
  const FinderTables& t = *finder->tables;
  std::fill_n(finder->found.get(), static_cast<size_t>(t.entryCount), uint8_t{0});
  for (size_t i = 0; i < 2; ++i) {
    finder->state[i] = 0;
    finder->unfound[i] = t.automata[i].entryCount;
    finder->lanes[i] = t.automata[i].classes.scan == ClassRowChoice::Lanes;
  }
  finder->active = t.filter.enabled;
  finder->kept = 0;
  finder->fed = 0;
  finder->work = 0;
}

}  // namespace veltor
