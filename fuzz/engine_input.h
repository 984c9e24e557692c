#pragma once
// The engine target's input: a database body and the bytes to scan.
//
//   u16 body length (little-endian), the body, then the bytes scanned.
//
// The body gets its magic and CRCs fixed and is sealed with the database
// key before the engine loads it, so that mutations reach the records.
#include <cstdint>
#include <span>
#include <vector>

namespace veltor::fuzz {

struct EngineInput {
  std::span<const uint8_t> body;
  std::span<const uint8_t> scanned;
};

EngineInput DecodeEngineInput(std::span<const uint8_t> data);
std::vector<uint8_t> EncodeEngineInput(std::span<const uint8_t> body, std::span<const uint8_t> scanned);

}  // namespace veltor::fuzz
