#include "engine/rules/evaluator.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "engine/text/little_endian.h"
#include "engine/rules/bytecode.h"
#include "engine/rules/record_search.h"
#include "engine/rules/score_values.h"

namespace veltor {
namespace {

// How far a node was read. Once a node that cannot be read is met (cut by
// the span end), every enclosing aggregate ends at that node's start, and the
// next child each of them would read is that same node: each folds a 0 for
// it and stops.
enum class Reading : uint32_t {
  Read,        // the walk goes on at `end`
  Stopped,     // read up to `end`, where a node that cannot be read starts
  Unreadable,  // the node itself cannot be read: it has no end
};

// A node's value and the offset just after it in its span.
struct NodeResult {
  double value;
  uint32_t end;
  Reading reading;
};

constexpr NodeResult UnreadableNode{0.0, 0, Reading::Unreadable};

double LiteralValue(uint32_t opcode, const uint8_t* node) noexcept {
  const uint8_t* operand = node + OpcodeSize;
  switch (opcode) {
    case OpInt32: return static_cast<double>(static_cast<int32_t>(LoadU32(operand)));
    case OpBool: return *operand != 0 ? 1.0 : 0.0;
    case OpFloat32: return static_cast<double>(std::bit_cast<float>(LoadU32(operand)));
    default: return std::bit_cast<double>(LoadU64(operand));
  }
}

double SignatureValue(const EvaluationState* state, uint32_t id) noexcept {
  if (state == nullptr || state->library == nullptr || !state->signatureHits) return 0.0;
  const int32_t index = FindRecordIndex(Signatures(*state->library), id);
  if (index < 0) return 0.0;
  return state->signatureHits[static_cast<uint32_t>(index)] != 0 ? 1.0 : 0.0;
}

// The index of the rule with this id; RecordNotFound also when the state
// has no library or memo.
int32_t ResolveRule(const EvaluationState* state, uint32_t id) noexcept {
  if (state == nullptr || state->library == nullptr || !state->ruleValues || !state->ruleEvaluated) {
    return RecordNotFound;
  }
  return FindRecordIndex(Rules(*state->library), id);
}

// The fold table. Aggregates fall into four kinds by how they fold their
// children.
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

void OpenAggregate(EvaluationFrame& frame, uint32_t opcode, uint8_t count, uint32_t firstChild) noexcept {
  frame.number = StartNumber(opcode);  // comparisons: a
  frame.second = MinBound;             // comparisons: b
  frame.opcode = opcode;
  frame.position = firstChild;
  frame.count = count;
  frame.folded = 0;
  frame.truth = StartTruth(opcode);
  frame.stopped = false;
  frame.isRule = false;
}

// Folds the value of the aggregate's next child.
void FoldChild(EvaluationFrame& frame, double value) noexcept {
  const uint32_t k = frame.folded;
  switch (KindOf(frame.opcode)) {
    case FoldKind::Number: frame.number = FoldNumber(frame.opcode, k, frame.number, value); break;
    case FoldKind::Truth: frame.truth = FoldTruth(frame.opcode, k, frame.truth, value); break;
    case FoldKind::Comparison:
      if (k == 0) frame.number = value;
      if (k == 1) frame.second = value;
      break;
    case FoldKind::Discard: break;
  }
  ++frame.folded;
}

double AggregateValue(const EvaluationFrame& frame) noexcept {
  switch (KindOf(frame.opcode)) {
    case FoldKind::Number: return frame.number;
    case FoldKind::Truth: return TruthValue(frame.truth);
    // A comparison without children has nothing to compare: it yields 0 (no
    // rule fires on an empty comparison) rather than comparing a made-up
    // first operand with -1e38.
    case FoldKind::Comparison: return frame.count == 0 ? 0.0 : Compare(frame.opcode, frame.number, frame.second);
    case FoldKind::Discard: return 0.0;
  }
  return 0.0;
}

// One evaluation: a walk over the bytecode that keeps every open aggregate
// and every rule under evaluation as a frame on the explicit stack, so that
// the machine stack stays flat however deep the expression goes.
struct Walk {
  EvaluationState* state;  // null: references yield 0
  EvaluationFrame* frames;
  uint32_t capacity;
  uint32_t top = 0;                       // frames in use
  uint32_t ruleFrame = NoEvaluationFrame;  // the innermost rule frame
  const uint8_t* rootSpan = nullptr;      // the span the walk started in
  uint32_t rootLength = 0;
  const uint8_t* span = nullptr;  // the span being read
  uint32_t length = 0;
};

void EnterSpanOf(Walk& walk, uint32_t ruleFrame) noexcept {
  walk.ruleFrame = ruleFrame;
  if (ruleFrame == NoEvaluationFrame) {
    walk.span = walk.rootSpan;
    walk.length = walk.rootLength;
    return;
  }
  const RuleRecord& rule = walk.state->library->rules[walk.frames[ruleFrame].rule];
  walk.span = rule.expression.get();
  walk.length = rule.expressionLength;
}

// Starts rule `index` above the current frames: marks it in progress and
// moves the walk to the root of its expression. False when the stack has no
// room, which its sizing at load rules out.
bool PushRule(Walk& walk, uint32_t index, uint32_t resume) noexcept {
  if (walk.top == walk.capacity) return false;
  EvaluationFrame& frame = walk.frames[walk.top];
  frame.isRule = true;
  frame.rule = index;
  frame.position = resume;
  frame.outer = walk.ruleFrame;
  walk.state->ruleEvaluated[index] = RuleInProgress;
  EnterSpanOf(walk, walk.top++);
  return true;
}

// Reads the node at `offset` of the current span. Either the node has a
// value at once (a leaf, a childless aggregate, a memoised or cyclic
// reference, a cut node) and `result` holds it, or a frame was pushed and
// the walk goes on at `offset`, where that frame's first node starts.
bool StartNode(Walk& walk, uint32_t& offset, NodeResult& result) noexcept {
  if (walk.span == nullptr || offset > walk.length || walk.length - offset < OpcodeSize) {
    result = UnreadableNode;
    return true;
  }
  const uint32_t available = walk.length - offset;
  const uint8_t* node = walk.span + offset;
  const uint32_t opcode = LoadU32(node);
  if (IsLiteral(opcode)) {
    const uint32_t size = LiteralNodeSize(opcode);
    result = available < size ? UnreadableNode : NodeResult{LiteralValue(opcode, node), offset + size, Reading::Read};
    return true;
  }
  if (IsReference(opcode)) {
    if (available < ReferenceNodeSize) {
      result = UnreadableNode;
      return true;
    }
    const uint32_t id = LoadU32(node + OpcodeSize);
    const uint32_t end = offset + ReferenceNodeSize;
    result = {0.0, end, Reading::Read};
    if (opcode == OpSignatureRef) {
      result.value = SignatureValue(walk.state, id);
      return true;
    }
    const int32_t found = ResolveRule(walk.state, id);
    if (found < 0) return true;
    const auto index = static_cast<uint32_t>(found);
    // A rule on the referring rule's own ring reads 0, whichever of the
    // ring's rules the scan happens to evaluate first.
    if (walk.ruleFrame != NoEvaluationFrame && walk.state->ringOf) {
      const uint32_t ring = walk.state->ringOf[index];
      if (ring != NoRing && ring == walk.state->ringOf[walk.frames[walk.ruleFrame].rule]) return true;
    }
    const uint8_t state = walk.state->ruleEvaluated[index];
    if (state == RuleMemoised) {
      result.value = walk.state->ruleValues[index];
      return true;
    }
    // In progress: a cycle, which yields 0 and memoises nothing.
    if (state != RuleNotEvaluated || !PushRule(walk, index, end)) return true;
    offset = 0;
    return false;
  }
  if (available < AggregateHeaderSize) {
    result = UnreadableNode;
    return true;
  }
  const uint8_t count = node[OpcodeSize];
  if (count == 0 || walk.top == walk.capacity) {
    // A childless aggregate is complete at once. No room for its frame
    // (ruled out by the sizing at load) reads it like a cut node.
    EvaluationFrame frame{};
    OpenAggregate(frame, opcode, count, offset + AggregateHeaderSize);
    result = count == 0 ? NodeResult{AggregateValue(frame), frame.position, Reading::Read} : UnreadableNode;
    return true;
  }
  OpenAggregate(walk.frames[walk.top++], opcode, count, offset + AggregateHeaderSize);
  offset += AggregateHeaderSize;
  return false;
}

// Runs the walk from the node at offset 0 of the current span until every
// frame above `base` is closed, and returns the result of the node that
// closed last.
NodeResult Run(Walk& walk, uint32_t base) noexcept {
  uint32_t offset = 0;
  NodeResult result = UnreadableNode;
  bool descend = true;
  for (;;) {
    if (descend && !StartNode(walk, offset, result)) continue;
    descend = false;
    if (walk.top == base) return result;
    EvaluationFrame& frame = walk.frames[walk.top - 1];
    if (frame.isRule) {
      // The score is the root's value whether or not the root advanced.
      walk.state->ruleValues[frame.rule] = result.value;
      walk.state->ruleEvaluated[frame.rule] = RuleMemoised;
      result = {result.value, frame.position, Reading::Read};
      --walk.top;
      EnterSpanOf(walk, frame.outer);
      continue;
    }
    // No short-circuit: every child is walked, so references inside children
    // whose value cannot change the result are still evaluated and memoised.
    FoldChild(frame, result.value);
    if (result.reading == Reading::Unreadable) {
      // The unreadable node starts at `position` and ends this aggregate.
      frame.stopped = true;
    } else {
      frame.position = result.end;
      frame.stopped = result.reading == Reading::Stopped;
      if (frame.folded < frame.count) {
        if (!frame.stopped) {
          offset = frame.position;
          descend = true;
          continue;
        }
        // The node that stopped the child is this aggregate's next child:
        // it counts as a 0 and ends the aggregate.
        FoldChild(frame, 0.0);
      }
    }
    result = {AggregateValue(frame), frame.position, frame.stopped ? Reading::Stopped : Reading::Read};
    --walk.top;
  }
}

// The deepest nesting of aggregates in a span, read as the evaluator reads
// it; hands the index of every rule its references name to `onRule`.
// `open` holds the children left of each open aggregate (room for
// length / 5 + 1 of them).
template <typename OnRule>
uint32_t WalkSpan(const SignatureLibrary& library, const uint8_t* span, uint32_t length, uint8_t* open,
                  OnRule&& onRule) noexcept {
  uint32_t depth = 0;
  uint32_t deepest = 0;
  uint32_t offset = 0;
  while (span != nullptr && offset <= length && length - offset >= OpcodeSize) {
    const uint32_t available = length - offset;
    const uint32_t opcode = LoadU32(span + offset);
    if (IsLiteral(opcode) || IsReference(opcode)) {
      const uint32_t size = IsLiteral(opcode) ? LiteralNodeSize(opcode) : ReferenceNodeSize;
      if (available < size) break;
      if (opcode == OpRuleRef) {
        const int32_t index = FindRecordIndex(Rules(library), LoadU32(span + offset + OpcodeSize));
        if (index >= 0) onRule(static_cast<uint32_t>(index));
      }
      offset += size;
    } else {
      if (available < AggregateHeaderSize) break;
      const uint8_t count = span[offset + OpcodeSize];
      offset += AggregateHeaderSize;
      if (count != 0) {
        open[depth++] = count;
        deepest = std::max(deepest, depth);
        continue;
      }
    }
    // A node is complete: it completes every enclosing aggregate that has
    // no child left.
    while (depth != 0 && --open[depth - 1] == 0) --depth;
    if (depth == 0) break;
  }
  return deepest;
}

uint32_t MeasureSpan(const SignatureLibrary& library, const uint8_t* span, uint32_t length, uint8_t* open,
                     uint8_t* referenced) noexcept {
  return WalkSpan(library, span, length, open, [&](uint32_t index) { referenced[index] = 1; });
}

}  // namespace

bool FindRuleRings(const SignatureLibrary& library, uint32_t* ringOf) noexcept {
  const auto rules = Rules(library);
  const size_t count = rules.size();
  if (count == 0) return true;
  uint32_t longest = 0;
  for (const RuleRecord& rule : rules) longest = std::max(longest, rule.expressionLength);
  const HeapArray<uint8_t> open = NewBuffer<uint8_t>(longest / AggregateHeaderSize + 1);
  // The references as a graph: rule i's edges are edges[edgeStart[i] ..
  // edgeStart[i + 1]).
  const HeapArray<size_t> edgeStart = NewArray<size_t>(count + 1);
  if (!open || !edgeStart) return false;
  for (size_t i = 0; i < count; ++i) {
    size_t found = 0;
    WalkSpan(library, rules[i].expression.get(), rules[i].expressionLength, open.get(), [&](uint32_t) { ++found; });
    edgeStart[i + 1] = edgeStart[i] + found;
  }
  const HeapArray<uint32_t> edges = NewBuffer<uint32_t>(edgeStart[count]);
  // Tarjan's strongly connected components, without recursion: `order` is
  // the visiting order (Unvisited before), `low` the lowest order reachable,
  // `pending` the visited rules not yet given a component, `path` the rules
  // being explored with the next edge each is to take.
  constexpr uint32_t Unvisited = UINT32_MAX;
  const HeapArray<uint32_t> order = NewBuffer<uint32_t>(count);
  const HeapArray<uint32_t> low = NewBuffer<uint32_t>(count);
  const HeapArray<uint32_t> pending = NewBuffer<uint32_t>(count);
  const HeapArray<uint8_t> isPending = NewArray<uint8_t>(count);
  const HeapArray<uint32_t> path = NewBuffer<uint32_t>(count);
  const HeapArray<size_t> nextEdge = NewBuffer<size_t>(count);
  if (!edges || !order || !low || !pending || !isPending || !path || !nextEdge) return false;
  for (size_t i = 0; i < count; ++i) {
    size_t at = edgeStart[i];
    WalkSpan(library, rules[i].expression.get(), rules[i].expressionLength, open.get(),
             [&](uint32_t index) { edges[at++] = index; });
    order[i] = Unvisited;
    ringOf[i] = NoRing;
  }
  uint32_t visited = 0;
  uint32_t rings = 0;
  size_t pendingCount = 0;
  for (uint32_t root = 0; root < count; ++root) {
    if (order[root] != Unvisited) continue;
    size_t depth = 0;
    const auto visit = [&](uint32_t rule) {
      order[rule] = low[rule] = visited++;
      pending[pendingCount++] = rule;
      isPending[rule] = 1;
      path[depth] = rule;
      nextEdge[depth++] = edgeStart[rule];
    };
    visit(root);
    while (depth != 0) {
      const uint32_t rule = path[depth - 1];
      if (nextEdge[depth - 1] < edgeStart[rule + 1]) {
        const uint32_t target = edges[nextEdge[depth - 1]++];
        if (order[target] == Unvisited) {
          visit(target);
        } else if (isPending[target] != 0) {
          low[rule] = std::min(low[rule], order[target]);
        }
        continue;
      }
      --depth;
      if (depth != 0) low[path[depth - 1]] = std::min(low[path[depth - 1]], low[rule]);
      if (low[rule] != order[rule]) continue;
      // `rule` heads a component: the pending rules from it up. It is a
      // ring when it holds two rules or more, or one that names itself.
      size_t first = pendingCount;
      while (pending[--first] != rule) {
      }
      bool ring = pendingCount - first > 1;
      for (size_t e = edgeStart[rule]; !ring && e < edgeStart[rule + 1]; ++e) ring = edges[e] == rule;
      for (size_t k = first; k < pendingCount; ++k) {
        isPending[pending[k]] = 0;
        if (ring) ringOf[pending[k]] = rings;
      }
      rings += ring ? 1 : 0;
      pendingCount = first;
    }
  }
  return true;
}

bool EvaluationStackFrames(const SignatureLibrary& library, uint32_t& frames) noexcept {
  const auto rules = Rules(library);
  frames = 0;
  if (rules.empty()) return true;
  uint32_t longest = 0;
  for (const RuleRecord& rule : rules) longest = std::max(longest, rule.expressionLength);
  const HeapArray<uint8_t> open = NewBuffer<uint8_t>(longest / AggregateHeaderSize + 1);
  const HeapArray<uint8_t> referenced = NewArray<uint8_t>(rules.size());
  const HeapArray<uint32_t> nesting = NewBuffer<uint32_t>(rules.size());
  if (!open || !referenced || !nesting) return false;
  for (size_t index = 0; index < rules.size(); ++index) {
    nesting[index] = MeasureSpan(library, rules[index].expression.get(), rules[index].expressionLength, open.get(),
                                 referenced.get());
  }
  uint64_t root = 0;
  uint64_t chain = 0;
  for (size_t index = 0; index < rules.size(); ++index) {
    const uint64_t own = uint64_t{nesting[index]} + 1;
    root = std::max(root, own);
    if (referenced[index] != 0) chain += own;
  }
  const uint64_t total = root + chain;
  if (total > UINT32_MAX - 1u) return false;
  frames = static_cast<uint32_t>(total);
  return true;
}

bool AllocateEvaluationStack(const SignatureLibrary& library, EvaluationStack& stack) noexcept {
  stack = EvaluationStack{};
  uint32_t frames = 0;
  if (!EvaluationStackFrames(library, frames)) return false;
  if (frames == 0) return true;
  stack.frames = NewBuffer<EvaluationFrame>(frames);
  if (!stack.frames) return false;
  stack.capacity = frames;
  return true;
}

double EvaluateExpression(EvaluationState* state, const uint8_t* node, uint32_t length,
                          const uint8_t** end) noexcept {
  if (node == nullptr) return 0.0;
  // The expression's own aggregates, each with a header of its own inside
  // the span, plus what the library's rules can need.
  const uint64_t own = uint64_t{length} / AggregateHeaderSize + 1;
  const uint64_t frames = own + (state != nullptr ? state->evaluationStack.capacity : 0u);
  if (frames > UINT32_MAX) return 0.0;
  const HeapArray<EvaluationFrame> stack = NewBuffer<EvaluationFrame>(static_cast<size_t>(frames));
  if (!stack) return 0.0;
  Walk walk{state, stack.get(), static_cast<uint32_t>(frames)};
  walk.rootSpan = walk.span = node;
  walk.rootLength = walk.length = length;
  const NodeResult result = Run(walk, 0);
  if (end != nullptr && result.reading != Reading::Unreadable) *end = node + result.end;
  return result.value;
}

double EvaluateRule(EvaluationState& state, uint32_t index) noexcept {
  if (state.library == nullptr || !state.ruleEvaluated || !state.ruleValues) return 0.0;
  if (index >= Rules(*state.library).size()) return 0.0;
  const uint8_t mark = state.ruleEvaluated[index];
  if (mark == RuleMemoised) return state.ruleValues[index];
  if (mark != RuleNotEvaluated) return 0.0;  // in progress: a cycle
  Walk walk{&state, state.evaluationStack.frames.get(), state.evaluationStack.capacity};
  if (!PushRule(walk, index, 0)) return 0.0;
  return Run(walk, 0).value;
}

}  // namespace veltor
