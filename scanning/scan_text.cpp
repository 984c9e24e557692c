#include "scanning/scan_text.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "engine/text/utf8.h"

namespace veltor::scanning {
namespace {

bool IsControl(char32_t codePoint) { return codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0); }

void AppendHexEscape(std::string& out, const char* format, unsigned value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

}  // namespace

std::string DisplayText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t offset = 0; offset < text.size();) {
    const size_t start = offset;
    const std::optional<char32_t> codePoint = ReadUtf8(text, offset);
    if (!codePoint) {
      AppendHexEscape(out, "\\x%02X", static_cast<uint8_t>(text[start]));
    } else if (IsControl(*codePoint)) {
      AppendHexEscape(out, "\\x%02X", static_cast<unsigned>(*codePoint));
    } else {
      out.append(text.substr(start, offset - start));
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
    const size_t start = offset;
    const std::optional<char32_t> codePoint = ReadUtf8(text, offset);
    if (!codePoint) {
      out += "\xEF\xBF\xBD";
      continue;
    }
    switch (*codePoint) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (IsControl(*codePoint)) {
          AppendHexEscape(out, "\\u%04x", static_cast<unsigned>(*codePoint));
        } else {
          out.append(text.substr(start, offset - start));
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace veltor::scanning
