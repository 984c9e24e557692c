#include "compiler/rulelang/text_forms.h"

#include <algorithm>
#include <string_view>

#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"
#include "compiler/rulelang/lexer.h"
#include "compiler/rulelang/parser.h"

namespace veltor::rulelang {
namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& out, uint8_t byte) {
  out += HexDigits[byte >> 4];
  out += HexDigits[byte & 15];
}

bool IsPrintableText(uint8_t byte) noexcept {
  return (byte >= 0x20 && byte < 0x7F) || (byte >= 0xA0) || (byte >= 0x80 && DecodeWindows1252(byte));
}

}  // namespace

std::string QuoteBytes(std::span<const uint8_t> bytes) {
  std::string out = "\"";
  for (const uint8_t byte : bytes) {
    switch (byte) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (IsPrintableText(byte)) {
      AppendUtf8(out, *DecodeWindows1252(byte));
    } else {
      out += "\\x";
      AppendHexByte(out, byte);
    }
  }
  out += '"';
  return out;
}

std::string HexBlock(std::span<const uint8_t> bytes, size_t perLine, std::string_view indent) {
  if (bytes.empty()) return "{ }";
  std::string out = "{";
  const bool multiline = bytes.size() > perLine;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (multiline && i % perLine == 0) {
      out += '\n';
      out += indent;
      out += "  ";
    } else {
      out += ' ';
    }
    AppendHexByte(out, bytes[i]);
  }
  if (multiline) {
    out += '\n';
    out += indent;
    out += '}';
  } else {
    out += " }";
  }
  return out;
}

std::string ByteStringForm(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return "\"\"";
  const auto printable = std::count_if(bytes.begin(), bytes.end(), [](uint8_t byte) {
    return IsPrintableText(byte) || byte == '\n' || byte == '\r' || byte == '\t';
  });
  // Text with a few odd bytes reads best as a string with escapes.
  if (static_cast<size_t>(printable) * 4 >= bytes.size() * 3) return QuoteBytes(bytes);
  return HexBlock(bytes);
}

std::string NameForm(std::span<const uint8_t> name) {
  const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
  const bool ascii = std::all_of(name.begin(), name.end(), [](uint8_t byte) { return byte < 0x80; });
  if (ascii && IsIdentifierSpelling(text) && !IsKeyword(text)) return std::string(text);
  return QuoteBytes(name);
}

}  // namespace veltor::rulelang
