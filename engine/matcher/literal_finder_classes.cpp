// Class rows: the automaton as a complete table over byte classes. A set
// whose patterns use few distinct bytes (a 4-letter alphabet has 5 classes
// with "any other byte") gets a row per state at a few words each, so deep
// states, where a hostile scan spends every step, cost one load like the
// root. Built from the finished automaton (literal_finder_tables.h): a
// state's row is its failure state's row with its own children written
// over it, so every state is filled after its failure state.
#include <algorithm>
#include <utility>

#include "engine/matcher/fold_table.h"
#include "engine/matcher/literal_finder_tables.h"
#include "engine/platform/allocation.h"

namespace veltor {

ClassBuild BuildClassRows(FinderAutomaton& a, ClassRowChoice choice, int32_t longest) noexcept {
  ClassRows& c = a.classes;
  const bool force = choice != ClassRowChoice::BySet;
  if (a.stateCount == 0 || (!force && !a.narrow.empty())) return ClassBuild::NotWorth;
  // Rows of one class and the entry word already past the budget: not worth counting.
  if (!force && static_cast<uint64_t>(a.stateCount) * 2 * sizeof(uint32_t) > ClassRowBudget) return ClassBuild::NotWorth;
  // A class per label byte in use, class 0 for every other byte (when every
  // byte is a label, there is none: the labels number from 0).
  uint8_t classOfKey[256] = {};
  uint32_t used = 0;
  for (size_t s = 1; s < static_cast<size_t>(a.stateCount); ++s) classOfKey[a.label[s]] = 1;
  for (const uint8_t k : classOfKey) used += k;
  uint32_t classCount = used < 256 ? 1 : 0;
  for (uint8_t& k : classOfKey) k = k != 0 ? static_cast<uint8_t>(classCount++) : uint8_t{0};
  const uint32_t stride = classCount + 1;
  const uint64_t words = static_cast<uint64_t>(a.stateCount) * stride;
  if (words >= ReportFlag || (!force && words * sizeof(uint32_t) > ClassRowBudget)) return ClassBuild::NotWorth;
  GrowableArray<uint32_t> rows;
  GrowableArray<uint8_t> done;
  GrowableArray<int32_t> pending;  // a failure chain still to fill, deepest first
  if (!rows.Assign(static_cast<size_t>(words), 0) || !done.Assign(static_cast<size_t>(a.stateCount), 0)) {
    return ClassBuild::OutOfMemory;
  }
  auto target = [&](int32_t state) {
    const auto s = static_cast<size_t>(state);
    return static_cast<uint32_t>(s * stride) | ((a.packed[s] & PackedReport) != 0 ? ReportFlag : 0u);
  };
  for (int32_t s = 0; s < a.stateCount; ++s) {
    for (int32_t t = s; done[static_cast<size_t>(t)] == 0; t = FailOf(a, t)) {
      if (!pending.Append(t)) return ClassBuild::OutOfMemory;
      done[static_cast<size_t>(t)] = 1;
      if (t == 0) break;
    }
    while (!pending.empty()) {
      const int32_t t = pending.back();
      pending.Truncate(pending.size() - 1);
      const auto ut = static_cast<size_t>(t);
      uint32_t* row = rows.data() + ut * stride;
      if (t != 0) std::copy_n(rows.data() + static_cast<size_t>(FailOf(a, t)) * stride, classCount, row);
      const uint32_t word = a.packed[ut];
      if ((word & StateChildren) == StateNext) {
        row[classOfKey[a.label[ut + 1]]] = target(t + 1);
      } else if ((word & StateChildren) == StateEdges) {
        const uint32_t* list = a.edges.data() + (word >> PackedFailShift);
        const auto* labels = reinterpret_cast<const uint8_t*>(list + 1);
        const uint32_t count = labels[0] + 1u;
        const uint32_t* targets = list + 1 + (count + 4) / 4;
        for (uint32_t j = 0; j < count; ++j) row[classOfKey[labels[1 + j]]] = target(static_cast<int32_t>(targets[j]));
      }
      row[classCount] = static_cast<uint32_t>(ReportEntryOf(a, t));
    }
  }
  for (int raw = 0; raw < 256; ++raw) {
    const auto byte = static_cast<uint8_t>(raw);
    c.classOf[raw] = classOfKey[a.folded ? FoldByte(byte) : byte];
  }
  c.rows = std::move(rows);
  c.classCount = classCount;
  c.longest = static_cast<uint32_t>(longest);
  c.scan = force ? choice : ClassRowChoice::Adaptive;
  c.stride = stride;
  // Nothing else steps this automaton now.
  a.dense.Release();
  a.narrow.Release();
  a.denseRows = 0;
  return ClassBuild::Built;
}

}  // namespace veltor
