// The root skip, one implementation per instruction set, and the choice
// between them. A position may be skipped when its byte pair (it and the
// next byte) is not a start pair: see literal_finder_scan.cpp.
//
// The vector paths test 16 (SSSE3) or 32 (AVX2) positions at once through
// the nibble buckets, then confirm each candidate in startPairs. They are
// compiled for their instruction set with a target attribute, never for the
// whole build, and only called when the CPU reports it, so the library runs
// on any x86-64 machine. Adding a path: a function with the same contract
// here, an entry in FinderPath, and a case in Supported and Skip below; the
// differential tests run every path the machine supports.
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "engine/matcher/literal_finder_tables.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(_M_X64))
#define VELTOR_FINDER_X86 1
#include <immintrin.h>
#endif

namespace veltor {
namespace {

size_t ScalarSkip(const FinderAutomaton& a, const uint8_t* bytes, size_t i, size_t length) noexcept {
  const uint64_t* pairs = a.startPairs.data();
  while (i + 1 < length && !StartPair(pairs, bytes[i], bytes[i + 1])) ++i;
  return i;
}

#ifdef VELTOR_FINDER_X86

__attribute__((target("ssse3"))) size_t Ssse3Skip(const FinderAutomaton& a, const uint8_t* bytes, size_t i,
                                                  size_t length) noexcept {
  if (!a.nibbleSkip) return ScalarSkip(a, bytes, i, length);
  const uint64_t* pairs = a.startPairs.data();
  const __m128i low0 = _mm_load_si128(reinterpret_cast<const __m128i*>(a.nibbleMasks[0]));
  const __m128i high0 = _mm_load_si128(reinterpret_cast<const __m128i*>(a.nibbleMasks[1]));
  const __m128i low1 = _mm_load_si128(reinterpret_cast<const __m128i*>(a.nibbleMasks[2]));
  const __m128i high1 = _mm_load_si128(reinterpret_cast<const __m128i*>(a.nibbleMasks[3]));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_setzero_si128();
  // 16 positions need 17 bytes: each position's pair.
  for (; i + 17 <= length; i += 16) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 1));
    const __m128i m0 = _mm_and_si128(_mm_shuffle_epi8(low0, _mm_and_si128(first, nibble)),
                                     _mm_shuffle_epi8(high0, _mm_and_si128(_mm_srli_epi16(first, 4), nibble)));
    const __m128i m1 = _mm_and_si128(_mm_shuffle_epi8(low1, _mm_and_si128(second, nibble)),
                                     _mm_shuffle_epi8(high1, _mm_and_si128(_mm_srli_epi16(second, 4), nibble)));
    auto candidates = static_cast<uint32_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(m0, m1), zero))) & 0xFFFFu;
    while (candidates != 0) {
      const size_t at = i + static_cast<size_t>(std::countr_zero(candidates));
      if (StartPair(pairs, bytes[at], bytes[at + 1])) return at;
      candidates &= candidates - 1;
    }
  }
  return ScalarSkip(a, bytes, i, length);
}

__attribute__((target("avx2"))) size_t Avx2Skip(const FinderAutomaton& a, const uint8_t* bytes, size_t i,
                                                size_t length) noexcept {
  if (!a.nibbleSkip) return ScalarSkip(a, bytes, i, length);
  const uint64_t* pairs = a.startPairs.data();
  const auto* masks = reinterpret_cast<const __m128i*>(a.nibbleMasks);
  const __m256i low0 = _mm256_broadcastsi128_si256(_mm_load_si128(masks));
  const __m256i high0 = _mm256_broadcastsi128_si256(_mm_load_si128(masks + 1));
  const __m256i low1 = _mm256_broadcastsi128_si256(_mm_load_si128(masks + 2));
  const __m256i high1 = _mm256_broadcastsi128_si256(_mm_load_si128(masks + 3));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  for (; i + 33 <= length; i += 32) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i + 1));
    const __m256i m0 = _mm256_and_si256(_mm256_shuffle_epi8(low0, _mm256_and_si256(first, nibble)),
                                        _mm256_shuffle_epi8(high0, _mm256_and_si256(_mm256_srli_epi16(first, 4), nibble)));
    const __m256i m1 = _mm256_and_si256(_mm256_shuffle_epi8(low1, _mm256_and_si256(second, nibble)),
                                        _mm256_shuffle_epi8(high1, _mm256_and_si256(_mm256_srli_epi16(second, 4), nibble)));
    auto candidates = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(m0, m1), zero)));
    while (candidates != 0) {
      const size_t at = i + static_cast<size_t>(std::countr_zero(candidates));
      if (StartPair(pairs, bytes[at], bytes[at + 1])) return at;
      candidates &= candidates - 1;
    }
  }
  return Ssse3Skip(a, bytes, i, length);
}

#endif  // VELTOR_FINDER_X86

bool Supported(FinderPath path) noexcept {
  switch (path) {
    case FinderPath::Scalar:
      return true;
#ifdef VELTOR_FINDER_X86
    case FinderPath::Ssse3:
      return __builtin_cpu_supports("ssse3") != 0;
    case FinderPath::Avx2:
      return __builtin_cpu_supports("avx2") != 0;
#endif
    default:
      return false;
  }
}

// The best supported path, lowered by VELTOR_SIMD when it names one.
FinderPath ChoosePath() noexcept {
#ifdef VELTOR_FINDER_X86
  __builtin_cpu_init();
#endif
  FinderPath best = FinderPath::Scalar;
  for (FinderPath path : {FinderPath::Ssse3, FinderPath::Avx2}) {
    if (Supported(path)) best = path;
  }
  if (const char* asked = std::getenv("VELTOR_SIMD"); asked != nullptr) {
    const struct {
      const char* name;
      FinderPath path;
    } names[] = {{"scalar", FinderPath::Scalar}, {"ssse3", FinderPath::Ssse3}, {"avx2", FinderPath::Avx2}};
    for (const auto& n : names) {
      if (std::strcmp(asked, n.name) == 0 && n.path < best) best = n.path;
    }
  }
  return best;
}

// Relaxed: a path is a whole function, and any of them gives the same marks.
std::atomic<FinderPath> activePath{ChoosePath()};

}  // namespace

size_t SkipToCandidate(const FinderAutomaton& a, const uint8_t* bytes, size_t from, size_t length) noexcept {
  switch (activePath.load(std::memory_order_relaxed)) {
#ifdef VELTOR_FINDER_X86
    case FinderPath::Avx2:
      return Avx2Skip(a, bytes, from, length);
    case FinderPath::Ssse3:
      return Ssse3Skip(a, bytes, from, length);
#endif
    default:
      return ScalarSkip(a, bytes, from, length);
  }
}

FinderPath ActiveFinderPath() noexcept { return activePath.load(std::memory_order_relaxed); }

bool ForceFinderPath(FinderPath path) noexcept {
  if (!Supported(path)) return false;
  activePath.store(path, std::memory_order_relaxed);
  return true;
}

}  // namespace veltor
