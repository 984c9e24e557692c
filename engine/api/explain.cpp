#include "engine/api/explain.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/api/report.h"
#include "engine/api/scan.h"
#include "engine/text/little_endian.h"
#include "engine/matcher/fold_table.h"
#include "engine/rules/bytecode.h"
#include "engine/rules/evaluator.h"
#include "engine/rules/record_search.h"
#include "engine/scan/report_loop.h"

namespace veltor {
namespace {

struct OccurrenceSearch {
  std::span<const uint8_t> bytes;
  const SignatureLibrary* library = nullptr;
  std::vector<int32_t> slot;  // per signature index: its entry in `found`, or -1
  std::vector<SignatureExplanation> found;
  bool failed = false;
};

// Whether the signature's stored pattern lies at `position`, compared as the
// matcher compares it. The context's matcher tags both forms of a signature
// with its index; a hit that is not the stored pattern is its wide form.
bool PlainFormAt(const SignatureRecord& signature, std::span<const uint8_t> bytes, size_t position) noexcept {
  const size_t length = signature.patternLength;
  if (!signature.pattern || position > bytes.size() || bytes.size() - position < length) return false;
  const uint8_t* at = bytes.data() + position;
  if ((signature.flags & SignatureFlagExactCase) != 0) return std::memcmp(at, signature.pattern.get(), length) == 0;
  for (size_t i = 0; i < length; ++i) {
    if (FoldTable[at[i]] != FoldTable[signature.pattern[i]]) return false;
  }
  return true;
}

void Record(FormOccurrences& form, uint64_t position) {
  ++form.count;
  if (form.offsets.size() < MaxExplainedOffsets) form.offsets.push_back(position);
}

void RecordHit(int32_t position, int32_t tag, void* userData) noexcept {
  auto& search = *static_cast<OccurrenceSearch*>(userData);
  if (search.failed || tag < 0 || position < 0 || static_cast<size_t>(tag) >= search.slot.size()) return;
  const auto index = static_cast<size_t>(tag);
  try {
    if (search.slot[index] < 0) {
      search.slot[index] = static_cast<int32_t>(search.found.size());
      SignatureExplanation entry;
      entry.index = static_cast<uint32_t>(index);
      entry.id = Signatures(*search.library)[index].id;
      search.found.push_back(std::move(entry));
    }
    SignatureExplanation& entry = search.found[static_cast<size_t>(search.slot[index])];
    const auto at = static_cast<uint64_t>(position);
    // Both forms can lie at one position only when the wide form starts
    // with the plain one; the matcher then reports the position twice.
    const bool plainAlreadyHere = !entry.plain.offsets.empty() && entry.plain.offsets.back() == at;
    if (!plainAlreadyHere && PlainFormAt(Signatures(*search.library)[index], search.bytes, static_cast<size_t>(at))) {
      Record(entry.plain, at);
    } else {
      Record(entry.wide, at);
    }
  } catch (const std::bad_alloc&) {
    search.failed = true;
  }
}

// The references of a rule's root node, in prefix order. Nodes are walked
// in sequence rather than recursively: every child follows its parent, so
// counting the nodes still owed visits the root's nodes without a depth to
// bound, and stops before any bytes after the root.
void CollectReferences(const SignatureLibrary& library, const EvaluationState& state, uint32_t ruleIndex,
                       std::vector<ExplainedReference>& references) {
  const RuleRecord& rule = Rules(library)[ruleIndex];
  // A rule of the explained rule's own ring read 0 in its evaluation.
  const uint32_t ring = state.ringOf ? state.ringOf[ruleIndex] : NoRing;
  const uint8_t* node = rule.expression.get();
  const uint32_t length = node ? rule.expressionLength : 0;
  uint32_t at = 0;
  uint64_t owed = 1;
  while (owed != 0 && length - at >= OpcodeSize) {
    --owed;
    const uint32_t opcode = LoadU32(node + at);
    if (IsLiteral(opcode)) {
      at += std::min(LiteralNodeSize(opcode), length - at);
    } else if (IsReference(opcode)) {
      if (length - at < ReferenceNodeSize) return;
      ExplainedReference reference;
      reference.isRule = opcode == OpRuleRef;
      reference.id = LoadU32(node + at + OpcodeSize);
      if (reference.isRule) {
        const int32_t index = FindRecordIndex(Rules(library), reference.id);
        reference.declared = index != RecordNotFound;
        if (reference.declared) {
          const auto target = static_cast<uint32_t>(index);
          const bool sameRing = ring != NoRing && state.ringOf[target] == ring;
          reference.value = sameRing ? 0.0 : state.ruleValues[target];
        }
      } else {
        const int32_t index = FindRecordIndex(Signatures(library), reference.id);
        reference.declared = index != RecordNotFound;
        if (reference.declared) reference.value = state.signatureHits[static_cast<uint32_t>(index)] != 0 ? 1.0 : 0.0;
      }
      references.push_back(reference);
      at += ReferenceNodeSize;
    } else {
      if (length - at < AggregateHeaderSize) return;
      owed += node[at + OpcodeSize];  // the child count
      at += AggregateHeaderSize;
    }
  }
}

bool Explain(const ScanHandle& handle, std::span<const uint8_t> bytes, Explanation& explanation) {
  const SignatureLibrary& library = *handle.library;
  EvaluationState& state = handle.context->evaluation;

  const auto rules = Rules(library);
  std::vector<RuleExplanation> explained(rules.size());
  // Levels first, from the report loop as a scan runs it: evaluating the
  // remaining rules afterwards cannot change a top-level rule's memo.
  ForEachReportLoopRule(handle.context.get(),
                        [&](uint32_t index, double score) { explained[index].level = ReportLevel(score); });
  for (uint32_t index = 0; index < rules.size(); ++index) {
    RuleExplanation& rule = explained[index];
    rule.index = index;
    rule.id = rules[index].id;
    rule.topLevel = (rules[index].flags & RuleFlagTopLevel) != 0;
    rule.score = EvaluateRule(state, index);  // the memoised score when the scan evaluated the rule
  }
  for (uint32_t index = 0; index < rules.size(); ++index) {
    CollectReferences(library, state, static_cast<uint32_t>(index), explained[index].references);
  }

  OccurrenceSearch search;
  search.bytes = bytes;
  search.library = &library;
  search.slot.assign(library.header.signatureCount, -1);
  // Positions are the matcher's to find: the scan path only says which
  // signatures occur. Explaining is a diagnostic, so it may build one.
  if (!bytes.empty()) {
    const PatternMatcherPtr matcher = RegisterLibraryPatterns(library);
    if (!matcher || BuildTables(matcher.get()) != 1) return false;
    SearchBuffer(matcher.get(), bytes.data(), static_cast<int32_t>(bytes.size()), RecordHit, &search);
  }
  if (search.failed) return false;
  std::sort(search.found.begin(), search.found.end(),
            [](const SignatureExplanation& a, const SignatureExplanation& b) { return a.index < b.index; });
  explanation.signatures = std::move(search.found);
  explanation.rules = std::move(explained);
  return true;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

}  // namespace

std::string LevelReason(const RuleExplanation& rule) {
  const std::string score = "score " + Number(rule.score);
  if (rule.level == ReportLevelCertain) return score + " reaches " + Number(CertainThreshold) + " (level 1)";
  if (rule.level == ReportLevelProbable) {
    return score + " reaches " + Number(ReportThreshold) + " (level 2) but not " + Number(CertainThreshold) +
           " (level 1)";
  }
  if (!rule.topLevel) return score + ": not a top-level rule, so never reported, only referred to";
  return score + " is below " + Number(ReportThreshold) + ": not reported";
}

bool ExplainFinishedScan(const ScanHandle& handle, std::span<const uint8_t> bytes,
                         Explanation& explanation) noexcept {
  if (!handle.library || !handle.context || bytes.size() > MaxExplainLength) return false;
  try {
    return Explain(handle, bytes, explanation);
  } catch (...) {
    // Only memory can run out here: no host callback is called.
    return false;
  }
}

bool ExplainScan(ScanHandle& handle, std::span<const uint8_t> bytes, Explanation& explanation) noexcept {
  if (!handle.library || !handle.context || bytes.size() > MaxExplainLength) return false;
  try {
    ReportSink* const hostSink = handle.sink;
    handle.sink = nullptr;  // the scan itself reports nowhere
    BeginScan(handle);
    FeedScan(handle, bytes.data(), bytes.size());
    FinishScan(handle);
    handle.sink = hostSink;
    return Explain(handle, bytes, explanation);
  } catch (...) {
    // Only memory can run out here: no host callback is called.
    return false;
  }
}

}  // namespace veltor
