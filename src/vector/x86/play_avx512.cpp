// The ADPCM player in vector lanes, exact: both of its chains are "add, then
// clamp to a range", x -> min(max(x + a, lo), hi), and two such steps compose
// into one of the same kind, so sixteen consecutive steps are composed by a
// prefix scan and applied to the state at once. First the step index chain
// (its moves come from the codes alone), then each code's reconstruction at
// the step index before it, then the predictor chain. This file alone is
// compiled for AVX-512.
#include <immintrin.h>

#include "vector/x86/lookup_avx512.h"

#include "vector/x86/kernels_x86.h"

namespace korvane {
namespace {

// x -> min(max(x + add, low), high) in every lane.
struct Steps {
  __m512i add;
  __m512i low;
  __m512i high;
};

// One round of the prefix: every lane from R on takes the steps of the lane
// R below it first. The later step g after the earlier f adds both adds, and
// its bounds are f's moved by g's add and kept inside g's.
template <int R>
inline void compose(Steps& s) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i add = _mm512_alignr_epi32(s.add, zero, 16 - R);
  const __m512i low = _mm512_alignr_epi32(s.low, zero, 16 - R);
  const __m512i high = _mm512_alignr_epi32(s.high, zero, 16 - R);
  const auto later = static_cast<__mmask16>(0xFFFFu << R);
  const __m512i newLow =
      _mm512_min_epi32(_mm512_max_epi32(_mm512_add_epi32(low, s.add), s.low), s.high);
  const __m512i newHigh =
      _mm512_min_epi32(_mm512_max_epi32(_mm512_add_epi32(high, s.add), s.low), s.high);
  s.add = _mm512_mask_add_epi32(s.add, later, s.add, add);
  s.low = _mm512_mask_mov_epi32(s.low, later, newLow);
  s.high = _mm512_mask_mov_epi32(s.high, later, newHigh);
}

// Lane i becomes the composition of the steps of lanes 0 to i (Hillis and Steele).
inline Steps prefix(Steps s) {
  compose<1>(s);
  compose<2>(s);
  compose<4>(s);
  compose<8>(s);
  return s;
}

inline __m512i apply(const Steps& s, __m512i x) {
  return _mm512_min_epi32(_mm512_max_epi32(_mm512_add_epi32(x, s.add), s.low), s.high);
}

[[gnu::noinline]] __m512i playClamped(__m512i add, __m512i x, std::int32_t low, std::int32_t high) {
  return apply(prefix({add, _mm512_set1_epi32(low), _mm512_set1_epi32(high)}), x);
}

// x after each of the sixteen steps "add, then clamp to low..high": where no
// running sum leaves the range (most blocks), the plain prefix sum is exact
// and four additions cheaper than the composition of the steps.
[[gnu::always_inline]] inline __m512i play(__m512i add, __m512i x, std::int32_t low,
                                           std::int32_t high) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i sums = add;
  sums = _mm512_add_epi32(sums, _mm512_alignr_epi32(sums, zero, 15));
  sums = _mm512_add_epi32(sums, _mm512_alignr_epi32(sums, zero, 14));
  sums = _mm512_add_epi32(sums, _mm512_alignr_epi32(sums, zero, 12));
  sums = _mm512_add_epi32(sums, _mm512_alignr_epi32(sums, zero, 8));
  const __m512i plain = _mm512_add_epi32(x, sums);
  const __mmask16 inside = _mm512_cmpge_epi32_mask(plain, _mm512_set1_epi32(low)) &
                           _mm512_cmple_epi32_mask(plain, _mm512_set1_epi32(high));
  if (inside == 0xFFFF) return plain;
  return playClamped(add, x, low, high);
}

// Each code's reconstruction at the step before it: the base share of the
// step, and for each magnitude bit set the part of the step it stands for.
template <int Tests>  // magnitude bits: 3, 2 or 1
__m512i deltaOf(__m512i step, __m512i magnitude) {
  __m512i delta = _mm512_srli_epi32(step, Tests);
  for (int j = 0; j < Tests; ++j) {
    const __mmask16 set =
        _mm512_test_epi32_mask(magnitude, _mm512_set1_epi32(1 << (Tests - 1 - j)));
    delta =
        _mm512_mask_add_epi32(delta, set, delta, _mm512_srli_epi32(step, static_cast<unsigned>(j)));
  }
  return delta;
}

template <int Tests>
void playCodes(const VectorTables& t, const std::uint8_t* codes, std::size_t count,
               std::int32_t& predictor, std::int32_t& index, std::int16_t* out) {
  const __m512i moves = _mm512_load_si512(reinterpret_cast<const __m512i*>(t.moves));
  const __m512i sign = _mm512_set1_epi32(static_cast<int>(t.magnitudes));
  const __m512i magnitudeBits = _mm512_set1_epi32(static_cast<int>(t.magnitudes) - 1);
  __m512i carryIndex = _mm512_set1_epi32(index);
  __m512i carryPredictor = _mm512_set1_epi32(predictor);
  for (std::size_t at = 0; at < count; at += 16) {
    const __m512i code =
        _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + at)));
    // The step index after each code, then the one before it.
    const __m512i after = play(_mm512_permutexvar_epi32(code, moves), carryIndex, 0, t.maxIndex);
    const __m512i before = _mm512_alignr_epi32(after, carryIndex, 15);
    carryIndex = _mm512_permutexvar_epi32(_mm512_set1_epi32(15), after);
    const __m512i magnitude = _mm512_and_si512(code, magnitudeBits);
    __m512i delta = deltaOf<Tests>(lookup(t.steps, before, thirdsOf(before)), magnitude);
    const __mmask16 negative = _mm512_test_epi32_mask(code, sign);
    delta = _mm512_mask_sub_epi32(delta, negative, _mm512_setzero_si512(), delta);
    const __m512i played = play(delta, carryPredictor, -32768, 32767);
    carryPredictor = _mm512_permutexvar_epi32(_mm512_set1_epi32(15), played);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + at), _mm512_cvtepi32_epi16(played));
  }
  alignas(64) std::int32_t lanes[16];
  _mm512_store_si512(lanes, carryIndex);
  index = lanes[0];
  _mm512_store_si512(lanes, carryPredictor);
  predictor = lanes[0];
}

}  // namespace

void playAdpcmAvx512(const VectorTables& t, const std::uint8_t* codes, std::size_t count,
                     std::int32_t& predictor, std::int32_t& index, std::int16_t* out) {
  switch (t.magnitudes) {
    case 8:
      return playCodes<3>(t, codes, count, predictor, index, out);
    case 4:
      return playCodes<2>(t, codes, count, predictor, index, out);
    default:
      return playCodes<1>(t, codes, count, predictor, index, out);
  }
}

}  // namespace korvane
