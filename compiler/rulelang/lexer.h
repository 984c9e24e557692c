#pragma once
// Splits a UTF-8 source text into tokens. Text strings and hex blocks are
// turned into their stored bytes here, Windows-1252 for text, so that an
// unrepresentable character is reported at its own position.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/rulelang/diagnostics.h"

namespace veltor::rulelang {

enum class TokenKind : uint8_t {
  End,
  Identifier,  // letters, digits, '_', non-ASCII characters; dotted: Trojan.Dropper.Generic
  Integer,     // 42, 0x2A
  Float64,     // 1.5, 1e-3
  Float32,     // 1.5f, 3f
  String,      // "text", stored bytes in `bytes`
  HexBytes,    // { 4D 5A }, stored bytes in `bytes`
  Punctuation, // = ; ( ) [ ] , + - * / ^ > >= == <= <
};

struct Token {
  TokenKind kind = TokenKind::End;
  SourcePosition position;
  std::string text;             // identifier or punctuation; the source spelling of numbers
  uint64_t integer = 0;         // Integer
  bool integerTooLarge = false; // Integer beyond 64 bits
  double float64 = 0;           // Float64
  float float32 = 0;            // Float32
  std::vector<uint8_t> bytes;   // String, HexBytes

  bool Is(std::string_view spelling) const noexcept {
    return (kind == TokenKind::Punctuation || kind == TokenKind::Identifier) && text == spelling;
  }
};

// Always ends with an End token. Errors go to `diagnostics`; the lexer skips
// what it cannot read and goes on.
std::vector<Token> Tokenize(std::string_view text, uint32_t fileIndex, Diagnostics& diagnostics);

// True for the spelling of a plain identifier as Tokenize reads one.
bool IsIdentifierSpelling(std::string_view text) noexcept;

}  // namespace veltor::rulelang
