#include "tools/rulelang/windows1252.h"

#include <array>

namespace veltor::rulelang {
namespace {

// Code points of bytes 0x80..0x9F; 0 marks an undefined byte. Every other
// byte stands for the code point of the same value.
constexpr std::array<char16_t, 32> HighControlRange = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::optional<uint8_t> EncodeWindows1252(char32_t codePoint) noexcept {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) return static_cast<uint8_t>(codePoint);
  for (size_t i = 0; i < HighControlRange.size(); ++i) {
    if (HighControlRange[i] != 0 && HighControlRange[i] == codePoint) return static_cast<uint8_t>(0x80 + i);
  }
  return std::nullopt;
}

std::optional<char32_t> DecodeWindows1252(uint8_t byte) noexcept {
  if (byte < 0x80 || byte >= 0xA0) return static_cast<char32_t>(byte);
  const char16_t codePoint = HighControlRange[byte - 0x80u];
  if (codePoint == 0) return std::nullopt;
  return static_cast<char32_t>(codePoint);
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  auto put = [&out](uint32_t value) { out.push_back(static_cast<char>(static_cast<uint8_t>(value))); };
  const auto c = static_cast<uint32_t>(codePoint);
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | c >> 6);
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | c >> 12);
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  } else {
    put(0xF0 | c >> 18);
    put(0x80 | (c >> 12 & 0x3F));
    put(0x80 | (c >> 6 & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

std::optional<char32_t> ReadUtf8(std::string_view text, size_t& offset) noexcept {
  const auto lead = static_cast<uint8_t>(text[offset]);
  size_t extra = 0;
  uint32_t value = 0;
  uint32_t minimum = 0;
  if (lead < 0x80) {
    ++offset;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07u, minimum = 0x10000;
  } else {
    ++offset;
    return std::nullopt;
  }
  for (size_t i = 1; i <= extra; ++i) {
    if (offset + i >= text.size() || (static_cast<uint8_t>(text[offset + i]) & 0xC0) != 0x80) {
      ++offset;
      return std::nullopt;
    }
    value = value << 6 | (static_cast<uint8_t>(text[offset + i]) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++offset;
    return std::nullopt;
  }
  offset += extra + 1;
  return static_cast<char32_t>(value);
}

}  // namespace veltor::rulelang
