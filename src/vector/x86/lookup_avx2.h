// Table lookups by step index for the AVX2 kernels (include only from a file
// compiled for AVX2): the pair tables of vector/kernel_types.h read as rows,
// one 128-bit load a lane, as gathers are slow on many processors.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "vector/kernel_types.h"

namespace korvane {

// The pairs of the eight lanes' step indices, pair p in pairs[p]: four rows
// at a time transpose into four pairs.
inline void pairsOf(const VectorTables& t, __m256i index, __m256i pairs[4]) {
  alignas(32) std::int32_t at[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
  __m256i rows[4];
  for (int j = 0; j < 4; ++j) {
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(t.pairRows[at[j]]));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(t.pairRows[at[j + 4]]));
    rows[j] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  }
  const __m256i t0 = _mm256_unpacklo_epi32(rows[0], rows[1]);
  const __m256i t1 = _mm256_unpackhi_epi32(rows[0], rows[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(rows[2], rows[3]);
  const __m256i t3 = _mm256_unpackhi_epi32(rows[2], rows[3]);
  pairs[0] = _mm256_unpacklo_epi64(t0, t2);
  pairs[1] = _mm256_unpackhi_epi64(t0, t2);
  pairs[2] = _mm256_unpacklo_epi64(t1, t3);
  pairs[3] = _mm256_unpackhi_epi64(t1, t3);
}

}  // namespace korvane
