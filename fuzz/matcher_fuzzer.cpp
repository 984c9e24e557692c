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
#include "engine/matcher/pattern_matcher.h"
#include "tests/engine/matcher/naive_search.h"

using namespace veltor;

namespace {

using fuzz::MatcherPattern;
using testing::Hits;
using testing::NaiveSearch;
using testing::RecordHit;

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
