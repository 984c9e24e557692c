#pragma once
// Why a scan reported what it did, for rule authors: which signatures
// occurred (in which form, and where first), every rule's score, and what
// each rule's score rests on (its direct references).
//
// For the programs only (veltor scan --explain): no export reaches this
// file, so the standard containers it returns never enter the shared
// library (the ExceptionFree test checks the library's imports).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/api/scan_handle.h"

namespace veltor {

// Offsets kept per signature form: enough to find the occurrences, bounded
// so that a pattern occurring at every position cannot fill memory.
inline constexpr size_t MaxExplainedOffsets = 8;

struct FormOccurrences {
  uint64_t count = 0;             // every occurrence of this form
  std::vector<uint64_t> offsets;  // the first MaxExplainedOffsets, ascending
};

struct SignatureExplanation {
  uint32_t index = 0;  // position in the library's signature table
  uint32_t id = 0;
  FormOccurrences plain;  // the pattern as stored
  FormOccurrences wide;   // its UTF-16LE form (wide signatures only)
};

// A direct reference in a rule's expression, with what it read in this scan.
struct ExplainedReference {
  bool isRule = false;  // false: a signature
  uint32_t id = 0;
  bool declared = false;  // a record with this id exists
  double value = 0;       // a signature: 1 when it occurred, else 0; a rule: its score
};

struct RuleExplanation {
  uint32_t index = 0;  // position in the library's rule table
  uint32_t id = 0;
  bool topLevel = false;
  double score = 0;
  int32_t level = 0;  // ReportLevelCertain or ReportLevelProbable when reported, else 0
  std::vector<ExplainedReference> references;  // in expression order
};

struct Explanation {
  std::vector<SignatureExplanation> signatures;  // the signatures that occurred, in index order
  std::vector<RuleExplanation> rules;            // every rule, in index order
};

// The most bytes an explanation searches: occurrences are found by the
// matcher's search, whose positions are 32-bit.
inline constexpr size_t MaxExplainLength = INT32_MAX;

// Scans the bytes with the handle as ScanBuffer does, but reports to no
// sink, and explains the result. The reported rules (level != 0) are exactly
// the ones a scan of the same bytes reports. False for an empty handle, more
// than MaxExplainLength bytes, or exhausted memory.
bool ExplainScan(ScanHandle& handle, std::span<const uint8_t> bytes, Explanation& explanation) noexcept;

// Explains the scan the handle has just finished (BeginScan, FeedScan,
// FinishScan): its scores and levels. `bytes` are the bytes that scan was
// fed, searched again for where signatures occurred; empty leaves the
// signatures out. False when memory runs out.
bool ExplainFinishedScan(const ScanHandle& handle, std::span<const uint8_t> bytes,
                         Explanation& explanation) noexcept;

// One sentence on why the rule has its level (or none): its score against
// the report thresholds, or that it is not a top-level rule.
std::string LevelReason(const RuleExplanation& rule);

}  // namespace veltor
