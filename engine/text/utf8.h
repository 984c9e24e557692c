#pragma once
// UTF-8, the form the tools read rule source in and write names, paths and
// JSON in. Well-formed means the shortest form of a code point up to
// U+10FFFF that is not a surrogate. AppendUtf8 grows a std::string and is
// for the programs only: no export reaches it (the ExceptionFree test
// checks the library's imports).
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltor {

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t codePoint);

// Reads one UTF-8 character at `offset`, advancing it past the character.
// Malformed input yields nothing and advances by one byte.
std::optional<char32_t> ReadUtf8(std::string_view text, size_t& offset) noexcept;

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view text) noexcept;

}  // namespace veltor
