#include "scanning/scan_explain.h"

#include <charconv>
#include <climits>
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

std::string OffsetList(const std::vector<uint64_t>& offsets, const std::string& separator) {
  std::string out;
  for (const uint64_t offset : offsets) out += (out.empty() ? "" : separator) + std::to_string(offset);
  return out;
}

std::string FormText(const char* form, const FormOccurrences& occurrences) {
  if (occurrences.count == 0) return {};
  std::string out = std::string(form) + " " + std::to_string(occurrences.count) + "x at " +
                    OffsetList(occurrences.offsets, ", ");
  if (occurrences.count > occurrences.offsets.size()) out += ", ...";
  return out;
}

std::string ReferenceText(const ExplainedReference& reference) {
  std::string out = (reference.isRule ? "rule " : "signature ") + std::to_string(reference.id);
  if (!reference.declared) return out + " (not in the database: 0)";
  if (reference.isRule) return out + " (score " + Number(reference.value) + ")";
  return out + (reference.value != 0 ? " (occurred)" : " (did not occur)");
}

std::string ExplainText(const std::string& path, const SignatureLibrary& library, const Explanation& explanation,
                        bool searched) {
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
    const std::string plain = FormText("plain", signature.plain);
    const std::string wide = FormText("wide", signature.wide);
    out += "    " + std::to_string(signature.id) + ": " + plain + (plain.empty() || wide.empty() ? "" : "; ") + wide +
           "\n";
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

std::string FormJson(const FormOccurrences& occurrences) {
  return "{\"count\":" + std::to_string(occurrences.count) + ",\"offsets\":[" + OffsetList(occurrences.offsets, ",") +
         "]}";
}

std::string ExplainJson(const std::string& path, const SignatureLibrary& library, const Explanation& explanation,
                        bool searched) {
  std::string out = "{\"path\":" + JsonString(path);
  if (!IsUtf8(path)) out += ",\"pathBytes\":\"" + HexBytes(path) + "\"";
  // null: not searched (standard input), unlike [] (none occurred).
  out += ",\"signatures\":" + std::string(searched ? "[" : "null");
  bool first = true;
  for (const SignatureExplanation& signature : explanation.signatures) {
    out += std::string(first ? "" : ",") + "{\"id\":" + std::to_string(signature.id) +
           ",\"plain\":" + FormJson(signature.plain) + ",\"wide\":" + FormJson(signature.wide) + "}";
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

}  // namespace

std::function<void(const ScanTarget&, const ScanHandle&, FileOutcome&)> ExplainInspector(bool json) {
  return [json](const ScanTarget& target, const ScanHandle& handle, FileOutcome& outcome) {
    const std::string path = PathText(target);
    std::optional<std::vector<uint8_t>> bytes;
    if (!target.standardInput && outcome.bytes != 0) {
      std::string error;
      bytes = ReadWholeFile(path, error, uint64_t{MaxExplainLength});
      if (!bytes) {
        outcome = {Outcome::Error, {}, "cannot be read again to find the signatures: " + error, 0, {}};
        return;
      }
    }
    const bool searched = !target.standardInput;
    Explanation explanation;
    if (!ExplainFinishedScan(handle, bytes ? std::span<const uint8_t>(*bytes) : std::span<const uint8_t>(),
                             explanation)) {
      outcome = {Outcome::Error, {}, "out of memory while explaining the scan", 0, {}};
      return;
    }
    outcome.detail = json ? ExplainJson(path, *handle.library, explanation, searched)
                          : ExplainText(path, *handle.library, explanation, searched);
  };
}

}  // namespace veltor::scanning
