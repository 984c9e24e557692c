#pragma once
// Windows-1252: the ANSI code page outside Windows, and the code page the
// database stores rule names and text patterns in. One byte per character.
// A table, not a system service: the tools use it on every system, so that
// the bytes they write do not depend on where they run.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltor {

// The characters of bytes 0x80-0x9F; every other byte stands for the code
// point of the same value. The five bytes the code page leaves undefined
// (0x81 0x8D 0x8F 0x90 0x9D) map to the C1 controls of the same value, as
// Windows converts them, so that every byte survives a round trip.
inline constexpr std::array<char16_t, 32> Windows1252HighRange = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

inline constexpr bool IsUndefinedInWindows1252(uint8_t byte) noexcept {
  return byte == 0x81 || byte == 0x8D || byte == 0x8F || byte == 0x90 || byte == 0x9D;
}

// Every byte, as Windows converts it (the undefined five to their C1 controls).
inline constexpr char16_t Windows1252ToUnicode(uint8_t byte) noexcept {
  return byte >= 0x80 && byte < 0xA0 ? Windows1252HighRange[byte - 0x80u] : char16_t{byte};
}

// The byte of a code point, or nothing when the code page has no such
// character. The undefined five's C1 controls give their bytes back.
inline constexpr std::optional<uint8_t> UnicodeToWindows1252(char32_t codePoint) noexcept {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) return static_cast<uint8_t>(codePoint);
  for (uint32_t i = 0; i < Windows1252HighRange.size(); ++i) {
    if (Windows1252HighRange[i] == codePoint) return static_cast<uint8_t>(0x80 + i);
  }
  return std::nullopt;
}

// The code page's own characters only, for the rule language: the undefined
// five are never produced nor read as characters (the compiler and the
// decompiler write them as \xNN escapes).
inline constexpr std::optional<uint8_t> EncodeWindows1252(char32_t codePoint) noexcept {
  const std::optional<uint8_t> byte = UnicodeToWindows1252(codePoint);
  if (byte && IsUndefinedInWindows1252(*byte)) return std::nullopt;
  return byte;
}

inline constexpr std::optional<char32_t> DecodeWindows1252(uint8_t byte) noexcept {
  if (IsUndefinedInWindows1252(byte)) return std::nullopt;
  return Windows1252ToUnicode(byte);
}

// The UTF-8 form of Windows-1252 text (a rule name as stored), every byte
// converted as Windows1252ToUnicode does. For the programs only: it grows a
// std::string, and no export reaches it (the ExceptionFree test checks).
std::string Utf8FromWindows1252(std::string_view text);

}  // namespace veltor
