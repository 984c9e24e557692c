#pragma once
// How the evaluator reads a score: truth, the divisor guard and the
// constants every fold starts from. Each constant is the double nearest to
// its decimal, written as its bit pattern so that no compiler's decimal
// conversion can move it.
#include <bit>
#include <cmath>
#include <cstdint>

namespace veltor {

inline constexpr double TruthThreshold = std::bit_cast<double>(uint64_t{0x3F1A36E2EB1C432D});  // 0.0001
inline constexpr double MaxBound = std::bit_cast<double>(uint64_t{0x47D2CED32A16A1B1});        // 1e38
inline constexpr double MinBound = std::bit_cast<double>(uint64_t{0xC7D2CED32A16A1B1});        // -1e38

// True when |value| >= 0.0001; NaN is false.
inline bool IsTrue(double value) noexcept { return std::fabs(value) >= TruthThreshold; }

// A divisor or root degree with |value| < 0.0001 becomes 1; NaN passes
// through unchanged.
inline double DivisorGuard(double value) noexcept { return std::fabs(value) < TruthThreshold ? 1.0 : value; }

inline double TruthValue(bool truth) noexcept { return truth ? 1.0 : 0.0; }

}  // namespace veltor
