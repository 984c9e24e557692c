#include "engine/text/utf8.h"

#include <cstdint>

namespace veltor {

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

bool IsUtf8(std::string_view text) noexcept {
  for (size_t offset = 0; offset < text.size();) {
    if (!ReadUtf8(text, offset)) return false;
  }
  return true;
}

}  // namespace veltor
