#include "engine/database/rc4.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string_view>
#include <vector>

namespace veltor {
namespace {

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> Crypt(const std::vector<uint8_t>& key, const std::vector<uint8_t>& input) {
  Rc4State state;
  Rc4Init(state, key);
  std::vector<uint8_t> output(input.size());
  Rc4Crypt(state, input.data(), output.data(), static_cast<int32_t>(input.size()));
  return output;
}

bool SameState(const Rc4State& a, const Rc4State& b) {
  return a.permutation == b.permutation && a.i == b.i && a.j == b.j;
}

// Published vectors; the 0x0102030405 one is the keystream itself (zero
// plaintext), its first 32 bytes, which shows no bytes are dropped.
TEST(Rc4, PublishedVectors) {
  struct Case {
    std::vector<uint8_t> key;
    std::vector<uint8_t> plaintext;
    std::vector<uint8_t> ciphertext;
  };
  const Case cases[] = {
      {Bytes("Key"), Bytes("Plaintext"), {0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}},
      {Bytes("Wiki"), Bytes("pedia"), {0x10, 0x21, 0xBF, 0x04, 0x20}},
      {Bytes("Secret"),
       Bytes("Attack at dawn"),
       {0x45, 0xA0, 0x1F, 0x64, 0x5F, 0xC3, 0x5B, 0x38, 0x35, 0x52, 0x54, 0x4B, 0x9B, 0xF5}},
      {{0x01, 0x02, 0x03, 0x04, 0x05},
       std::vector<uint8_t>(32, 0),
       {0xB2, 0x39, 0x63, 0x05, 0xF0, 0x3D, 0xC0, 0x27, 0xCC, 0xC3, 0x52, 0x4A, 0x0A, 0x11, 0x18, 0xA8,
        0x69, 0x82, 0x94, 0x4F, 0x18, 0xFC, 0x82, 0xD5, 0x89, 0xC4, 0x03, 0xA4, 0x7A, 0x0D, 0x09, 0x19}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Crypt(c.key, c.plaintext), c.ciphertext);
    EXPECT_EQ(Crypt(c.key, c.ciphertext), c.plaintext);
  }
}

TEST(Rc4, ConsecutiveCallsContinueOneKeystream) {
  const std::vector<uint8_t> key(276, 0x37);
  std::vector<uint8_t> input(600);
  std::iota(input.begin(), input.end(), uint8_t{0});
  const std::vector<uint8_t> whole = Crypt(key, input);
  // Splits around the 256-step wrap of the indexes as well.
  for (int32_t split : {0, 1, 255, 256, 257, 300, 599, 600}) {
    Rc4State state;
    Rc4Init(state, key);
    std::vector<uint8_t> output(input.size());
    Rc4Crypt(state, input.data(), output.data(), split);
    Rc4Crypt(state, input.data() + split, output.data() + split, static_cast<int32_t>(input.size()) - split);
    EXPECT_EQ(output, whole) << "split at " << split;
  }
}

TEST(Rc4, NothingHappensForEmptyNegativeOrNullRanges) {
  Rc4State state;
  Rc4Init(state, Bytes("Key"));
  const std::vector<uint8_t> input(8, 0x11);
  std::vector<uint8_t> output(8, 0xEE);
  // Move i and j away from 0 so that a reset would show too.
  Rc4Crypt(state, input.data(), output.data(), 3);
  const Rc4State before = state;
  const std::vector<uint8_t> outputBefore = output;
  for (int32_t length : {0, -1, INT32_MIN}) {
    Rc4Crypt(state, input.data(), output.data(), length);
    EXPECT_TRUE(SameState(state, before)) << length;
    EXPECT_EQ(output, outputBefore) << length;
  }
  Rc4Crypt(state, input.data(), nullptr, 8);
  Rc4Crypt(state, nullptr, output.data(), 8);
  EXPECT_TRUE(SameState(state, before));
  EXPECT_EQ(output, outputBefore);
}

}  // namespace
}  // namespace veltor
