#include "engine/database/rc4.h"

#include <numeric>
#include <utility>

namespace veltor {

void Rc4Init(Rc4State& state, std::span<const uint8_t> key) noexcept {
  std::iota(state.permutation.begin(), state.permutation.end(), uint8_t{0});
  state.i = 0;
  state.j = 0;
  // An empty key has no schedule to run; the identity permutation stays.
  if (key.empty()) return;
  uint8_t j = 0;
  for (std::size_t n = 0; n < state.permutation.size(); ++n) {
    j = static_cast<uint8_t>(j + state.permutation[n] + key[n % key.size()]);
    std::swap(state.permutation[n], state.permutation[j]);
  }
}

void Rc4Crypt(Rc4State& state, const uint8_t* input, uint8_t* output, int32_t length) noexcept {
  if (input == nullptr || output == nullptr || length <= 0) return;
  uint8_t i = state.i;
  uint8_t j = state.j;
  auto& s = state.permutation;
  for (int32_t n = 0; n < length; ++n) {
    i = static_cast<uint8_t>(i + 1);
    j = static_cast<uint8_t>(j + s[i]);
    std::swap(s[i], s[j]);
    output[n] = static_cast<uint8_t>(input[n] ^ s[static_cast<uint8_t>(s[i] + s[j])]);
  }
  state.i = i;
  state.j = j;
}

}  // namespace veltor
