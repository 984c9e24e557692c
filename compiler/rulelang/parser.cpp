#include "compiler/rulelang/parser.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/database/database_format.h"
#include "engine/rules/bytecode.h"
#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"
#include "compiler/rulelang/expression_codec.h"
#include "compiler/rulelang/literal_forms.h"
#include "compiler/rulelang/text_forms.h"

namespace veltor::rulelang {
namespace {

constexpr std::string_view Keywords[] = {
    "signature", "rule",  "database", "id",   "exact", "wide", "extra", "flags",
    "reserved1", "reserved2", "reserved", "envelope", "report", "duplicate", "bytes", "and",
    "or",        "xor",   "not",      "true", "false", "inf",  "nan",   "sig"};

struct FunctionForm {
  std::string_view name;
  uint32_t opcode;
  bool splits;  // a longer argument list is split into nested nodes of at most 255 children
};

// The function form of every aggregate opcode. The folding ones nest without
// changing the result: op(op(a1..a255), a256, ...) equals the long fold.
constexpr FunctionForm FunctionForms[] = {
    {"sum", OpSum, true},
    {"difference", OpDifference, true},
    {"product", OpProduct, true},
    {"quotient", OpQuotient, true},
    {"power", OpPower, true},
    {"root", OpRoot, true},
    {"all", OpAnd, true},
    {"any", OpOr, true},
    {"negate", OpNot, false},
    {"odd", OpXor, true},
    {"max", OpMax, true},
    {"min", OpMin, true},
    {"greater", OpGreater, false},
    {"greater_equal", OpGreaterEqual, false},
    {"equal", OpEqual, false},
    {"less_equal", OpLessEqual, false},
    {"less", OpLess, false},
};

constexpr uint32_t MaxParseDepth = 2 * MaxExpressionDepth + 16;

struct Parser {
  std::span<const Token> tokens;
  SyntaxTree& tree;
  Diagnostics& diagnostics;
  size_t index = 0;
  bool failed = false;  // the statement under way had an error: stop and resynchronise
  uint32_t depth = 0;

  const Token& Peek(size_t ahead = 0) const noexcept {
    return tokens[std::min(index + ahead, tokens.size() - 1)];
  }
  const Token& Next() noexcept {
    const Token& token = tokens[index];
    if (index + 1 < tokens.size()) ++index;
    return token;
  }
  bool Accept(std::string_view spelling) noexcept {
    if (!Peek().Is(spelling)) return false;
    Next();
    return true;
  }

  static std::string Describe(const Token& token) {
    switch (token.kind) {
      case TokenKind::End: return "end of file";
      case TokenKind::String: return "a string";
      case TokenKind::HexBytes: return "a hex block";
      default: return "'" + token.text + "'";
    }
  }

  void Fail(SourcePosition position, std::string message) {
    if (failed) return;
    diagnostics.Error(position, std::move(message));
    failed = true;
  }
  void Expect(std::string_view spelling, std::string_view what) {
    if (failed) return;
    if (!Accept(spelling)) {
      Fail(Peek().position, "expected '" + std::string(spelling) + "' " + std::string(what) + ", found " +
                                Describe(Peek()));
    }
  }

  // Skips to just after the next ';', or to the next statement keyword.
  void Resynchronise() {
    while (Peek().kind != TokenKind::End) {
      if (Accept(";")) return;
      if (IsStatementStart()) return;
      Next();
    }
  }
  bool IsStatementStart() const noexcept {
    const Token& token = Peek();
    if (token.kind != TokenKind::Identifier) return false;
    if (token.text == "signature" || token.text == "database") return true;
    return token.text == "rule" && !Peek(1).Is("[");
  }

  void ParseFile() {
    while (Peek().kind != TokenKind::End) {
      failed = false;
      depth = 0;
      const Token& token = Peek();
      if (token.Is("signature")) {
        ParseSignature();
      } else if (token.Is("rule")) {
        ParseRule();
      } else if (token.Is("database")) {
        ParseDatabase();
      } else {
        Fail(token.position, "expected 'signature', 'rule' or 'database', found " + Describe(token));
        Next();
      }
      if (failed) Resynchronise();
    }
  }

  // ---- pieces of declarations ----

  std::optional<uint32_t> ParseUnsigned(std::string_view what, uint64_t maximum = UINT32_MAX) {
    const Token& token = Peek();
    if (token.kind != TokenKind::Integer) {
      Fail(token.position, "expected " + std::string(what) + ", found " + Describe(token));
      return std::nullopt;
    }
    Next();
    if (token.integerTooLarge || token.integer > maximum) {
      Fail(token.position, std::string(what) + " " + token.text + " is too large (at most " +
                               std::to_string(maximum) + ")");
      return std::nullopt;
    }
    return static_cast<uint32_t>(token.integer);
  }

  std::vector<uint8_t> ParseByteString(std::string_view what) {
    std::vector<uint8_t> bytes;
    if (Peek().kind != TokenKind::String && Peek().kind != TokenKind::HexBytes) {
      Fail(Peek().position, "expected " + std::string(what) + " (a \"text\" string or a { hex } block), found " +
                                Describe(Peek()));
      return bytes;
    }
    while (Peek().kind == TokenKind::String || Peek().kind == TokenKind::HexBytes) {
      const Token& token = Next();
      bytes.insert(bytes.end(), token.bytes.begin(), token.bytes.end());
    }
    return bytes;
  }

  bool CheckOnce(bool& seen, const Token& token) {
    if (seen) {
      Fail(token.position, "'" + token.text + "' is given twice");
      return false;
    }
    seen = true;
    return true;
  }

  void ParseSignature() {
    SignatureDecl decl;
    decl.position = Next().position;
    if (Peek().kind == TokenKind::Identifier && !IsKeyword(Peek().text)) {
      decl.namePosition = Peek().position;
      decl.name = Next().text;
    } else if (Peek().kind == TokenKind::Identifier && !IsSignatureOption(Peek().text)) {
      Fail(Peek().position, "'" + Peek().text + "' is a keyword and cannot name a signature");
      return;
    }
    std::array<bool, 8> seen{};
    auto options = [&] {
      while (!failed && Peek().kind == TokenKind::Identifier && IsSignatureOption(Peek().text)) {
        const Token& option = Next();
        if (option.text == "exact") {
          if (CheckOnce(seen[0], option)) decl.flags |= SignatureFlagExactCase;
        } else if (option.text == "wide") {
          if (CheckOnce(seen[1], option)) decl.flags |= SignatureFlagWide;
        } else if (option.text == "duplicate") {
          if (CheckOnce(seen[2], option)) decl.duplicate = true;
        } else if (option.text == "id") {
          if (!CheckOnce(seen[3], option)) return;
          decl.idPosition = Peek().position;
          decl.id = ParseUnsigned("an id");
        } else if (option.text == "flags") {
          if (!CheckOnce(seen[4], option)) return;
          if (auto flags = ParseUnsigned("flag bits")) decl.flags |= *flags;
        } else if (option.text == "reserved1") {
          if (!CheckOnce(seen[5], option)) return;
          decl.reserved1 = ParseUnsigned("a 32-bit value").value_or(0);
        } else if (option.text == "reserved2") {
          if (!CheckOnce(seen[6], option)) return;
          decl.reserved2 = ParseUnsigned("a 32-bit value").value_or(0);
        } else if (option.text == "extra") {
          if (!CheckOnce(seen[7], option)) return;
          decl.extra = ParseByteString("extra bytes");
        }
      }
    };
    options();
    Expect("=", "before the signature's pattern");
    if (failed) return;
    decl.patternPosition = Peek().position;
    decl.pattern = ParseByteString("a pattern");
    options();
    Expect(";", "after the signature");
    if (!failed) tree.signatures.push_back(std::move(decl));
  }

  static bool IsSignatureOption(std::string_view word) noexcept {
    return word == "exact" || word == "wide" || word == "duplicate" || word == "id" || word == "flags" ||
           word == "reserved1" || word == "reserved2" || word == "extra";
  }

  void ParseRule() {
    RuleDecl decl;
    decl.position = Next().position;
    const Token& nameToken = Peek();
    decl.namePosition = nameToken.position;
    if (nameToken.kind == TokenKind::String) {
      Next();
      decl.name = nameToken.bytes;
      decl.spelling = QuoteBytes(nameToken.bytes);
    } else if (nameToken.kind == TokenKind::Identifier && !IsKeyword(nameToken.text)) {
      Next();
      decl.spelling = nameToken.text;
      if (!EncodeName(nameToken, decl.name)) return;
    } else if (nameToken.kind == TokenKind::Identifier) {
      Fail(nameToken.position, "'" + nameToken.text + "' is a keyword; write the rule's name in quotes");
      return;
    } else {
      Fail(nameToken.position, "expected the rule's name, found " + Describe(nameToken));
      return;
    }
    std::array<bool, 4> seen{};
    while (!failed && Peek().kind == TokenKind::Identifier) {
      const Token& option = Peek();
      if (option.text == "report") {
        Next();
        if (CheckOnce(seen[0], option)) decl.flags |= RuleFlagTopLevel;
      } else if (option.text == "duplicate") {
        Next();
        if (CheckOnce(seen[1], option)) decl.duplicate = true;
      } else if (option.text == "id") {
        Next();
        if (!CheckOnce(seen[2], option)) return;
        decl.idPosition = Peek().position;
        decl.id = ParseUnsigned("an id");
      } else if (option.text == "flags") {
        Next();
        if (!CheckOnce(seen[3], option)) return;
        if (auto flags = ParseUnsigned("flag bits")) decl.flags |= *flags;
      } else {
        Fail(option.position, "expected a rule option (report, id, flags, duplicate) or '=', found " +
                                  Describe(option));
        return;
      }
    }
    if (failed) return;
    if (Accept("=")) {
      if (Peek().Is("bytes")) {
        Next();
        decl.body = RuleBody::Raw;
        decl.raw = ParseByteString("expression bytes");
      } else {
        decl.body = RuleBody::Expression;
        decl.expression = ParseExpression();
        CheckPendingMinimum(decl.expression);
      }
    }
    Expect(";", "after the rule");
    if (!failed) tree.rules.push_back(std::move(decl));
  }

  // A plain name is stored in Windows-1252 like a quoted one.
  bool EncodeName(const Token& token, std::vector<uint8_t>& out) {
    size_t offset = 0;
    while (offset < token.text.size()) {
      const std::optional<char32_t> codePoint = ReadUtf8(token.text, offset);
      const std::optional<uint8_t> byte = codePoint ? EncodeWindows1252(*codePoint) : std::nullopt;
      if (!byte) {
        Fail(token.position, "name '" + token.text +
                                 "' has a character without a Windows-1252 form; write the name in quotes "
                                 "with \\xNN escapes for the bytes wanted");
        return false;
      }
      out.push_back(*byte);
    }
    return true;
  }

  void ParseDatabase() {
    DatabaseDecl decl;
    decl.position = Next().position;
    while (!failed && Peek().kind == TokenKind::Identifier) {
      const Token& option = Next();
      if (option.text == "reserved1" && !decl.reserved1) {
        decl.reserved1 = ParseUnsigned("a 32-bit value");
      } else if (option.text == "reserved2" && !decl.reserved2) {
        decl.reserved2 = ParseUnsigned("a 32-bit value");
      } else if (option.text == "reserved" && !decl.reservedArea) {
        decl.reservedArea = ParseByteString("the reserved header bytes");
      } else if (option.text == "envelope" && !decl.envelope) {
        decl.envelope = ParseByteString("the envelope's free header bytes");
      } else if (option.text == "reserved1" || option.text == "reserved2" || option.text == "reserved" ||
                 option.text == "envelope") {
        Fail(option.position, "'" + option.text + "' is given twice");
      } else {
        Fail(option.position, "expected a database option (reserved1, reserved2, reserved, envelope), found " +
                                  Describe(option));
      }
    }
    Expect(";", "after the database options");
    if (!failed) tree.databases.push_back(std::move(decl));
  }

  // ---- expressions ----

  static SyntaxExpr Aggregate(uint32_t opcode, SourcePosition position) {
    SyntaxExpr node;
    node.opcode = opcode;
    node.position = position;
    return node;
  }

  // Joins an infix operand to the chain on its left: a + b + c is one node,
  // (a + b) + c is two. A full chain of 255 becomes the first child of the
  // next node, which evaluates the same for every chaining operator.
  SyntaxExpr Chain(uint32_t opcode, SyntaxExpr left, SyntaxExpr right, SourcePosition position) {
    if (left.openChain && left.opcode == opcode && left.reference == ReferenceForm::None &&
        left.children.size() < MaxChildCount) {
      Adopt(left, std::move(right));
      return left;
    }
    SyntaxExpr node = Aggregate(opcode, left.openChain && left.opcode == opcode ? left.position : position);
    Adopt(node, std::move(left));
    Adopt(node, std::move(right));
    node.openChain = true;
    return node;
  }

  // Adds a child, closing any chain it ends. Refuses a tree deeper than the
  // decompiler shows as a tree (and than every recursion over trees expects):
  // split chains count one level for every 255 operands.
  void Adopt(SyntaxExpr& parent, SyntaxExpr child) {
    child.openChain = false;
    parent.height = std::max(parent.height, child.height + 1);
    parent.children.push_back(std::move(child));
    if (parent.height > MaxExpressionDepth) {
      Fail(parent.position, "expression nested too deeply (more than " + std::to_string(MaxExpressionDepth) +
                                " levels; a chain counts one level for every 255 operands)");
      parent.children.clear();
      parent.height = 1;
    }
  }

  SyntaxExpr ParseExpression() {
    if (++depth > MaxParseDepth) {
      Fail(Peek().position, "expression nested too deeply (more than " + std::to_string(MaxExpressionDepth) +
                                " levels)");
      --depth;
      return {};
    }
    SyntaxExpr result = ParseOr();
    --depth;
    return result;
  }

  template <typename Operand>
  SyntaxExpr ParseChain(std::string_view spelling, uint32_t opcode, Operand operand) {
    SyntaxExpr left = (this->*operand)();
    while (!failed && Peek().Is(spelling)) {
      const SourcePosition position = Next().position;
      left = Chain(opcode, std::move(left), (this->*operand)(), position);
    }
    return left;
  }

  SyntaxExpr ParseOr() { return ParseChain("or", OpOr, &Parser::ParseXor); }
  SyntaxExpr ParseXor() { return ParseChain("xor", OpXor, &Parser::ParseAnd); }
  SyntaxExpr ParseAnd() { return ParseChain("and", OpAnd, &Parser::ParseNot); }

  SyntaxExpr ParseNot() {
    if (!Peek().Is("not")) return ParseComparison();
    const SourcePosition position = Next().position;
    if (++depth > MaxParseDepth) {
      Fail(position, "expression nested too deeply");
      return {};
    }
    SyntaxExpr node = Aggregate(OpNot, position);
    Adopt(node, ParseNot());
    --depth;
    return node;
  }

  SyntaxExpr ParseComparison() {
    static constexpr std::pair<std::string_view, uint32_t> Comparisons[] = {
        {">", OpGreater}, {">=", OpGreaterEqual}, {"==", OpEqual}, {"<=", OpLessEqual}, {"<", OpLess}};
    SyntaxExpr left = ParseAdditive();
    for (const auto& [spelling, opcode] : Comparisons) {
      if (failed || !Peek().Is(spelling)) continue;
      const SourcePosition position = Next().position;
      SyntaxExpr node = Aggregate(opcode, position);
      Adopt(node, std::move(left));
      Adopt(node, ParseAdditive());
      for (const auto& [other, unused] : Comparisons) {
        if (!failed && Peek().Is(other)) {
          Fail(Peek().position, "comparisons do not chain; use parentheses or 'and'");
        }
      }
      return node;
    }
    return left;
  }

  SyntaxExpr ParseAdditive() {
    SyntaxExpr left = ParseMultiplicative();
    while (!failed && (Peek().Is("+") || Peek().Is("-"))) {
      const Token& op = Next();
      left = Chain(op.text == "+" ? OpSum : OpDifference, std::move(left), ParseMultiplicative(), op.position);
    }
    return left;
  }

  SyntaxExpr ParseMultiplicative() {
    SyntaxExpr left = ParseUnary();
    while (!failed && (Peek().Is("*") || Peek().Is("/"))) {
      const Token& op = Next();
      left = Chain(op.text == "*" ? OpProduct : OpQuotient, std::move(left), ParseUnary(), op.position);
    }
    return left;
  }

  // -x is 0 - x; the minus sign of a literal becomes part of the literal.
  SyntaxExpr Negate(SyntaxExpr operand, SourcePosition position) {
    if (operand.reference == ReferenceForm::None) {
      switch (operand.opcode) {
        case OpInt32: {
          if (operand.pendingMinimum) {
            operand.pendingMinimum = false;
            operand.operand = 0x80000000u;
            return operand;
          }
          const auto value = static_cast<int32_t>(static_cast<uint32_t>(operand.operand));
          if (value == INT32_MIN) {
            Fail(position, "-(-2147483648) is out of the 32-bit integer range");
            return operand;
          }
          operand.operand = static_cast<uint32_t>(-value);
          operand.position = position;
          return operand;
        }
        case OpFloat32:
          operand.operand ^= Float32SignBit;
          operand.position = position;
          return operand;
        case OpFloat64:
          operand.operand ^= Float64SignBit;
          operand.position = position;
          return operand;
        default: break;
      }
    }
    SyntaxExpr node = Aggregate(OpDifference, position);
    SyntaxExpr zero;
    zero.opcode = OpInt32;
    zero.position = position;
    Adopt(node, std::move(zero));
    Adopt(node, std::move(operand));
    return node;
  }

  SyntaxExpr ParseUnary() {
    if (!Peek().Is("-")) return ParsePower();
    const SourcePosition position = Next().position;
    if (++depth > MaxParseDepth) {
      Fail(position, "expression nested too deeply");
      return {};
    }
    SyntaxExpr operand = ParseUnary();
    --depth;
    return Negate(std::move(operand), position);
  }

  // The right operand of '^' may carry its own minus sign: 2 ^ -1.
  SyntaxExpr ParsePowerOperand() {
    if (!Peek().Is("-")) return ParsePrimary();
    const SourcePosition position = Next().position;
    if (++depth > MaxParseDepth) {
      Fail(position, "expression nested too deeply");
      return {};
    }
    SyntaxExpr operand = ParsePowerOperand();
    --depth;
    return Negate(std::move(operand), position);
  }

  // '^' chains left to right, as the engine's power node does: a ^ b ^ c is
  // (a ^ b) ^ c.
  SyntaxExpr ParsePower() {
    SyntaxExpr left = ParsePrimary();
    while (!failed && Peek().Is("^")) {
      const SourcePosition position = Next().position;
      left = Chain(OpPower, std::move(left), ParsePowerOperand(), position);
    }
    return left;
  }

  static SyntaxExpr Literal(uint32_t opcode, uint64_t operand, SourcePosition position) {
    SyntaxExpr node;
    node.opcode = opcode;
    node.operand = operand;
    node.position = position;
    return node;
  }

  SyntaxExpr ParsePrimary() {
    if (failed) return {};
    const Token& token = Peek();
    switch (token.kind) {
      case TokenKind::Integer: {
        Next();
        if (token.integerTooLarge || token.integer > 0x80000000u) {
          Fail(token.position, "integer " + token.text +
                                   " is out of the 32-bit integer range; write a float such as " + token.text +
                                   ".0");
          return {};
        }
        SyntaxExpr node = Literal(OpInt32, static_cast<uint32_t>(token.integer), token.position);
        node.pendingMinimum = token.integer == 0x80000000u;
        return node;
      }
      case TokenKind::Float64:
        Next();
        return Literal(OpFloat64, Float64Bits(token.float64), token.position);
      case TokenKind::Float32:
        Next();
        return Literal(OpFloat32, Float32Bits(token.float32), token.position);
      case TokenKind::Punctuation:
        if (token.Is("(")) {
          Next();
          SyntaxExpr inner = ParseExpression();
          Expect(")", "to close the parenthesis");
          inner.openChain = false;
          return inner;
        }
        break;
      case TokenKind::Identifier: return ParseWord();
      default: break;
    }
    Fail(token.position, "expected an operand, found " + Describe(token));
    return {};
  }

  SyntaxExpr ParseWord() {
    const Token& token = Next();
    const std::string& word = token.text;
    if (word == "true" || word == "false") return Literal(OpBool, word == "true" ? 1 : 0, token.position);
    if (word == "inf") return Literal(OpFloat64, Float64Bits(HUGE_VAL), token.position);
    if (word == "nan") return Literal(OpFloat64, Float64QuietNan, token.position);
    if ((word == "sig" || word == "rule") && Peek().Is("[")) return ParseIndexedReference(token);
    if (Peek().Is("(")) return ParseCall(token);
    if (IsKeyword(word)) {
      Fail(token.position, "expected an operand, found the keyword '" + word + "'");
      return {};
    }
    SyntaxExpr node;
    node.reference = ReferenceForm::Name;
    node.name = word;
    node.position = token.position;
    return node;
  }

  SyntaxExpr ParseIndexedReference(const Token& keyword) {
    Next();  // '['
    SyntaxExpr node;
    node.position = keyword.position;
    if (keyword.text == "rule" && Peek().kind == TokenKind::String) {
      node.reference = ReferenceForm::RuleName;
      const Token& name = Next();
      node.name.assign(name.bytes.begin(), name.bytes.end());
    } else {
      node.reference = keyword.text == "sig" ? ReferenceForm::SignatureId : ReferenceForm::RuleId;
      node.opcode = keyword.text == "sig" ? OpSignatureRef : OpRuleRef;
      node.operand = ParseUnsigned(keyword.text == "sig" ? "a signature id" : "a rule id or a quoted rule name")
                         .value_or(0);
    }
    Expect("]", "to close the reference");
    return node;
  }

  std::vector<SyntaxExpr> ParseArguments() {
    std::vector<SyntaxExpr> arguments;
    Next();  // '('
    if (Accept(")")) return arguments;
    for (;;) {
      arguments.push_back(ParseExpression());
      arguments.back().openChain = false;
      if (failed) return arguments;
      if (Accept(")")) return arguments;
      Expect(",", "or ')' in the argument list");
      if (failed) return arguments;
    }
  }

  // Nests an argument list longer than 255 as the folding opcodes allow.
  SyntaxExpr BuildAggregate(uint32_t opcode, bool splits, std::vector<SyntaxExpr> arguments, const Token& name) {
    if (arguments.size() > MaxChildCount && !splits) {
      Fail(name.position, "'" + name.text + "' takes at most 255 arguments");
      return {};
    }
    SyntaxExpr node = Aggregate(opcode, name.position);
    for (SyntaxExpr& argument : arguments) {
      if (node.children.size() == MaxChildCount) {
        SyntaxExpr outer = Aggregate(opcode, name.position);
        Adopt(outer, std::move(node));
        node = std::move(outer);
      }
      Adopt(node, std::move(argument));
    }
    return node;
  }

  // The single literal argument of int32(...), float32(...) and the like.
  std::optional<SyntaxExpr> LiteralArgument(const Token& name, std::vector<SyntaxExpr>& arguments) {
    if (arguments.size() != 1 || arguments[0].reference != ReferenceForm::None ||
        !IsLiteral(arguments[0].opcode)) {
      Fail(name.position, "'" + name.text + "' takes one number");
      return std::nullopt;
    }
    CheckPendingMinimum(arguments[0]);
    if (failed) return std::nullopt;
    return std::move(arguments[0]);
  }

  SyntaxExpr ParseCall(const Token& name) {
    const std::string& word = name.text;
    if (word == "op") {
      Next();  // '('
      const std::optional<uint32_t> opcode = ParseUnsigned("an opcode");
      if (failed) return {};
      if (IsLiteral(*opcode) || IsReference(*opcode)) {
        Fail(name.position, "op() is for aggregate and unrecognised opcodes; opcode " + std::to_string(*opcode) +
                                " is a literal or a reference");
        return {};
      }
      std::vector<SyntaxExpr> arguments;
      while (!failed && Accept(",")) {
        arguments.push_back(ParseExpression());
        arguments.back().openChain = false;
      }
      Expect(")", "to close op(...)");
      return BuildAggregate(*opcode, false, std::move(arguments), name);
    }
    if (word == "float32bits" || word == "float64bits") {
      // The bits as an unsigned number: the only way to write a NaN's payload.
      Next();  // '('
      const bool wide = word == "float64bits";
      const Token& bitsToken = Peek();
      if (bitsToken.kind != TokenKind::Integer || bitsToken.integerTooLarge ||
          (!wide && bitsToken.integer > UINT32_MAX)) {
        Fail(bitsToken.position, wide ? "expected the float's 64 bits" : "expected the float's 32 bits");
        return {};
      }
      Next();
      Expect(")", "to close " + word + "(...)");
      return Literal(wide ? OpFloat64 : OpFloat32, bitsToken.integer, name.position);
    }
    std::vector<SyntaxExpr> arguments = ParseArguments();
    if (failed) return {};
    if (word == "int32") {
      auto argument = LiteralArgument(name, arguments);
      if (argument && argument->opcode != OpInt32) Fail(name.position, "int32() takes an integer");
      return argument && !failed ? *argument : SyntaxExpr{};
    }
    if (word == "float64" || word == "float32") {
      auto argument = LiteralArgument(name, arguments);
      if (!argument) return {};
      if (argument->opcode == OpBool) {
        Fail(name.position, "'" + word + "' takes a number, not a bool");
        return {};
      }
      double value = 0;
      uint64_t bits64 = 0;
      if (argument->opcode == OpInt32) {
        value = static_cast<int32_t>(static_cast<uint32_t>(argument->operand));
        bits64 = Float64Bits(value);
      } else if (argument->opcode == OpFloat32) {
        const float single = Float32FromBits(static_cast<uint32_t>(argument->operand));
        bits64 = std::isnan(single) ? (Float64QuietNan | ((argument->operand & Float32SignBit) != 0 ? Float64SignBit : 0))
                                    : Float64Bits(static_cast<double>(single));
      } else {
        bits64 = argument->operand;
      }
      if (word == "float64") return Literal(OpFloat64, bits64, name.position);
      if (argument->opcode == OpFloat32) return Literal(OpFloat32, argument->operand, name.position);
      return Literal(OpFloat32, Float64BitsToFloat32Bits(bits64), name.position);
    }
    if (word == "bool") {
      auto argument = LiteralArgument(name, arguments);
      if (!argument) return {};
      if (argument->opcode == OpBool) return Literal(OpBool, argument->operand, name.position);
      const auto value = static_cast<int32_t>(static_cast<uint32_t>(argument->operand));
      if (argument->opcode != OpInt32 || value < 0 || value > 255) {
        Fail(name.position, "bool() takes a byte value from 0 to 255");
        return {};
      }
      return Literal(OpBool, static_cast<uint64_t>(value), name.position);
    }
    for (const FunctionForm& form : FunctionForms) {
      if (form.name == word) return BuildAggregate(form.opcode, form.splits, std::move(arguments), name);
    }
    Fail(name.position, "unknown function '" + word + "'");
    return {};
  }

  // 2147483648 is only valid as the operand of a minus sign.
  void CheckPendingMinimum(const SyntaxExpr& node) {
    if (node.pendingMinimum) {
      Fail(node.position, "integer 2147483648 is out of the 32-bit integer range; write a float such as "
                          "2147483648.0");
      return;
    }
    for (const SyntaxExpr& child : node.children) CheckPendingMinimum(child);
  }
};

}  // namespace

bool IsKeyword(std::string_view word) noexcept {
  return std::find(std::begin(Keywords), std::end(Keywords), word) != std::end(Keywords);
}

void ParseTokens(std::span<const Token> tokens, SyntaxTree& tree, Diagnostics& diagnostics) {
  if (tokens.empty()) return;
  Parser parser{tokens, tree, diagnostics};
  parser.ParseFile();
}

}  // namespace veltor::rulelang
