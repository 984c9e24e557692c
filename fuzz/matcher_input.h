#pragma once
// The matcher target's input: a pattern set and the bytes to search.
//
//   u8 control: bits 0-3 the pattern count (0 to 15); bit 4: the last
//       pattern is added only after a first search (a rebuild)
//   per pattern: u8 shape, i8 tag, then the pattern bytes. Shape bits 0-5
//       give the length - 1 (1 to 64 bytes); bit 7 instead gives
//       250 + bits 0-5 (250 to 313 bytes: longer than the longest window);
//       bit 6 makes the pattern exact-case
//   the rest: the bytes searched
#include <cstdint>
#include <span>
#include <vector>

#include "tests/engine/matcher/naive_search.h"

namespace veltor::fuzz {

using MatcherPattern = testing::NaivePattern;

struct MatcherInput {
  std::vector<MatcherPattern> patterns;
  bool addLastAfterSearch = false;
  std::span<const uint8_t> haystack;
};

MatcherInput DecodeMatcherInput(std::span<const uint8_t> data);
std::vector<uint8_t> EncodeMatcherInput(const MatcherInput& input);

}  // namespace veltor::fuzz
