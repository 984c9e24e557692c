#pragma once
// The values a rule expression can take over every combination of signature
// hits: an interval of numbers and whether NaN is possible. The compiler
// uses it to warn about reported rules that can never reach the report
// threshold, or always do. Every operator follows the evaluator's own
// arithmetic; where an exact bound would be costly the interval is widened,
// so that a warning is never wrong (one may be missed).
#include <functional>

#include "compiler/bytecode/expression_tree.h"

namespace veltor::rulelang {

struct ScoreInterval {
  double low = 0;   // low > high: no number, at most NaN
  double high = 0;
  bool nan = false;

  static ScoreInterval Point(double value);
  static ScoreInterval Everything();  // any number, or NaN
  bool HasNumbers() const { return low <= high; }
};

// The smallest interval holding both.
ScoreInterval Hull(const ScoreInterval& a, const ScoreInterval& b);

// The interval of a resolved expression tree. `referenced(id)` gives the
// interval of a rule reference by id; a signature reference is 0 or 1, or
// always 0 when `signatureDeclared(id)` is false.
ScoreInterval ExpressionInterval(const bytecode::ExpressionNode& node,
                                 const std::function<ScoreInterval(uint32_t)>& referenced,
                                 const std::function<bool(uint32_t)>& signatureDeclared);

}  // namespace veltor::rulelang
