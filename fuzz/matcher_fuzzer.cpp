// Differential target: the matcher against a naive search. Every hit
// (position, tag, and the order of hits) and the count must agree with a
// reference that shares no code with the matcher and applies its documented
// order: all short-pattern hits (1-2 bytes) by position, then all long ones
// by position, and at one position in set order. Set order: the newest-first
// registration list, stably sorted; short patterns by folded bytes (a prefix
// first), long patterns by the block hash of their first three folded bytes,
// then by folded bytes. Any difference aborts.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <utility>
#include <vector>

#include "fuzz/matcher_input.h"
#include "matcher/pattern_matcher.h"

using namespace veltor;

namespace {

using Hit = std::pair<int32_t, int32_t>;  // position, tag
using Hits = std::vector<Hit>;
using fuzz::MatcherPattern;

void RecordHit(int32_t position, int32_t tag, void* userData) {
  static_cast<Hits*>(userData)->emplace_back(position, tag);
}

uint8_t Fold(uint8_t b) { return b >= 'a' && b <= 'z' ? static_cast<uint8_t>(b - 32) : b; }

bool OccursAt(const MatcherPattern& pattern, std::span<const uint8_t> input, size_t position) {
  if (position + pattern.bytes.size() > input.size()) return false;
  for (size_t k = 0; k < pattern.bytes.size(); ++k) {
    const uint8_t want = pattern.bytes[k];
    const uint8_t have = input[position + k];
    if (pattern.exactCase ? want != have : Fold(want) != Fold(have)) return false;
  }
  return true;
}

// <0, 0 or >0: folded bytes as unsigned, a prefix before the longer.
int CompareFolded(const MatcherPattern& a, const MatcherPattern& b) {
  for (size_t k = 0; k < a.bytes.size() && k < b.bytes.size(); ++k) {
    const int x = Fold(a.bytes[k]);
    const int y = Fold(b.bytes[k]);
    if (x != y) return x - y;
  }
  return static_cast<int>(a.bytes.size()) - static_cast<int>(b.bytes.size());
}

int BlockKey(const MatcherPattern& p) {
  return (Fold(p.bytes[0]) % 16) * 65536 + Fold(p.bytes[1]) * 256 + Fold(p.bytes[2]);
}

bool Before(const MatcherPattern& a, const MatcherPattern& b, bool longSet) {
  if (longSet && BlockKey(a) != BlockKey(b)) return BlockKey(a) < BlockKey(b);
  return CompareFolded(a, b) < 0;
}

// Newest first, then a stable insertion sort.
std::vector<const MatcherPattern*> SetOrder(std::span<const MatcherPattern> registered, bool longSet) {
  std::vector<const MatcherPattern*> set;
  for (size_t i = registered.size(); i-- > 0;) {
    if ((registered[i].bytes.size() >= 3) == longSet) set.push_back(&registered[i]);
  }
  for (size_t i = 1; i < set.size(); ++i) {
    for (size_t j = i; j > 0 && Before(*set[j], *set[j - 1], longSet); --j) std::swap(set[j], set[j - 1]);
  }
  return set;
}

Hits NaiveSearch(std::span<const MatcherPattern> registered, std::span<const uint8_t> input) {
  Hits hits;
  for (const bool longSet : {false, true}) {
    const auto set = SetOrder(registered, longSet);
    for (size_t position = 0; position < input.size(); ++position) {
      for (const MatcherPattern* pattern : set) {
        if (OccursAt(*pattern, input, position)) hits.emplace_back(static_cast<int32_t>(position), pattern->tag);
      }
    }
  }
  return hits;
}

void Register(PatternMatcher* matcher, const MatcherPattern& pattern) {
  if (AddPattern(matcher, pattern.bytes.data(), static_cast<int32_t>(pattern.bytes.size()), pattern.exactCase ? 1 : 0,
                 pattern.tag) != 1) {
    std::abort();
  }
}

// One search compared with the reference over the patterns registered so far.
void CheckSearch(PatternMatcher* matcher, std::span<const MatcherPattern> registered,
                 std::span<const uint8_t> input) {
  if (input.empty()) return;
  Hits hits;
  const int32_t count = SearchBuffer(matcher, input.data(), static_cast<int32_t>(input.size()), RecordHit, &hits);
  const Hits expected = NaiveSearch(registered, input);
  if (hits != expected || count != static_cast<int32_t>(expected.size())) std::abort();
}

// ASCII letters in the other case: what folding must see through.
std::vector<uint8_t> SwapCase(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> swapped(bytes.begin(), bytes.end());
  for (uint8_t& b : swapped) {
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) b ^= 0x20;
  }
  return swapped;
}

// Searches with one set of tables: the haystack from several starts (the
// skipping search visits other windows from each) and in swapped case. A
// table build costs far more than these searches.
void CheckSearches(PatternMatcher* matcher, std::span<const MatcherPattern> registered,
                   std::span<const uint8_t> haystack) {
  constexpr size_t Starts = 8;
  for (size_t start = 0; start < Starts && start < haystack.size(); ++start) {
    CheckSearch(matcher, registered, haystack.subspan(start));
  }
  CheckSearch(matcher, registered, haystack.subspan(haystack.size() / 2));
  CheckSearch(matcher, registered, SwapCase(haystack));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::MatcherInput input = fuzz::DecodeMatcherInput({data, size});
  const std::span<const MatcherPattern> all(input.patterns);
  const size_t early = input.addLastAfterSearch && !all.empty() ? all.size() - 1 : all.size();

  PatternMatcherPtr matcher = CreateMatcher();
  if (!matcher) std::abort();
  for (size_t k = 0; k < early; ++k) Register(matcher.get(), all[k]);
  if (BuildTables(matcher.get()) != 1) std::abort();
  CheckSearches(matcher.get(), all.first(early), input.haystack);
  if (early < all.size()) {
    Register(matcher.get(), all.back());
    CheckSearch(matcher.get(), all, input.haystack);
  }
  return 0;
}
