#include "tools/rulelang/resolver.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "database/database_format.h"
#include "rules/bytecode.h"
#include "rules/evaluator.h"
#include "tools/rulelang/expression_tree.h"
#include "tools/rulelang/text_forms.h"
#include "tools/rulelang/windows1252.h"

namespace veltor::rulelang {
namespace {

// The score from which a top-level rule is reported.
constexpr double ReportThreshold = 0.501;

using Bytes = std::vector<uint8_t>;

std::string Where(SourcePosition position, std::span<const SourceFile> files) {
  std::string text = position.file < files.size() ? files[position.file].path : std::string("<input>");
  return text + ":" + std::to_string(position.line) + ":" + std::to_string(position.column);
}

std::string AsKey(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string SignatureLabel(const SignatureDecl& decl, uint32_t id) {
  return decl.name.empty() ? "sig[" + std::to_string(id) + "]" : "'" + decl.name + "'";
}

std::optional<Bytes> EncodeIdentifier(const std::string& text) {
  Bytes out;
  size_t offset = 0;
  while (offset < text.size()) {
    const std::optional<char32_t> codePoint = ReadUtf8(text, offset);
    const std::optional<uint8_t> byte = codePoint ? EncodeWindows1252(*codePoint) : std::nullopt;
    if (!byte) return std::nullopt;
    out.push_back(*byte);
  }
  return out;
}

// Ids in source order: given, or one more than the previous one.
template <typename Decl>
std::vector<uint32_t> AssignIds(const std::vector<Decl>& decls, std::string_view kind, Diagnostics& diagnostics) {
  std::vector<uint32_t> ids;
  uint64_t next = 1;
  for (const Decl& decl : decls) {
    if (decl.id) {
      next = *decl.id;
    } else if (next > UINT32_MAX) {
      diagnostics.Error(decl.position, "no id left for this " + std::string(kind) +
                                           ": the previous one has id 4294967295; give it an explicit id");
      next = 0;
    }
    ids.push_back(static_cast<uint32_t>(next));
    ++next;
  }
  return ids;
}

template <typename Decl>
void CheckDuplicateIds(const std::vector<Decl>& decls, const std::vector<uint32_t>& ids, std::string_view kind,
                       std::span<const SourceFile> files, Diagnostics& diagnostics) {
  std::map<uint32_t, size_t> first;
  for (size_t i = 0; i < decls.size(); ++i) {
    const auto [it, inserted] = first.emplace(ids[i], i);
    if (inserted || decls[i].duplicate) continue;
    const SourcePosition position = decls[i].id ? decls[i].idPosition : decls[i].position;
    diagnostics.Error(position, std::string(kind) + " id " + std::to_string(ids[i]) + " is already used at " +
                                    Where(decls[it->second].position, files) +
                                    "; write 'duplicate' if both records are meant to have it");
  }
}

struct Resolver {
  const SyntaxTree& tree;
  std::span<const SourceFile> files;
  Diagnostics& diagnostics;
  std::vector<uint32_t> signatureIds;
  std::vector<uint32_t> ruleIds;
  std::map<std::string, size_t> signaturesByName;
  std::map<std::string, std::vector<size_t>> rulesByName;  // keyed by the stored bytes
  std::map<uint32_t, std::vector<size_t>> signaturesById;
  std::map<uint32_t, std::vector<size_t>> rulesById;

  void IndexNames() {
    for (size_t i = 0; i < tree.signatures.size(); ++i) {
      const SignatureDecl& decl = tree.signatures[i];
      signaturesById[signatureIds[i]].push_back(i);
      if (decl.name.empty()) continue;
      const auto [it, inserted] = signaturesByName.emplace(decl.name, i);
      if (!inserted) {
        diagnostics.Error(decl.namePosition, "signature '" + decl.name + "' is already declared at " +
                                                 Where(tree.signatures[it->second].namePosition, files));
      }
    }
    for (size_t i = 0; i < tree.rules.size(); ++i) {
      const RuleDecl& decl = tree.rules[i];
      rulesById[ruleIds[i]].push_back(i);
      std::vector<size_t>& same = rulesByName[AsKey(decl.name)];
      if (!same.empty() && !decl.duplicate) {
        diagnostics.Error(decl.namePosition, "rule " + decl.spelling + " is already declared at " +
                                                 Where(tree.rules[same.front()].namePosition, files) +
                                                 "; write 'duplicate' if both rules are meant to have this name");
      }
      same.push_back(i);
    }
    // Bare names refer to signatures and rules alike, so they share one namespace.
    for (const auto& [name, index] : signaturesByName) {
      const std::optional<Bytes> stored = EncodeIdentifier(name);
      if (!stored) continue;
      const auto rule = rulesByName.find(AsKey(*stored));
      if (rule != rulesByName.end()) {
        diagnostics.Error(tree.rules[rule->second.front()].namePosition,
                          "rule " + tree.rules[rule->second.front()].spelling +
                              " has the name of the signature declared at " +
                              Where(tree.signatures[index].namePosition, files));
      }
    }
  }

  ExprNode Resolve(const SyntaxExpr& source) {
    ExprNode node;
    node.opcode = source.opcode;
    node.operand = source.operand;
    switch (source.reference) {
      case ReferenceForm::None:
        node.children.reserve(source.children.size());
        for (const SyntaxExpr& child : source.children) node.children.push_back(Resolve(child));
        return node;
      case ReferenceForm::SignatureId:
        if (!signaturesById.contains(static_cast<uint32_t>(source.operand))) {
          diagnostics.Warning(source.position, "no signature has id " + std::to_string(source.operand) +
                                                   "; this reference is always 0");
        }
        return node;
      case ReferenceForm::RuleId:
        if (!rulesById.contains(static_cast<uint32_t>(source.operand))) {
          diagnostics.Warning(source.position, "no rule has id " + std::to_string(source.operand) +
                                                   "; this reference is always 0");
        }
        return node;
      case ReferenceForm::Name: {
        const auto signature = signaturesByName.find(source.name);
        if (signature != signaturesByName.end()) {
          node.opcode = OpSignatureRef;
          node.operand = signatureIds[signature->second];
          return node;
        }
        const std::optional<Bytes> stored = EncodeIdentifier(source.name);
        return ResolveRuleName(stored ? *stored : Bytes{}, stored.has_value(), "'" + source.name + "'",
                               source.position);
      }
      case ReferenceForm::RuleName:
        return ResolveRuleName(Bytes(source.name.begin(), source.name.end()), true,
                               "rule[" + QuoteBytes(Bytes(source.name.begin(), source.name.end())) + "]", source.position);
    }
    return node;
  }

  ExprNode ResolveRuleName(const Bytes& name, bool valid, const std::string& label, SourcePosition position) {
    ExprNode node;
    node.opcode = OpRuleRef;
    const auto rule = valid ? rulesByName.find(AsKey(name)) : rulesByName.end();
    if (rule == rulesByName.end()) {
      diagnostics.Error(position, "unknown name " + label + ": no signature or rule is declared with it");
    } else if (rule->second.size() > 1) {
      diagnostics.Error(position, "name " + label + " belongs to " + std::to_string(rule->second.size()) +
                                      " rules; refer to one of them by id, as in rule[" +
                                      std::to_string(ruleIds[rule->second.front()]) + "]");
    } else {
      node.operand = ruleIds[rule->second.front()];
    }
    return node;
  }

  void Warn(const DatabaseEntries& entries, const std::vector<std::optional<ExprNode>>& trees) {
    WarnSlowPatterns(entries);
    // Which signatures and rules the expressions refer to, and which rules a
    // scan can ever evaluate: the reported ones and what they refer to.
    std::vector<bool> signatureUsed(tree.signatures.size(), false);
    std::vector<bool> ruleReached(tree.rules.size(), false);
    std::vector<size_t> pending;
    for (size_t i = 0; i < tree.rules.size(); ++i) {
      if ((entries.rules[i].flags & RuleFlagTopLevel) != 0) {
        ruleReached[i] = true;
        pending.push_back(i);
      }
    }
    std::vector<std::vector<const ExprNode*>> references(tree.rules.size());
    for (size_t i = 0; i < tree.rules.size(); ++i) {
      if (trees[i]) CollectReferences(*trees[i], references[i]);
      for (const ExprNode* reference : references[i]) {
        if (reference->opcode != OpSignatureRef) continue;
        const auto found = signaturesById.find(static_cast<uint32_t>(reference->operand));
        if (found == signaturesById.end()) continue;
        for (const size_t index : found->second) signatureUsed[index] = true;
      }
    }
    while (!pending.empty()) {
      const size_t rule = pending.back();
      pending.pop_back();
      for (const ExprNode* reference : references[rule]) {
        if (reference->opcode != OpRuleRef) continue;
        const auto found = rulesById.find(static_cast<uint32_t>(reference->operand));
        if (found == rulesById.end()) continue;
        for (const size_t index : found->second) {
          if (!ruleReached[index]) {
            ruleReached[index] = true;
            pending.push_back(index);
          }
        }
      }
    }
    WarnCycles(references);
    for (size_t i = 0; i < tree.signatures.size(); ++i) {
      if (!signatureUsed[i]) {
        diagnostics.Warning(tree.signatures[i].position,
                            "signature " + SignatureLabel(tree.signatures[i], signatureIds[i]) +
                                " is not referenced by any rule");
      }
    }
    for (size_t i = 0; i < tree.rules.size(); ++i) {
      const RuleDecl& decl = tree.rules[i];
      if (!ruleReached[i]) {
        diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                               " can never report: it is not marked 'report' and no reported "
                                               "rule refers to it");
      } else if ((decl.flags & RuleFlagTopLevel) != 0 && decl.body == RuleBody::Empty) {
        diagnostics.Warning(decl.position, "rule " + decl.spelling + " can never report: it has no expression");
      } else if ((decl.flags & RuleFlagTopLevel) != 0 && trees[i] && references[i].empty()) {
        // Without references the score is the same in every scan: the
        // evaluator's own answer without a scan context.
        const std::vector<uint8_t>& bytes = entries.rules[i].expression;
        const double score =
            EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
        if (!(score >= ReportThreshold)) {
          char text[32];
          std::snprintf(text, sizeof text, "%g", score);
          diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                                 " can never report: it refers to no signature or rule and "
                                                 "always scores " + text + ", below 0.501");
        }
      }
    }
  }

  // The engine evaluates a referenced rule before it memoises it, so a ring
  // of references never ends on its own; said once per ring, at its first rule.
  void WarnCycles(const std::vector<std::vector<const ExprNode*>>& references) {
    enum : uint8_t { Unvisited, Active, Done };
    std::vector<uint8_t> state(tree.rules.size(), Unvisited);
    for (size_t root = 0; root < tree.rules.size(); ++root) {
      if (state[root] != Unvisited) continue;
      // Iterative depth-first walk: the path holds (rule, next reference).
      std::vector<std::pair<size_t, size_t>> path{{root, 0}};
      state[root] = Active;
      while (!path.empty()) {
        auto& [rule, next] = path.back();
        if (next == references[rule].size()) {
          state[rule] = Done;
          path.pop_back();
          continue;
        }
        const ExprNode* reference = references[rule][next++];
        if (reference->opcode != OpRuleRef) continue;
        const auto found = rulesById.find(static_cast<uint32_t>(reference->operand));
        if (found == rulesById.end()) continue;
        for (const size_t target : found->second) {
          if (state[target] == Active) {
            diagnostics.Warning(tree.rules[target].position,
                                "rule " + tree.rules[target].spelling +
                                    " refers to itself through a ring of rule references, which the "
                                    "engine does not support");
          } else if (state[target] == Unvisited) {
            state[target] = Active;
            path.emplace_back(target, 0);
            break;
          }
        }
      }
    }
  }

  // Patterns of 1 or 2 bytes are looked up at every position of every scan;
  // long patterns of 3 to 5 bytes shrink the window the skipping search moves
  // by. A wide signature also registers its UTF-16LE form, twice as long.
  void WarnSlowPatterns(const DatabaseEntries& entries) {
    size_t window = 256;
    auto forms = [](const SignatureEntry& entry) {
      std::vector<size_t> lengths;
      if (!entry.pattern.empty()) lengths.push_back(entry.pattern.size());
      if (!entry.pattern.empty() && (entry.flags & SignatureFlagWide) != 0) lengths.push_back(2 * entry.pattern.size());
      return lengths;
    };
    for (const SignatureEntry& entry : entries.signatures) {
      for (const size_t length : forms(entry)) {
        if (length >= 3) window = std::min(window, length);
      }
    }
    for (size_t i = 0; i < tree.signatures.size(); ++i) {
      const SignatureDecl& decl = tree.signatures[i];
      const SignatureEntry& entry = entries.signatures[i];
      const std::string label = SignatureLabel(decl, signatureIds[i]);
      if (entry.pattern.empty()) {
        diagnostics.Warning(decl.patternPosition, "signature " + label + " has an empty pattern and never matches");
        continue;
      }
      bool first = true;
      for (const size_t length : forms(entry)) {
        const std::string form = first ? "pattern" : "UTF-16LE form";
        first = false;
        if (length <= 2) {
          diagnostics.Warning(decl.patternPosition,
                              "signature " + label + ": its " + std::to_string(length) + "-byte " + form +
                                  " is checked at every position of every scan; the scan window is " +
                                  std::to_string(window) + " bytes");
        } else if (length <= 5) {
          diagnostics.Warning(decl.patternPosition,
                              "signature " + label + ": its " + std::to_string(length) + "-byte " + form +
                                  " shortens the scan window to " + std::to_string(window) +
                                  " bytes, so every scan skips at most that far at a time");
        }
      }
    }
  }
};

}  // namespace

DatabaseEntries ResolveSyntaxTree(const SyntaxTree& tree, std::span<const SourceFile> files,
                                  Diagnostics& diagnostics) {
  DatabaseEntries entries;
  for (size_t i = 0; i < tree.databases.size(); ++i) {
    const DatabaseDecl& decl = tree.databases[i];
    if (i > 0) {
      diagnostics.Error(decl.position, "a second 'database' statement; the first is at " +
                                           Where(tree.databases[0].position, files));
      continue;
    }
    entries.reserved1 = decl.reserved1.value_or(0);
    entries.reserved2 = decl.reserved2.value_or(0);
    if (decl.reservedArea) {
      if (decl.reservedArea->size() > ReservedAreaSize) {
        diagnostics.Error(decl.position, "'reserved' holds at most " + std::to_string(ReservedAreaSize) +
                                             " bytes, not " + std::to_string(decl.reservedArea->size()));
      } else {
        std::copy(decl.reservedArea->begin(), decl.reservedArea->end(), entries.reservedArea.begin());
      }
    }
    if (decl.envelope) {
      if (decl.envelope->size() > EnvelopeFreeSize) {
        diagnostics.Error(decl.position, "'envelope' holds at most " + std::to_string(EnvelopeFreeSize) +
                                             " bytes, not " + std::to_string(decl.envelope->size()));
      } else {
        std::copy(decl.envelope->begin(), decl.envelope->end(), entries.envelope.begin());
      }
    }
  }

  Resolver resolver{tree, files, diagnostics, {}, {}, {}, {}, {}, {}};
  resolver.signatureIds = AssignIds(tree.signatures, "signature", diagnostics);
  resolver.ruleIds = AssignIds(tree.rules, "rule", diagnostics);
  CheckDuplicateIds(tree.signatures, resolver.signatureIds, "signature", files, diagnostics);
  CheckDuplicateIds(tree.rules, resolver.ruleIds, "rule", files, diagnostics);
  resolver.IndexNames();

  for (size_t i = 0; i < tree.signatures.size(); ++i) {
    const SignatureDecl& decl = tree.signatures[i];
    entries.signatures.push_back(
        {resolver.signatureIds[i], decl.flags, decl.reserved1, decl.reserved2, decl.pattern, decl.extra});
  }
  std::vector<std::optional<ExprNode>> trees;
  for (size_t i = 0; i < tree.rules.size(); ++i) {
    const RuleDecl& decl = tree.rules[i];
    RuleEntry entry{resolver.ruleIds[i], decl.flags, decl.name, {}};
    switch (decl.body) {
      case RuleBody::Empty: trees.emplace_back(); break;
      case RuleBody::Raw:
        entry.expression = decl.raw;
        trees.push_back(DecodeExpression(decl.raw));
        break;
      case RuleBody::Expression:
        trees.push_back(resolver.Resolve(decl.expression));
        entry.expression = EncodeExpression(*trees.back());
        break;
    }
    entries.rules.push_back(std::move(entry));
  }
  if (!diagnostics.HasErrors()) resolver.Warn(entries, trees);
  return entries;
}

}  // namespace veltor::rulelang
