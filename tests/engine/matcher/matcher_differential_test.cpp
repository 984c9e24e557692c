// Differential test: the matcher against a plain naive search over many
// seeded random pattern sets and inputs. The reference shares no code with
// the matcher: it folds, orders and compares with simple loops of its own.
//
// VELTOR_MATCHER_SEED=<n> replaces the base seed (to reproduce a failure or
// to explore other cases).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "engine/matcher/hit_recorder.h"
#include "engine/matcher/naive_search.h"
#include "engine/matcher/pattern_matcher.h"

namespace veltor {
namespace {

using testing::Hits;
using testing::RecordHit;

constexpr uint64_t DefaultSeed = 0x5eed'2024'0003ull;
constexpr int PatternSets = 400;
constexpr int InputsPerSet = 26;  // 10,400 searches per run

using RefPattern = testing::NaivePattern;

// ---- random cases ----------------------------------------------------------

// Byte sources. Each set draws from one, so that sets differ in character:
// letters of both cases, bytes that collide in the block hash's high nibble,
// a two-letter alphabet full of repeats, and every byte value.
const std::vector<uint8_t> Alphabets[] = {
    {'a', 'b', 'c', 'A', 'B', 'C', 'z', 'Z', '0', 0x00, 0xE1, 0xC1},
    {0x41, 0x51, 0x61, 0x71, 0x01, 0xC1, 0xD1, 'b', 'B', 'x'},
    {'a', 'A'},
};

class CaseMaker {
 public:
  explicit CaseMaker(uint64_t seed) : random_(seed), alphabet_(Below(4)) {}

  size_t Below(size_t bound) { return std::uniform_int_distribution<size_t>(0, bound - 1)(random_); }
  bool Chance(int percent) { return Below(100) < static_cast<size_t>(percent); }

  uint8_t Byte() {
    if (alphabet_ == 3) return static_cast<uint8_t>(Below(256));
    const std::vector<uint8_t>& letters = Alphabets[alphabet_];
    return Chance(3) ? static_cast<uint8_t>(Below(256)) : letters[Below(letters.size())];
  }

  uint8_t FlipCase(uint8_t b) {
    if (!Chance(50)) return b;
    if (b >= 'a' && b <= 'z') return static_cast<uint8_t>(b - 32);
    if (b >= 'A' && b <= 'Z') return static_cast<uint8_t>(b + 32);
    return b;
  }

  size_t PatternLength(bool onlyBeyondWindow) {
    const size_t kind = Below(100);
    if (kind < 25) return 1 + Below(2);
    if (onlyBeyondWindow) return 257 + Below(44);
    if (kind < 75) return 3 + Below(10);
    return 13 + Below(288);
  }

  RefPattern NewPattern(const std::vector<RefPattern>& existing, bool onlyBeyondWindow) {
    RefPattern pattern;
    pattern.tag = static_cast<int32_t>(random_());
    pattern.exactCase = Chance(25);
    const size_t kind = Below(100);
    if (!existing.empty() && kind < 12) {
      // The same bytes again (in another case) under another tag.
      const RefPattern& other = existing[Below(existing.size())];
      for (uint8_t b : other.bytes) pattern.bytes.push_back(FlipCase(b));
      return pattern;
    }
    if (!existing.empty() && kind < 24) {
      // A prefix or an extension of another pattern, or its high-nibble twin.
      const RefPattern& other = existing[Below(existing.size())];
      pattern.bytes = other.bytes;
      const size_t how = Below(3);
      if (how == 0 && pattern.bytes.size() > 1) pattern.bytes.resize(1 + Below(pattern.bytes.size() - 1));
      if (how == 1 && (!onlyBeyondWindow || pattern.bytes.size() < 300)) pattern.bytes.push_back(Byte());
      if (how == 2) pattern.bytes[0] = static_cast<uint8_t>(pattern.bytes[0] ^ (0x10 << Below(4)));
      if (onlyBeyondWindow && pattern.bytes.size() > 2 && pattern.bytes.size() <= 256) pattern.bytes.resize(257, 'x');
      return pattern;
    }
    const size_t length = PatternLength(onlyBeyondWindow);
    if (Chance(10)) {
      pattern.bytes.assign(length, Byte());
    } else {
      for (size_t i = 0; i < length; ++i) pattern.bytes.push_back(Byte());
    }
    return pattern;
  }

  std::vector<uint8_t> NewInput(const std::vector<RefPattern>& plantable) {
    size_t length = Below(700);
    if (Chance(15)) length = Below(3000);
    if (Chance(10)) length = Below(8);
    std::vector<uint8_t> input;
    for (size_t i = 0; i < length; ++i) input.push_back(Byte());
    const size_t plants = plantable.empty() || input.empty() ? 0 : Below(10);
    for (size_t n = 0; n < plants; ++n) {
      const RefPattern& pattern = plantable[Below(plantable.size())];
      if (pattern.bytes.size() > input.size()) continue;
      size_t at = Below(input.size() - pattern.bytes.size() + 1);
      const bool exact = pattern.exactCase && Chance(60);
      for (size_t rounds = Chance(20) ? 2 : 1; rounds > 0; --rounds, ++at) {  // sometimes overlapping
        for (size_t k = 0; k < pattern.bytes.size() && at + k < input.size(); ++k) {
          input[at + k] = exact ? pattern.bytes[k] : FlipCase(pattern.bytes[k]);
        }
      }
    }
    return input;
  }

 private:
  std::mt19937_64 random_;
  size_t alphabet_;
};

uint64_t BaseSeed() {
  const char* text = std::getenv("VELTOR_MATCHER_SEED");
  return text != nullptr ? std::strtoull(text, nullptr, 0) : DefaultSeed;
}

std::string Describe(const Hits& hits) {
  std::ostringstream out;
  for (size_t i = 0; i < hits.size() && i < 12; ++i) out << " (" << hits[i].first << "," << hits[i].second << ")";
  if (hits.size() > 12) out << " ...";
  return out.str();
}

// Compares one search; on a difference reports where and how to replay it.
::testing::AssertionResult SameHits(const Hits& expected, const Hits& actual, int32_t count, uint64_t seed,
                                    int set, int input) {
  if (expected == actual && count == static_cast<int32_t>(expected.size())) return ::testing::AssertionSuccess();
  size_t first = 0;
  while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) ++first;
  return ::testing::AssertionFailure()
         << "VELTOR_MATCHER_SEED=" << seed << " pattern set " << set << " input " << input << ": count " << count
         << ", expected " << expected.size() << " hits, got " << actual.size() << "; first difference at hit "
         << first << "\n  expected from there:"
         << Describe(Hits(expected.begin() + static_cast<std::ptrdiff_t>(first), expected.end()))
         << "\n  actual from there:  "
         << Describe(Hits(actual.begin() + static_cast<std::ptrdiff_t>(first), actual.end()));
}

TEST(MatcherDifferential, AgreesWithNaiveSearch) {
  const uint64_t seed = BaseSeed();
  int searches = 0;
  for (int set = 0; set < PatternSets; ++set) {
    CaseMaker maker(seed * 1000003u + static_cast<uint64_t>(set));
    const bool onlyBeyondWindow = maker.Chance(12);
    const size_t total = 1 + maker.Below(maker.Chance(20) ? 120 : 30);
    std::vector<RefPattern> all;
    while (all.size() < total) all.push_back(maker.NewPattern(all, onlyBeyondWindow));
    // Some patterns only join after a few searches, forcing a rebuild.
    const size_t registeredFirst = maker.Chance(30) ? maker.Below(total) + 1 : total;
    const int lateAt = 1 + static_cast<int>(maker.Below(InputsPerSet - 1));

    PatternMatcherPtr matcher = CreateMatcher();
    ASSERT_TRUE(matcher);
    std::vector<RefPattern> registered;
    auto registerUpTo = [&](size_t end) {
      for (size_t i = registered.size(); i < end; ++i) {
        const RefPattern& p = all[i];
        ASSERT_EQ(AddPattern(matcher.get(), p.bytes.data(), static_cast<int32_t>(p.bytes.size()), p.exactCase ? 1 : 0,
                             p.tag),
                  1);
        registered.push_back(p);
      }
    };
    registerUpTo(registeredFirst);
    if (maker.Chance(50)) {
      ASSERT_EQ(BuildTables(matcher.get()), 1);
    }

    for (int n = 0; n < InputsPerSet; ++n) {
      if (n == lateAt) registerUpTo(total);
      const std::vector<uint8_t> input = maker.NewInput(all);
      const Hits expected = testing::NaiveSearch(registered, input);
      Hits actual;
      // Never a null pointer for an empty input: that case is 0 anyway.
      const uint8_t dummy = 0;
      const uint8_t* data = input.empty() ? &dummy : input.data();
      const int32_t count = SearchBuffer(matcher.get(), data, static_cast<int32_t>(input.size()), RecordHit, &actual);
      ASSERT_TRUE(SameHits(expected, actual, count, seed, set, n));
      if (n % 8 == 0) {
        EXPECT_EQ(SearchBuffer(matcher.get(), data, static_cast<int32_t>(input.size()), nullptr, nullptr), count);
      }
      ++searches;
    }
  }
  EXPECT_GE(searches, 10000);
}

}  // namespace
}  // namespace veltor
