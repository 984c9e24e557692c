#pragma once
// Source spellings of stored bytes: quoted Windows-1252 text with escapes,
// hex blocks, and names.
#include <cstdint>
#include <span>
#include <string>

namespace veltor::rulelang {

// "text" with C escapes; bytes without a printable Windows-1252 character
// become \xNN. Reads back to the same bytes.
std::string QuoteBytes(std::span<const uint8_t> bytes);

// { 4D 5A 90 00 }; more than `perLine` bytes are broken into lines indented
// by `indent`.
std::string HexBlock(std::span<const uint8_t> bytes, size_t perLine = 32, std::string_view indent = "  ");

// A text string when the bytes are mostly printable text, else a hex block.
std::string ByteStringForm(std::span<const uint8_t> bytes);

// A rule name as written: bare when it is a plain ASCII identifier that is
// not a keyword, quoted otherwise.
std::string NameForm(std::span<const uint8_t> name);

}  // namespace veltor::rulelang
