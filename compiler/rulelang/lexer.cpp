#include "compiler/rulelang/lexer.h"

#include <charconv>
#include <cstdio>

#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"

namespace veltor::rulelang {
namespace {

bool IsAsciiLetter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) noexcept {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool IsNonAscii(char c) noexcept { return static_cast<uint8_t>(c) >= 0x80; }
bool IsIdentifierStart(char c) noexcept { return IsAsciiLetter(c) || c == '_' || IsNonAscii(c); }
bool IsIdentifierPart(char c) noexcept { return IsIdentifierStart(c) || IsDigit(c); }
unsigned HexValue(char c) noexcept {
  if (IsDigit(c)) return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  return static_cast<unsigned>(c - 'A' + 10);
}

std::string CodePointName(char32_t codePoint) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(codePoint));
  return buffer;
}

struct Lexer {
  std::string_view text;
  uint32_t fileIndex;
  Diagnostics& diagnostics;
  size_t offset = 0;
  uint32_t line = 1;
  uint32_t column = 1;
  std::vector<Token> tokens;

  bool AtEnd() const noexcept { return offset >= text.size(); }
  char Peek(size_t ahead = 0) const noexcept {
    return offset + ahead < text.size() ? text[offset + ahead] : '\0';
  }
  SourcePosition Here() const noexcept { return {fileIndex, line, column}; }

  // Moves over one byte, keeping line and column (in characters) current.
  void Advance() noexcept {
    const char c = text[offset++];
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) {
      ++column;
    }
  }
  void AdvanceBy(size_t count) noexcept {
    for (size_t i = 0; i < count && !AtEnd(); ++i) Advance();
  }

  void SkipLineComment() noexcept {
    while (!AtEnd() && Peek() != '\n') Advance();
  }

  // Whitespace and comments; true when anything was skipped.
  void SkipSpace() noexcept {
    while (!AtEnd()) {
      const char c = Peek();
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
        Advance();
      } else if (c == '#' || (c == '/' && Peek(1) == '/')) {
        SkipLineComment();
      } else {
        return;
      }
    }
  }

  void Run() {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") offset = 3;  // byte order mark
    for (;;) {
      SkipSpace();
      if (AtEnd()) break;
      const char c = Peek();
      if (IsIdentifierStart(c)) {
        LexIdentifier();
      } else if (IsDigit(c)) {
        LexNumber();
      } else if (c == '"') {
        LexString();
      } else if (c == '{') {
        LexHexBlock();
      } else {
        LexPunctuation();
      }
    }
    Token end;
    end.kind = TokenKind::End;
    end.position = Here();
    tokens.push_back(std::move(end));
  }

  void LexIdentifier() {
    Token token;
    token.kind = TokenKind::Identifier;
    token.position = Here();
    const size_t start = offset;
    while (!AtEnd()) {
      if (IsIdentifierPart(Peek())) {
        Advance();
      } else if (Peek() == '.' && IsIdentifierPart(Peek(1))) {
        Advance();
      } else {
        break;
      }
    }
    token.text = std::string(text.substr(start, offset - start));
    size_t check = 0;
    while (check < token.text.size()) {
      if (!ReadUtf8(token.text, check)) {
        diagnostics.Error(token.position, "identifier is not valid UTF-8");
        break;
      }
    }
    tokens.push_back(std::move(token));
  }

  void LexNumber() {
    Token token;
    token.position = Here();
    const size_t start = offset;
    if (Peek() == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) {
      AdvanceBy(2);
      const size_t digits = offset;
      while (!AtEnd() && IsHexDigit(Peek())) {
        const uint64_t digit = HexValue(Peek());
        if (token.integer > (UINT64_MAX - digit) / 16) token.integerTooLarge = true;
        token.integer = token.integer * 16 + digit;
        Advance();
      }
      token.kind = TokenKind::Integer;
      token.text = std::string(text.substr(start, offset - start));
      if (offset == digits) diagnostics.Error(token.position, "hexadecimal number without digits");
    } else {
      while (!AtEnd() && IsDigit(Peek())) Advance();
      bool isFloat = false;
      if (Peek() == '.' && IsDigit(Peek(1))) {
        isFloat = true;
        Advance();
        while (!AtEnd() && IsDigit(Peek())) Advance();
      }
      if ((Peek() == 'e' || Peek() == 'E') &&
          (IsDigit(Peek(1)) || ((Peek(1) == '+' || Peek(1) == '-') && IsDigit(Peek(2))))) {
        isFloat = true;
        AdvanceBy(2);
        while (!AtEnd() && IsDigit(Peek())) Advance();
      }
      const std::string_view spelling = text.substr(start, offset - start);
      token.text = std::string(spelling);
      if (Peek() == 'f' && !IsIdentifierPart(Peek(1))) {
        Advance();
        token.kind = TokenKind::Float32;
        const auto result = std::from_chars(spelling.data(), spelling.data() + spelling.size(), token.float32);
        if (result.ec != std::errc()) {
          diagnostics.Error(token.position, "number " + token.text + "f is out of the 32-bit float range");
        }
        token.text += 'f';
      } else if (isFloat) {
        token.kind = TokenKind::Float64;
        const auto result = std::from_chars(spelling.data(), spelling.data() + spelling.size(), token.float64);
        if (result.ec != std::errc()) {
          diagnostics.Error(token.position, "number " + token.text + " is out of the 64-bit float range");
        }
      } else {
        token.kind = TokenKind::Integer;
        for (const char digitChar : spelling) {
          const uint64_t digit = static_cast<uint64_t>(digitChar - '0');
          if (token.integer > (UINT64_MAX - digit) / 10) token.integerTooLarge = true;
          token.integer = token.integer * 10 + digit;
        }
      }
    }
    if (!AtEnd() && (IsIdentifierPart(Peek()) || Peek() == '.')) {
      diagnostics.Error(Here(), "unexpected character after number " + token.text);
      while (!AtEnd() && (IsIdentifierPart(Peek()) || Peek() == '.')) Advance();
    }
    tokens.push_back(std::move(token));
  }

  // One character or escape of a string; appends its stored bytes.
  void LexStringUnit(std::vector<uint8_t>& bytes) {
    const SourcePosition position = Here();
    if (Peek() != '\\') {
      const size_t before = offset;
      size_t after = offset;
      const std::optional<char32_t> codePoint = ReadUtf8(text, after);
      AdvanceBy(after - before);
      if (!codePoint) {
        diagnostics.Error(position, "string is not valid UTF-8");
        return;
      }
      const std::optional<uint8_t> byte = EncodeWindows1252(*codePoint);
      if (!byte) {
        diagnostics.Error(position, "character " + CodePointName(*codePoint) +
                                        " has no Windows-1252 form; write the bytes wanted as \\xNN escapes");
        return;
      }
      if (*codePoint < 0x20 || *codePoint == 0x7F) {
        diagnostics.Error(position, "control character in a string; write it as an escape such as \\x" +
                                        std::string(1, "0123456789ABCDEF"[*codePoint >> 4]) +
                                        "0123456789ABCDEF"[*codePoint & 15]);
        return;
      }
      bytes.push_back(*byte);
      return;
    }
    Advance();  // backslash
    if (AtEnd()) {
      diagnostics.Error(position, "unterminated escape");
      return;
    }
    const char c = Peek();
    Advance();
    switch (c) {
      case '\\': bytes.push_back('\\'); return;
      case '"': bytes.push_back('"'); return;
      case '\'': bytes.push_back('\''); return;
      case '0': bytes.push_back(0); return;
      case 'a': bytes.push_back(7); return;
      case 'b': bytes.push_back(8); return;
      case 't': bytes.push_back(9); return;
      case 'n': bytes.push_back(10); return;
      case 'v': bytes.push_back(11); return;
      case 'f': bytes.push_back(12); return;
      case 'r': bytes.push_back(13); return;
      case 'x':
        if (IsHexDigit(Peek()) && IsHexDigit(Peek(1))) {
          bytes.push_back(static_cast<uint8_t>(HexValue(Peek()) * 16 + HexValue(Peek(1))));
          AdvanceBy(2);
        } else {
          diagnostics.Error(position, "\\x needs two hexadecimal digits");
        }
        return;
      case 'u': {
        if (Peek() != '{') {
          diagnostics.Error(position, "\\u needs a code point in braces, as in \\u{20AC}");
          return;
        }
        Advance();
        uint32_t value = 0;
        size_t digits = 0;
        while (!AtEnd() && IsHexDigit(Peek()) && digits < 7) {
          value = value * 16 + HexValue(Peek());
          ++digits;
          Advance();
        }
        if (Peek() != '}' || digits == 0 || digits > 6) {
          diagnostics.Error(position, "\\u needs one to six hexadecimal digits in braces");
          while (!AtEnd() && Peek() != '}' && Peek() != '"' && Peek() != '\n') Advance();
          if (Peek() == '}') Advance();
          return;
        }
        Advance();
        const std::optional<uint8_t> byte = EncodeWindows1252(value);
        if (!byte) {
          diagnostics.Error(position, "character " + CodePointName(value) +
                                          " has no Windows-1252 form; write the bytes wanted as \\xNN escapes");
          return;
        }
        bytes.push_back(*byte);
        return;
      }
      default:
        diagnostics.Error(position, std::string("unknown escape \\") + c);
        return;
    }
  }

  void LexString() {
    Token token;
    token.kind = TokenKind::String;
    token.position = Here();
    Advance();  // opening quote
    for (;;) {
      if (AtEnd() || Peek() == '\n') {
        diagnostics.Error(token.position, "unterminated string");
        break;
      }
      if (Peek() == '"') {
        Advance();
        break;
      }
      LexStringUnit(token.bytes);
    }
    tokens.push_back(std::move(token));
  }

  // Reports a wildcard at `position` and passes over the rest of the block.
  void WildcardInHexBlock(SourcePosition position) {
    diagnostics.Error(position, "wildcards are not supported in hex strings (?, [n-m], (a|b), ~): every byte "
                                "is matched as written; split the pattern into signatures and combine them in a rule");
    while (!AtEnd() && Peek() != '}') Advance();
  }

  void LexHexBlock() {
    Token token;
    token.kind = TokenKind::HexBytes;
    token.position = Here();
    Advance();  // '{'
    for (;;) {
      SkipSpace();
      if (AtEnd()) {
        diagnostics.Error(token.position, "hex block is not closed with '}'");
        break;
      }
      if (Peek() == '}') {
        Advance();
        break;
      }
      // Wildcards, jumps and alternatives as other tools write them: one
      // error for the block, and the rest of it passed over.
      if (Peek() == '?' || Peek() == '[' || Peek() == '(' || Peek() == '|' || Peek() == '~') {
        WildcardInHexBlock(Here());
        continue;
      }
      if (IsHexDigit(Peek())) {
        const SourcePosition runStart = Here();
        size_t digits = 0;
        unsigned pending = 0;
        while (!AtEnd() && IsHexDigit(Peek())) {
          pending = pending * 16 + HexValue(Peek());
          if (++digits % 2 == 0) {
            token.bytes.push_back(static_cast<uint8_t>(pending));
            pending = 0;
          }
          Advance();
        }
        if (digits % 2 != 0 && Peek() == '?') {
          WildcardInHexBlock(runStart);  // "4?": a nibble wildcard
        } else if (digits % 2 != 0) {
          diagnostics.Error(runStart, "odd number of hex digits; write every byte as two digits");
        }
        continue;
      }
      diagnostics.Error(Here(), "unexpected character in a hex block; only hex digit pairs may stand there");
      size_t next = offset;
      ReadUtf8(text, next);
      AdvanceBy(next - offset);
    }
    tokens.push_back(std::move(token));
  }

  void LexPunctuation() {
    static constexpr std::string_view TwoCharacter[] = {"==", ">=", "<="};
    static constexpr std::string_view OneCharacter = "=;()[],+-*/^><";
    Token token;
    token.kind = TokenKind::Punctuation;
    token.position = Here();
    for (const std::string_view pair : TwoCharacter) {
      if (text.substr(offset, 2) == pair) {
        token.text = std::string(pair);
        AdvanceBy(2);
        tokens.push_back(std::move(token));
        return;
      }
    }
    if (text.substr(offset, 2) == "!=") {
      diagnostics.Error(token.position, "there is no '!=' operator; write not (a == b)");
      AdvanceBy(2);
      return;
    }
    if (OneCharacter.find(Peek()) != std::string_view::npos) {
      token.text = std::string(1, Peek());
      Advance();
      tokens.push_back(std::move(token));
      return;
    }
    size_t next = offset;
    const std::optional<char32_t> codePoint = ReadUtf8(text, next);
    if (codePoint && *codePoint >= 0x20 && *codePoint < 0x7F) {
      diagnostics.Error(token.position, std::string("unexpected character '") + static_cast<char>(*codePoint) + "'");
    } else if (codePoint) {
      diagnostics.Error(token.position, "unexpected character " + CodePointName(*codePoint));
    } else {
      diagnostics.Error(token.position, "text is not valid UTF-8");
    }
    AdvanceBy(next - offset);
  }
};

}  // namespace

std::vector<Token> Tokenize(std::string_view text, uint32_t fileIndex, Diagnostics& diagnostics) {
  Lexer lexer{text, fileIndex, diagnostics, 0, 1, 1, {}};
  lexer.Run();
  return std::move(lexer.tokens);
}

bool IsIdentifierSpelling(std::string_view text) noexcept {
  if (text.empty() || !IsIdentifierStart(text[0])) return false;
  for (size_t i = 1; i < text.size(); ++i) {
    if (IsIdentifierPart(text[i])) continue;
    if (text[i] == '.' && i + 1 < text.size() && IsIdentifierPart(text[i + 1])) continue;
    return false;
  }
  return true;
}

}  // namespace veltor::rulelang
