#include "scanning/scan_explain.h"

#include <charconv>
#include <climits>
#include <map>
#include <set>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/api/explain.h"
#include "engine/api/scan_handle.h"
#include "engine/text/utf8.h"
#include "engine/text/windows1252.h"
#include "scanning/files.h"
#include "scanning/scan_targets.h"
#include "scanning/scan_report.h"
#include "scanning/scan_text.h"

namespace veltor::scanning {
namespace {

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

// The shortest text that reads back as the same double; null for NaN and
// infinities, which JSON cannot hold.
std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string RuleName(const SignatureLibrary& library, uint32_t index) {
  const char* name = Rules(library)[index].name.get();
  return Utf8FromWindows1252(name == nullptr ? std::string_view() : std::string_view(name));
}

std::string ReferenceText(const ExplainedReference& reference) {
  std::string out = (reference.isRule ? "rule " : "signature ") + std::to_string(reference.id);
  if (!reference.declared) return out + " (not in the database: 0)";
  if (reference.isRule) return out + " (score " + Number(reference.value) + ")";
  return out + (reference.value != 0 ? " (occurred)" : " (did not occur)");
}

std::string ExplainText(const std::string& path, const SignatureLibrary& library, const Explanation& explanation,
                        bool searched, const SignatureNames& names) {
  const std::string shown = DisplayPath(path);
  std::string out;
  for (const RuleExplanation& rule : explanation.rules) {
    if (rule.level == 0) continue;
    out += shown + ": " + DisplayText(RuleName(library, rule.index)) + " (level " + std::to_string(rule.level) + ")\n";
  }
  if (out.empty()) out += shown + ": OK\n";
  if (!searched) {
    out += "  signatures that occurred: not searched (standard input is read once)\n";
  } else {
    out += "  signatures that occurred:" + std::string(explanation.signatures.empty() ? " none\n" : "\n");
  }
  for (const SignatureExplanation& signature : explanation.signatures) {
    out += "    " + DisplayText(SignatureLabel(names, signature.id)) + ": " +
           OccurrencesText(signature.plain, signature.wide) + "\n";
  }
  out += "  rules:\n";
  for (const RuleExplanation& rule : explanation.rules) {
    out += "    " + std::to_string(rule.id) + " " + DisplayText(RuleName(library, rule.index)) + ": " +
           LevelReason(rule) + "\n";
    if (rule.references.empty()) continue;
    std::string references;
    for (const ExplainedReference& reference : rule.references) {
      references += (references.empty() ? "" : ", ") + ReferenceText(reference);
    }
    out += "      refers to " + references + "\n";
  }
  return out;
}

std::string ExplainJson(const std::string& path, const SignatureLibrary& library, const Explanation& explanation,
                        bool searched, const SignatureNames& names) {
  std::string out = "{\"path\":" + JsonString(path);
  if (!IsUtf8(path)) out += ",\"pathBytes\":\"" + HexBytes(path) + "\"";
  // null: not searched (standard input), unlike [] (none occurred).
  out += ",\"signatures\":" + std::string(searched ? "[" : "null");
  bool first = true;
  for (const SignatureExplanation& signature : explanation.signatures) {
    const auto name = names.find(signature.id);
    out += std::string(first ? "" : ",") + "{\"id\":" + std::to_string(signature.id) +
           (name == names.end() ? "" : ",\"name\":" + JsonString(name->second)) + "," +
           OccurrencesJson(signature.plain, signature.wide) + "}";
    first = false;
  }
  out += std::string(searched ? "]" : "") + ",\"rules\":[";
  first = true;
  for (const RuleExplanation& rule : explanation.rules) {
    out += std::string(first ? "" : ",") + "{\"id\":" + std::to_string(rule.id) +
           ",\"rule\":" + JsonString(RuleName(library, rule.index)) +
           ",\"topLevel\":" + (rule.topLevel ? "true" : "false") + ",\"score\":" + JsonNumber(rule.score) +
           ",\"level\":" + std::to_string(rule.level) + ",\"reason\":" + JsonString(LevelReason(rule)) +
           ",\"references\":[";
    bool firstReference = true;
    for (const ExplainedReference& reference : rule.references) {
      out += std::string(firstReference ? "" : ",") + "{\"" + (reference.isRule ? "rule" : "signature") +
             "\":" + std::to_string(reference.id) + ",\"declared\":" + (reference.declared ? "true" : "false") +
             ",\"value\":" + JsonNumber(reference.value) + "}";
      firstReference = false;
    }
    out += "]}";
    first = false;
  }
  return out + "]}\n";
}

// The file's bytes again and what the finished scan saw; false, with the
// outcome an error, when either fails.
bool ExplainAgain(const ScanTarget& target, const ScanHandle& handle, FileOutcome& outcome,
                  Explanation& explanation) {
  std::optional<std::vector<uint8_t>> bytes;
  if (!target.standardInput && outcome.bytes != 0) {
    std::string error;
    bytes = ReadWholeFile(PathText(target), error, uint64_t{MaxExplainLength});
    if (!bytes) {
      outcome = {Outcome::Error, {}, "cannot be read again to find the signatures: " + error, 0, {}};
      return false;
    }
  }
  if (!ExplainFinishedScan(handle, bytes ? std::span<const uint8_t>(*bytes) : std::span<const uint8_t>(),
                           explanation)) {
    outcome = {Outcome::Error, {}, "out of memory while explaining the scan", 0, {}};
    return false;
  }
  return true;
}

// The signatures a rule reaches through its references and those of the
// rules it refers to (rings included), in `reached`.
void ReachedSignatures(const std::vector<RuleExplanation>& rules, const std::map<uint32_t, size_t>& ruleById,
                       size_t index, std::vector<bool>& visited, std::set<uint32_t>& reached) {
  if (visited[index]) return;
  visited[index] = true;
  for (const ExplainedReference& reference : rules[index].references) {
    if (!reference.isRule) {
      reached.insert(reference.id);
    } else if (const auto found = ruleById.find(reference.id); found != ruleById.end()) {
      ReachedSignatures(rules, ruleById, found->second, visited, reached);
    }
  }
}

}  // namespace

std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> ExplainInspector(
    bool json, std::shared_ptr<const SignatureNames> names) {
  return [json, names](const ScanTarget& target, const ScanHandle& handle, FileOutcome& outcome) {
    Explanation explanation;
    if (!ExplainAgain(target, handle, outcome, explanation)) return;
    const std::string path = PathText(target);
    const bool searched = !target.standardInput;
    outcome.detail = json ? ExplainJson(path, *handle.library, explanation, searched, *names)
                          : ExplainText(path, *handle.library, explanation, searched, *names);
  };
}

std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> SignaturesInspector(
    std::shared_ptr<const SignatureNames> names) {
  return [names](const ScanTarget& target, const ScanHandle& handle, FileOutcome& outcome) {
    if (target.standardInput || outcome.reports.empty()) return;
    Explanation explanation;
    if (!ExplainAgain(target, handle, outcome, explanation)) return;
    std::map<uint32_t, size_t> ruleById;
    for (size_t i = 0; i < explanation.rules.size(); ++i) ruleById.emplace(explanation.rules[i].id, i);
    // The reported rules come in report order, as the reports do.
    size_t next = 0;
    for (size_t i = 0; i < explanation.rules.size() && next < outcome.reports.size(); ++i) {
      if (explanation.rules[i].level == 0) continue;
      std::vector<bool> visited(explanation.rules.size(), false);
      std::set<uint32_t> reached;
      ReachedSignatures(explanation.rules, ruleById, i, visited, reached);
      for (const SignatureExplanation& signature : explanation.signatures) {
        if (!reached.contains(signature.id)) continue;
        const auto name = names->find(signature.id);
        outcome.reports[next].signatures.push_back(
            {signature.id, name == names->end() ? std::string() : name->second, signature.plain, signature.wide});
      }
      ++next;
    }
  };
}

}  // namespace veltor::scanning
