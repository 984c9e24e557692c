#pragma once
// The matcher's reference: a plain search that shares no code with the
// matcher and applies its documented order with simple loops. All
// short-pattern hits (1-2 bytes) by position, then all long ones by
// position; at one position in set order. Set order: the newest-first
// registration list, stably sorted; short patterns by folded bytes (a prefix
// first), long patterns by the block hash of their first three folded bytes,
// then by folded bytes.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "hit_recorder.h"

namespace veltor::testing {

struct NaivePattern {
  std::vector<uint8_t> bytes;
  bool exactCase = false;
  int32_t tag = 0;
};

namespace naive {

inline uint8_t Fold(uint8_t b) { return b >= 'a' && b <= 'z' ? static_cast<uint8_t>(b - 32) : b; }

inline bool OccursAt(const NaivePattern& pattern, std::span<const uint8_t> input, size_t position) {
  if (position + pattern.bytes.size() > input.size()) return false;
  for (size_t k = 0; k < pattern.bytes.size(); ++k) {
    const uint8_t want = pattern.bytes[k];
    const uint8_t have = input[position + k];
    if (pattern.exactCase ? want != have : Fold(want) != Fold(have)) return false;
  }
  return true;
}

// <0, 0 or >0: folded bytes compared as unsigned, a prefix before the longer.
inline int CompareFolded(const NaivePattern& a, const NaivePattern& b) {
  for (size_t k = 0; k < a.bytes.size() && k < b.bytes.size(); ++k) {
    const int x = Fold(a.bytes[k]);
    const int y = Fold(b.bytes[k]);
    if (x != y) return x - y;
  }
  return static_cast<int>(a.bytes.size()) - static_cast<int>(b.bytes.size());
}

inline int BlockKey(const NaivePattern& p) {
  return (Fold(p.bytes[0]) % 16) * 65536 + Fold(p.bytes[1]) * 256 + Fold(p.bytes[2]);
}

inline bool Before(const NaivePattern& a, const NaivePattern& b, bool longSet) {
  if (longSet && BlockKey(a) != BlockKey(b)) return BlockKey(a) < BlockKey(b);
  return CompareFolded(a, b) < 0;
}

// The newest-first walk, stably sorted (an insertion sort only moves an
// element past strictly greater ones).
inline std::vector<const NaivePattern*> SetOrder(std::span<const NaivePattern> registered, bool longSet) {
  std::vector<const NaivePattern*> set;
  for (size_t i = registered.size(); i-- > 0;) {
    if ((registered[i].bytes.size() >= 3) == longSet) set.push_back(&registered[i]);
  }
  for (size_t i = 1; i < set.size(); ++i) {
    for (size_t j = i; j > 0 && Before(*set[j], *set[j - 1], longSet); --j) std::swap(set[j], set[j - 1]);
  }
  return set;
}

}  // namespace naive

// Every occurrence of every pattern (registered oldest first), in the
// matcher's order.
inline Hits NaiveSearch(std::span<const NaivePattern> registered, std::span<const uint8_t> input) {
  Hits hits;
  for (const bool longSet : {false, true}) {
    const std::vector<const NaivePattern*> set = naive::SetOrder(registered, longSet);
    for (size_t position = 0; position < input.size(); ++position) {
      for (const NaivePattern* pattern : set) {
        if (naive::OccursAt(*pattern, input, position)) {
          hits.emplace_back(static_cast<int32_t>(position), pattern->tag);
        }
      }
    }
  }
  return hits;
}

}  // namespace veltor::testing
