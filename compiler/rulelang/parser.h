#pragma once
// Reads the tokens of one source file into the syntax tree. Declarations are
// appended in source order, so that several files form one tree. After an
// error the parser skips to the end of the statement and goes on.
#include <span>
#include <string_view>

#include "compiler/rulelang/lexer.h"
#include "compiler/rulelang/syntax_tree.h"

namespace veltor::rulelang {

void ParseTokens(std::span<const Token> tokens, SyntaxTree& tree, Diagnostics& diagnostics);

// Words with a meaning of their own in the language; a rule with such a name
// must be written with a quoted name.
bool IsKeyword(std::string_view word) noexcept;

}  // namespace veltor::rulelang
