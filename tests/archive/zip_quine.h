#pragma once
// A zip whose one member unpacks to the zip itself, so that it nests
// without end. Its deflate data is a program of two instructions, each one
// unit of 10 bytes: "literal n units" (a stored block of 10n bytes behind an
// empty one) and "repeat the last n units" (fixed-Huffman copies at distance
// 10n behind empty fixed blocks, 80 bits in all). The program prints the
// local header, itself, then the central directory; the CRC-32 it carries
// four times is solved for as a fixed point (the CRC is affine in it).
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace veltor::archive {

namespace quine {

constexpr size_t Unit = 10;

struct BitWriter {
  std::string out;
  uint32_t pending = 0;
  int count = 0;
  void Put(uint32_t value, int bits) {  // least significant bit first
    for (int i = 0; i < bits; ++i) {
      pending |= ((value >> i) & 1u) << count;
      if (++count == 8) {
        out += static_cast<char>(pending);
        pending = 0;
        count = 0;
      }
    }
  }
  void Code(uint32_t code, int bits) {  // Huffman codes: most significant bit first
    for (int i = bits - 1; i >= 0; --i) Put((code >> i) & 1u, 1);
  }
};

inline void Copy(BitWriter& bits, uint32_t length, uint32_t distance) {
  static constexpr std::array<uint32_t, 29> LengthBase = {
      3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static constexpr std::array<uint32_t, 14> DistanceBase = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97};
  uint32_t symbol = 0;
  while (symbol + 1 < LengthBase.size() && LengthBase[symbol + 1] <= length) ++symbol;
  const uint32_t lengthExtra = symbol < 8 || symbol == 28 ? 0 : symbol / 4 - 1;
  if (symbol + 257 < 280) {
    bits.Code(symbol + 1, 7);
  } else {
    bits.Code(0xC0 + symbol + 257 - 280, 8);
  }
  bits.Put(length - LengthBase[symbol], static_cast<int>(lengthExtra));
  uint32_t code = 0;
  while (code + 1 < DistanceBase.size() && DistanceBase[code + 1] <= distance) ++code;
  bits.Code(code, 5);
  bits.Put(distance - DistanceBase[code], static_cast<int>(code < 4 ? 0 : code / 2 - 1));
}

inline std::string Literal(size_t units) {
  const auto length = static_cast<uint16_t>(units * Unit);
  const auto inverse = static_cast<uint16_t>(~length);
  return std::string("\0\0\0\xff\xff\0", 6) + static_cast<char>(length & 0xff) + static_cast<char>(length >> 8) +
         static_cast<char>(inverse & 0xff) + static_cast<char>(inverse >> 8);
}

// Copy lengths found so that each repeat takes exactly 80 bits.
inline std::string Repeat(size_t units, bool final = false) {
  struct Plan {
    size_t units;
    int emptyBlocks;
    std::vector<uint32_t> copies;
  };
  static const Plan Plans[] = {{4, 2, {3, 3, 34}}, {5, 2, {6, 10, 34}}, {9, 3, {19, 71}}};
  BitWriter bits;
  for (const Plan& plan : Plans) {
    if (plan.units != units) continue;
    for (int i = 0; i < plan.emptyBlocks; ++i) {
      bits.Put(0b010, 3);  // not final, fixed Huffman
      bits.Code(0, 7);     // end of block
    }
    bits.Put(final ? 0b011 : 0b010, 3);
    for (uint32_t length : plan.copies) Copy(bits, length, static_cast<uint32_t>(units * Unit));
    bits.Code(0, 7);
  }
  return bits.out;  // not one unit (a test failure) if the plan is missing or wrong
}

inline uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xffffffffu;
  for (char byte : bytes) {
    crc ^= static_cast<uint8_t>(byte);
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline std::string Le(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

inline std::string Build(uint32_t crc) {
  using namespace std::string_literals;
  const std::string name = "quine0.zip";  // the local header is 40 bytes: 4 units
  const auto sizes = [&](uint32_t packed, uint32_t total) {
    return Le(crc, 4) + Le(packed, 4) + Le(total, 4) + Le(static_cast<uint32_t>(name.size()), 2) + Le(0, 2);
  };
  const auto program = [&](const std::string& head, const std::string& tail) {
    const size_t p = head.size() / Unit;
    const size_t s = tail.size() / Unit;
    const std::string r = Repeat(4);
    return Literal(p + 1) + head + Literal(p + 1) + Repeat(p + 1) + Literal(1) + Repeat(p + 1) + Literal(1) +
           Literal(1) + Literal(4) + Repeat(p + 1) + Literal(1) + Literal(1) + Literal(4) + r + Literal(4) + r +
           Literal(4) + r + Literal(4) + r + Literal(4) + r + Literal(0) + Literal(0) + Literal(s + 1) + r +
           Literal(0) + Literal(0) + Literal(s + 1) + Repeat(s + 1, true) + tail + Repeat(s + 1, true);
  };
  std::string head, tail;
  for (int pass = 0; pass < 2; ++pass) {  // the first pass only measures the program
    const auto packed = static_cast<uint32_t>(pass == 0 ? 0 : program(head, tail).size());
    const auto total = static_cast<uint32_t>(head.size() + packed + tail.size());
    const std::string fixed = "\x14\0\0\0\x08\0\0\0\x21\0"s;  // version 2.0, no flags, deflate, a date
    head = "PK\3\4" + fixed + sizes(packed, total) + name;
    const std::string directory =
        "PK\1\2\x14\0"s + fixed + sizes(packed, total) + Le(0, 4) + Le(0, 2) + Le(0100644u << 16, 4) + Le(0, 4) + name;
    // A comment of 2 bytes makes the tail 80 bytes: 8 units.
    tail = directory + "PK\5\6"s + Le(0, 4) + Le(1, 2) + Le(1, 2) + Le(static_cast<uint32_t>(directory.size()), 4) +
           Le(static_cast<uint32_t>(head.size() + packed), 4) + Le(2, 2) + "  ";
  }
  return head + program(head, tail) + tail;
}

}  // namespace quine

// The zip quine: its member quine0.zip is the same zip, byte for byte.
inline std::string ZipQuine() {
  using quine::Build;
  using quine::Crc32;
  const uint32_t base = Crc32(Build(0));
  // Crc32(Build(x)) = base ^ (the columns of x's bits): solve x = Crc32(Build(x)).
  std::array<uint32_t, 32> basis{}, combination{};
  for (uint32_t bit = 0; bit < 32; ++bit) {
    uint32_t vector = Crc32(Build(1u << bit)) ^ base ^ (1u << bit);
    uint32_t made = 1u << bit;
    for (int top = 31; top >= 0 && vector != 0; --top) {
      if (((vector >> top) & 1u) == 0) continue;
      if (basis[static_cast<size_t>(top)] == 0) {
        basis[static_cast<size_t>(top)] = vector;
        combination[static_cast<size_t>(top)] = made;
        break;
      }
      vector ^= basis[static_cast<size_t>(top)];
      made ^= combination[static_cast<size_t>(top)];
    }
  }
  uint32_t target = base, crc = 0;
  for (int top = 31; top >= 0; --top) {
    if (((target >> top) & 1u) != 0 && basis[static_cast<size_t>(top)] != 0) {
      target ^= basis[static_cast<size_t>(top)];
      crc ^= combination[static_cast<size_t>(top)];
    }
  }
  return Build(crc);
}

}  // namespace veltor::archive
