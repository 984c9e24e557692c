#pragma once
// The optional side-by-side runner: the same literal forms scanned by
// Hyperscan in literal, single-match block mode. Built with the real runner
// only when libhyperscan-dev is installed; otherwise Available() is false.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veltor::bench {

struct LiteralForm {
  std::vector<uint8_t> bytes;
  bool exactCase = false;
  uint32_t id = 0;  // the signature's index: forms of one signature share it
};

struct HyperscanResult {
  bool ok = false;
  std::string error;
  double buildMilliseconds = 0;
  double bestSeconds = 0;     // best of the runs over the whole input
  size_t memory = 0;          // database and scratch
  std::vector<uint8_t> found; // per id: 1 when some form occurred
};

bool HyperscanAvailable();
HyperscanResult RunHyperscan(const std::vector<LiteralForm>& forms, size_t idCount, std::span<const uint8_t> input,
                             int runs);

}  // namespace veltor::bench
