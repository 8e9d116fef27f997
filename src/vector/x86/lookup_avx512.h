// Table lookups by step index for the AVX-512 kernels (include only from a
// file compiled for AVX-512): a 96-entry table of vector/kernel_types.h read
// with three two-register permutes, not gathers, which are slow on many
// processors.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace korvane {

// The step-index masks of a lookup: lanes whose index is 32 and up, 64 and up.
struct IndexThirds {
  __mmask16 upper;
  __mmask16 top;
};

inline IndexThirds thirdsOf(__m512i index) {
  return {_mm512_cmpge_epi32_mask(index, _mm512_set1_epi32(32)),
          _mm512_cmpge_epi32_mask(index, _mm512_set1_epi32(64))};
}

inline __m512i lookup(const std::int32_t* table, __m512i index, IndexThirds thirds) {
  const auto* t = reinterpret_cast<const __m512i*>(table);
  const __m512i low =
      _mm512_permutex2var_epi32(_mm512_load_si512(t), index, _mm512_load_si512(t + 1));
  const __m512i mid =
      _mm512_permutex2var_epi32(_mm512_load_si512(t + 2), index, _mm512_load_si512(t + 3));
  const __m512i high =
      _mm512_permutex2var_epi32(_mm512_load_si512(t + 4), index, _mm512_load_si512(t + 5));
  return _mm512_mask_mov_epi32(_mm512_mask_mov_epi32(low, thirds.upper, mid), thirds.top, high);
}

}  // namespace korvane
