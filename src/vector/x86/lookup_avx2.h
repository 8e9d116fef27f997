// Table lookups by step index for the AVX2 kernels (include only from a file
// compiled for AVX2): a load a lane, as gathers are slow on many processors.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "vector/kernel_types.h"

namespace korvane {

// The step sizes of eight lanes' step indices: eight loads, not a gather.
inline __m256i stepsOf(const VectorTables& t, __m256i index) {
  alignas(32) std::int32_t at[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
  __m128i low = _mm_cvtsi32_si128(t.steps[at[0]]);
  __m128i high = _mm_cvtsi32_si128(t.steps[at[4]]);
  low = _mm_insert_epi32(low, t.steps[at[1]], 1);
  high = _mm_insert_epi32(high, t.steps[at[5]], 1);
  low = _mm_insert_epi32(low, t.steps[at[2]], 2);
  high = _mm_insert_epi32(high, t.steps[at[6]], 2);
  low = _mm_insert_epi32(low, t.steps[at[3]], 3);
  high = _mm_insert_epi32(high, t.steps[at[7]], 3);
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

}  // namespace korvane
