#pragma once
// Collects the matcher's hits, in the order they are reported.
#include <cstdint>
#include <utility>
#include <vector>

namespace veltor::testing {

using Hit = std::pair<int32_t, int32_t>;  // position, tag
using Hits = std::vector<Hit>;

inline void RecordHit(int32_t position, int32_t tag, void* userData) {
  static_cast<Hits*>(userData)->emplace_back(position, tag);
}

}  // namespace veltor::testing
