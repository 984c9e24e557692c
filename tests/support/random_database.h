#pragma once
// Random database contents for property tests: any records, duplicate ids
// and names, any flag bits, and expressions both well-formed and malformed.
#include <cstdint>
#include <random>
#include <vector>

#include "engine/rules/bytecode.h"
#include "compiler/rulelang/database_entries.h"
#include "compiler/rulelang/expression_codec.h"

namespace veltor::testing {

class RandomDatabase {
 public:
  explicit RandomDatabase(uint32_t seed) : random_(seed) {}

  rulelang::DatabaseEntries Make() {
    rulelang::DatabaseEntries entries;
    if (Chance(3)) {
      entries.reserved1 = Word();
      entries.reserved2 = Word();
      for (uint8_t& byte : entries.reservedArea) byte = Chance(4) ? Byte() : 0;
      for (uint8_t& byte : entries.envelope) byte = Chance(4) ? Byte() : 0;
    }
    const size_t signatures = Below(12);
    for (size_t i = 0; i < signatures; ++i) {
      SignatureInput entry;
      entry.id = Chance(4) && i > 0 ? entries.signatures[Below(i)].id : SmallOrAnyId();
      entry.flags = Chance(2) ? static_cast<uint32_t>(Below(8)) : Word();
      entry.reserved1 = Chance(2) ? 0 : Word();
      entry.reserved2 = Chance(2) ? 0 : Word();
      entry.pattern = Chance(2) ? Text(1 + Below(20)) : RandomBytes(Below(40));
      entry.extra = Chance(2) ? std::vector<uint8_t>{} : RandomBytes(Below(10));
      entries.signatures.push_back(std::move(entry));
    }
    const size_t rules = Below(12);
    for (size_t i = 0; i < rules; ++i) {
      RuleInput entry;
      entry.id = Chance(4) && i > 0 ? entries.rules[Below(i)].id : SmallOrAnyId();
      entry.flags = Chance(2) ? static_cast<uint32_t>(Below(4)) : Word();
      entry.name = Chance(5) && i > 0 ? entries.rules[Below(i)].name : Chance(2) ? Identifier() : RandomBytes(Below(12));
      entries.rules.push_back(std::move(entry));
    }
    for (RuleInput& rule : entries.rules) rule.expression = Expression(entries);
    return entries;
  }

  std::vector<uint8_t> Expression(const rulelang::DatabaseEntries& entries) {
    switch (Below(8)) {
      case 0: return {};
      case 1: return RandomBytes(Below(24));  // mostly malformed
      case 2: {  // a tree cut short, or with bytes after it
        std::vector<uint8_t> bytes = rulelang::EncodeExpression(Tree(entries, 0));
        if (Chance(2) && bytes.size() > 1) {
          bytes.resize(Below(bytes.size()));
        } else {
          const std::vector<uint8_t> tail = RandomBytes(1 + Below(6));
          bytes.insert(bytes.end(), tail.begin(), tail.end());
        }
        return bytes;
      }
      default: return rulelang::EncodeExpression(Tree(entries, 0));
    }
  }

  bytecode::ExpressionNode Tree(const rulelang::DatabaseEntries& entries, int depth) {
    bytecode::ExpressionNode node;
    const size_t kind = depth > 5 ? Below(6) : Below(10);
    switch (kind) {
      case 0: node.opcode = OpInt32; node.operand = Chance(2) ? Below(20) : Word(); break;
      case 1: node.opcode = OpBool; node.operand = Chance(2) ? Below(2) : Byte(); break;
      case 2: node.opcode = OpFloat32; node.operand = Chance(2) ? Float32Like() : Word(); break;
      case 3: node.opcode = OpFloat64; node.operand = Chance(2) ? Float64Like() : Double(); break;
      case 4:
        node.opcode = OpSignatureRef;
        node.operand = !entries.signatures.empty() && Chance(2) ? entries.signatures[Below(entries.signatures.size())].id
                                                                : SmallOrAnyId();
        break;
      case 5:
        node.opcode = OpRuleRef;
        node.operand = !entries.rules.empty() && Chance(2) ? entries.rules[Below(entries.rules.size())].id
                                                           : SmallOrAnyId();
        break;
      default: {
        node.opcode = Chance(8) ? AnyAggregateOpcode() : static_cast<uint32_t>(OpSum + Below(17));
        const size_t count = Chance(30) ? 200 + Below(56) : Below(5);
        for (size_t i = 0; i < count; ++i) node.children.push_back(Tree(entries, depth + (count > 5 ? 4 : 1)));
        break;
      }
    }
    return node;
  }

  size_t Below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  bool Chance(size_t oneIn) { return Below(oneIn) == 0; }
  uint8_t Byte() { return static_cast<uint8_t>(Below(256)); }
  uint32_t Word() { return static_cast<uint32_t>(random_()); }
  uint64_t Double() { return static_cast<uint64_t>(Word()) << 32 | Word(); }

 private:
  uint32_t SmallOrAnyId() { return Chance(3) ? Word() : static_cast<uint32_t>(Below(20)); }

  uint32_t AnyAggregateOpcode() {
    for (;;) {
      const uint32_t opcode = Chance(2) ? static_cast<uint32_t>(Below(64)) : Word();
      if (!IsLiteral(opcode) && !IsReference(opcode)) return opcode;
    }
  }

  uint32_t Float32Like() {
    static constexpr uint32_t Values[] = {0x3F800000u, 0x3DCCCCCDu, 0x80000000u, 0x7F800000u, 0xFF800000u,
                                          0x7FC00000u, 0xFFC00000u, 0x00000001u, 0x7F7FFFFFu, 0xC0490FDBu};
    return Values[Below(std::size(Values))];
  }
  uint64_t Float64Like() {
    static constexpr uint64_t Values[] = {0x3FF0000000000000ull, 0x3FB999999999999Aull, 0x8000000000000000ull,
                                          0x7FF0000000000000ull, 0xFFF0000000000000ull, 0x7FF8000000000000ull,
                                          0xFFF8000000000000ull, 0x0000000000000001ull, 0x3F1A36E2EB1C432Dull,
                                          0xC7D2CED32A16A1B1ull, 0x3FE0000000000000ull};
    return Values[Below(std::size(Values))];
  }

  std::vector<uint8_t> RandomBytes(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes) byte = Byte();
    return bytes;
  }
  std::vector<uint8_t> Text(size_t length) {
    static constexpr char Alphabet[] = "abcXYZ 019_.\"\\\n\xE9\x80\x81";
    std::vector<uint8_t> bytes(length);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(Alphabet[Below(sizeof Alphabet - 1)]);
    return bytes;
  }
  std::vector<uint8_t> Identifier() {
    static constexpr char Words[][8] = {"Trojan", "Win32", "Gen", "x", "and", "sum", "rule", "A1", "_b"};
    std::vector<uint8_t> name;
    const size_t parts = 1 + Below(3);
    for (size_t i = 0; i < parts; ++i) {
      if (i > 0) name.push_back('.');
      const char* word = Words[Below(std::size(Words))];
      name.insert(name.end(), word, word + std::char_traits<char>::length(word));
    }
    return name;
  }

  std::mt19937 random_;
};

}  // namespace veltor::testing
