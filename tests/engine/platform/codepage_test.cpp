// The ANSI code page as the engine's callers see it: Windows-1252 in both
// builds (the Windows build runs with the default code page, 1252).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/platform/platform.h"

namespace veltor::platform {
namespace {

// Windows-1252's bytes 0x80-0x9F; every other byte is the code point of the
// same value. The five undefined bytes map to the C1 control of their value.
constexpr std::array<char16_t, 32> Expected80To9F = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t ExpectedUnit(unsigned byte) {
  return byte >= 0x80 && byte < 0xA0 ? Expected80To9F[byte - 0x80] : static_cast<char16_t>(byte);
}

std::string WideToAnsiString(const std::u16string& text) {
  std::string out(text.size() + 16, '\x7F');
  const int32_t written =
      WideToAnsi(text.data(), static_cast<int32_t>(text.size()), out.data(), static_cast<int32_t>(out.size()));
  EXPECT_EQ(written, static_cast<int32_t>(text.size()));
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

TEST(AnsiCodePage, EveryByteRoundTrips) {
  std::string bytes(256, '\0');
  for (unsigned b = 0; b < 256; ++b) bytes[b] = static_cast<char>(b);

  std::u16string wide(256, u'\0');
  ASSERT_EQ(AnsiToWide(bytes.data(), 256, wide.data(), 256), 256);
  for (unsigned b = 0; b < 256; ++b) {
    EXPECT_EQ(wide[b], ExpectedUnit(b)) << "byte 0x" << std::hex << b;
  }

  std::string back(256, '\x55');
  ASSERT_EQ(WideToAnsi(wide.data(), 256, back.data(), 256), 256);
  EXPECT_EQ(back, bytes);
}

TEST(AnsiCodePage, UndefinedBytesKeepTheirValue) {
  const std::string undefined = "\x81\x8D\x8F\x90\x9D";
  std::u16string wide(5, u'\0');
  ASSERT_EQ(AnsiToWide(undefined.data(), 5, wide.data(), 5), 5);
  EXPECT_EQ(wide, (std::u16string{0x81, 0x8D, 0x8F, 0x90, 0x9D}));
  EXPECT_EQ(WideToAnsiString(wide), undefined);
}

TEST(AnsiCodePage, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  struct Case {
    const char* what;
    std::u16string wide;
    std::string ansi;
  };
  const std::vector<Case> cases = {
      {"Latin letter with a plain look-alike", u"\u0100b\u0101", "?b?"},
      {"full-width reverse solidus", u"a\uFF3Cb", "a?b"},
      {"full-width solidus and full stop", u"\uFF0E\uFF0E\uFF0F", "???"},
      {"division slash", u"x\u2215y", "x?y"},
      {"CJK ideograph", u"\u4E2D", "?"},
      {"C1 control whose byte is the euro sign", u"\u0080", "?"},
      {"noncharacter", u"\uFFFF", "?"},
      {"surrogate pair, one per unit", u"\U0001F600!", "?" "?!"},
      {"lone high surrogate", std::u16string{0xD800, u'a'}, "?a"},
      {"lone low surrogate", std::u16string{u'a', 0xDC00}, "a?"},
      {"characters 1252 does have", u"\u20AC\u00E9\u0178\u2122", "\x80\xE9\x9F\x99"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WideToAnsiString(c.wide), c.ansi) << c.what;
  }
}

// Guard bytes after the destination show that nothing is written past it.
TEST(AnsiCodePage, TooSmallDestinationFailsWithoutOverrun) {
  constexpr char Guard = '\x5A';
  for (const int32_t sourceLength : {-1, 5}) {
    SCOPED_TRACE(sourceLength);
    const char* text = "abcde";  // 5 bytes, 6 with the terminator
    const int32_t needed = sourceLength == -1 ? 6 : 5;
    std::u16string wide(16, u'\x5A5A');
    EXPECT_EQ(AnsiToWide(text, sourceLength, wide.data(), needed - 1), 0);
    for (std::size_t i = static_cast<std::size_t>(needed - 1); i < wide.size(); ++i) EXPECT_EQ(wide[i], u'\x5A5A');
    EXPECT_EQ(AnsiToWide(text, sourceLength, wide.data(), needed), needed);

    const std::u16string source = u"abcde";
    std::string ansi(16, Guard);
    EXPECT_EQ(WideToAnsi(source.c_str(), sourceLength, ansi.data(), needed - 1), 0);
    for (std::size_t i = static_cast<std::size_t>(needed - 1); i < ansi.size(); ++i) EXPECT_EQ(ansi[i], Guard);
    EXPECT_EQ(WideToAnsi(source.c_str(), sourceLength, ansi.data(), needed), needed);
  }
}

TEST(AnsiCodePage, LengthMinusOneStopsAtTheTerminatorAndIncludesIt) {
  const char text[] = "ab\0cd";  // a NUL inside, and the literal's own at the end
  std::u16string wide(8, u'#');
  ASSERT_EQ(AnsiToWide(text, -1, wide.data(), 8), 3);
  EXPECT_EQ(wide.substr(0, 4), (std::u16string{u'a', u'b', 0, u'#'}));

  std::u16string explicitWide(8, u'#');
  ASSERT_EQ(AnsiToWide(text, 5, explicitWide.data(), 8), 5);
  EXPECT_EQ(explicitWide.substr(0, 6), (std::u16string{u'a', u'b', 0, u'c', u'd', u'#'}));

  const char16_t wideText[] = u"ab\0cd";
  std::string ansi(8, '#');
  ASSERT_EQ(WideToAnsi(wideText, -1, ansi.data(), 8), 3);
  EXPECT_EQ(ansi.substr(0, 4), std::string("ab\0#", 4));
  ASSERT_EQ(WideToAnsi(wideText, 5, ansi.data(), 8), 5);
  EXPECT_EQ(ansi.substr(0, 6), std::string("ab\0cd#", 6));
}

TEST(AnsiCodePage, ZeroCapacityReportsTheSizeNeeded) {
  EXPECT_EQ(AnsiToWide("hello", -1, nullptr, 0), 6);
  EXPECT_EQ(AnsiToWide("hello", 3, nullptr, 0), 3);
  EXPECT_EQ(WideToAnsi(u"h\u4E2Dllo", -1, nullptr, 0), 6);
}

TEST(AnsiCodePage, RefusesInvalidArguments) {
  char16_t wide[8] = {};
  char ansi[8] = {};
  EXPECT_EQ(AnsiToWide(nullptr, 3, wide, 8), 0);
  EXPECT_EQ(AnsiToWide("abc", 0, wide, 8), 0);
  EXPECT_EQ(AnsiToWide("abc", -2, wide, 8), 0);
  EXPECT_EQ(AnsiToWide("abc", 3, nullptr, 8), 0);
  EXPECT_EQ(AnsiToWide("abc", 3, wide, -1), 0);
  EXPECT_EQ(WideToAnsi(nullptr, 3, ansi, 8), 0);
  EXPECT_EQ(WideToAnsi(u"abc", 0, ansi, 8), 0);
  EXPECT_EQ(WideToAnsi(u"abc", -2, ansi, 8), 0);
  EXPECT_EQ(WideToAnsi(u"abc", 3, nullptr, 8), 0);
}

}  // namespace
}  // namespace veltor::platform
