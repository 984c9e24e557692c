#include "fuzz/engine_input.h"

#include "fuzz/fuzz_support.h"

namespace veltor::fuzz {

EngineInput DecodeEngineInput(std::span<const uint8_t> data) {
  ByteReader reader{data};
  const uint32_t length = reader.Byte() | static_cast<uint32_t>(reader.Byte()) << 8;
  EngineInput input;
  input.body = reader.Take(length);
  input.scanned = reader.Rest();
  return input;
}

std::vector<uint8_t> EncodeEngineInput(std::span<const uint8_t> body, std::span<const uint8_t> scanned) {
  std::vector<uint8_t> out;
  out.reserve(2 + body.size() + scanned.size());
  out.push_back(static_cast<uint8_t>(body.size()));
  out.push_back(static_cast<uint8_t>(body.size() >> 8));
  out.insert(out.end(), body.begin(), body.end());
  out.insert(out.end(), scanned.begin(), scanned.end());
  return out;
}

}  // namespace veltor::fuzz
