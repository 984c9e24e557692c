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
#include <bit>
#include <cstring>

#include "engine/matcher/fold_table.h"
#include "engine/matcher/literal_finder_tables.h"

namespace veltor {
namespace {

inline uint32_t Flagged(const FinderAutomaton& a, int32_t state) noexcept {
  return static_cast<uint32_t>(state) | ((a.packed[static_cast<size_t>(state)] & PackedReport) != 0 ? ReportFlag : 0u);
}

// The next state, with ReportFlag when it has a report.
inline uint32_t Step(const FinderAutomaton& a, int32_t state, uint8_t raw) noexcept {
  if (state >= a.denseRows) {
    const uint8_t k = a.folded ? FoldByte(raw) : raw;
    const uint32_t* packed = a.packed.data();
    const uint8_t* label = a.label.data();
    do {
      const uint32_t word = packed[static_cast<size_t>(state)];
      const uint32_t children = word & StateChildren;
      if (children == StateNext) {
        // A chain: the only child is the next state.
        if (label[static_cast<size_t>(state) + 1] == k) return Flagged(a, state + 1);
      } else if (children == StateEdges) {
        const uint32_t* list = a.edges.data() + (word >> PackedFailShift);
        const auto* labels = reinterpret_cast<const uint8_t*>(list + 1);
        const uint32_t count = labels[0] + 1u;
        const uint32_t* targets = list + 1 + (count + 4) / 4;
        ++labels;
        if (count <= 8) {
          for (uint32_t j = 0; j < count; ++j) {
            if (labels[j] == k) return Flagged(a, static_cast<int32_t>(targets[j]));
          }
        } else {
          const uint8_t* at = std::lower_bound(labels, labels + count, k);
          if (at != labels + count && *at == k) return Flagged(a, static_cast<int32_t>(targets[at - labels]));
        }
        state = static_cast<int32_t>(list[0]);
        continue;
      }
      state = static_cast<int32_t>(word >> PackedFailShift);
    } while (state >= a.denseRows);
  }
  return a.dense[static_cast<size_t>(state) * 256 + raw];
}

// Marks the entries of automaton `which` from `entry` on along the
// dictionary chain, down to the first one already found.
void WalkEntries(LiteralFinder& finder, size_t which, int32_t entry, uint8_t* hits, size_t hitCount) noexcept {
  const FinderTables& tables = *finder.tables;
  for (int32_t t = entry; t >= 0; t = tables.nextEntry[static_cast<size_t>(t)]) {
    const auto e = static_cast<size_t>(t);
    if (finder.found[e] != 0) return;
    finder.found[e] = 1;
    --finder.unfound[which];
    for (int32_t k = tables.tagStart[e]; k < tables.tagStart[e + 1]; ++k) {
      const int32_t tag = tables.tags[static_cast<size_t>(k)];
      if (tag >= 0 && static_cast<size_t>(tag) < hitCount) hits[static_cast<size_t>(tag)] = 1;
    }
  }
}

// Marks the entries on the dictionary chain of state `from` of automaton
// `which` (its own entry first, if any), down to the first one already found.
void Walk(LiteralFinder& finder, size_t which, int32_t from, uint8_t* hits, size_t hitCount) noexcept {
  WalkEntries(finder, which, ReportEntryOf(finder.tables->automata[which], from), hits, hitCount);
}

void Run(LiteralFinder& finder, size_t which, const uint8_t* bytes, size_t length, uint8_t* hits,
         size_t hitCount) noexcept {
  const FinderAutomaton& a = finder.tables->automata[which];
  int32_t state = finder.state[which];
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
      Walk(finder, which, state, hits, hitCount);
      if (finder.unfound[which] == 0) break;
    }
  }
  finder.state[which] = state;
}

// The same loop over every state's complete row.
void RunNarrow(LiteralFinder& finder, size_t which, const uint8_t* bytes, size_t length, uint8_t* hits,
               size_t hitCount) noexcept {
  const FinderAutomaton& a = finder.tables->automata[which];
  const uint16_t* narrow = a.narrow.data();
  auto state = static_cast<uint32_t>(finder.state[which]);
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
      Walk(finder, which, static_cast<int32_t>(state), hits, hitCount);
      if (finder.unfound[which] == 0) break;
    }
  }
  finder.state[which] = static_cast<int32_t>(state);
}

// The same loop over class rows, in row offsets; the walk starts at the
// entry the target's row names. A depth-1 row is found by its offset alone
// (the depth-1 states follow the root), its state by one division. Returns
// the bytes it went through: all of them, unless every entry was found or,
// when probing, the steps grew dense (more than 1 position in
// ClassDenseShare of the last ClassProbeWindow stepped, ClassProbeSteps at
// least), where lanes pay.
template <bool Probe>
size_t RunClasses(LiteralFinder& finder, size_t which, const uint8_t* bytes, size_t length, uint8_t* hits,
                  size_t hitCount) noexcept {
  const FinderAutomaton& a = finder.tables->automata[which];
  const uint32_t* rows = a.classes.rows.data();
  const uint8_t* classOf = a.classes.classOf;
  const uint32_t stride = a.classes.stride;
  const uint32_t entryAt = a.classes.classCount;
  const uint32_t depthOneEnd = static_cast<uint32_t>(a.depthOneEnd) * stride;
  const uint64_t* pairs = a.startPairs.data();
  const uint8_t* label = a.label.data();
  auto at = static_cast<uint32_t>(finder.state[which]);
  size_t steps = 0;
  size_t mark = 0;  // where the steps counted began
  size_t i = 0;
  while (i < length) {
    if (at < depthOneEnd) {
      if (at != 0 && !StartPair(pairs, label[at / stride], bytes[i])) at = 0;
      if (at == 0) i = SkipToCandidate(a, bytes, i, length);
    }
    const uint32_t next = rows[at + classOf[bytes[i++]]];
    at = next & ~ReportFlag;
    if ((next & ReportFlag) != 0) {
      WalkEntries(finder, which, static_cast<int32_t>(rows[at + entryAt]), hits, hitCount);
      if (finder.unfound[which] == 0) break;
    }
    if constexpr (Probe) {
      if (++steps * ClassDenseShare > i - mark) {
        if (steps >= ClassProbeSteps) break;
      } else if (i - mark > ClassProbeWindow) {
        mark = i;
        steps = 0;
      }
    }
  }
  finder.state[which] = static_cast<int32_t>(at);
  return i;
}

// Class rows over ClassLanes stretches of the bytes at once: lane j covers
// `span` bytes, the first from the stream's state, the others from the root
// `overlap` bytes before the previous lane's end, so every occurrence ends
// where some lane has the stream's state; the last lane ends the bytes and
// leaves the state. `length` is at least ClassLaneOverlaps times the
// overlap. No skip: lanes run where nearly every position steps.
void RunClassLanes(LiteralFinder& finder, size_t which, const uint8_t* bytes, size_t length, uint8_t* hits,
                   size_t hitCount) noexcept {
  const FinderAutomaton& a = finder.tables->automata[which];
  const uint32_t* rows = a.classes.rows.data();
  const uint8_t* classOf = a.classes.classOf;
  const uint32_t entryAt = a.classes.classCount;
  const uint8_t* found = finder.found.get();
  const size_t overlap = a.classes.longest;
  const size_t span = (length + (ClassLanes - 1) * overlap + ClassLanes - 1) / ClassLanes;
  uint32_t at[ClassLanes];
  const uint8_t* from[ClassLanes];
  for (size_t j = 0; j < ClassLanes; ++j) {
    at[j] = 0;
    from[j] = bytes + (j + 1 < ClassLanes ? j * (span - overlap) : length - span);
  }
  at[0] = static_cast<uint32_t>(finder.state[which]);
  for (size_t i = 0; i < span; ++i) {
    for (size_t j = 0; j < ClassLanes; ++j) {
      const uint32_t next = rows[at[j] + classOf[from[j][i]]];
      at[j] = next & ~ReportFlag;
      // Nearly every step reports in the dense case: the found entry is
      // checked here, without a call.
      if ((next & ReportFlag) != 0 && found[rows[at[j] + entryAt]] == 0) {
        WalkEntries(finder, which, static_cast<int32_t>(rows[at[j] + entryAt]), hits, hitCount);
        if (finder.unfound[which] == 0) return;
      }
    }
  }
  finder.state[which] = static_cast<int32_t>(at[ClassLanes - 1]);
}

// An automaton with class rows over the bytes: in lanes while they pay,
// one position at a time with the skip otherwise. Adaptively, a lanes block
// is followed by a probe (the single loop, until it finds the steps dense
// or the bytes end), so the scan follows the input.
void RunClassAutomaton(LiteralFinder& finder, size_t which, const uint8_t* bytes, size_t length, uint8_t* hits,
                       size_t hitCount) noexcept {
  const ClassRows& c = finder.tables->automata[which].classes;
  const bool adaptive = c.scan == ClassRowChoice::Adaptive;
  const size_t laneMinimum = std::max(ClassLaneMinimum, ClassLaneOverlaps * size_t{c.longest});
  for (size_t at = 0; at < length && finder.unfound[which] != 0;) {
    const size_t left = length - at;
    if (finder.lanes[which] && left >= laneMinimum) {
      const size_t block = !adaptive || left < ClassLaneBlock + laneMinimum ? left : ClassLaneBlock;
      RunClassLanes(finder, which, bytes + at, block, hits, hitCount);
      at += block;
      if (adaptive) finder.lanes[which] = false;
    } else if (adaptive) {
      const size_t went = RunClasses<true>(finder, which, bytes + at, left, hits, hitCount);
      at += went;
      finder.lanes[which] = went < left;  // stopped where the steps grew dense (or all found)
    } else {
      at += RunClasses<false>(finder, which, bytes + at, left, hits, hitCount);
    }
  }
}

void RunAutomata(LiteralFinder& finder, const uint8_t* bytes, size_t length, uint8_t* hits, size_t hitCount) noexcept {
  for (size_t which = 0; which < 2; ++which) {
    // Once every entry is found, nothing more can be marked.
    if (finder.unfound[which] == 0) continue;
    if (finder.tables->automata[which].classes.stride != 0) {
      RunClassAutomaton(finder, which, bytes, length, hits, hitCount);
    } else if (finder.tables->automata[which].narrow.empty()) {
      Run(finder, which, bytes, length, hits, hitCount);
    } else {
      RunNarrow(finder, which, bytes, length, hits, hitCount);
    }
  }
}

bool AllFound(const LiteralFinder& finder) noexcept {
  return finder.unfound[0] == 0 && finder.unfound[1] == 0;
}

// Verifies the items [k, end) against an anchor at window position p: an
// item's occurrence starts `offset` bytes before p and must end within the
// window's first n bytes. False once every entry is found.
inline bool Verify(LiteralFinder& finder, const FilterItem* items, int32_t k, int32_t end, size_t p, size_t n,
                   uint32_t gram, bool checkGram, uint8_t* hits, size_t hitCount) noexcept {
  const FinderFilter& f = finder.tables->filter;
  const uint8_t* found = finder.found.get();
  for (; k < end; ++k) {
    const FilterItem& item = items[k];
    ++finder.work;
    if ((checkGram && item.gram != gram) || found[item.entry] != 0 || p < item.offset) continue;
    const size_t start = p - item.offset;
    if (start + item.length > n) continue;
    // The first 8 bytes in one comparison (window and keys are padded), the
    // rest only when they agree.
    const uint8_t* against = (item.exact != 0 ? finder.raw.get() : finder.folded.get()) + start;
    const uint8_t* key = f.keyBytes.data() + item.keyAt;
    uint64_t head;
    uint64_t keyHead;
    std::memcpy(&head, against, sizeof head);
    std::memcpy(&keyHead, key, sizeof keyHead);
    const uint64_t mask = item.length >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * item.length)) - 1;
    if (((head ^ keyHead) & mask) != 0) continue;
    finder.work += item.length;
    if (item.length > 8 && std::memcmp(against + 8, key + 8, item.length - 8u) != 0) continue;
    // A success is paid for by the entry, found once per scan: only the
    // failures count against the bytes fed.
    finder.work -= uint64_t{item.length} + 1;
    Walk(finder, item.exact, item.state, hits, hitCount);
    if (AllFound(finder)) return false;
  }
  return true;
}

enum class Checked { Go, Done, OverBudget };

// The filter's tables as a window's loop reads them, loaded once: held in
// the finder, they would be read again after every count of work.
struct WindowTables {
  const uint8_t* folded;
  const uint64_t* bits;
  const int32_t* bucketStart;
  const FilterItem* items;
  const uint64_t* shortPairs;
  const int32_t* shortStart;
  const FilterItem* shortItems;
  uint32_t bitShift;
  uint32_t bucketShift;
};

// Checks window position p of the first n bytes: the short entries whose
// pair starts there and the anchored entries whose hashed anchor does.
// Done once every entry is found; OverBudget when the verification work
// outran the budget.
template <bool HasShort>
inline Checked CheckPosition(LiteralFinder& finder, const WindowTables& t, size_t p, size_t n, uint64_t budget,
                             uint8_t* hits, size_t hitCount) noexcept {
  const uint8_t* folded = t.folded;
  if constexpr (HasShort) {
    const uint32_t pair = p + 1 < n ? static_cast<uint32_t>(folded[p]) << 8 | folded[p + 1] : ~0u;
    if (pair == ~0u || (t.shortPairs[pair >> 6] >> (pair & 63) & 1) != 0) {
      if (!Verify(finder, t.shortItems, t.shortStart[folded[p]], t.shortStart[folded[p] + 1], p, n, 0, false, hits,
                  hitCount)) {
        return Checked::Done;
      }
    }
  }
  if (p + FilterGram <= n) {
    uint32_t gram;
    std::memcpy(&gram, folded + p, sizeof gram);
    const uint32_t hash = gram * FilterHashFactor;
    const uint32_t bit = hash >> t.bitShift;
    if ((t.bits[bit >> 6] >> (bit & 63) & 1) != 0) {
      ++finder.work;
      const uint32_t bucket = hash >> t.bucketShift;
      if (!Verify(finder, t.items, t.bucketStart[bucket], t.bucketStart[bucket + 1], p, n, gram, true, hits, hitCount)) {
        return Checked::Done;
      }
    }
  }
  return finder.work > budget ? Checked::OverBudget : Checked::Go;
}

// Checks the window's first n bytes from the first kept position whose
// anchor may belong to an occurrence ending in the new piece, verifying the
// entries that fit in the window; with the nibble pass, only the positions
// it does not rule out (the others would find nothing and cost nothing, so
// the work counted, and with it the switch, is the same either way). False
// when the verification work outran the budget (the window is then only
// partly checked).
template <bool HasShort, bool Nibble>
bool FilterWindow(LiteralFinder& finder, size_t n, uint8_t* hits, size_t hitCount) noexcept {
  const FinderFilter& f = finder.tables->filter;
  const WindowTables t{finder.folded.get(), f.bits.data(),       f.bucketStart.data(), f.items.data(), f.shortPairs.data(),
                       f.shortStart.data(), f.shortItems.data(), f.bitShift,         f.bucketShift};
  const uint64_t budget = finder.fed * f.workPerByte + f.workSlack;
  // Positions where an anchor fits; past them only short entries can start.
  const size_t anchorEnd = n >= FilterGram ? n - FilterGram + 1 : 0;
  // Kept positions further back were checked with every byte their
  // occurrences can reach.
  const auto recheck = static_cast<size_t>(f.recheck);
  size_t p = finder.kept > recheck ? finder.kept - recheck : 0;
  const AnchorBlockFunction block = Nibble ? ActiveAnchorBlock() : HasShort ? nullptr : ActiveHashedBlock();
  if (block != nullptr) {
    while (p < anchorEnd) {
      uint64_t candidates = 0;
      const size_t width = block(f, t.folded, p, anchorEnd, candidates);
      for (; candidates != 0; candidates &= candidates - 1) {
        const Checked checked =
            CheckPosition<HasShort>(finder, t, p + static_cast<size_t>(std::countr_zero(candidates)), n, budget, hits, hitCount);
        if (checked != Checked::Go) return checked == Checked::Done;
      }
      p += width;
    }
  }
  for (; p < (HasShort ? n : anchorEnd); ++p) {
    const Checked checked = CheckPosition<HasShort>(finder, t, p, n, budget, hits, hitCount);
    if (checked != Checked::Go) return checked == Checked::Done;
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
  const FinderFilter& f = finder.tables->filter;
  const auto carry = static_cast<size_t>(f.carry);
  // Without exact-case patterns nothing reads raw bytes: the folded
  // automaton steps the same over folded ones, so a restart reads those.
  const bool keepRaw = finder.tables->automata[1].stateCount != 0;
  uint8_t* raw = keepRaw ? finder.raw.get() : finder.folded.get();
  for (size_t at = 0; at < length;) {
    if (AllFound(finder)) return;
    const size_t piece = std::min(f.piece, length - at);
    if (keepRaw) std::memcpy(raw + finder.kept, bytes + at, piece);
    uint8_t* folded = finder.folded.get() + finder.kept;
    for (size_t i = 0; i < piece; ++i) folded[i] = FoldByte(bytes[at + i]);
    const size_t n = finder.kept + piece;
    at += piece;
    finder.fed += piece;
    // One loop per shape, so that each stays as small as the hashed test alone.
    const bool withinBudget =
        f.shortStart.empty() ? (f.nibble ? FilterWindow<false, true>(finder, n, hits, hitCount)
                                         : FilterWindow<false, false>(finder, n, hits, hitCount))
                             : (f.nibble ? FilterWindow<true, true>(finder, n, hits, hitCount)
                                         : FilterWindow<true, false>(finder, n, hits, hitCount));
    if (!withinBudget) {
      finder.active = false;
      finder.state[0] = finder.state[1] = 0;
      RunAutomata(finder, raw, n, hits, hitCount);
      RunAutomata(finder, bytes + at, length - at, hits, hitCount);
      return;
    }
    const size_t keep = std::min(n, carry);
    if (keepRaw) std::memmove(raw, raw + n - keep, keep);
    std::memmove(finder.folded.get(), finder.folded.get() + n - keep, keep);
    finder.kept = keep;
  }
}

}  // namespace

void FeedFinder(LiteralFinder* finder, const uint8_t* bytes, size_t length, uint8_t* hits,
                size_t hitCount) noexcept {
  if (finder == nullptr || bytes == nullptr || length == 0) return;
  if (finder->active) {
    FeedFilter(*finder, bytes, length, hits, hitCount);
  } else {
    RunAutomata(*finder, bytes, length, hits, hitCount);
  }
}

}  // namespace veltor
