// The automata's root skip and the filter's nibble pass, one implementation
// per instruction set, and the choice between them. A position may be
// skipped by the automata when its byte pair (it and the next byte) is not a
// start pair (see literal_finder_scan.cpp), and by the filter when no
// anchor's nibble masks accept it (engine/matcher/DESIGN.md).
//
// The vector skips test 16 (SSSE3) or 32 (AVX2, also used by the AVX-512
// path) positions at once through the nibble buckets, then confirm each
// candidate in startPairs; the nibble pass tests 16, 32 or 64 (AVX-512BW).
// They are compiled for their instruction set with a target attribute,
// never for the whole build, and only called when the CPU reports it, so
// the library runs on any x86-64 machine. Adding a path: see "Adding a SIMD
// path" in engine/matcher/DESIGN.md; the differential tests run every path the
// machine supports.
#include <algorithm>
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

// The nibble pass before the filter, 16, 32 or 64 positions at a time: a
// position is a candidate when some bucket accepts all 2 x FilterGram nibble
// lookups. Blocks without one are passed over; positions too near `limit`
// for a whole block are all returned as candidates (the filter tests them).
// The tables are loaded where they are used (from the cache) rather than
// held in vector locals: 64-bit Windows does not align the stack for
// 32- and 64-byte vectors, and GCC may spill such locals with aligned moves.
size_t RemainingAsCandidates(size_t from, size_t limit, uint64_t& candidates) noexcept {
  const size_t width = std::min<size_t>(limit - from, 64);
  candidates = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
  return width;
}

__attribute__((target("ssse3"))) size_t Ssse3AnchorBlock(const FinderFilter& f, const uint8_t* folded, size_t& from,
                                                         size_t limit, uint64_t& candidates) noexcept {
  const auto* masks = reinterpret_cast<const __m128i*>(f.anchorMasks);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_setzero_si128();
  for (; from + 16 <= limit; from += 16) {
    __m128i accepted = _mm_set1_epi8(-1);
    for (int32_t j = 0; j < FilterGram; ++j) {
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(folded + from + static_cast<size_t>(j)));
      const __m128i low = _mm_load_si128(masks + 2 * j);
      const __m128i high = _mm_load_si128(masks + 2 * j + 1);
      accepted = _mm_and_si128(accepted, _mm_and_si128(_mm_shuffle_epi8(low, _mm_and_si128(b, nibble)),
                                                       _mm_shuffle_epi8(high, _mm_and_si128(_mm_srli_epi16(b, 4), nibble))));
    }
    candidates = static_cast<uint32_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(accepted, zero))) & 0xFFFFu;
    if (candidates != 0) return 16;
  }
  return RemainingAsCandidates(from, limit, candidates);
}

__attribute__((target("avx2"))) size_t Avx2AnchorBlock(const FinderFilter& f, const uint8_t* folded, size_t& from,
                                                       size_t limit, uint64_t& candidates) noexcept {
  const auto* masks = reinterpret_cast<const __m128i*>(f.anchorMasks);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i zero = _mm256_setzero_si256();
  for (; from + 32 <= limit; from += 32) {
    __m256i accepted = _mm256_set1_epi8(-1);
    for (int32_t j = 0; j < FilterGram; ++j) {
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(folded + from + static_cast<size_t>(j)));
      const __m256i low = _mm256_broadcastsi128_si256(_mm_load_si128(masks + 2 * j));
      const __m256i high = _mm256_broadcastsi128_si256(_mm_load_si128(masks + 2 * j + 1));
      accepted = _mm256_and_si256(
          accepted, _mm256_and_si256(_mm256_shuffle_epi8(low, _mm256_and_si256(b, nibble)),
                                     _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(b, 4), nibble))));
    }
    candidates = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(accepted, zero)));
    if (candidates != 0) return 32;
  }
  return Ssse3AnchorBlock(f, folded, from, limit, candidates);
}

__attribute__((target("avx512f,avx512bw"))) size_t Avx512AnchorBlock(const FinderFilter& f, const uint8_t* folded,
                                                                     size_t& from, size_t limit,
                                                                     uint64_t& candidates) noexcept {
  const auto* masks = reinterpret_cast<const __m128i*>(f.anchorMasks);
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  for (; from + 64 <= limit; from += 64) {
    __m512i accepted = _mm512_set1_epi8(-1);
    for (int32_t j = 0; j < FilterGram; ++j) {
      const __m512i b = _mm512_loadu_si512(folded + from + static_cast<size_t>(j));
      // The masked form: GCC 12 warns on the unmasked broadcast's undefined source.
      const __m512i low = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(masks + 2 * j));
      const __m512i high = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(masks + 2 * j + 1));
      accepted = _mm512_and_si512(
          accepted, _mm512_and_si512(_mm512_shuffle_epi8(low, _mm512_and_si512(b, nibble)),
                                     _mm512_shuffle_epi8(high, _mm512_and_si512(_mm512_srli_epi16(b, 4), nibble))));
    }
    candidates = _mm512_test_epi8_mask(accepted, accepted);
    if (candidates != 0) return 64;
  }
  return Avx2AnchorBlock(f, folded, from, limit, candidates);
}

// The hashed test of 8 positions at once: their folded grams, hashed and
// looked up in the anchor table (a gather); bit i set when position from + i
// passes. Reads folded[from, from + 16).
__attribute__((target("avx2"))) uint32_t Avx2HashedEight(const FinderFilter& f, const uint8_t* folded,
                                                          size_t from) noexcept {
  const __m256i bytes = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(folded + from)));
  // Lane 0: the grams at 0..3, lane 1: at 4..7, as little-endian loads.
  const __m256i grams = _mm256_shuffle_epi8(
      bytes, _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6, 4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8,
                              9, 10));
  const __m256i hash = _mm256_mullo_epi32(grams, _mm256_set1_epi32(static_cast<int32_t>(FilterHashFactor)));
  const __m256i bit = _mm256_srl_epi32(hash, _mm_cvtsi32_si128(static_cast<int32_t>(f.bitShift)));
  const __m256i words = _mm256_i32gather_epi32(reinterpret_cast<const int*>(f.bits.data()), _mm256_srli_epi32(bit, 5), 4);
  const __m256i tested = _mm256_srlv_epi32(words, _mm256_and_si256(bit, _mm256_set1_epi32(31)));
  return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_slli_epi32(tested, 31))));
}

// The hashed test in front of itself, for sets without short entries: rules
// out the positions whose anchor bit is clear, 32 (then 8) at a time. Same
// contract as the nibble pass.
__attribute__((target("avx2"))) size_t Avx2HashedBlock(const FinderFilter& f, const uint8_t* folded, size_t& from,
                                                       size_t limit, uint64_t& candidates) noexcept {
  // Reads stay within folded[limit + FilterGram - 2]: 16 bytes from the
  // last group's first position.
  for (; from + 37 <= limit; from += 32) {
    candidates = Avx2HashedEight(f, folded, from) | Avx2HashedEight(f, folded, from + 8) << 8 |
                 Avx2HashedEight(f, folded, from + 16) << 16 | uint64_t{Avx2HashedEight(f, folded, from + 24)} << 24;
    if (candidates != 0) return 32;
  }
  for (; from + 13 <= limit; from += 8) {
    candidates = Avx2HashedEight(f, folded, from);
    if (candidates != 0) return 8;
  }
  return RemainingAsCandidates(from, limit, candidates);
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
    case FinderPath::Avx512:
      return __builtin_cpu_supports("avx512bw") != 0;
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
  for (FinderPath path : {FinderPath::Ssse3, FinderPath::Avx2, FinderPath::Avx512}) {
    if (Supported(path)) best = path;
  }
  if (const char* asked = std::getenv("VELTOR_SIMD"); asked != nullptr) {
    for (FinderPath path : {FinderPath::Scalar, FinderPath::Ssse3, FinderPath::Avx2, FinderPath::Avx512}) {
      if (std::strcmp(asked, FinderPathName(path)) == 0 && path < best) best = path;
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
    case FinderPath::Avx512:  // 48 start pairs at most: 32 positions at a time already outrun the confirmations
    case FinderPath::Avx2:
      return Avx2Skip(a, bytes, from, length);
    case FinderPath::Ssse3:
      return Ssse3Skip(a, bytes, from, length);
#endif
    default:
      return ScalarSkip(a, bytes, from, length);
  }
}

AnchorBlockFunction ActiveAnchorBlock() noexcept {
  switch (activePath.load(std::memory_order_relaxed)) {
#ifdef VELTOR_FINDER_X86
    case FinderPath::Avx512:
      return Avx512AnchorBlock;
    case FinderPath::Avx2:
      return Avx2AnchorBlock;
    case FinderPath::Ssse3:
      return Ssse3AnchorBlock;
#endif
    default:
      return nullptr;
  }
}

AnchorBlockFunction ActiveHashedBlock() noexcept {
  switch (activePath.load(std::memory_order_relaxed)) {
#ifdef VELTOR_FINDER_X86
    case FinderPath::Avx512:  // a gather of 8 is the cost either way
    case FinderPath::Avx2:
      return Avx2HashedBlock;
#endif
    default:
      return nullptr;
  }
}

const char* FinderPathName(FinderPath path) noexcept {
  switch (path) {
    case FinderPath::Ssse3:
      return "ssse3";
    case FinderPath::Avx2:
      return "avx2";
    case FinderPath::Avx512:
      return "avx512";
    default:
      return "scalar";
  }
}

FinderPath ActiveFinderPath() noexcept { return activePath.load(std::memory_order_relaxed); }

bool ForceFinderPath(FinderPath path) noexcept {
  if (!Supported(path)) return false;
  activePath.store(path, std::memory_order_relaxed);
  return true;
}

}  // namespace veltor
