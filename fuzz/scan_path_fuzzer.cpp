// Differential target for the scan path's finder: which tags it marks must
// be exactly the tags of the patterns a naive search finds, whether the
// haystack is fed whole, byte by byte or in chunks whose size the input
// chooses. Same input format as the matcher target (matcher_input.h); the
// rebuild bit instead leaves the set to the automata alone (by default a set
// goes through the filter, patterns longer than 64 bytes included; bit 4 of
// the haystack's first byte then forces class rows in lanes), and
// negative tags are never marked. Any difference aborts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fuzz/matcher_input.h"
#include "engine/matcher/literal_finder.h"
#include "tests/engine/matcher/naive_search.h"

using namespace veltor;

namespace {

constexpr size_t TagCount = 128;  // tags are i8: 0..127 can be marked

std::vector<uint8_t> Expected(std::span<const fuzz::MatcherPattern> patterns, std::span<const uint8_t> haystack) {
  std::vector<uint8_t> hits(TagCount);
  for (const fuzz::MatcherPattern& pattern : patterns) {
    if (pattern.tag < 0) continue;
    for (size_t position = 0; position < haystack.size(); ++position) {
      if (testing::naive::OccursAt(pattern, haystack, position)) {
        hits[static_cast<size_t>(pattern.tag)] = 1;
        break;
      }
    }
  }
  return hits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fuzz::MatcherInput input = fuzz::DecodeMatcherInput({data, size});
  PatternMatcherPtr registered = CreateMatcher();
  if (!registered) std::abort();
  for (const fuzz::MatcherPattern& p : input.patterns) {
    if (AddPattern(registered.get(), p.bytes.data(), static_cast<int32_t>(p.bytes.size()), p.exactCase ? 1 : 0,
                   p.tag) != 1) {
      std::abort();
    }
  }
  FinderOptions options;
  if (input.addLastAfterSearch) {
    options.filter = FilterKind::None;
    // Bit 4 of the first haystack byte (its low 4 bits choose the chunks):
    // class rows, in lanes wherever a chunk is long enough.
    if (!input.haystack.empty() && (input.haystack[0] & 0x10) != 0) options.classRows = ClassRowChoice::Lanes;
  }
  const LiteralFinderPtr finder = BuildLiteralFinder(registered.get(), options);
  if (!finder) std::abort();
  const std::span<const uint8_t> haystack = input.haystack;
  const std::vector<uint8_t> expected = Expected(input.patterns, haystack);
  const size_t chosen = haystack.empty() ? 1 : 1 + haystack[0] % 16;
  for (const size_t chunk : {haystack.size(), size_t{1}, chosen}) {
    std::vector<uint8_t> hits(TagCount);
    BeginFinderScan(finder.get());
    for (size_t at = 0; at < haystack.size(); at += chunk) {
      // Each chunk is a copy of its own size, so a read past its end is
      // caught by the sanitizer.
      const std::vector<uint8_t> piece(haystack.begin() + static_cast<std::ptrdiff_t>(at),
                                       haystack.begin() + static_cast<std::ptrdiff_t>(std::min(haystack.size(), at + chunk)));
      FeedFinder(finder.get(), piece.data(), piece.size(), hits.data(), hits.size());
    }
    if (hits != expected) std::abort();
  }
  return 0;
}
