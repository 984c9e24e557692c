#include "compiler/rulelang/resolver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "engine/api/report.h"
#include "engine/database/database_format.h"
#include "engine/rules/bytecode.h"
#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"
#include "compiler/rulelang/expression_codec.h"
#include "compiler/rulelang/score_interval.h"
#include "compiler/rulelang/text_forms.h"

namespace veltor::rulelang {
namespace {

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

  bytecode::ExpressionNode Resolve(const SyntaxExpr& source) {
    bytecode::ExpressionNode node;
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

  bytecode::ExpressionNode ResolveRuleName(const Bytes& name, bool valid, const std::string& label,
                                           SourcePosition position) {
    bytecode::ExpressionNode node;
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

  void Warn(const DatabaseEntries& entries, const std::vector<std::optional<bytecode::ExpressionNode>>& trees) {
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
    std::vector<std::vector<const bytecode::ExpressionNode*>> references(tree.rules.size());
    for (size_t i = 0; i < tree.rules.size(); ++i) {
      if (trees[i]) CollectReferences(*trees[i], references[i]);
      for (const bytecode::ExpressionNode* reference : references[i]) {
        if (reference->opcode != OpSignatureRef) continue;
        const auto found = signaturesById.find(static_cast<uint32_t>(reference->operand));
        if (found == signaturesById.end()) continue;
        for (const size_t index : found->second) signatureUsed[index] = true;
      }
    }
    while (!pending.empty()) {
      const size_t rule = pending.back();
      pending.pop_back();
      for (const bytecode::ExpressionNode* reference : references[rule]) {
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
    const std::vector<ScoreInterval> intervals = RuleIntervals(references, trees);
    for (size_t i = 0; i < tree.signatures.size(); ++i) {
      if (!signatureUsed[i]) {
        diagnostics.Warning(tree.signatures[i].position,
                            "signature " + SignatureLabel(tree.signatures[i], signatureIds[i]) +
                                " is not referenced by any rule");
      }
    }
    bool anyReported = false;
    for (size_t i = 0; i < tree.rules.size(); ++i) {
      const RuleDecl& decl = tree.rules[i];
      const bool reported = (decl.flags & RuleFlagTopLevel) != 0;
      anyReported = anyReported || reported;
      const ScoreInterval& interval = intervals[i];
      if (!ruleReached[i]) {
        diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                               " can never report: it is not marked 'report' and no reported "
                                               "rule refers to it");
      } else if (reported && decl.body == RuleBody::Empty) {
        diagnostics.Warning(decl.position, "rule " + decl.spelling + " can never report: it has no expression");
      } else if (!reported || !trees[i]) {
        continue;
      } else if (references[i].empty()) {
        // Without references the score is the same in every scan.
        const double score = interval.HasNumbers() ? interval.low : std::nan("");
        if (!(score >= ReportThreshold)) {
          diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                                 " can never report: it refers to no signature or rule and "
                                                 "always scores " + Number(score) + ", below 0.501");
        } else {
          diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                                 " reports on every input: it refers to no signature or rule and "
                                                 "always scores " + Number(score) + ", at least 0.501");
        }
      } else if (!(interval.HasNumbers() && interval.high >= ReportThreshold)) {
        diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                               " can never report: whatever signatures occur, it scores at most " +
                                               Number(interval.HasNumbers() ? interval.high : std::nan("")) +
                                               ", below 0.501");
      } else if (interval.low >= ReportThreshold && !interval.nan) {
        diagnostics.Warning(decl.position, "rule " + decl.spelling +
                                               " reports on every input: whatever signatures occur, it scores at "
                                               "least " + Number(interval.low) + ", at least 0.501");
      }
    }
    if (!anyReported) {
      diagnostics.Warning(tree.rules.empty() ? SourcePosition{} : tree.rules.front().position,
                          "no rule is marked 'report': a scan with this database can report nothing");
    }
  }

  static std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
  }

  // The rule graph with one extra node per rule id: a reference leads to its
  // id's node, which leads to every rule holding that id. Its edges number
  // the references plus the rules, however many rules share an id, so that
  // the strongly connected components below take linear time.
  struct RuleGraph {
    std::vector<std::vector<size_t>> edges;  // rules first, then one node per id
    std::map<uint32_t, size_t> idNode;
  };

  RuleGraph BuildRuleGraph(const std::vector<std::vector<const bytecode::ExpressionNode*>>& references) const {
    RuleGraph graph;
    graph.edges.resize(tree.rules.size());
    for (const auto& [id, rules] : rulesById) {
      graph.idNode.emplace(id, graph.edges.size());
      graph.edges.emplace_back(rules.begin(), rules.end());
    }
    for (size_t rule = 0; rule < tree.rules.size(); ++rule) {
      for (const bytecode::ExpressionNode* reference : references[rule]) {
        if (reference->opcode != OpRuleRef) continue;
        const auto found = graph.idNode.find(static_cast<uint32_t>(reference->operand));
        if (found != graph.idNode.end()) graph.edges[rule].push_back(found->second);
      }
    }
    return graph;
  }

  // Tarjan's strongly connected components, without recursion; each
  // component is handed to `visit` after every component it leads to.
  template <typename Visit>
  static void ForEachComponent(const std::vector<std::vector<size_t>>& edges, Visit&& visit) {
    constexpr size_t Unseen = SIZE_MAX;
    std::vector<size_t> order(edges.size(), Unseen), low(edges.size(), 0);
    std::vector<bool> onStack(edges.size(), false);
    std::vector<size_t> stack;
    std::vector<std::pair<size_t, size_t>> path;  // (node, next edge)
    size_t counter = 0;
    for (size_t root = 0; root < edges.size(); ++root) {
      if (order[root] != Unseen) continue;
      path.emplace_back(root, 0);
      order[root] = low[root] = counter++;
      stack.push_back(root);
      onStack[root] = true;
      while (!path.empty()) {
        auto& [node, next] = path.back();
        if (next < edges[node].size()) {
          const size_t target = edges[node][next++];
          if (order[target] == Unseen) {
            order[target] = low[target] = counter++;
            stack.push_back(target);
            onStack[target] = true;
            path.emplace_back(target, 0);
          } else if (onStack[target]) {
            low[node] = std::min(low[node], order[target]);
          }
          continue;
        }
        const size_t done = node;
        path.pop_back();
        if (!path.empty()) low[path.back().first] = std::min(low[path.back().first], low[done]);
        if (low[done] != order[done]) continue;
        std::vector<size_t> component;
        size_t member = 0;
        do {
          member = stack.back();
          stack.pop_back();
          onStack[member] = false;
          component.push_back(member);
        } while (member != done);
        visit(component);
      }
    }
  }

  // The interval of every rule's score, dependencies first. A rule in a ring
  // gets every value: the engine's answer then depends on where a scan
  // enters the ring. Said once per ring, at its first rule.
  std::vector<ScoreInterval> RuleIntervals(const std::vector<std::vector<const bytecode::ExpressionNode*>>& references,
                                           const std::vector<std::optional<bytecode::ExpressionNode>>& trees) {
    const RuleGraph graph = BuildRuleGraph(references);
    std::vector<ScoreInterval> intervals(graph.edges.size(), ScoreInterval::Point(0.0));
    const size_t ruleCount = tree.rules.size();
    // A reference may also score 0: beyond the evaluator's depth limit a
    // referred rule is not entered.
    const auto referenced = [&](uint32_t id) {
      const auto found = graph.idNode.find(id);
      if (found == graph.idNode.end()) return ScoreInterval::Point(0.0);
      return Hull(intervals[found->second], ScoreInterval::Point(0.0));
    };
    const auto signatureDeclared = [&](uint32_t id) { return signaturesById.contains(id); };
    ForEachComponent(graph.edges, [&](std::vector<size_t>& component) {
      if (component.size() > 1) {
        std::sort(component.begin(), component.end());
        const size_t first = component.front();  // a rule: an id node alone has no edge back
        const size_t rules = static_cast<size_t>(
            std::count_if(component.begin(), component.end(), [&](size_t node) { return node < ruleCount; }));
        diagnostics.Warning(tree.rules[first].position,
                            "rule " + tree.rules[first].spelling + " refers to itself through a ring of " +
                                (rules == 1 ? std::string("rule references") : std::to_string(rules) + " rules") +
                                ": every reference inside the ring reads 0");
        for (const size_t node : component) intervals[node] = ScoreInterval::Everything();
        return;
      }
      const size_t node = component.front();
      if (node >= ruleCount) {
        ScoreInterval hull{HUGE_VAL, -HUGE_VAL, false};
        for (const size_t rule : graph.edges[node]) hull = Hull(hull, intervals[rule]);
        intervals[node] = hull;
      } else if (tree.rules[node].body == RuleBody::Empty) {
        intervals[node] = ScoreInterval::Point(0.0);
      } else if (!trees[node]) {
        intervals[node] = ScoreInterval::Everything();
      } else {
        intervals[node] = ExpressionInterval(*trees[node], referenced, signatureDeclared);
      }
    });
    intervals.resize(ruleCount);
    return intervals;
  }

  // Patterns of 1 or 2 bytes are tested for at every position (the filter
  // files only patterns of 4 bytes and more under an anchor) and occur in
  // most files. A wide signature also registers its UTF-16LE form, twice as
  // long.
  void WarnSlowPatterns(const DatabaseEntries& entries) {
    auto forms = [](const SignatureInput& entry) {
      std::vector<size_t> lengths;
      if (!entry.pattern.empty()) lengths.push_back(entry.pattern.size());
      if (!entry.pattern.empty() && (entry.flags & SignatureFlagWide) != 0) lengths.push_back(2 * entry.pattern.size());
      return lengths;
    };
    for (size_t i = 0; i < tree.signatures.size(); ++i) {
      const SignatureDecl& decl = tree.signatures[i];
      const SignatureInput& entry = entries.signatures[i];
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
          diagnostics.Warning(decl.patternPosition, "signature " + label + ": its " + std::to_string(length) +
                                                        "-byte " + form + " is checked at every position of every scan");
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
      if (decl.envelope->size() > EnvelopeFillerSize) {
        diagnostics.Error(decl.position, "'envelope' holds at most " + std::to_string(EnvelopeFillerSize) +
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
    SignatureInput& entry = entries.signatures.emplace_back();
    entry.id = resolver.signatureIds[i];
    entry.flags = decl.flags;
    entry.reserved1 = decl.reserved1;
    entry.reserved2 = decl.reserved2;
    entry.pattern = decl.pattern;
    entry.extra = decl.extra;
  }
  std::vector<std::optional<bytecode::ExpressionNode>> trees;
  for (size_t i = 0; i < tree.rules.size(); ++i) {
    const RuleDecl& decl = tree.rules[i];
    RuleInput entry;
    entry.id = resolver.ruleIds[i];
    entry.flags = decl.flags;
    entry.name = decl.name;
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
