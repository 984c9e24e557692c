#include "fuzz/matcher_input.h"

#include "fuzz/fuzz_support.h"

namespace veltor::fuzz {
namespace {

constexpr uint8_t CountMask = 0x0F;
constexpr uint8_t RebuildBit = 0x10;
constexpr uint8_t LengthMask = 0x3F;
constexpr uint8_t ExactCaseBit = 0x40;
constexpr uint8_t OverlongBit = 0x80;
constexpr size_t OverlongBase = 250;

}  // namespace

MatcherInput DecodeMatcherInput(std::span<const uint8_t> data) {
  ByteReader reader{data};
  MatcherInput input;
  const uint8_t control = reader.Byte();
  input.addLastAfterSearch = (control & RebuildBit) != 0;
  const uint8_t count = control & CountMask;
  for (uint8_t k = 0; k < count && !reader.Empty(); ++k) {
    const uint8_t shape = reader.Byte();
    MatcherPattern& pattern = input.patterns.emplace_back();
    pattern.exactCase = (shape & ExactCaseBit) != 0;
    pattern.tag = static_cast<int8_t>(reader.Byte());
    const size_t length = (shape & OverlongBit) != 0 ? OverlongBase + (shape & LengthMask) : 1u + (shape & LengthMask);
    const auto bytes = reader.Take(length);
    pattern.bytes.assign(bytes.begin(), bytes.end());
    if (pattern.bytes.empty()) input.patterns.pop_back();
  }
  input.haystack = reader.Rest();
  return input;
}

std::vector<uint8_t> EncodeMatcherInput(const MatcherInput& input) {
  std::vector<uint8_t> out;
  out.push_back(static_cast<uint8_t>(input.patterns.size() | (input.addLastAfterSearch ? RebuildBit : 0)));
  for (const MatcherPattern& pattern : input.patterns) {
    const size_t length = pattern.bytes.size();
    uint8_t shape = length > 1u + LengthMask ? static_cast<uint8_t>(OverlongBit | (length - OverlongBase))
                                             : static_cast<uint8_t>(length - 1);
    if (pattern.exactCase) shape |= ExactCaseBit;
    out.push_back(shape);
    out.push_back(static_cast<uint8_t>(pattern.tag));
    out.insert(out.end(), pattern.bytes.begin(), pattern.bytes.end());
  }
  out.insert(out.end(), input.haystack.begin(), input.haystack.end());
  return out;
}

}  // namespace veltor::fuzz
