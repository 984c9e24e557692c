// The scan path's finder against the naive search: over random and hostile
// pattern sets and inputs, on every skip path the machine supports, fed
// whole, byte by byte and in random chunks, it marks exactly the tags of the
// patterns that occur. Each filter and each row width is also forced by
// itself, so that every path is judged on its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "engine/matcher/literal_finder.h"
#include "naive_search.h"
#include "support/process.h"

namespace veltor {
namespace {

using testing::NaivePattern;
using testing::SetEnvironment;

std::vector<uint8_t> Expected(const std::vector<NaivePattern>& patterns, const std::vector<uint8_t>& input,
                              size_t tagCount) {
  std::vector<uint8_t> hits(tagCount);
  for (const NaivePattern& pattern : patterns) {
    for (size_t position = 0; position < input.size() && hits[static_cast<size_t>(pattern.tag)] == 0; ++position) {
      if (testing::naive::OccursAt(pattern, input, position)) hits[static_cast<size_t>(pattern.tag)] = 1;
    }
  }
  return hits;
}

constexpr FinderPath AllPaths[] = {FinderPath::Scalar, FinderPath::Ssse3, FinderPath::Avx2, FinderPath::Avx512};

// Puts the path back when a test that forces paths ends, failed or not.
struct RestorePath {
  FinderPath original = ActiveFinderPath();
  ~RestorePath() { ForceFinderPath(original); }
};

LiteralFinderPtr Build(const std::vector<NaivePattern>& patterns, const FinderOptions& options) {
  PatternMatcherPtr registered = CreateMatcher();
  if (!registered) return nullptr;
  for (const NaivePattern& p : patterns) {
    if (AddPattern(registered.get(), p.bytes.data(), static_cast<int32_t>(p.bytes.size()), p.exactCase ? 1 : 0,
                   p.tag) != 1) {
      return nullptr;
    }
  }
  return BuildLiteralFinder(registered.get(), options);
}

// Feeds the input whole, then byte by byte, then in random chunks, and
// checks each result. Tags run from 0 to tagCount - 1.
void Check(const std::vector<NaivePattern>& patterns, const std::vector<uint8_t>& input, size_t tagCount,
           std::mt19937& random, const FinderOptions& options = {}) {
  const LiteralFinderPtr finder = Build(patterns, options);
  ASSERT_TRUE(finder);
  if (options.filter != FilterKind::BySet) {
    ASSERT_EQ(ChosenFilter(finder.get()), options.filter);
  }
  const std::vector<uint8_t> expected = Expected(patterns, input, tagCount);
  const RestorePath restore;
  for (const FinderPath path : AllPaths) {
    if (!ForceFinderPath(path)) continue;  // not on this machine
    for (int split = 0; split < 3; ++split) {
      std::vector<uint8_t> hits(tagCount);
      BeginFinderScan(finder.get());
      for (size_t at = 0; at < input.size();) {
        const size_t chunk = split == 0 ? input.size() : split == 1 ? 1 : 1 + random() % 97;
        const size_t length = std::min(chunk, input.size() - at);
        // A private copy ends exactly at the chunk's end, so reads past it
        // fault under the sanitizers.
        const std::vector<uint8_t> piece(input.begin() + static_cast<ptrdiff_t>(at),
                                         input.begin() + static_cast<ptrdiff_t>(at + length));
        FeedFinder(finder.get(), piece.data(), piece.size(), hits.data(), hits.size());
        at += length;
      }
      ASSERT_EQ(hits, expected) << "split " << split << ", path " << FinderPathName(path) << ", filter "
                                << FilterKindName(ChosenFilter(finder.get()));
    }
  }
}

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t length, std::string_view alphabet) {
  std::vector<uint8_t> bytes(length);
  for (auto& b : bytes) b = static_cast<uint8_t>(alphabet[random() % alphabet.size()]);
  return bytes;
}

TEST(LiteralFinder, MarksWhatTheNaiveSearchFindsInRandomSets) {
  std::mt19937 random(7);
  constexpr std::string_view alphabets[] = {std::string_view("aAbB\0", 5), "xyXY", "\x80\xff" "aA"};
  for (int round = 0; round < 400; ++round) {
    const std::string_view alphabet = alphabets[round % 3];
    const size_t tagCount = 1 + random() % 40;
    std::vector<NaivePattern> patterns;
    // Every 40th set is large enough for the automaton without complete rows.
    const size_t count = round % 40 == 0 ? 1200 : 1 + random() % 60;
    for (size_t i = 0; i < count; ++i) {
      const size_t length = round % 40 == 0 ? 8 + random() % 30 : 1 + random() % (random() % 5 == 0 ? 40 : 6);
      NaivePattern p{RandomBytes(random, length, alphabet), random() % 3 == 0, static_cast<int32_t>(random() % tagCount)};
      patterns.push_back(p);
      if (random() % 4 == 0) patterns.push_back(p);  // duplicates share an entry
    }
    Check(patterns, RandomBytes(random, random() % 600, alphabet), tagCount, random);
  }
}

// Sets whose patterns all have at most 64 bytes go through a filter first,
// each filter forced in turn: inputs longer than its 4 KiB window with
// planted occurrences (some across window borders), short patterns in some
// sets, and sets over two letters, whose anchors all collide, so the
// verification budget runs out and the automata take over mid-stream.
TEST(LiteralFinder, EachFilterMarksWhatTheNaiveSearchFinds) {
  std::mt19937 random(13);
  constexpr std::string_view alphabets[] = {"ab", "abcdefgh\0\xff", "aAbBxyzZ01 \n"};
  for (int round = 0; round < 24; ++round) {
    const std::string_view alphabet = alphabets[round % 3];
    const size_t tagCount = 1 + random() % 60;
    const size_t count = round % 4 == 0 ? 2000 : 1 + random() % 300;
    const size_t shortest = round % 2 == 0 ? 1 : 4;
    std::vector<NaivePattern> patterns;
    for (size_t i = 0; i < count; ++i) {
      const size_t length = shortest + random() % (random() % 3 == 0 ? 65 - shortest : 12);
      NaivePattern p{RandomBytes(random, length, alphabet), random() % 3 == 0, static_cast<int32_t>(random() % tagCount)};
      patterns.push_back(p);
      if (random() % 5 == 0) patterns.push_back(p);
    }
    std::vector<uint8_t> input = RandomBytes(random, 1000 + random() % 9000, alphabet);
    for (int k = 0; k < 20; ++k) {
      const NaivePattern& p = patterns[random() % patterns.size()];
      const size_t at = random() % (input.size() - p.bytes.size());
      std::copy(p.bytes.begin(), p.bytes.end(), input.begin() + static_cast<ptrdiff_t>(at));
    }
    for (const FilterKind filter : {FilterKind::Hashed, FilterKind::Nibble}) {
      Check(patterns, input, tagCount, random, {.filter = filter});
    }
  }
}

// The automata by themselves (no filter), with complete narrow rows for
// every state and with wide rows for the shallow states only: random sets,
// and folded sets of a few thousand states scanned with lower-case input,
// which reach the states without a row (chains, and fans of up to 12
// children past the rows' depth) and their failure walks; prefixes of
// patterns are planted too, so that scans stop deep.
TEST(LiteralFinder, TheAutomataAloneMarkWhatTheNaiveSearchFinds) {
  std::mt19937 random(17);
  for (int round = 0; round < 40; ++round) {
    const bool large = round % 10 == 0 || round % 10 == 5;
    const std::string_view alphabet = round % 10 == 0   ? "ABCDE"
                                      : round % 10 == 5 ? "ABCDEFGHIJKL"
                                      : round % 4 < 2   ? std::string_view("aAbB\0", 5)
                                                        : "xyXY";
    const size_t tagCount = 1 + random() % 40;
    std::vector<NaivePattern> patterns;
    const size_t count = large ? 400 : 1 + random() % 60;
    for (size_t i = 0; i < count; ++i) {
      const size_t length = large ? 6 + random() % 12 : 1 + random() % (random() % 5 == 0 ? 90 : 6);
      patterns.push_back({RandomBytes(random, length, alphabet), !large && random() % 3 == 0,
                          static_cast<int32_t>(random() % tagCount)});
    }
    for (size_t fan = 0; large && fan < 30; ++fan) {
      const std::vector<uint8_t> stem = patterns[random() % count].bytes;
      for (const char k : alphabet) {
        std::vector<uint8_t> bytes = stem;
        bytes.push_back(static_cast<uint8_t>(k));
        const std::vector<uint8_t> tail = RandomBytes(random, random() % 4, alphabet);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        patterns.push_back({bytes, false, static_cast<int32_t>(random() % tagCount)});
      }
    }
    // Every other input is mostly bytes no pattern starts with, so the skip
    // runs far, with occurrences planted (lower-cased for the large set).
    const bool sparse = round % 2 == 1;
    std::vector<uint8_t> input = RandomBytes(random, 200 + random() % 3000, sparse ? "-=+.,;" : large ? std::string_view("abcdefghijkl", alphabet.size()) : alphabet);
    for (int k = 0; (large || sparse) && k < 60; ++k) {
      const NaivePattern& p = patterns[random() % patterns.size()];
      if (p.bytes.size() >= input.size()) continue;
      const size_t at = random() % (input.size() - p.bytes.size());
      const size_t planted = k % 2 == 0 ? p.bytes.size() : 1 + random() % p.bytes.size();
      for (size_t j = 0; j < planted; ++j) input[at + j] = static_cast<uint8_t>(large ? p.bytes[j] | 0x20 : p.bytes[j]);
    }
    for (const bool wideRows : {false, true}) {
      Check(patterns, input, tagCount, random, {.filter = FilterKind::None, .wideRows = wideRows});
    }
  }
}

// The budget runs out at the first byte of a carried window, while a
// pattern straddles the carried bytes and the new chunk: the automata
// restart there and must still find it. The window carries the longest
// pattern's length - 1 bytes (19 here); the first chunk is exactly that long
// and begins with "wxyz", a pattern whose verification spends the whole
// budget (slack 1, nothing per byte), so re-checking it as the second
// window's first position outruns the budget. The long pattern's anchor is
// its rare tail, which only the second chunk holds; every split point inside
// its zeros is tried.
TEST(LiteralFinder, TheBudgetRunningOutAtACarriedWindowLosesNoStraddlingPattern) {
  const std::vector<uint8_t> decoy = {'w', 'x', 'y', 'z'};
  std::vector<uint8_t> straddler(16, 0);
  straddler.insert(straddler.end(), {'%', '&', '\'', '('});
  const std::vector<NaivePattern> patterns = {{decoy, false, 0}, {straddler, false, 1}};
  const RestorePath restore;
  for (size_t split = 1; split < 16; ++split) {
    std::vector<uint8_t> first = decoy;
    first.resize(4 + 15 - split, '.');
    first.insert(first.end(), straddler.begin(), straddler.begin() + static_cast<ptrdiff_t>(split));
    ASSERT_EQ(first.size(), straddler.size() - 1);
    std::vector<uint8_t> second(straddler.begin() + static_cast<ptrdiff_t>(split), straddler.end());
    second.resize(second.size() + 50, '.');
    for (const FilterKind filter : {FilterKind::Hashed, FilterKind::Nibble}) {
      const LiteralFinderPtr finder = Build(patterns, {.filter = filter, .filterWorkPerByte = 0, .filterWorkSlack = 1});
      ASSERT_TRUE(finder);
      for (const FinderPath path : AllPaths) {
        if (!ForceFinderPath(path)) continue;
        uint8_t hits[2] = {};
        BeginFinderScan(finder.get());
        FeedFinder(finder.get(), first.data(), first.size(), hits, 2);
        EXPECT_EQ(hits[0], 1);
        EXPECT_EQ(hits[1], 0);
        FeedFinder(finder.get(), second.data(), second.size(), hits, 2);
        EXPECT_EQ(hits[1], 1) << "split " << split << ", path " << FinderPathName(path) << ", filter "
                              << FilterKindName(filter);
      }
    }
  }
}

// VELTOR_SIMD chooses the path when the library is loaded: a child process
// started with it set runs on that path (each one this machine has), and a
// name it does not know leaves the best path.
TEST(LiteralFinder, VeltorSimdChoosesThePathOfANewProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child runs this body up to its statement: the probe must leave
  // the path as the process chose it.
  FinderPath best = FinderPath::Scalar;
  {
    const RestorePath restore;
    for (const FinderPath path : AllPaths) {
      if (ForceFinderPath(path)) best = path;
    }
  }
  for (const FinderPath path : AllPaths) {
    if (path > best) continue;
    SetEnvironment("VELTOR_SIMD", FinderPathName(path));
    EXPECT_EXIT(std::exit(ActiveFinderPath() == path ? 0 : 1), ::testing::ExitedWithCode(0), "") << FinderPathName(path);
  }
  SetEnvironment("VELTOR_SIMD", "fastest");
  EXPECT_EXIT(std::exit(ActiveFinderPath() == best ? 0 : 1), ::testing::ExitedWithCode(0), "");
  SetEnvironment("VELTOR_SIMD", "");
}

TEST(LiteralFinder, MarksWhatTheNaiveSearchFindsInHostileShapes) {
  std::mt19937 random(11);
  auto repeat = [](size_t n, uint8_t b) { return std::vector<uint8_t>(n, b); };
  auto with = [](std::vector<uint8_t> v, std::initializer_list<uint8_t> tail) {
    v.insert(v.end(), tail);
    return v;
  };
  struct Shape {
    std::vector<NaivePattern> patterns;
    std::vector<uint8_t> input;
  };
  std::vector<Shape> shapes;
  {  // long runs of zeros with distinct 2-byte tails, over zeros, then one tail
    Shape s;
    for (int t = 0; t < 9; ++t) s.patterns.push_back({with(repeat(300, 0), {1, static_cast<uint8_t>(t)}), false, t});
    s.input = with(repeat(5000, 0), {1, 4});
    shapes.push_back(s);
  }
  {  // A...AB over As, found only at the end; exact and folded
    Shape s;
    s.patterns.push_back({with(repeat(700, 'A'), {'B'}), false, 0});
    s.patterns.push_back({with(repeat(700, 'a'), {'B'}), true, 1});
    s.input = with(repeat(4000, 'a'), {'b'});
    shapes.push_back(s);
  }
  {  // many copies of one short pattern, and its prefixes
    Shape s;
    for (int t = 0; t < 300; ++t) s.patterns.push_back({{'A', 'A', 'A'}, t % 2 == 0, t % 7});
    s.patterns.push_back({{'a'}, true, 7});
    s.patterns.push_back({{'a', 'A'}, false, 8});
    s.input = repeat(3000, 'A');
    shapes.push_back(s);
  }
  {  // every 1- and 2-byte pattern over a few first bytes
    Shape s;
    for (int a = 0; a < 256; a += 17) {
      s.patterns.push_back({{static_cast<uint8_t>(a)}, a % 2 == 0, 0});
      for (int b = 0; b < 256; ++b) {
        s.patterns.push_back({{static_cast<uint8_t>(a), static_cast<uint8_t>(b)}, b % 3 == 0, 1 + (a + b) % 30});
      }
    }
    s.input = RandomBytes(random, 2000, "\x11\x22" "Aa\x01");
    shapes.push_back(s);
  }
  {  // a shared 8-byte prefix with many endings, over the prefix repeated
    Shape s;
    for (int t = 0; t < 2000; ++t) {
      std::vector<uint8_t> p = {'P', 'R', 'E', 'F', 'I', 'X', '0', '1'};
      p.push_back(static_cast<uint8_t>(t));
      p.push_back(static_cast<uint8_t>(t >> 8));
      s.patterns.push_back({p, t % 5 == 0, t % 40});
    }
    for (int k = 0; k < 500; ++k) s.input.insert(s.input.end(), {'p', 'r', 'e', 'f', 'i', 'x', '0', '1'});
    s.input.insert(s.input.end(), {'\x07', 0});
    shapes.push_back(s);
  }
  {  // short patterns occurring only in the stream's last bytes
    Shape s;
    s.patterns.push_back({{'z'}, false, 0});
    s.patterns.push_back({{'y', 'Z'}, true, 1});
    s.patterns.push_back({{'w', 'x', 'y'}, false, 2});
    s.patterns.push_back({{'a', 'b', 'c', 'd', 'e'}, false, 3});
    s.input = with(RandomBytes(random, 5000, "abcd"), {'w', 'x', 'y', 'Z'});
    shapes.push_back(s);
  }
  {  // nested suffixes: every suffix of a long word is a pattern
    Shape s;
    const std::vector<uint8_t> word = RandomBytes(random, 200, "ab");
    for (size_t k = 0; k < word.size(); ++k) {
      s.patterns.push_back({{word.begin() + static_cast<ptrdiff_t>(k), word.end()}, k % 4 == 0, static_cast<int32_t>(k % 50)});
    }
    for (int k = 0; k < 10; ++k) s.input.insert(s.input.end(), word.begin(), word.end());
    shapes.push_back(s);
  }
  for (const Shape& s : shapes) {
    size_t tags = 0;
    for (const NaivePattern& p : s.patterns) tags = std::max(tags, static_cast<size_t>(p.tag) + 1);
    Check(s.patterns, s.input, tags, random);
  }
}

TEST(LiteralFinder, EmptySetsAndBadArgumentsMarkNothing) {
  EXPECT_EQ(BuildLiteralFinder(nullptr), nullptr);
  PatternMatcherPtr registered = CreateMatcher();
  const LiteralFinderPtr finder = BuildLiteralFinder(registered.get());
  ASSERT_TRUE(finder);
  uint8_t hit = 0;
  const uint8_t byte = 'a';
  BeginFinderScan(finder.get());
  FeedFinder(finder.get(), &byte, 1, &hit, 1);
  FeedFinder(nullptr, &byte, 1, &hit, 1);
  FeedFinder(finder.get(), nullptr, 1, &hit, 1);
  EXPECT_EQ(hit, 0);
  EXPECT_GT(LiteralFinderMemory(finder.get()), 0u);
}

}  // namespace
}  // namespace veltor
