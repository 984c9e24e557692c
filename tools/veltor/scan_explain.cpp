#include "tools/veltor/scan_explain.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "api/explain.h"
#include "api/scan_handle.h"
#include "tools/veltor/files.h"
#include "tools/veltor/scan_system.h"
#include "tools/veltor/scan_targets.h"
#include "tools/veltor/scan_text.h"

namespace veltor::cli {
namespace {

constexpr int ExitNothingReported = 0;
constexpr int ExitReported = 1;
constexpr int ExitError = 2;

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

std::string ExplainText(const std::string& path, const SignatureLibrary& library, const Explanation& explanation) {
  const std::string shown = DisplayText(path);
  std::string out;
  for (const RuleExplanation& rule : explanation.rules) {
    if (rule.level == 0) continue;
    out += shown + ": " + DisplayText(RuleName(library, rule.index)) + " (level " + std::to_string(rule.level) + ")\n";
  }
  if (out.empty()) out += shown + ": OK\n";
  out += "  signatures that occurred:" + std::string(explanation.signatures.empty() ? " none\n" : "\n");
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

std::string ExplainJson(const std::string& path, const SignatureLibrary& library, const Explanation& explanation) {
  std::string out = "{\"path\":" + JsonString(path) + ",\"signatures\":[";
  bool first = true;
  for (const SignatureExplanation& signature : explanation.signatures) {
    out += std::string(first ? "" : ",") + "{\"id\":" + std::to_string(signature.id) +
           ",\"plain\":" + FormJson(signature.plain) + ",\"wide\":" + FormJson(signature.wide) + "}";
    first = false;
  }
  out += "],\"rules\":[";
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

bool LoadDatabase(const ParsedArguments& arguments, ScanHandle& handle) {
  std::string path;
  if (const auto given = arguments.Value("--db")) {
    path = std::string(*given);
  } else {
    path = (std::filesystem::path(LoadedLibraryPath()).parent_path() / "qzdata.vlb").string();
  }
  if (LoadHandle(handle, path.c_str())) return true;
  ReportError("scan", "cannot load the database " + path + " (missing, unreadable or damaged)");
  return false;
}

}  // namespace

int RunScanExplain(const ParsedArguments& arguments) {
  ScanHandle handle;
  if (!LoadDatabase(arguments, handle)) return ExitError;
  const bool json = arguments.Has("--json");
  WalkResult walk = CollectTargets(arguments.positional, {arguments.Has("--recursive"), arguments.Has("--follow-links")});
  std::stable_sort(walk.targets.begin(), walk.targets.end(), PathLess);
  int status = ExitNothingReported;
  for (const ScanTarget& target : walk.targets) {
    const std::string path = target.standardInput ? std::string(StandardInputName) : PathText(target);
    if (target.standardInput || target.state != TargetState::Scan) {
      ReportError("scan", DisplayText(path) + ": " +
                              (target.standardInput ? std::string("--explain takes files, not standard input")
                                                    : target.reason));
      if (target.standardInput || target.state == TargetState::Error) status = ExitError;
      continue;
    }
    std::string error;
    const auto bytes = ReadWholeFile(path, error);
    Explanation explanation;
    if (!bytes) {
      ReportError("scan", error);
      status = ExitError;
      continue;
    }
    if (!ExplainScan(handle, *bytes, explanation)) {
      ReportError("scan", DisplayText(path) + ": cannot be explained (larger than 2 GiB, or out of memory)");
      status = ExitError;
      continue;
    }
    const std::string text = json ? ExplainJson(path, *handle.library, explanation)
                                  : ExplainText(path, *handle.library, explanation);
    std::fwrite(text.data(), 1, text.size(), stdout);
    const bool reported = std::any_of(explanation.rules.begin(), explanation.rules.end(),
                                      [](const RuleExplanation& rule) { return rule.level != 0; });
    if (reported && status == ExitNothingReported) status = ExitReported;
  }
  std::fflush(stdout);
  return status;
}

}  // namespace veltor::cli
