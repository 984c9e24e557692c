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
#include "engine/matcher/literal_finder_tables.h"
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
    size_t longest = 0;
    for (const NaivePattern& p : patterns) longest = std::max(longest, p.bytes.size());
    // A set with a pattern past the filter's cap keeps the automata.
    ASSERT_EQ(ChosenFilter(finder.get()), longest > FilterMaxLength ? FilterKind::None : options.filter);
  }
  if (options.classRows != ClassRowChoice::BySet) {
    ASSERT_TRUE(FinderHasClassRows(finder.get()));
  }
  const std::vector<uint8_t> expected = Expected(patterns, input, tagCount);
  const RestorePath restore;
  for (const FinderPath path : AllPaths) {
    if (!ForceFinderPath(path)) continue;  // not on this machine
    for (int split = 0; split < 3; ++split) {
      std::vector<uint8_t> hits(tagCount);
      BeginFinderScan(finder.get());
      for (size_t at = 0; at < input.size();) {
        // Random chunks are mostly short, sometimes long enough for lanes.
        const size_t chunk = split == 0   ? input.size()
                             : split == 1 ? 1
                                          : 1 + random() % (random() % 4 == 0 ? 4000 : 97);
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

// Each filter forced in turn, over inputs longer than its window (the
// longest pattern - 1 kept bytes and a piece of at least 4 KiB) with planted
// occurrences (some across window and chunk borders), short patterns in
// some sets, patterns longer than 64 bytes in every third set (up to the
// filter's cap in one, one byte past it in another, which keeps the
// automata), and sets over two letters, whose anchors all collide, so the
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
    std::vector<size_t> longer;
    if (round % 3 == 1) {
      for (size_t k = 0; k < 1 + random() % 4; ++k) longer.push_back(65 + random() % 1500);
    }
    if (round == 7 || round == 10) longer.push_back(round == 7 ? FilterMaxLength : FilterMaxLength + 1);
    size_t longest = 64;
    for (const size_t length : longer) {
      patterns.push_back({RandomBytes(random, length, alphabet), random() % 3 == 0, static_cast<int32_t>(random() % tagCount)});
      longest = std::max(longest, length);
    }
    std::vector<uint8_t> input = RandomBytes(random, std::max<size_t>(1000 + random() % 9000, 6 * longest), alphabet);
    for (int k = 0; k < 20 + 2 * static_cast<int>(longer.size()); ++k) {
      // The long patterns (last on the list) are each planted twice.
      const NaivePattern& p = k < 20 ? patterns[random() % patterns.size()] : patterns[patterns.size() - 1 - (k - 20) / 2];
      if (round == 10 && k >= 20 && p.bytes.size() > FilterMaxLength && k % 2 == 1) continue;  // one is enough
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

// Class rows by themselves (no filter), each scan forced: one position at a
// time with the skip, lanes, and the adaptive choice between them. Sets of
// a few letters in both cases (or of every byte value) (folded and exact-case patterns, some long,
// so that states go deep), over inputs of long stretches of those letters
// (dense: lanes pay) between stretches of bytes no pattern holds (sparse:
// the skip pays), so that the adaptive scan moves both ways; patterns are
// planted anywhere, across stretch borders too.
TEST(LiteralFinder, ClassRowsMarkWhatTheNaiveSearchFinds) {
  std::mt19937 random(19);
  constexpr ClassRowChoice choices[] = {ClassRowChoice::Single, ClassRowChoice::Lanes, ClassRowChoice::Adaptive};
  for (int round = 0; round < 12; ++round) {
    static const std::string everyByte = [] {
      std::string bytes(256, '\0');
      for (size_t b = 0; b < 256; ++b) bytes[b] = static_cast<char>(b);
      return bytes;
    }();
    // Every fourth set uses every byte value: no byte is left for an "other" class.
    const std::string_view alphabet = round % 4 == 3 ? std::string_view(everyByte)
                                      : round % 2 == 0 ? "acgtACGT"
                                                       : std::string_view("xyzXYZ\0", 7);
    const size_t tagCount = 1 + random() % 50;
    std::vector<NaivePattern> patterns;
    const size_t count = 20 + random() % 400;
    for (size_t i = 0; i < count; ++i) {
      const size_t length = 1 + random() % (random() % 8 == 0 ? 60 : 12);
      patterns.push_back({RandomBytes(random, length, alphabet), random() % 2 == 0, static_cast<int32_t>(random() % tagCount)});
    }
    std::vector<uint8_t> input;
    for (const size_t size = 6000 + random() % 40000; input.size() < size;) {
      const std::vector<uint8_t> stretch = RandomBytes(random, 1 + random() % 9000, random() % 2 == 0 ? alphabet : "-.,;");
      input.insert(input.end(), stretch.begin(), stretch.end());
    }
    for (int k = 0; k < 40; ++k) {
      const NaivePattern& p = patterns[random() % patterns.size()];
      const size_t at = random() % (input.size() - p.bytes.size());
      std::copy(p.bytes.begin(), p.bytes.end(), input.begin() + static_cast<ptrdiff_t>(at));
    }
    Check(patterns, input, tagCount, random, {.filter = FilterKind::None, .classRows = choices[round % 3]});
  }
}

// Lanes start from the root `longest` bytes before their stretch and hand
// the stream's state on: one occurrence of a long pattern (folded, and one
// exact-case), slid over every position of a dense input fed whole and in
// two chunks, is marked wherever it ends, lane borders included.
TEST(LiteralFinder, ClassRowLanesMissNoOccurrenceWhereverItEnds) {
  std::mt19937 random(23);
  const std::vector<uint8_t> folded = RandomBytes(random, 40, "ab");
  const std::vector<uint8_t> exact = RandomBytes(random, 25, "ab");
  std::vector<NaivePattern> patterns = {{folded, false, 0}, {exact, true, 1}};
  for (int k = 0; k < 20; ++k) patterns.push_back({RandomBytes(random, 2 + random() % 6, "ab"), random() % 2 == 0, 2});
  const std::vector<uint8_t> background = RandomBytes(random, 600, "abAB");
  for (const ClassRowChoice choice : {ClassRowChoice::Lanes, ClassRowChoice::Adaptive}) {
    const LiteralFinderPtr finder = Build(patterns, {.filter = FilterKind::None, .classRows = choice});
    ASSERT_TRUE(finder);
    for (const std::vector<uint8_t>* planted : {&folded, &exact}) {
      for (size_t at = 0; at + planted->size() <= background.size(); ++at) {
        std::vector<uint8_t> input = background;
        std::copy(planted->begin(), planted->end(), input.begin() + static_cast<ptrdiff_t>(at));
        const std::vector<uint8_t> expected = Expected(patterns, input, 3);
        for (const size_t split : {input.size(), input.size() * 2 / 3}) {
          std::vector<uint8_t> hits(3);
          BeginFinderScan(finder.get());
          FeedFinder(finder.get(), input.data(), split, hits.data(), hits.size());
          FeedFinder(finder.get(), input.data() + split, input.size() - split, hits.data(), hits.size());
          ASSERT_EQ(hits, expected) << "at " << at << ", split " << split << ", length " << planted->size();
        }
      }
    }
  }
}

// The budget runs out at the first byte of a carried window, while a
// pattern straddles the carried bytes and the new chunk: the automata
// restart there and must still find it. The window carries the longest
// pattern's length - 1 bytes; the first chunk is exactly that long and
// begins with "wxyz". The straddler's anchor is its rare head, so every
// carried position is checked again with the next chunk; the budget (slack
// 4, nothing per byte) covers the first chunk's work (the decoy found, the
// straddler's anchor looked at), and the decoy, first among the re-checked
// positions, outruns it before the straddler is verified. Straddlers of 20 bytes, of more than 64, and at the cap; split
// points across their zeros.
TEST(LiteralFinder, TheBudgetRunningOutAtACarriedWindowLosesNoStraddlingPattern) {
  const std::vector<uint8_t> decoy = {'w', 'x', 'y', 'z'};
  const RestorePath restore;
  for (const size_t length : {size_t{20}, size_t{300}, static_cast<size_t>(FilterMaxLength)}) {
    std::vector<uint8_t> straddler = {'%', '&', '\'', '('};
    straddler.resize(length, 0);
    const std::vector<NaivePattern> patterns = {{decoy, false, 0}, {straddler, false, 1}};
    std::vector<size_t> splits;
    for (size_t split = 4; split + 5 <= length; split += length == 20 ? 1 : length / 3) splits.push_back(split);
    splits.push_back(length - 5);
    for (const size_t split : splits) {
      std::vector<uint8_t> first = decoy;
      first.resize(length - 1 - split, '.');
      first.insert(first.end(), straddler.begin(), straddler.begin() + static_cast<ptrdiff_t>(split));
      std::vector<uint8_t> second(straddler.begin() + static_cast<ptrdiff_t>(split), straddler.end());
      second.resize(second.size() + 50, '.');
      // Each filter, handing over to the automata as the set has them and to class rows in lanes.
      for (int variant = 0; variant < 4; ++variant) {
        const FilterKind filter = variant % 2 == 0 ? FilterKind::Hashed : FilterKind::Nibble;
        const ClassRowChoice rows = variant < 2 ? ClassRowChoice::BySet : ClassRowChoice::Lanes;
        const LiteralFinderPtr finder =
            Build(patterns, {.filter = filter, .classRows = rows, .filterWorkPerByte = 0, .filterWorkSlack = 4});
        ASSERT_TRUE(finder);
        for (const FinderPath path : AllPaths) {
          if (!ForceFinderPath(path)) continue;
          uint8_t hits[2] = {};
          BeginFinderScan(finder.get());
          FeedFinder(finder.get(), first.data(), first.size(), hits, 2);
          EXPECT_EQ(hits[0], 1);
          EXPECT_EQ(hits[1], 0);
          FeedFinder(finder.get(), second.data(), second.size(), hits, 2);
          EXPECT_EQ(hits[1], 1) << "length " << length << ", split " << split << ", path " << FinderPathName(path)
                                << ", filter " << FilterKindName(filter) << ", variant " << variant;
        }
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
