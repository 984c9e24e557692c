// The UTF-8 codec against its definition: every code point round-trips, and
// each way a byte sequence can fail to be UTF-8 reads as one bad byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"

namespace veltor {
namespace {

TEST(Utf8, EveryScalarValueRoundTripsInItsShortestForm) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string bytes;
    AppendUtf8(bytes, c);
    const auto value = static_cast<uint32_t>(c);
    ASSERT_EQ(bytes.size(), c < 0x80 ? 1u : c < 0x800 ? 2u : c < 0x10000 ? 3u : 4u) << std::hex << value;
    size_t offset = 0;
    ASSERT_EQ(ReadUtf8(bytes, offset), c) << std::hex << value;
    ASSERT_EQ(offset, bytes.size());
  }
}

TEST(Utf8, MalformedSequencesReadAsOneBadByte) {
  const char* const cases[] = {
      "\x80",              // a continuation byte alone
      "\xC0\xAF",          // overlong '/'
      "\xE0\x80\xAF",      // overlong, three bytes
      "\xED\xA0\x80",      // a surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF8\x88\x80\x80",  // no such lead byte
      "\xE2\x82",          // cut short
      "\xC3\x28",          // continuation missing
  };
  ASSERT_TRUE(IsUtf8("ok \xE2\x82\xAC"));
  for (const std::string text : cases) {
    size_t offset = 0;
    EXPECT_FALSE(ReadUtf8(text, offset)) << text;
    EXPECT_EQ(offset, 1u) << text;
    EXPECT_FALSE(IsUtf8("ok " + text)) << text;
  }
}

TEST(Utf8, EveryWindows1252ByteHasAUtf8Form) {
  std::string all;
  for (unsigned b = 1; b < 256; ++b) all += static_cast<char>(b);
  const std::string utf8 = Utf8FromWindows1252(all);
  ASSERT_TRUE(IsUtf8(utf8));
  size_t offset = 0;
  for (unsigned b = 1; b < 256; ++b) {
    EXPECT_EQ(ReadUtf8(utf8, offset), Windows1252ToUnicode(static_cast<uint8_t>(b))) << b;
  }
  EXPECT_EQ(offset, utf8.size());
}

}  // namespace
}  // namespace veltor
