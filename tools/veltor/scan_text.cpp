#include "tools/veltor/scan_text.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace veltor::cli {
namespace {

// Code points of the bytes 0x80 to 0x9F; the rest of the code page is Latin-1.
constexpr std::array<char16_t, 32> HighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

// Decodes one UTF-8 character at `offset` and returns its length, or 0 when
// the bytes there are not well-formed UTF-8 (overlong forms, surrogates and
// values past U+10FFFF included).
size_t DecodeUtf8(std::string_view text, size_t offset, char32_t& codePoint) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[offset + i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
  } else {
    return 0;
  }
  if (offset + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (byte(i) & 0x3Fu);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

bool IsControl(char32_t codePoint) { return codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0); }

void AppendHexEscape(std::string& out, const char* format, unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

}  // namespace

std::string Utf8FromWindows1252(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte >= 0x80 && byte < 0xA0) {
      AppendUtf8(out, HighControls[byte - 0x80u]);
    } else {
      AppendUtf8(out, byte);
    }
  }
  return out;
}

std::string DisplayText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t offset = 0; offset < text.size();) {
    char32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, offset, codePoint);
    if (length == 0) {
      AppendHexEscape(out, "\\x%02X", static_cast<uint8_t>(text[offset]));
      ++offset;
    } else if (IsControl(codePoint)) {
      AppendHexEscape(out, "\\x%02X", static_cast<unsigned>(codePoint));
      offset += length;
    } else {
      out.append(text.substr(offset, length));
      offset += length;
    }
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t offset = 0; offset < text.size();) {
    char32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, offset, codePoint);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++offset;
      continue;
    }
    switch (codePoint) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (IsControl(codePoint)) {
          AppendHexEscape(out, "\\u%04x", static_cast<unsigned>(codePoint));
        } else {
          out.append(text.substr(offset, length));
        }
    }
    offset += length;
  }
  out += '"';
  return out;
}

}  // namespace veltor::cli
