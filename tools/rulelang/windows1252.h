#pragma once
// Windows-1252, the code page names and text patterns are stored in. Our own
// table rather than the platform's converter: the compiler must give the same
// bytes on every system, and it must refuse a character the code page lacks
// instead of replacing it with '?'.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltor::rulelang {

// The byte for a Unicode code point, or nothing when Windows-1252 has no such
// character. The five bytes the code page leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) are never produced: they are written as \xNN escapes.
std::optional<uint8_t> EncodeWindows1252(char32_t codePoint) noexcept;

// The code point of a byte, or nothing for the five undefined bytes.
std::optional<char32_t> DecodeWindows1252(uint8_t byte) noexcept;

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);

// Reads one UTF-8 character at `offset`, advancing it. Malformed input
// yields nothing and advances by one byte.
std::optional<char32_t> ReadUtf8(std::string_view text, size_t& offset) noexcept;

}  // namespace veltor::rulelang
