#pragma once
// Finding a signature or rule by id in its id-sorted table.
#include <cstdint>
#include <span>

namespace veltor {

inline constexpr int32_t RecordNotFound = -1;

// The index of a record with this id, or RecordNotFound.
//
// Binary search with signed 32-bit bounds: the first probe is (count - 1) / 2
// and ids compare as unsigned. With duplicate ids, whichever the probes meet
// first is found. A count above INT32_MAX wraps hi negative and finds nothing;
// no table that large can be loaded. The midpoint is summed in 64 bits so the
// sum of two large bounds cannot overflow; both bounds are non-negative inside
// the loop, so the shift is the same as the 32-bit arithmetic one.
template <typename Record>
int32_t FindRecordIndex(std::span<const Record> table, uint32_t id) noexcept {
  int32_t lo = 0;
  int32_t hi = static_cast<int32_t>(static_cast<uint32_t>(table.size()) - 1u);
  while (lo <= hi) {
    const int32_t mid = static_cast<int32_t>((int64_t{lo} + int64_t{hi}) >> 1);
    const uint32_t probe = table[static_cast<uint32_t>(mid)].id;
    if (probe < id) {
      lo = mid + 1;
    } else if (probe > id) {
      hi = mid - 1;
    } else {
      return mid;
    }
  }
  return RecordNotFound;
}

}  // namespace veltor
