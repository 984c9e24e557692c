#pragma once
// The evaluator's explicit stack. Evaluation never recurses on the machine
// stack: every aggregate being folded and every rule being evaluated holds
// one frame here. The stack of a scan is sized and allocated when the scan
// state is built, so that a scan allocates nothing and evaluates every rule
// exactly however deep its nesting and reference chains go.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/database/signature_library.h"
#include "engine/platform/allocation.h"

namespace veltor {

// One open aggregate or one rule under evaluation. Trivially constructible:
// a stack of many frames is allocated without being written.
struct EvaluationFrame {
  double number;      // aggregate: the numeric fold, or a comparison's first operand
  double second;      // aggregate: a comparison's second operand
  uint32_t opcode;    // aggregate: its opcode
  uint32_t position;  // aggregate: offset of its next child; rule: offset just after the reference
  uint32_t rule;      // rule: its index
  uint32_t outer;     // rule: the frame of the rule whose span encloses it (NoEvaluationFrame: none)
  uint8_t count;      // aggregate: its child count
  uint8_t folded;     // aggregate: children folded so far
  bool truth;         // aggregate: the truth fold
  bool stopped;       // aggregate: a node that cannot be read ends it
  bool isRule;        // which of the two the frame is
};

inline constexpr uint32_t NoEvaluationFrame = UINT32_MAX;

struct EvaluationStack {
  HeapArray<EvaluationFrame> frames;
  uint32_t capacity = 0;
};

// The frames an evaluation of any rule of the library can need. A rule under
// evaluation is never entered again (a reference to it is a cycle and yields
// 0), so a chain holds each rule at most once: its root rule, then rules
// that some expression refers to. Each rule on it holds its own frame plus at
// most its expression's deepest nesting of aggregates. The bound is the
// largest (nesting + 1) of any rule plus the sum of (nesting + 1) over the
// rules some expression refers to. Nothing when it cannot be computed or
// exceeds 32 bits (out of memory at load).
bool EvaluationStackFrames(const SignatureLibrary& library, uint32_t& frames) noexcept;

// Sizes the stack for the library and allocates it, without throwing. False
// when memory runs out; the scan state is then not built.
bool AllocateEvaluationStack(const SignatureLibrary& library, EvaluationStack& stack) noexcept;

}  // namespace veltor
