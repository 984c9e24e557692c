#pragma once
// RC4 exactly as published: no keystream bytes dropped, the first keystream
// byte encrypts the first byte. Encryption and decryption are one operation.
#include <array>
#include <cstdint>
#include <span>

namespace veltor {

struct Rc4State {
  std::array<uint8_t, 256> permutation{};
  uint8_t i = 0;
  uint8_t j = 0;
};

// Key schedule over a key of any length (the database key has 276 bytes:
// step n takes key byte n mod 276).
void Rc4Init(Rc4State& state, std::span<const uint8_t> key) noexcept;

// output = input XOR keystream, continuing from the state's i and j, so that
// consecutive calls continue one stream. Does nothing for a null output or a
// length of 0 or less. Input and output are separate ranges.
void Rc4Crypt(Rc4State& state, const uint8_t* input, uint8_t* output, int32_t length) noexcept;

}  // namespace veltor
