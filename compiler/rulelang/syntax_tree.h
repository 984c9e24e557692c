#pragma once
// What the parser makes of the source files: declarations in source order,
// with positions, and rule expressions whose names are not resolved yet.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compiler/rulelang/diagnostics.h"

namespace veltor::rulelang {

enum class ReferenceForm : uint8_t {
  None,         // not a reference (opcode says what the node is)
  Name,         // a bare name: a signature or a rule, found by the resolver
  RuleName,     // rule["any name"]
  SignatureId,  // sig[100]: the id as written, declared or not
  RuleId,       // rule[7]
};

// One bytecode node as written. For literals and aggregates opcode and
// operand are final; references get theirs from the resolver.
struct SyntaxExpr {
  uint32_t opcode = 0;
  uint64_t operand = 0;
  std::vector<SyntaxExpr> children;
  SourcePosition position;
  ReferenceForm reference = ReferenceForm::None;
  std::string name;              // Name: the identifier (UTF-8); RuleName: stored bytes
  bool openChain = false;        // made by an infix operator, not parenthesized: the same operator extends it
  bool pendingMinimum = false;   // the literal 2147483648, valid only under a minus sign
  uint32_t height = 1;           // levels of nodes from this one down to its deepest leaf
};

struct SignatureDecl {
  SourcePosition position;
  std::string name;  // empty for an anonymous signature; signature names live in the source only
  SourcePosition namePosition;
  std::optional<uint32_t> id;
  SourcePosition idPosition;
  uint32_t flags = 0;  // exact and wide included
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  bool duplicate = false;
  std::vector<uint8_t> pattern;
  SourcePosition patternPosition;
  std::vector<uint8_t> extra;
};

enum class RuleBody : uint8_t { Empty, Expression, Raw };

struct RuleDecl {
  SourcePosition position;
  std::vector<uint8_t> name;  // stored bytes
  std::string spelling;       // the name as written, for messages
  SourcePosition namePosition;
  std::optional<uint32_t> id;
  SourcePosition idPosition;
  uint32_t flags = 0;  // report included
  bool duplicate = false;
  RuleBody body = RuleBody::Empty;
  SyntaxExpr expression;
  std::vector<uint8_t> raw;
};

struct DatabaseDecl {
  SourcePosition position;
  std::optional<uint32_t> reserved1;
  std::optional<uint32_t> reserved2;
  std::optional<std::vector<uint8_t>> reservedArea;
  std::optional<std::vector<uint8_t>> envelope;
};

struct SyntaxTree {
  std::vector<SignatureDecl> signatures;
  std::vector<RuleDecl> rules;
  std::vector<DatabaseDecl> databases;  // at most one is valid; the resolver checks
};

}  // namespace veltor::rulelang
