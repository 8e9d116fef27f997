// The AVX2 kernel of the lane player: the AVX-512 kernel's
// steps on eight codes at a time. This file alone is compiled for AVX2.
#include <immintrin.h>

#include "vector/x86/lookup_avx2.h"

#include "vector/x86/kernels_x86.h"

namespace korvane {
namespace {

inline __m256i splat(std::int32_t v) {
  return _mm256_set1_epi32(v);
}

// Every lane from R on takes the value of the lane R below it; the first R
// lanes take fill.
template <int R>
inline __m256i shifted(__m256i v, __m256i fill) {
  const __m256i from = _mm256_setr_epi32(-R, 1 - R, 2 - R, 3 - R, 4 - R, 5 - R, 6 - R, 7 - R);
  const __m256i moved = _mm256_permutevar8x32_epi32(v, from);
  return _mm256_blendv_epi8(
      moved, fill, _mm256_cmpgt_epi32(splat(R), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}

inline __m256i lastLane(__m256i v) {
  return _mm256_permutevar8x32_epi32(v, splat(7));
}

// x -> min(max(x + add, low), high) in every lane.
struct Steps {
  __m256i add;
  __m256i low;
  __m256i high;
};

// One round of the prefix: the later step after the earlier one (see the
// AVX-512 kernel).
template <int R>
inline void compose(Steps& s) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i add = shifted<R>(s.add, zero);
  const __m256i low = shifted<R>(s.low, splat(INT32_MIN / 2));
  const __m256i high = shifted<R>(s.high, splat(INT32_MAX / 2));
  const __m256i newLow =
      _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(low, s.add), s.low), s.high);
  const __m256i newHigh =
      _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(high, s.add), s.low), s.high);
  s.add = _mm256_add_epi32(s.add, add);
  s.low = newLow;
  s.high = newHigh;
}

[[gnu::noinline]] __m256i playClamped(__m256i add, __m256i x, std::int32_t low, std::int32_t high) {
  Steps s{add, splat(low), splat(high)};
  compose<1>(s);
  compose<2>(s);
  compose<4>(s);
  return _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(x, s.add), s.low), s.high);
}

// x after each of the eight steps "add, then clamp to low..high", the plain
// prefix sum where no running sum leaves the range.
[[gnu::always_inline]] inline __m256i playSteps(__m256i add, __m256i x, std::int32_t low,
                                                std::int32_t high) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i sums = add;
  sums = _mm256_add_epi32(sums, shifted<1>(sums, zero));
  sums = _mm256_add_epi32(sums, shifted<2>(sums, zero));
  sums = _mm256_add_epi32(sums, shifted<4>(sums, zero));
  const __m256i plain = _mm256_add_epi32(x, sums);
  const __m256i outside = _mm256_or_si256(_mm256_cmpgt_epi32(splat(low), plain),
                                          _mm256_cmpgt_epi32(plain, splat(high)));
  if (_mm256_testz_si256(outside, outside)) return plain;
  return playClamped(add, x, low, high);
}

// Each code's reconstruction at the step before it: the base share of the
// step, and for each magnitude bit set the part of the step it stands for.
template <int Tests>  // magnitude bits: 3, 2 or 1
__m256i deltaOf(__m256i step, __m256i magnitude) {
  __m256i delta = _mm256_srli_epi32(step, Tests);
  for (int j = 0; j < Tests; ++j) {
    const __m256i bit = splat(1 << (Tests - 1 - j));
    const __m256i set = _mm256_cmpeq_epi32(_mm256_and_si256(magnitude, bit), bit);
    delta = _mm256_add_epi32(delta, _mm256_and_si256(set, _mm256_srli_epi32(step, j)));
  }
  return delta;
}

template <int Tests>
void play(const VectorTables& t, const std::uint8_t* codes, std::size_t count,
          std::int32_t& predictor, std::int32_t& index, std::int16_t* out) {
  const __m256i moves = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.movesByMagnitude));
  const __m256i sign = splat(static_cast<std::int32_t>(t.magnitudes));
  const __m256i magnitudeBits = splat(static_cast<std::int32_t>(t.magnitudes) - 1);
  __m256i carryIndex = splat(index);
  __m256i carryPredictor = splat(predictor);
  for (std::size_t at = 0; at < count; at += 8) {
    const __m256i code =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + at)));
    const __m256i magnitude = _mm256_and_si256(code, magnitudeBits);
    // The step index after each code, then the one before it.
    const __m256i after =
        playSteps(_mm256_permutevar8x32_epi32(moves, magnitude), carryIndex, 0, t.maxIndex);
    const __m256i before = shifted<1>(after, carryIndex);
    carryIndex = lastLane(after);
    __m256i delta = deltaOf<Tests>(stepsOf(t, before), magnitude);
    const __m256i negative = _mm256_cmpeq_epi32(_mm256_and_si256(code, sign), sign);
    delta = _mm256_sub_epi32(_mm256_xor_si256(delta, negative), negative);  // -delta where set
    const __m256i played = playSteps(delta, carryPredictor, -32768, 32767);
    carryPredictor = lastLane(played);
    const __m128i samples =
        _mm_packs_epi32(_mm256_castsi256_si128(played), _mm256_extracti128_si256(played, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), samples);
  }
  index = _mm256_cvtsi256_si32(carryIndex);
  predictor = _mm256_cvtsi256_si32(carryPredictor);
}

}  // namespace

void playAdpcmAvx2(const VectorTables& t, const std::uint8_t* codes, std::size_t count,
                   std::int32_t& predictor, std::int32_t& index, std::int16_t* out) {
  switch (t.magnitudes) {
    case 8:
      return play<3>(t, codes, count, predictor, index, out);
    case 4:
      return play<2>(t, codes, count, predictor, index, out);
    default:
      return play<1>(t, codes, count, predictor, index, out);
  }
}

}  // namespace korvane
