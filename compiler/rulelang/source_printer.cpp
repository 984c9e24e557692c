#include "compiler/rulelang/source_printer.h"

#include <algorithm>

#include <cstdio>
#include <map>
#include <set>

#include "engine/database/database_format.h"
#include "engine/rules/bytecode.h"
#include "compiler/rulelang/expression_codec.h"
#include "compiler/rulelang/literal_forms.h"
#include "compiler/rulelang/text_forms.h"

namespace veltor::rulelang {
namespace {

// Binding strength, loosest first, as the parser reads them.
enum Level : int { LevelOr = 1, LevelXor, LevelAnd, LevelNot, LevelCompare, LevelAdd, LevelMul, LevelUnary, LevelPower, LevelPrimary };

struct InfixForm {
  uint32_t opcode;
  const char* spelling;
  Level level;
};

constexpr InfixForm InfixForms[] = {
    {OpOr, "or", LevelOr},           {OpXor, "xor", LevelXor},         {OpAnd, "and", LevelAnd},
    {OpGreater, ">", LevelCompare},  {OpGreaterEqual, ">=", LevelCompare}, {OpEqual, "==", LevelCompare},
    {OpLessEqual, "<=", LevelCompare}, {OpLess, "<", LevelCompare},    {OpSum, "+", LevelAdd},
    {OpDifference, "-", LevelAdd},   {OpProduct, "*", LevelMul},       {OpQuotient, "/", LevelMul},
    {OpPower, "^", LevelPower},
};

constexpr std::pair<uint32_t, const char*> FunctionNames[] = {
    {OpSum, "sum"},         {OpDifference, "difference"}, {OpProduct, "product"},
    {OpQuotient, "quotient"}, {OpPower, "power"},         {OpRoot, "root"},
    {OpAnd, "all"},         {OpOr, "any"},                {OpNot, "negate"},
    {OpXor, "odd"},         {OpMax, "max"},               {OpMin, "min"},
    {OpGreater, "greater"}, {OpGreaterEqual, "greater_equal"}, {OpEqual, "equal"},
    {OpLessEqual, "less_equal"}, {OpLess, "less"},
};

const InfixForm* InfixFormOf(const bytecode::ExpressionNode& node) {
  for (const InfixForm& form : InfixForms) {
    if (form.opcode != node.opcode) continue;
    const size_t count = node.children.size();
    const bool fits = form.level == LevelCompare ? count == 2 : count >= 2;
    return fits ? &form : nullptr;
  }
  return nullptr;
}

Level LevelOf(const bytecode::ExpressionNode& node) {
  if (const InfixForm* form = InfixFormOf(node)) return form->level;
  if (node.opcode == OpNot && node.children.size() == 1) return LevelNot;
  if (IsLiteral(node.opcode) && LiteralStartsWithMinus(node)) return LevelUnary;
  return LevelPrimary;
}

struct Printer {
  std::map<uint32_t, std::string> ruleReferenceForms;  // ids whose rule can be named
  std::string out;

  explicit Printer(const DatabaseEntries& entries) {
    std::map<uint32_t, size_t> idCount;
    std::map<std::string, size_t> nameCount;  // keyed by the stored bytes
    for (const RuleInput& rule : entries.rules) {
      ++idCount[rule.id];
      ++nameCount[std::string(rule.name.begin(), rule.name.end())];
    }
    for (const RuleInput& rule : entries.rules) {
      if (idCount[rule.id] != 1 || nameCount[std::string(rule.name.begin(), rule.name.end())] != 1) continue;
      const std::string form = NameForm(rule.name);
      ruleReferenceForms[rule.id] = form.front() == '"' ? "rule[" + form + "]" : form;
    }
  }

  void Node(const bytecode::ExpressionNode& node, int minimum) {
    const bool parenthesize = LevelOf(node) < minimum;
    if (parenthesize) out += '(';
    Bare(node);
    if (parenthesize) out += ')';
  }

  void Bare(const bytecode::ExpressionNode& node) {
    if (IsLiteral(node.opcode)) {
      out += FormatLiteral(node);
      return;
    }
    if (node.opcode == OpSignatureRef) {
      out += "sig[" + std::to_string(node.operand) + "]";
      return;
    }
    if (node.opcode == OpRuleRef) {
      const auto named = ruleReferenceForms.find(static_cast<uint32_t>(node.operand));
      out += named != ruleReferenceForms.end() ? named->second : "rule[" + std::to_string(node.operand) + "]";
      return;
    }
    if (const InfixForm* form = InfixFormOf(node)) {
      Infix(node, *form);
      return;
    }
    if (node.opcode == OpNot && node.children.size() == 1) {
      out += "not ";
      Node(node.children[0], LevelNot);
      return;
    }
    Call(node);
  }

  void Infix(const bytecode::ExpressionNode& node, const InfixForm& form) {
    // Operands the parser reads at each side of the operator: a power takes
    // primaries, a comparison sums, a chain its own level on the left.
    const int right = form.level == LevelPower ? LevelPrimary : form.level + 1;
    const int left = form.level == LevelPower ? LevelPrimary : form.level == LevelCompare ? LevelAdd : form.level;
    for (size_t i = 0; i < node.children.size(); ++i) {
      const bytecode::ExpressionNode& child = node.children[i];
      if (i > 0) {
        out += ' ';
        out += form.spelling;
        out += ' ';
      }
      // A first child of the same operator would join the chain; keep it a
      // node of its own.
      const bool sameChain = i == 0 && child.opcode == node.opcode && InfixFormOf(child) != nullptr;
      if (sameChain) {
        out += '(';
        Bare(child);
        out += ')';
      } else {
        Node(child, i == 0 ? left : right);
      }
    }
  }

  void Call(const bytecode::ExpressionNode& node) {
    const char* name = nullptr;
    for (const auto& [opcode, spelling] : FunctionNames) {
      if (opcode == node.opcode) name = spelling;
    }
    if (name != nullptr) {
      out += name;
      out += '(';
    } else {
      out += "op(" + std::to_string(node.opcode);
      if (!node.children.empty()) out += ", ";
    }
    for (size_t i = 0; i < node.children.size(); ++i) {
      if (i > 0) out += ", ";
      Node(node.children[i], 0);
    }
    out += ')';
  }
};

std::string Hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%X", value);
  return buffer;
}

template <size_t N>
size_t UsedLength(const std::array<uint8_t, N>& bytes) {
  size_t length = N;
  while (length > 0 && bytes[length - 1] == 0) --length;
  return length;
}

}  // namespace

std::string PrintDatabaseSource(const DatabaseEntries& entries, std::string_view preamble,
                                const std::map<uint32_t, std::string>& signatureNames) {
  std::string out;
  while (!preamble.empty()) {
    const size_t end = preamble.find('\n');
    out += "# ";
    out += preamble.substr(0, end);
    out += '\n';
    if (end == std::string_view::npos) break;
    preamble.remove_prefix(end + 1);
  }
  if (!out.empty()) out += '\n';

  const size_t reservedLength = UsedLength(entries.reservedArea);
  const size_t envelopeLength = UsedLength(entries.envelope);
  if (entries.reserved1 != 0 || entries.reserved2 != 0 || reservedLength != 0 || envelopeLength != 0) {
    out += "database";
    if (entries.reserved1 != 0) out += " reserved1 " + Hex32(entries.reserved1);
    if (entries.reserved2 != 0) out += " reserved2 " + Hex32(entries.reserved2);
    if (reservedLength != 0) out += " reserved " + HexBlock(std::span(entries.reservedArea).first(reservedLength));
    if (envelopeLength != 0) out += " envelope " + HexBlock(std::span(entries.envelope).first(envelopeLength));
    out += ";\n\n";
  }

  std::set<uint32_t> seenSignatureIds;
  for (const SignatureInput& signature : entries.signatures) {
    out += "signature id " + std::to_string(signature.id);
    if (!seenSignatureIds.insert(signature.id).second) out += " duplicate";
    if ((signature.flags & SignatureFlagExactCase) != 0) out += " exact";
    if ((signature.flags & SignatureFlagWide) != 0) out += " wide";
    const uint32_t otherFlags = signature.flags & ~(SignatureFlagExactCase | SignatureFlagWide);
    if (otherFlags != 0) out += " flags " + Hex32(otherFlags);
    if (signature.reserved1 != 0) out += " reserved1 " + Hex32(signature.reserved1);
    if (signature.reserved2 != 0) out += " reserved2 " + Hex32(signature.reserved2);
    out += " = " + ByteStringForm(signature.pattern);
    if (!signature.extra.empty()) out += " extra " + ByteStringForm(signature.extra);
    out += ";";
    if (const auto name = signatureNames.find(signature.id); name != signatureNames.end()) {
      // One line of comment whatever the map holds.
      std::string shown = name->second;
      std::replace_if(shown.begin(), shown.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
      out += "  # " + shown;
    }
    out += "\n";
  }
  if (!entries.signatures.empty() && !entries.rules.empty()) out += '\n';

  Printer printer(entries);
  std::set<uint32_t> seenRuleIds;
  std::set<std::string> seenRuleNames;
  for (const RuleInput& rule : entries.rules) {
    out += "rule " + NameForm(rule.name) + " id " + std::to_string(rule.id);
    const bool newId = seenRuleIds.insert(rule.id).second;
    const bool newName = seenRuleNames.insert(std::string(rule.name.begin(), rule.name.end())).second;
    if (!newId || !newName) out += " duplicate";
    if ((rule.flags & RuleFlagTopLevel) != 0) out += " report";
    const uint32_t otherFlags = rule.flags & ~RuleFlagTopLevel;
    if (otherFlags != 0) out += " flags " + Hex32(otherFlags);
    if (!rule.expression.empty()) {
      const std::optional<bytecode::ExpressionNode> tree = DecodeExpression(rule.expression);
      if (tree) {
        printer.out.clear();
        printer.Node(*tree, 0);
        out += " = " + printer.out;
      } else {
        out += " = bytes " + HexBlock(rule.expression);
      }
    }
    out += ";\n";
  }
  return out;
}

}  // namespace veltor::rulelang
