#include "compiler/rulelang/score_interval.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/rules/bytecode.h"
#include "engine/rules/evaluator.h"
#include "engine/rules/score_values.h"
#include "compiler/rulelang/expression_codec.h"

namespace veltor::rulelang {
namespace {

constexpr double Infinity = std::numeric_limits<double>::infinity();

ScoreInterval Nothing() { return {Infinity, -Infinity, false}; }

bool Finite(const ScoreInterval& a) { return std::isfinite(a.low) && std::isfinite(a.high); }

void Include(ScoreInterval& interval, double value) {
  if (std::isnan(value)) {
    interval.nan = true;
    return;
  }
  interval.low = std::min(interval.low, value);
  interval.high = std::max(interval.high, value);
}

bool HasReferences(const bytecode::ExpressionNode& node) {
  if (node.opcode == OpSignatureRef || node.opcode == OpRuleRef) return true;
  return std::any_of(node.children.begin(), node.children.end(), HasReferences);
}

// a op b for the corners of two finite intervals: exact for +, - and *,
// and for / when b holds no zero. NaN in an operand passes through.
template <typename Op>
ScoreInterval Corners(const ScoreInterval& a, const ScoreInterval& b, Op op) {
  ScoreInterval out = Nothing();
  out.nan = a.nan || b.nan;
  if (!a.HasNumbers() || !b.HasNumbers()) return out;
  for (const double x : {a.low, a.high}) {
    for (const double y : {b.low, b.high}) Include(out, op(x, y));
  }
  return out;
}

// The divisor after the evaluator's guard (|d| < 0.0001 becomes 1), as up
// to three pieces, none holding zero.
std::vector<ScoreInterval> GuardedDivisor(const ScoreInterval& d) {
  std::vector<ScoreInterval> pieces;
  if (!d.HasNumbers()) {
    if (d.nan) pieces.push_back({Infinity, -Infinity, true});
    return pieces;
  }
  if (d.low <= -TruthThreshold) pieces.push_back({d.low, std::min(d.high, -TruthThreshold), false});
  if (d.high >= TruthThreshold) pieces.push_back({std::max(d.low, TruthThreshold), d.high, false});
  if (d.low < TruthThreshold && d.high > -TruthThreshold) pieces.push_back(ScoreInterval::Point(1.0));
  // The guard is strict: a bound of exactly +-0.0001 stays as it is.
  if (d.nan && !pieces.empty()) pieces.front().nan = true;
  return pieces;
}

ScoreInterval Divide(const ScoreInterval& a, const ScoreInterval& d) {
  if (!Finite(a) || !Finite(d)) return ScoreInterval::Everything();
  ScoreInterval out = Nothing();
  out.nan = a.nan;
  for (const ScoreInterval& piece : GuardedDivisor(d)) out = Hull(out, Corners(a, piece, std::divides<>()));
  return out;
}

// pow over a base that is never negative: log pow = y log x is bilinear,
// so the extremes lie at the corners. A base that may be negative gives NaN
// for fractional exponents: widened to everything.
ScoreInterval Power(const ScoreInterval& base, const ScoreInterval& exponent) {
  if (!base.HasNumbers() || !exponent.HasNumbers()) {
    ScoreInterval out = Nothing();
    out.nan = base.nan || exponent.nan;
    // pow(1, NaN) and pow(NaN, 0) are 1.
    if (base.nan || exponent.nan) Include(out, 1.0);
    return out;
  }
  if (base.low < 0 || !Finite(exponent) || !Finite(base)) return ScoreInterval::Everything();
  ScoreInterval out = Corners(base, exponent, [](double x, double y) { return std::pow(x, y); });
  if (base.low <= 1 && base.high >= 1) Include(out, 1.0);
  if (exponent.low <= 0 && exponent.high >= 0) Include(out, 1.0);
  if (base.nan || exponent.nan) Include(out, 1.0);
  return out;
}

struct Truth {
  bool canTrue = false;
  bool canFalse = false;
};

Truth TruthOf(const ScoreInterval& v) {
  Truth t;
  if (v.nan) t.canFalse = true;
  if (v.HasNumbers()) {
    t.canTrue = v.low <= -TruthThreshold || v.high >= TruthThreshold;
    t.canFalse = t.canFalse || (v.low < TruthThreshold && v.high > -TruthThreshold);
  }
  return t;
}

ScoreInterval FromTruth(Truth t) {
  ScoreInterval out = Nothing();
  if (t.canTrue) Include(out, 1.0);
  if (t.canFalse) Include(out, 0.0);
  return out;
}

ScoreInterval Compare(uint32_t opcode, const ScoreInterval& a, const ScoreInterval& b) {
  Truth t;
  t.canFalse = a.nan || b.nan;
  if (a.HasNumbers() && b.HasNumbers()) {
    if (a.low == a.high && b.low == b.high) {
      const bool result = [&] {
        switch (opcode) {
          case OpGreater: return a.low > b.low;
          case OpGreaterEqual: return a.low >= b.low;
          case OpEqual: return std::fabs(a.low - b.low) < TruthThreshold;
          case OpLessEqual: return a.low <= b.low;
          default: return a.low < b.low;
        }
      }();
      (result ? t.canTrue : t.canFalse) = true;
    } else {
      switch (opcode) {
        case OpGreater: t.canTrue = a.high > b.low; t.canFalse |= a.low <= b.high; break;
        case OpGreaterEqual: t.canTrue = a.high >= b.low; t.canFalse |= a.low < b.high; break;
        case OpLessEqual: t.canTrue = a.low <= b.high; t.canFalse |= a.high > b.low; break;
        case OpLess: t.canTrue = a.low < b.high; t.canFalse |= a.high >= b.low; break;
        default:  // OpEqual: widened, both outcomes unless the intervals lie far apart
          t.canTrue = !(a.low - b.high >= TruthThreshold || b.low - a.high >= TruthThreshold);
          t.canFalse = true;
          break;
      }
    }
  }
  return FromTruth(t);
}

struct Walker {
  const std::function<ScoreInterval(uint32_t)>& referenced;
  const std::function<bool(uint32_t)>& signatureDeclared;

  ScoreInterval Walk(const bytecode::ExpressionNode& node) const {
    if (node.opcode == OpSignatureRef) {
      if (!signatureDeclared(static_cast<uint32_t>(node.operand))) return ScoreInterval::Point(0.0);
      return {0.0, 1.0, false};
    }
    if (node.opcode == OpRuleRef) return referenced(static_cast<uint32_t>(node.operand));
    if (!HasReferences(node)) {
      // A constant: the evaluator's own answer.
      const std::vector<uint8_t> bytes = EncodeExpression(node);
      return ScoreInterval::Point(
          EvaluateExpression(nullptr, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
    }
    std::vector<ScoreInterval> values;
    values.reserve(node.children.size());
    for (const bytecode::ExpressionNode& child : node.children) values.push_back(Walk(child));
    switch (node.opcode) {
      case OpSum: case OpDifference: case OpProduct: case OpQuotient: case OpPower: case OpRoot:
      case OpMax: case OpMin: return Fold(node.opcode, values);
      case OpAnd: case OpOr: case OpXor: case OpNot: return Logic(node.opcode, values);
      case OpGreater: case OpGreaterEqual: case OpEqual: case OpLessEqual: case OpLess:
        if (values.empty()) return ScoreInterval::Point(0.0);
        return Compare(node.opcode, values[0], values.size() > 1 ? values[1] : ScoreInterval::Point(MinBound));
      default: return ScoreInterval::Point(0.0);  // unrecognised: the evaluator gives 0
    }
  }

  static ScoreInterval Fold(uint32_t opcode, const std::vector<ScoreInterval>& values) {
    ScoreInterval acc = ScoreInterval::Point(opcode == OpProduct ? 1.0 : opcode == OpMax ? MinBound
                                                                    : opcode == OpMin   ? MaxBound
                                                                                        : 0.0);
    for (size_t k = 0; k < values.size(); ++k) {
      const ScoreInterval& v = values[k];
      const bool first = k == 0;
      switch (opcode) {
        case OpMax:
        case OpMin: {
          // An ordered, strict comparison replaces: NaN never does.
          if (!v.HasNumbers()) break;
          const bool max = opcode == OpMax;
          const double low = max ? std::max(acc.low, v.low) : std::min(acc.low, v.low);
          const double high = max ? std::max(acc.high, v.high) : std::min(acc.high, v.high);
          acc = {v.nan ? (max ? acc.low : low) : low, v.nan ? (max ? high : acc.high) : high, acc.nan};
          break;
        }
        default:
          // NaN alone stays NaN through +, -, * and / (pow(1, NaN) is 1: not there).
          if ((!acc.HasNumbers() || !v.HasNumbers()) && opcode != OpPower && opcode != OpRoot) {
            acc = Nothing();
            acc.nan = true;
            break;
          }
          if (!Finite(acc) || !Finite(v)) return ScoreInterval::Everything();
          if (opcode == OpSum || (first && opcode != OpProduct)) {
            acc = Corners(acc, v, std::plus<>());
          } else if (opcode == OpDifference) {
            acc = Corners(acc, v, std::minus<>());
          } else if (opcode == OpProduct) {
            acc = Corners(acc, v, std::multiplies<>());
          } else if (opcode == OpQuotient) {
            acc = Divide(acc, v);
          } else if (opcode == OpPower) {
            acc = Power(acc, v);
          } else {  // OpRoot: pow(acc, 1 / guard(v))
            acc = Power(acc, Divide(ScoreInterval::Point(1.0), v));
          }
      }
    }
    return acc;
  }

  static ScoreInterval Logic(uint32_t opcode, const std::vector<ScoreInterval>& values) {
    if (opcode == OpNot) {
      if (values.empty()) return ScoreInterval::Point(1.0);
      const Truth t = TruthOf(values[0]);
      return FromTruth({t.canFalse, t.canTrue});
    }
    // The possible truths so far: [0] false, [1] true (for xor: parity).
    bool can[2] = {opcode != OpAnd, opcode == OpAnd};
    for (const ScoreInterval& v : values) {
      const Truth t = TruthOf(v);
      bool next[2] = {false, false};
      for (int truth = 0; truth < 2; ++truth) {
        if (!can[truth]) continue;
        if (t.canTrue) next[opcode == OpAnd ? truth : opcode == OpOr ? 1 : 1 - truth] = true;
        if (t.canFalse) next[opcode == OpAnd ? 0 : truth] = true;
      }
      can[0] = next[0];
      can[1] = next[1];
    }
    return FromTruth({can[1], can[0]});
  }
};

}  // namespace

ScoreInterval ScoreInterval::Point(double value) {
  ScoreInterval out = Nothing();
  Include(out, value);
  return out;
}

ScoreInterval ScoreInterval::Everything() { return {-Infinity, Infinity, true}; }

ScoreInterval Hull(const ScoreInterval& a, const ScoreInterval& b) {
  return {std::min(a.low, b.low), std::max(a.high, b.high), a.nan || b.nan};
}

ScoreInterval ExpressionInterval(const bytecode::ExpressionNode& node,
                                 const std::function<ScoreInterval(uint32_t)>& referenced,
                                 const std::function<bool(uint32_t)>& signatureDeclared) {
  return Walker{referenced, signatureDeclared}.Walk(node);
}

}  // namespace veltor::rulelang
