// FeedFinder: runs each automaton over the chunk from where the stream left
// it. At the root, positions where no pattern can start (their byte pair is
// not a start pair) are skipped without stepping: from the root, such a
// byte leads at most to a depth-1 state with no way on, so the state before
// the next byte is the root again. A depth-1 state whose byte and the next
// input byte are not a start pair has no child for that byte either, so its
// step is the root's: the scan continues from the root, skipping.
//
// Once an entry is found its tags are marked and it is never reported
// again; the dictionary walk (report links along the failure chain) stops at
// the first entry already found, because every entry further down that chain
// was marked when that one was.
#include <algorithm>
#include <cstring>

#include "engine/matcher/fold_table.h"
#include "engine/matcher/literal_finder_tables.h"

namespace veltor {
namespace {

inline uint32_t Flagged(const FinderAutomaton& a, int32_t state) noexcept {
  return static_cast<uint32_t>(state) | (a.states[static_cast<size_t>(state)].hasReport != 0 ? ReportFlag : 0u);
}

// The next state, with ReportFlag when it has a report.
inline uint32_t Step(const FinderAutomaton& a, int32_t state, uint8_t raw) noexcept {
  if (state >= a.denseRows) {
    const uint8_t k = a.folded ? FoldByte(raw) : raw;
    const SparseState* states = a.states.data();
    const uint8_t* label = a.label.data();
    do {
      const SparseState& here = states[static_cast<size_t>(state)];
      const int32_t first = here.firstChild;
      const uint8_t* labels = label + first;
      const uint32_t count = here.childCount;
      if (count <= 8) {
        for (uint32_t j = 0; j < count; ++j) {
          if (labels[j] == k) return Flagged(a, first + static_cast<int32_t>(j));
        }
      } else {
        const uint8_t* at = std::lower_bound(labels, labels + count, k);
        if (at != labels + count && *at == k) return Flagged(a, first + static_cast<int32_t>(at - labels));
      }
      state = here.fail;
    } while (state >= a.denseRows);
  }
  return a.dense[static_cast<size_t>(state) * 256 + raw];
}

void Walk(FinderAutomaton& a, LiteralFinder& finder, int32_t from, uint8_t* hits, size_t hitCount) noexcept {
  for (int32_t t = from; t >= 0; t = a.report[static_cast<size_t>(a.states[static_cast<size_t>(t)].fail)]) {
    const auto e = static_cast<size_t>(a.entry[static_cast<size_t>(t)]);
    if (finder.found[e] != 0) return;
    finder.found[e] = 1;
    --a.unfound;
    for (int32_t k = finder.tagStart[e]; k < finder.tagStart[e + 1]; ++k) {
      const int32_t tag = finder.tags[static_cast<size_t>(k)];
      if (tag >= 0 && static_cast<size_t>(tag) < hitCount) hits[static_cast<size_t>(tag)] = 1;
    }
  }
}

void Run(FinderAutomaton& a, LiteralFinder& finder, const uint8_t* bytes, size_t length, uint8_t* hits,
         size_t hitCount) noexcept {
  const int32_t* report = a.report.data();
  int32_t state = a.state;
  const uint64_t* pairs = a.startPairs.data();
  const uint8_t* label = a.label.data();
  for (size_t i = 0; i < length; ++i) {
    if (state < a.depthOneEnd) {
      if (state != 0 && !StartPair(pairs, label[static_cast<size_t>(state)], bytes[i])) state = 0;
      if (state == 0) i = SkipToCandidate(a, bytes, i, length);
    }
    const uint32_t next = Step(a, state, bytes[i]);
    state = static_cast<int32_t>(next & ~ReportFlag);
    if ((next & ReportFlag) != 0) {
      Walk(a, finder, report[static_cast<size_t>(state)], hits, hitCount);
      if (a.unfound == 0) break;
    }
  }
  a.state = state;
}

// The same loop over every state's complete row.
void RunNarrow(FinderAutomaton& a, LiteralFinder& finder, const uint8_t* bytes, size_t length, uint8_t* hits,
               size_t hitCount) noexcept {
  const int32_t* report = a.report.data();
  const uint16_t* narrow = a.narrow.data();
  uint32_t state = static_cast<uint32_t>(a.state);
  const uint64_t* pairs = a.startPairs.data();
  const uint8_t* label = a.label.data();
  const auto depthOneEnd = static_cast<uint32_t>(a.depthOneEnd);
  for (size_t i = 0; i < length; ++i) {
    if (state < depthOneEnd) {
      if (state != 0 && !StartPair(pairs, label[state], bytes[i])) state = 0;
      if (state == 0) i = SkipToCandidate(a, bytes, i, length);
    }
    const uint32_t next = narrow[state * 256 + bytes[i]];
    state = next & ~uint32_t{NarrowReportFlag};
    if ((next & NarrowReportFlag) != 0) {
      Walk(a, finder, report[state], hits, hitCount);
      if (a.unfound == 0) break;
    }
  }
  a.state = static_cast<int32_t>(state);
}

void RunAutomata(LiteralFinder& finder, const uint8_t* bytes, size_t length, uint8_t* hits, size_t hitCount) noexcept {
  for (FinderAutomaton& a : finder.automata) {
    // Once every entry is found, nothing more can be marked.
    if (a.unfound == 0) continue;
    if (a.narrow.empty()) {
      Run(a, finder, bytes, length, hits, hitCount);
    } else {
      RunNarrow(a, finder, bytes, length, hits, hitCount);
    }
  }
}

bool AllFound(const LiteralFinder& finder) noexcept {
  return finder.automata[0].unfound == 0 && finder.automata[1].unfound == 0;
}

// Verifies the items [k, end) against an anchor at window position p: an
// item's occurrence starts `offset` bytes before p and must end within the
// window's first n bytes. False once every entry is found.
inline bool Verify(LiteralFinder& finder, const FilterItem* items, int32_t k, int32_t end, size_t p, size_t n,
                   uint32_t gram, bool checkGram, uint8_t* hits, size_t hitCount) noexcept {
  FinderFilter& f = finder.filter;
  const uint8_t* found = finder.found.data();
  for (; k < end; ++k) {
    const FilterItem& item = items[k];
    ++f.work;
    if ((checkGram && item.gram != gram) || found[item.entry] != 0 || p < item.offset) continue;
    const size_t start = p - item.offset;
    if (start + item.length > n) continue;
    // The first 8 bytes in one comparison (window and keys are padded), the
    // rest only when they agree.
    const uint8_t* against = (item.exact != 0 ? f.raw.data() : f.folded.data()) + start;
    const uint8_t* key = f.keyBytes.data() + item.keyAt;
    uint64_t head;
    uint64_t keyHead;
    std::memcpy(&head, against, sizeof head);
    std::memcpy(&keyHead, key, sizeof keyHead);
    const uint64_t mask = item.length >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * item.length)) - 1;
    if (((head ^ keyHead) & mask) != 0) continue;
    f.work += item.length;
    if (item.length > 8 && std::memcmp(against + 8, key + 8, item.length - 8u) != 0) continue;
    // A success is paid for by the entry, found once per scan: only the
    // failures count against the bytes fed.
    f.work -= uint64_t{item.length} + 1;
    Walk(finder.automata[item.exact], finder, item.state, hits, hitCount);
    if (AllFound(finder)) return false;
  }
  return true;
}

// Checks every position of the window's first n bytes, verifying the
// entries that fit in the window. False when the verification work outran
// the budget (the window is then only partly checked).
template <bool HasShort>
bool FilterWindow(LiteralFinder& finder, size_t n, uint8_t* hits, size_t hitCount) noexcept {
  FinderFilter& f = finder.filter;
  const uint8_t* folded = f.folded.data();
  const uint64_t* bits = f.bits.data();
  const int32_t* bucketStart = f.bucketStart.data();
  const uint64_t* shortPairs = f.shortPairs.data();
  const int32_t* shortStart = f.shortStart.data();
  const uint64_t budget = f.fed * f.workPerByte + f.workSlack;
  for (size_t p = 0; p < n; ++p) {
    if constexpr (HasShort) {
      const uint32_t pair = p + 1 < n ? static_cast<uint32_t>(folded[p]) << 8 | folded[p + 1] : ~0u;
      if (pair == ~0u || (shortPairs[pair >> 6] >> (pair & 63) & 1) != 0) {
        if (!Verify(finder, f.shortItems.data(), shortStart[folded[p]], shortStart[folded[p] + 1], p, n, 0, false,
                    hits, hitCount)) {
          return true;
        }
      }
    }
    if (p + FilterGram <= n) {
      uint32_t gram;
      std::memcpy(&gram, folded + p, sizeof gram);
      const uint32_t hash = gram * FilterHashFactor;
      const uint32_t bit = hash >> f.bitShift;
      if ((bits[bit >> 6] >> (bit & 63) & 1) != 0) {
        ++f.work;
        const uint32_t bucket = hash >> f.bucketShift;
        if (!Verify(finder, f.items.data(), bucketStart[bucket], bucketStart[bucket + 1], p, n, gram, true, hits,
                    hitCount)) {
          return true;
        }
      }
    } else if (!HasShort) {
      break;
    }
    if (f.work > budget) return false;
  }
  return true;
}

// The filter over a chunk, a piece at a time through the window. Every
// occurrence ending in a piece starts at most `carry` bytes before it, so
// within the window, and is verified there; occurrences ending earlier were
// verified with an earlier piece.
//
// When the budget runs out, the automata take over for the rest of the
// stream, from the root at the window's first byte: occurrences ending in the
// piece all start in the window, and an automaton's state depends only on the
// last (longest pattern) bytes, which the window holds unless it holds the
// whole stream. Marks already made are kept; every entry the filter marked
// was marked with its whole suffix chain (Walk), so the automata's stop at a
// found entry stays sound.
void FeedFilter(LiteralFinder& finder, const uint8_t* bytes, size_t length, uint8_t* hits, size_t hitCount) noexcept {
  FinderFilter& f = finder.filter;
  const auto carry = static_cast<size_t>(f.carry);
  for (size_t at = 0; at < length;) {
    if (AllFound(finder)) return;
    const size_t piece = std::min(FilterPiece, length - at);
    std::memcpy(f.raw.data() + f.kept, bytes + at, piece);
    uint8_t* folded = f.folded.data() + f.kept;
    for (size_t i = 0; i < piece; ++i) folded[i] = FoldByte(bytes[at + i]);
    const size_t n = f.kept + piece;
    at += piece;
    f.fed += piece;
    const bool withinBudget = f.shortStart.empty() ? FilterWindow<false>(finder, n, hits, hitCount)
                                                   : FilterWindow<true>(finder, n, hits, hitCount);
    if (!withinBudget) {
      f.active = false;
      for (FinderAutomaton& a : finder.automata) a.state = 0;
      RunAutomata(finder, f.raw.data(), n, hits, hitCount);
      RunAutomata(finder, bytes + at, length - at, hits, hitCount);
      return;
    }
    const size_t keep = std::min(n, carry);
    std::memmove(f.raw.data(), f.raw.data() + n - keep, keep);
    std::memmove(f.folded.data(), f.folded.data() + n - keep, keep);
    f.kept = keep;
  }
}

}  // namespace

void FeedFinder(LiteralFinder* finder, const uint8_t* bytes, size_t length, uint8_t* hits,
                size_t hitCount) noexcept {
  if (finder == nullptr || bytes == nullptr || length == 0) return;
  if (finder->filter.active) {
    FeedFilter(*finder, bytes, length, hits, hitCount);
  } else {
    RunAutomata(*finder, bytes, length, hits, hitCount);
  }
}

}  // namespace veltor
