// Building the literal finder: patterns sorted by their key bytes become a
// trie breadth-first (a node is a range of sorted patterns sharing a prefix,
// its children the sub-ranges by the next byte), and the failure links,
// complete rows and report links follow in the same order.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

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

template <typename T>
size_t Bytes(const std::vector<T>& v) noexcept {
  return v.capacity() * sizeof(T);
}

// The child of `state` by key byte k, or -1. Children are sorted by label.
int32_t ChildOf(const FinderAutomaton& a, int32_t state, uint8_t k) noexcept {
  const int32_t first = a.firstChild[static_cast<size_t>(state)];
  const uint8_t* labels = a.label.data() + first;
  const uint8_t* end = labels + a.childCount[static_cast<size_t>(state)];
  const uint8_t* at = std::lower_bound(labels, end, k);
  return at != end && *at == k ? first + static_cast<int32_t>(at - labels) : -1;
}

// The automaton's transition by key byte k, for states already linked.
int32_t Transition(const FinderAutomaton& a, int32_t state, uint8_t k) noexcept {
  while (state >= a.denseRows) {
    const int32_t child = ChildOf(a, state, k);
    if (child >= 0) return child;
    state = a.fail[static_cast<size_t>(state)];
  }
  // A key byte is its own raw form (folding leaves folded bytes alone).
  return static_cast<int32_t>(a.dense[static_cast<size_t>(state) * 256 + k]);
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
void FillNibbleMasks(FinderAutomaton& a, const std::vector<KeyedPattern>& patterns, bool folded) {
  std::vector<std::pair<int32_t, int32_t>> pairs;  // (first, second or -1 for a 1-byte pattern)
  for (const KeyedPattern& p : patterns) {
    const std::pair<int32_t, int32_t> pair{p.key[0], p.length >= 2 ? p.key[1] : -1};
    if (pairs.empty() || pairs.back() != pair) pairs.push_back(pair);
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  if (pairs.size() > static_cast<size_t>(NibbleSkipPairLimit)) return;
  a.nibbleSkip = true;
  for (size_t i = 0; i < pairs.size(); ++i) {
    const auto bit = static_cast<uint8_t>(1u << (i * 8 / pairs.size()));
    uint8_t forms[2];
    for (int f = RawForms(folded, static_cast<uint8_t>(pairs[i].first), forms); f-- > 0;) {
      a.nibbleMasks[0][forms[f] & 15] |= bit;
      a.nibbleMasks[1][forms[f] >> 4] |= bit;
    }
    if (pairs[i].second < 0) {
      for (int n = 0; n < 16; ++n) {
        a.nibbleMasks[2][n] |= bit;
        a.nibbleMasks[3][n] |= bit;
      }
      continue;
    }
    for (int f = RawForms(folded, static_cast<uint8_t>(pairs[i].second), forms); f-- > 0;) {
      a.nibbleMasks[2][forms[f] & 15] |= bit;
      a.nibbleMasks[3][forms[f] >> 4] |= bit;
    }
  }
}

// Builds one automaton over `patterns` (sorted here), appending its entries
// and their tags to the finder.
void BuildAutomaton(FinderAutomaton& a, std::vector<KeyedPattern>& patterns, bool folded, bool wideRows,
                    LiteralFinder& finder, std::vector<EntryKey>& keys) {
  a.folded = folded;
  if (patterns.empty()) return;
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
  if (states > static_cast<size_t>(INT32_MAX)) throw std::bad_alloc();
  a.stateCount = static_cast<int32_t>(states);
  a.firstChild.assign(states, 0);
  a.childCount.assign(states, 0);
  a.label.assign(states, 0);
  a.fail.assign(states, 0);
  a.report.assign(states, -1);
  a.entry.assign(states, -1);
  a.startPairs.assign(65536 / 64, 0);
  a.denseRows = std::min(a.stateCount, DenseRowLimit);
  a.dense.assign(static_cast<size_t>(a.denseRows) * 256, 0);
  // Per state while building: its range of sorted patterns and its depth.
  std::vector<int32_t> rangeLo(states, 0);
  std::vector<int32_t> rangeHi(states, static_cast<int32_t>(patterns.size()));
  std::vector<int32_t> depth(states, 0);

  int32_t next = 1;  // the next free state id
  for (int32_t s = 0; s < a.stateCount; ++s) {
    const auto us = static_cast<size_t>(s);
    int32_t lo = rangeLo[us];
    const int32_t hi = rangeHi[us];
    const int32_t d = depth[us];
    // Patterns ending here sort first in the range; they are one entry.
    if (lo < hi && patterns[static_cast<size_t>(lo)].length == d) {
      const int32_t id = finder.entryCount++;
      for (; lo < hi && patterns[static_cast<size_t>(lo)].length == d; ++lo) {
        finder.tags.push_back(patterns[static_cast<size_t>(lo)].tag);
      }
      finder.tagStart.push_back(static_cast<int32_t>(finder.tags.size()));
      a.entry[us] = id;
      ++a.entryCount;
      keys.push_back({patterns[static_cast<size_t>(rangeLo[us])].key, d, s, id, !folded});
    }
    // Children: sub-ranges by the byte at depth d, in byte order.
    a.firstChild[us] = next;
    while (lo < hi) {
      const uint8_t k = patterns[static_cast<size_t>(lo)].key[d];
      int32_t end = lo + 1;
      while (end < hi && patterns[static_cast<size_t>(end)].key[d] == k) ++end;
      const auto child = static_cast<size_t>(next++);
      a.label[child] = k;
      rangeLo[child] = lo;
      rangeHi[child] = end;
      depth[child] = d + 1;
      ++a.childCount[us];
      lo = end;
    }
    // Complete rows: a missing child falls back to the failure state's row,
    // which is shallower, so done already.
    if (s < a.denseRows) {
      uint32_t* row = a.dense.data() + us * 256;
      for (int raw = 0; raw < 256; ++raw) {
        const uint8_t k = KeyOf(folded, static_cast<uint8_t>(raw));
        const int32_t child = ChildOf(a, s, k);
        row[raw] = child >= 0 ? static_cast<uint32_t>(child)
                   : s == 0 ? 0u
                            : a.dense[static_cast<size_t>(a.fail[us]) * 256 + static_cast<size_t>(raw)];
      }
    }
    // Links of the children: every state they depend on is shallower, so
    // it is complete already.
    for (int32_t c = a.firstChild[us]; c < a.firstChild[us] + a.childCount[us]; ++c) {
      const auto uc = static_cast<size_t>(c);
      a.fail[uc] = s == 0 ? 0 : Transition(a, a.fail[us], a.label[uc]);
    }
  }
  // Report links, in id order: a failure state is shallower, so its link
  // is already set.
  for (int32_t s = 1; s < a.stateCount; ++s) {
    const auto us = static_cast<size_t>(s);
    a.report[us] = a.entry[us] >= 0 ? s : a.report[static_cast<size_t>(a.fail[us])];
  }

  if (!wideRows && a.stateCount <= NarrowRowLimit) {
    a.narrow.assign(static_cast<size_t>(a.stateCount) * 256, 0);
    for (int32_t s = 0; s < a.stateCount; ++s) {
      const auto us = static_cast<size_t>(s);
      uint16_t* row = a.narrow.data() + us * 256;
      if (s < a.denseRows) {
        for (size_t raw = 0; raw < 256; ++raw) row[raw] = static_cast<uint16_t>(a.dense[us * 256 + raw]);
        continue;
      }
      std::copy_n(a.narrow.data() + static_cast<size_t>(a.fail[us]) * 256, 256, row);
      for (int32_t c = a.firstChild[us]; c < a.firstChild[us] + a.childCount[us]; ++c) {
        const uint8_t k = a.label[static_cast<size_t>(c)];
        row[k] = static_cast<uint16_t>(c);
        // A folded letter is reached from its lower-case form too.
        if (folded && k >= 'A' && k <= 'Z') row[k + ('a' - 'A')] = static_cast<uint16_t>(c);
      }
    }
    std::vector<uint32_t>().swap(a.dense);
    a.denseRows = 0;
    for (uint16_t& target : a.narrow) {
      if (a.report[target] >= 0) target = static_cast<uint16_t>(target | NarrowReportFlag);
    }
  }
  for (uint32_t& target : a.dense) {
    if (a.report[target] >= 0) target |= ReportFlag;
  }
  a.depthOneEnd = 1 + a.childCount[0];
  a.states.resize(states);
  for (size_t i = 0; i < states; ++i) {
    a.states[i] = {a.firstChild[i], a.fail[i], a.childCount[i], static_cast<uint8_t>(a.report[i] >= 0 ? 1 : 0), 0};
  }
  std::vector<int32_t>().swap(a.firstChild);
  std::vector<uint16_t>().swap(a.childCount);
  std::vector<int32_t>().swap(a.fail);
  FillNibbleMasks(a, patterns, folded);

  // Root skip pairs over raw input bytes.
  for (const KeyedPattern& p : patterns) {
    for (int first = 0; first < 256; ++first) {
      if (KeyOf(folded, static_cast<uint8_t>(first)) != p.key[0]) continue;
      for (int second = 0; second < 256; ++second) {
        if (p.length >= 2 && KeyOf(folded, static_cast<uint8_t>(second)) != p.key[1]) continue;
        const auto bit = static_cast<size_t>(first) << 8 | static_cast<size_t>(second);
        a.startPairs[bit >> 6] |= uint64_t{1} << (bit & 63);
      }
    }
  }
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

int CeilLog2(size_t n) noexcept {
  int log = 0;
  while ((size_t{1} << log) < n) ++log;
  return log;
}

// Lists the entries shorter than FilterGram by their folded first byte.
void BuildShortIndex(FinderFilter& f, const std::vector<EntryKey>& shortKeys) {
  if (shortKeys.empty()) return;
  f.shortStart.assign(257, 0);
  f.shortPairs.assign(65536 / 64, 0);
  for (const EntryKey& k : shortKeys) ++f.shortStart[static_cast<size_t>(FoldByte(k.key[0])) + 1];
  for (size_t b = 0; b < 256; ++b) f.shortStart[b + 1] += f.shortStart[b];
  std::vector<int32_t> next(f.shortStart.begin(), f.shortStart.end() - 1);
  f.shortItems.resize(shortKeys.size());
  for (const EntryKey& k : shortKeys) {
    const uint8_t first = FoldByte(k.key[0]);
    f.shortItems[static_cast<size_t>(next[first]++)] = {0, k.state, k.entry, static_cast<uint32_t>(f.keyBytes.size()), 0,
                                                        static_cast<uint8_t>(k.length), static_cast<uint8_t>(k.exact ? 1 : 0)};
    f.keyBytes.insert(f.keyBytes.end(), k.key, k.key + k.length);
    for (int second = 0; second < 256; ++second) {
      if (k.length >= 2 && FoldByte(static_cast<uint8_t>(second)) != FoldByte(k.key[1])) continue;
      const auto bit = static_cast<size_t>(first) << 8 | static_cast<size_t>(second);
      f.shortPairs[bit >> 6] |= uint64_t{1} << (bit & 63);
    }
  }
}

// Files every entry under its rarest anchor (shorter ones in the short
// index), when no key is longer than FilterMaxLength; otherwise leaves the
// filter off.
void BuildFilter(FinderFilter& f, const std::vector<EntryKey>& allKeys) {
  if (allKeys.empty()) return;
  f.enabled = false;
  int32_t longest = 0;
  size_t keyBytes = 0;
  std::vector<EntryKey> keys;
  std::vector<EntryKey> shortKeys;
  for (const EntryKey& k : allKeys) {
    if (k.length > FilterMaxLength) return;
    longest = std::max(longest, k.length);
    keyBytes += static_cast<size_t>(k.length);
    (k.length < FilterGram ? shortKeys : keys).push_back(k);
  }
  const int bitLog = std::clamp(CeilLog2(keys.size() * 64), 15, 23);
  const int bucketLog = std::clamp(CeilLog2(keys.size() * 2), 8, 20);
  f.bitShift = static_cast<uint32_t>(32 - bitLog);
  f.bucketShift = static_cast<uint32_t>(32 - bucketLog);
  f.bits.assign(size_t{1} << (bitLog - 6), 0);
  std::vector<int32_t> load(size_t{1} << bucketLog, 0);
  std::vector<uint32_t> bucketOf(keys.size());
  f.items.resize(keys.size());
  f.keyBytes.reserve(keyBytes + 8);
  for (size_t i = 0; i < keys.size(); ++i) {
    const EntryKey& k = keys[i];
    int bestScore = INT32_MAX;
    int32_t best = 0;
    uint32_t bestGram = 0;
    for (int32_t at = 0; at + FilterGram <= k.length; ++at) {
      uint8_t folded[FilterGram];
      int score = 0;
      for (int32_t j = 0; j < FilterGram; ++j) {
        folded[j] = FoldByte(k.key[at + j]);
        score += Commonness(folded[j]);
        if (j > 0 && folded[j] == folded[j - 1]) score += 3;  // runs are common
      }
      uint32_t gram = 0;
      std::memcpy(&gram, folded, sizeof gram);
      score = score * 4 + load[(gram * FilterHashFactor) >> f.bucketShift];
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
    f.items[i] = {bestGram, k.state, k.entry, static_cast<uint32_t>(f.keyBytes.size()), static_cast<uint8_t>(best),
                  static_cast<uint8_t>(k.length), static_cast<uint8_t>(k.exact ? 1 : 0)};
    f.keyBytes.insert(f.keyBytes.end(), k.key, k.key + k.length);
  }
  // Items sorted by bucket, stably.
  f.bucketStart.assign(load.size() + 1, 0);
  for (size_t b = 0; b < load.size(); ++b) f.bucketStart[b + 1] = f.bucketStart[b] + load[b];
  std::vector<FilterItem> sorted(f.items.size());
  std::vector<int32_t> next(f.bucketStart.begin(), f.bucketStart.end() - 1);
  for (size_t i = 0; i < f.items.size(); ++i) sorted[static_cast<size_t>(next[bucketOf[i]]++)] = f.items[i];
  f.items.swap(sorted);
  BuildShortIndex(f, shortKeys);
  f.keyBytes.resize(f.keyBytes.size() + 8, 0);  // for the 8-byte head comparison
  f.carry = longest - 1;
  f.raw.assign(static_cast<size_t>(f.carry) + FilterPiece + 8, 0);
  f.folded.assign(f.raw.size(), 0);
  f.enabled = true;
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

// Spreads the distinct anchors over the buckets, each to the bucket whose
// pass rate it raises least (in sorted order, so alike anchors meet), and
// fills the masks when the sum of the buckets' rates is low enough for the
// pass to pay, or always when `force`. False (masks untouched) otherwise.
bool BuildNibbleMasks(FinderFilter& f, bool force) {
  std::vector<NibbleAnchor> anchors;
  anchors.reserve(f.items.size() + f.shortItems.size());
  for (const FilterItem& item : f.items) {
    NibbleAnchor anchor;
    for (int32_t j = 0; j < FilterGram; ++j) anchor[static_cast<size_t>(j)] = static_cast<int16_t>(item.gram >> (8 * j) & 0xFF);
    anchors.push_back(anchor);
  }
  for (const FilterItem& item : f.shortItems) {
    NibbleAnchor anchor;
    for (int32_t j = 0; j < FilterGram; ++j) {
      anchor[static_cast<size_t>(j)] = j < item.length ? FoldByte(f.keyBytes[item.keyAt + static_cast<uint32_t>(j)]) : -1;
    }
    anchors.push_back(anchor);
  }
  std::sort(anchors.begin(), anchors.end());
  anchors.erase(std::unique(anchors.begin(), anchors.end()), anchors.end());
  if (!force && anchors.size() > NibbleAnchorLimit) return false;
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
  if (!force && total * NibblePassLimit > 1) return false;
  for (int b = 0; b < NibbleBuckets; ++b) {
    for (int32_t j = 0; j < FilterGram; ++j) {
      for (int n = 0; n < 16; ++n) {
        if ((low[b][j] >> n & 1) != 0) f.anchorMasks[2 * j][n] = static_cast<uint8_t>(f.anchorMasks[2 * j][n] | 1 << b);
        if ((high[b][j] >> n & 1) != 0) f.anchorMasks[2 * j + 1][n] = static_cast<uint8_t>(f.anchorMasks[2 * j + 1][n] | 1 << b);
      }
    }
  }
  f.nibble = true;
  return true;
}

}  // namespace

void FreeLiteralFinder(LiteralFinder* finder) noexcept { DeleteObject(finder); }

LiteralFinderPtr BuildLiteralFinder(const PatternMatcher* registered, const FinderOptions& options) noexcept {
  if (registered == nullptr) return nullptr;
  LiteralFinderPtr finder(NewObject<LiteralFinder>().release());
  if (!finder) return nullptr;
  try {
    std::vector<KeyedPattern> byKind[2];
    for (const PatternEntry& entry : registered->patterns) {
      const bool exact = entry.exactCase != 0;
      byKind[exact ? 1 : 0].push_back({exact ? entry.bytes.get() : entry.folded.get(), entry.length, entry.tag});
    }
    finder->tagStart.push_back(0);
    std::vector<EntryKey> keys;
    BuildAutomaton(finder->automata[0], byKind[0], true, options.wideRows, *finder, keys);
    BuildAutomaton(finder->automata[1], byKind[1], false, options.wideRows, *finder, keys);
    FinderFilter& f = finder->filter;
    if (options.filter != FilterKind::None) BuildFilter(f, keys);
    if (f.enabled) {
      const bool nibble = options.filter == FilterKind::Nibble ||
                          (options.filter == FilterKind::BySet && BuildNibbleMasks(f, false));
      if (nibble && !f.nibble) BuildNibbleMasks(f, true);
      finder->kind = f.nibble ? FilterKind::Nibble : FilterKind::Hashed;
    }
    const bool small = finder->automata[0].narrow.size() == static_cast<size_t>(finder->automata[0].stateCount) * 256 &&
                       finder->automata[1].narrow.size() == static_cast<size_t>(finder->automata[1].stateCount) * 256;
    f.workPerByte = options.filterWorkPerByte >= 0 ? static_cast<uint64_t>(options.filterWorkPerByte)
                    : small                        ? FilterWorkPerByteSmall
                                                   : FilterWorkPerByteLarge;
    f.workSlack = options.filterWorkSlack >= 0 ? static_cast<uint64_t>(options.filterWorkSlack)
                  : small                      ? FilterWorkSlackSmall
                                               : FilterWorkSlackLarge;
    finder->found.assign(static_cast<size_t>(finder->entryCount), 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  const FinderFilter& f = finder->filter;
  size_t memory = sizeof(LiteralFinder) + Bytes(finder->tagStart) + Bytes(finder->tags) + Bytes(finder->found) +
                  Bytes(f.bits) + Bytes(f.bucketStart) + Bytes(f.items) + Bytes(f.keyBytes) + Bytes(f.raw) +
                  Bytes(f.folded) + Bytes(f.shortItems) + Bytes(f.shortStart) + Bytes(f.shortPairs);
  for (const FinderAutomaton& a : finder->automata) {
    memory += Bytes(a.dense) + Bytes(a.firstChild) + Bytes(a.childCount) + Bytes(a.label) + Bytes(a.fail) +
              Bytes(a.report) + Bytes(a.states) + Bytes(a.entry) + Bytes(a.narrow) + Bytes(a.startPairs);
  }
  finder->memory = memory;
  finder->scanMemory = Bytes(finder->found) + Bytes(f.raw) + Bytes(f.folded);
  return finder;
}

size_t LiteralFinderMemory(const LiteralFinder* finder) noexcept { return finder != nullptr ? finder->memory : 0; }

size_t LiteralFinderScanMemory(const LiteralFinder* finder) noexcept {
  return finder != nullptr ? finder->scanMemory : 0;
}

FilterKind ChosenFilter(const LiteralFinder* finder) noexcept { return finder != nullptr ? finder->kind : FilterKind::None; }

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
  std::fill(finder->found.begin(), finder->found.end(), uint8_t{0});
  for (FinderAutomaton& a : finder->automata) {
    a.state = 0;
    a.unfound = a.entryCount;
  }
  FinderFilter& f = finder->filter;
  f.active = f.enabled;
  f.kept = 0;
  f.fed = 0;
  f.work = 0;
}

}  // namespace veltor
