#include "tools/veltor/scan_text.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "platform/windows1252.h"
#include "tools/rulelang/windows1252.h"

namespace veltor::cli {
namespace {

// The length of the well-formed UTF-8 character at `offset` (its code point
// in `codePoint`), or 0 when the bytes there are not well-formed UTF-8.
size_t DecodeUtf8(std::string_view text, size_t offset, char32_t& codePoint) {
  size_t next = offset;
  const std::optional<char32_t> decoded = rulelang::ReadUtf8(text, next);
  if (!decoded) return 0;
  codePoint = *decoded;
  return next - offset;
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
  for (const char c : name) rulelang::AppendUtf8(out, Windows1252ToUnicode(static_cast<uint8_t>(c)));
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

std::string DisplayPath(std::string_view path) {
#ifdef _WIN32
  return DisplayText(path);
#else
  std::string out;
  size_t start = 0;
  for (size_t backslash = path.find('\\'); backslash != std::string_view::npos;
       backslash = path.find('\\', start)) {
    out += DisplayText(path.substr(start, backslash - start));
    out += "\\\\";
    start = backslash + 1;
  }
  return out + DisplayText(path.substr(start));
#endif
}

bool IsUtf8(std::string_view text) {
  for (size_t offset = 0; offset < text.size();) {
    char32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, offset, codePoint);
    if (length == 0) return false;
    offset += length;
  }
  return true;
}

std::string HexBytes(std::string_view bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    out += Digits[byte >> 4];
    out += Digits[byte & 15];
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
