#include "rules/evaluator.h"

#include <bit>
#include <cmath>

#include "database/little_endian.h"
#include "rules/bytecode.h"
#include "rules/record_search.h"
#include "rules/score_values.h"

namespace veltor {
namespace {

// How far a node was read. Once a node that cannot be read is met (cut by
// the span end, or beyond the depth limit), every enclosing aggregate ends at
// that node's start, and the next child each of them would read is that same
// node: each folds a 0 for it and stops. Reporting Stopped upwards, rather
// than letting each ancestor read the node again at its own level, keeps a
// node beyond the depth limit from being read afresh by every ancestor.
enum class Reading : uint32_t {
  Read,        // the walk goes on at `end`
  Stopped,     // read up to `end`, where a node that cannot be read starts
  Unreadable,  // the node itself cannot be read: it has no end
};

// A node's value and the offset just after it in the span. Small enough to
// come back in registers: the recursion's frames hold no addressable locals,
// which keeps them small in sanitizer builds too.
struct NodeResult {
  double value;
  uint32_t end;
  Reading reading;
};

constexpr NodeResult UnreadableNode{0.0, 0, Reading::Unreadable};

double EvaluateRuleAt(ScanContext& context, uint32_t index, uint32_t rootDepth) noexcept;

// The leaf work below stays out of line: inlined into the recursive
// EvaluateNode, its temporaries (bit casts, search bounds) would enlarge the
// frame of every nesting level, about twofold in the sanitizer build.
[[gnu::noinline]] double LiteralValue(uint32_t opcode, const uint8_t* node) noexcept {
  const uint8_t* operand = node + OpcodeSize;
  switch (opcode) {
    case OpInt32: return static_cast<double>(static_cast<int32_t>(LoadU32(operand)));
    case OpBool: return *operand != 0 ? 1.0 : 0.0;
    case OpFloat32: return static_cast<double>(std::bit_cast<float>(LoadU32(operand)));
    default: return std::bit_cast<double>(LoadU64(operand));
  }
}

[[gnu::noinline]] double SignatureValue(const ScanContext* context, uint32_t id) noexcept {
  if (context == nullptr || context->library == nullptr || !context->signatureHits) return 0.0;
  const int32_t index = FindRecordIndex(Signatures(*context->library), id);
  if (index < 0) return 0.0;
  return context->signatureHits[static_cast<uint32_t>(index)] != 0 ? 1.0 : 0.0;
}

// The index of the rule with this id; RecordNotFound also when the context
// has no library or memo.
[[gnu::noinline]] int32_t ResolveRule(const ScanContext* context, uint32_t id) noexcept {
  if (context == nullptr || context->library == nullptr || !context->ruleValues || !context->ruleEvaluated) {
    return RecordNotFound;
  }
  return FindRecordIndex(Rules(*context->library), id);
}

// The fold table. Aggregates fall into four kinds by how they fold their
// children. The fold is kept in plain scalars passed by value, so that the
// recursion's frames hold nothing but registers' spill slots.
enum class FoldKind { Number, Truth, Comparison, Discard };

FoldKind KindOf(uint32_t opcode) noexcept {
  switch (opcode) {
    case OpSum:
    case OpDifference:
    case OpProduct:
    case OpQuotient:
    case OpPower:
    case OpRoot:
    case OpMax:
    case OpMin: return FoldKind::Number;
    case OpAnd:
    case OpOr:
    case OpXor:
    case OpNot: return FoldKind::Truth;
    case OpGreater:
    case OpGreaterEqual:
    case OpEqual:
    case OpLessEqual:
    case OpLess: return FoldKind::Comparison;
    default: return FoldKind::Discard;  // unrecognised: values discarded, result 0
  }
}

double StartNumber(uint32_t opcode) noexcept {
  switch (opcode) {
    case OpProduct: return 1.0;
    case OpMax: return MinBound;
    case OpMin: return MaxBound;
    default: return 0.0;
  }
}

bool StartTruth(uint32_t opcode) noexcept { return opcode == OpAnd || opcode == OpNot; }

// Folds the value of child number k (0 for the first) into the accumulator.
double FoldNumber(uint32_t opcode, uint32_t k, double acc, double value) noexcept {
  switch (opcode) {
    case OpSum: return acc + value;
    case OpDifference: return k == 0 ? acc + value : acc - value;
    case OpProduct: return acc * value;
    case OpQuotient: return k == 0 ? acc + value : acc / DivisorGuard(value);
    case OpPower: return k == 0 ? acc + value : std::pow(acc, value);
    case OpRoot: return k == 0 ? acc + value : std::pow(acc, 1.0 / DivisorGuard(value));
    // Only a strict, ordered comparison replaces: an equal or NaN child never does.
    case OpMax: return value > acc ? value : acc;
    default: return value < acc ? value : acc;  // OpMin
  }
}

bool FoldTruth(uint32_t opcode, uint32_t k, bool truth, double value) noexcept {
  switch (opcode) {
    case OpAnd: return truth && IsTrue(value);
    case OpOr: return truth || IsTrue(value);
    case OpXor: return truth != IsTrue(value);
    default: return k == 0 ? !IsTrue(value) : truth;  // OpNot: later children discarded
  }
}

double Compare(uint32_t opcode, double a, double b) noexcept {
  switch (opcode) {
    case OpGreater: return TruthValue(a > b);
    case OpGreaterEqual: return TruthValue(a >= b);
    case OpEqual: return TruthValue(std::fabs(a - b) < TruthThreshold);
    case OpLessEqual: return TruthValue(a <= b);
    default: return TruthValue(a < b);  // OpLess
  }
}

NodeResult EvaluateNode(ScanContext* context, const uint8_t* span, uint32_t length, uint32_t offset,
                        uint32_t depth) noexcept;

// Aggregates and unrecognised opcodes. A node whose child count lies outside
// the span (only its opcode fits) is cut like a literal that does not fit.
NodeResult EvaluateAggregate(ScanContext* context, const uint8_t* span, uint32_t length, uint32_t offset,
                             uint32_t opcode, uint32_t depth) noexcept {
  if (length - offset < AggregateHeaderSize) return UnreadableNode;
  const uint32_t count = span[offset + OpcodeSize];
  const FoldKind kind = KindOf(opcode);
  double number = StartNumber(opcode);  // comparisons: a
  double secondOperand = MinBound;      // comparisons: b
  bool truth = StartTruth(opcode);
  uint32_t position = offset + AggregateHeaderSize;
  bool stopped = false;
  // No short-circuit: every child is walked, so references inside children
  // whose value cannot change the result are still evaluated and memoised.
  for (uint32_t k = 0; k < count; ++k) {
    // Once stopped, the unreadable node starts at `position` and is this
    // node's next child: it counts as a 0 and ends the node.
    const NodeResult child = stopped ? UnreadableNode : EvaluateNode(context, span, length, position, depth + 1);
    switch (kind) {
      case FoldKind::Number: number = FoldNumber(opcode, k, number, child.value); break;
      case FoldKind::Truth: truth = FoldTruth(opcode, k, truth, child.value); break;
      case FoldKind::Comparison:
        if (k == 0) number = child.value;
        if (k == 1) secondOperand = child.value;
        break;
      case FoldKind::Discard: break;
    }
    if (child.reading == Reading::Unreadable) {
      stopped = true;
      break;
    }
    position = child.end;
    stopped = child.reading == Reading::Stopped;
  }
  double value = 0.0;
  switch (kind) {
    case FoldKind::Number: value = number; break;
    case FoldKind::Truth: value = TruthValue(truth); break;
    // A comparison without children has nothing to compare: it yields 0 (no
    // rule fires on an empty comparison) rather than comparing a made-up
    // first operand with -1e38.
    case FoldKind::Comparison: value = count == 0 ? 0.0 : Compare(opcode, number, secondOperand); break;
    case FoldKind::Discard: break;
  }
  return {value, position, stopped ? Reading::Stopped : Reading::Read};
}

// Evaluates the node at `offset` in a span of `length` bytes; the node lies
// at level `depth`. Below the depth limit a node is unreadable, as is a node
// cut short by the span end.
NodeResult EvaluateNode(ScanContext* context, const uint8_t* span, uint32_t length, uint32_t offset,
                        uint32_t depth) noexcept {
  if (depth > MaxEvaluationDepth) return UnreadableNode;
  const uint32_t available = length - offset;
  if (available < OpcodeSize) return UnreadableNode;
  const uint8_t* node = span + offset;
  const uint32_t opcode = LoadU32(node);
  if (IsLiteral(opcode)) {
    const uint32_t size = LiteralNodeSize(opcode);
    if (available < size) return UnreadableNode;
    return {LiteralValue(opcode, node), offset + size, Reading::Read};
  }
  if (IsReference(opcode)) {
    if (available < ReferenceNodeSize) return UnreadableNode;
    const uint32_t id = LoadU32(node + OpcodeSize);
    double value = 0.0;
    if (opcode == OpSignatureRef) {
      value = SignatureValue(context, id);
    } else if (const int32_t index = ResolveRule(context, id); index >= 0) {
      // The referenced rule's root lies one level below the reference.
      value = EvaluateRuleAt(*context, static_cast<uint32_t>(index), depth + 1);
    }
    return {value, offset + ReferenceNodeSize, Reading::Read};
  }
  return EvaluateAggregate(context, span, length, offset, opcode, depth);
}

// Evaluates the root node of a span, at `depth`.
NodeResult EvaluateSpan(ScanContext* context, const uint8_t* span, uint32_t length, uint32_t depth) noexcept {
  if (span == nullptr) return UnreadableNode;
  return EvaluateNode(context, span, length, 0, depth);
}

double EvaluateRuleAt(ScanContext& context, uint32_t index, uint32_t rootDepth) noexcept {
  uint8_t& state = context.ruleEvaluated[index];
  if (state == RuleMemoised) return context.ruleValues[index];
  // In progress: a cycle. Beyond the limit: not entered. Neither memoises.
  if (state != RuleNotEvaluated || rootDepth > MaxEvaluationDepth) return 0.0;
  state = RuleInProgress;
  const RuleRecord& rule = context.library->rules[index];
  // The score is the root's value whether or not the root advanced.
  const double score = EvaluateSpan(&context, rule.expression.get(), rule.expressionLength, rootDepth).value;
  context.ruleValues[index] = score;
  state = RuleMemoised;
  return score;
}

}  // namespace

double EvaluateExpression(ScanContext* context, const uint8_t* node, uint32_t length,
                          const uint8_t** end) noexcept {
  const NodeResult result = EvaluateSpan(context, node, length, 1);
  if (end != nullptr && result.reading != Reading::Unreadable) *end = node + result.end;
  return result.value;
}

double EvaluateRule(ScanContext& context, uint32_t index) noexcept {
  if (context.library == nullptr || !context.ruleEvaluated || !context.ruleValues) return 0.0;
  if (index >= Rules(*context.library).size()) return 0.0;
  return EvaluateRuleAt(context, index, 1);
}

}  // namespace veltor
