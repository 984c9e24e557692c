// Stand-in when libhyperscan-dev is not installed: scan_bench prints the
// engine's figures alone.
#include "bench/hyperscan_runner.h"

namespace veltor::bench {

bool HyperscanAvailable() { return false; }

HyperscanResult RunHyperscan(const std::vector<LiteralForm>&, size_t, std::span<const uint8_t>, int) {
  HyperscanResult result;
  result.error = "Hyperscan not built in";
  return result;
}

}  // namespace veltor::bench
