// The AVX2 kernels of the speculative coders, for processors without
// AVX-512: the core's greedy quantizers, eight lanes to a register and two
// registers at once. The step sizes are looked up a load a lane
// (lookup_avx2.h): with gathers the lanes ran slower than the serial coder
// on the build machine. This file alone is compiled for AVX2.
#include <immintrin.h>

#include "vector/x86/lookup_avx2.h"

#include "vector/x86/kernels_x86.h"

namespace korvane {
namespace {

// The state of eight lanes: ADPCM predictor and step index, or WFM estimate
// and step | history << 16.
struct Lanes {
  __m256i first;
  __m256i second;
};

inline __m256i splat(std::int32_t v) {
  return _mm256_set1_epi32(v);
}

// a > b as unsigned 32-bit values, all ones where it holds.
inline __m256i aboveUnsigned(__m256i a, __m256i b) {
  const __m256i sign = splat(static_cast<std::int32_t>(0x80000000u));
  return _mm256_cmpgt_epi32(_mm256_xor_si256(a, sign), _mm256_xor_si256(b, sign));
}

// One sample in eight lanes: the steps of quantizeAdpcm, the magnitude found
// as the core's greedy quantizer defines it (one step, then half a step, then
// a quarter, each on what the one before left over), the reconstruction the
// base share of the step plus the parts taken.
template <int Tests>  // magnitude bits: 3, 2 or 1
struct AdpcmStep {
  const VectorTables& t;

  // lanes.first is the predictor, lanes.second the step index.
  __m256i operator()(Lanes& s, __m256i x) const {
    const __m256i diff = _mm256_sub_epi32(x, s.first);
    const __m256i negative = _mm256_cmpgt_epi32(_mm256_setzero_si256(), diff);
    __m256i d = _mm256_abs_epi32(diff);
    const __m256i step = stepsOf(t, s.second);
    __m256i delta = _mm256_srli_epi32(step, Tests);
    __m256i magnitude = _mm256_setzero_si256();
    for (int j = 0; j < Tests; ++j) {
      const __m256i part = _mm256_srli_epi32(step, j);
      const __m256i reached = _mm256_cmpgt_epi32(part, d);  // d < part
      const __m256i taken = _mm256_andnot_si256(reached, part);
      d = _mm256_sub_epi32(d, taken);
      delta = _mm256_add_epi32(delta, taken);
      magnitude =
          _mm256_or_si256(magnitude, _mm256_andnot_si256(reached, splat(1 << (Tests - 1 - j))));
    }
    const __m256i moved = _mm256_blendv_epi8(_mm256_add_epi32(s.first, delta),
                                             _mm256_sub_epi32(s.first, delta), negative);
    s.first = _mm256_max_epi32(_mm256_min_epi32(moved, splat(32767)), splat(-32768));
    const __m256i code = _mm256_or_si256(
        magnitude, _mm256_and_si256(negative, splat(static_cast<std::int32_t>(t.magnitudes))));
    const __m256i move = _mm256_permutevar8x32_epi32(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(t.movesByMagnitude)), magnitude);
    s.second =
        _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(s.second, move), splat(t.maxIndex)),
                         _mm256_setzero_si256());
    return code;
  }
};

// One sample in eight lanes: the steps of quantizeWfm and applyWfmDecision,
// in the same unsigned 32-bit arithmetic.
struct WfmStep {
  const WfmVectorTables& t;

  __m256i operator()(Lanes& lanes, __m256i x) const {
    const __m256i estimate = lanes.first;
    const __m256i step = _mm256_and_si256(lanes.second, splat(0xFFFF));
    const __m256i offset = _mm256_and_si256(_mm256_add_epi32(x, splat(0x8000)), splat(0xFFFF));
    const __m256i down = aboveUnsigned(estimate, offset);
    const __m256i decision = _mm256_srli_epi32(down, 31);
    const __m256i history = _mm256_and_si256(
        _mm256_or_si256(_mm256_srli_epi32(lanes.second, 15), decision), splat(0xFF));
    // The pattern index: the last three bits, flipped when the fourth is set.
    const __m256i flip = _mm256_and_si256(
        _mm256_cmpeq_epi32(_mm256_and_si256(history, splat(8)), splat(8)), splat(7));
    const __m256i index = _mm256_and_si256(_mm256_xor_si256(history, flip), splat(7));
    const __m256i factor = _mm256_permutevar8x32_epi32(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(t.factors)), index);
    __m256i next = _mm256_srli_epi32(_mm256_mullo_epi32(factor, step), 5);
    next = _mm256_max_epu32(_mm256_min_epu32(next, splat(static_cast<std::int32_t>(t.maxStep))),
                            splat(static_cast<std::int32_t>(t.minStep)));
    const __m256i lowered =
        _mm256_and_si256(aboveUnsigned(estimate, next), _mm256_sub_epi32(estimate, next));
    const __m256i capped = _mm256_min_epu32(_mm256_add_epi32(estimate, next),
                                            splat(static_cast<std::int32_t>(t.ceiling)));
    lanes.first = _mm256_blendv_epi8(capped, lowered, down);
    lanes.second = _mm256_or_si256(next, _mm256_slli_epi32(history, 16));
    return decision;
  }
};

// Transposes eight rows of eight 32-bit values in place.
inline void transpose8(__m256i r[8]) {
  __m256i t[8];
  for (int k = 0; k < 8; k += 2) {
    t[k] = _mm256_unpacklo_epi32(r[k], r[k + 1]);
    t[k + 1] = _mm256_unpackhi_epi32(r[k], r[k + 1]);
  }
  __m256i u[8];  // u[4k + m], half H: column 4H + m of rows 4k..4k+3
  for (int k = 0; k < 8; k += 4) {
    u[k] = _mm256_unpacklo_epi64(t[k], t[k + 2]);
    u[k + 1] = _mm256_unpackhi_epi64(t[k], t[k + 2]);
    u[k + 2] = _mm256_unpacklo_epi64(t[k + 1], t[k + 3]);
    u[k + 3] = _mm256_unpackhi_epi64(t[k + 1], t[k + 3]);
  }
  for (int m = 0; m < 4; ++m) {
    r[m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x20);
    r[4 + m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x31);
  }
}

// Eight samples of eight chunks, one register a sample.
inline void loadBlock(const std::int32_t* x, std::size_t stride, __m256i r[8]) {
  for (std::size_t j = 0; j < 8; ++j)
    r[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + j * stride));
  transpose8(r);
}

// Eight codes of eight chunks, one register a sample, to their chunks.
inline void storeBlock(__m256i r[8], std::uint8_t* codes, std::size_t stride) {
  transpose8(r);
  for (std::size_t j = 0; j < 8; ++j) {
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(r[j]), _mm256_extracti128_si256(r[j], 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(codes + j * stride),
                     _mm_packus_epi16(words, words));
  }
}

constexpr std::size_t kWidth = 8;

// Lanes 16 * half to 16 * half + 15, as two registers.
template <class Step>
void runHalf(const LaneRun& run, const Step& step, std::size_t half) {
  const std::size_t stride = run.stride;
  const std::size_t first = 16 * half;
  const auto* startFirst = reinterpret_cast<const __m256i*>(run.startFirst + first);
  const auto* startSecond = reinterpret_cast<const __m256i*>(run.startSecond + first);
  Lanes a{_mm256_loadu_si256(startFirst), _mm256_loadu_si256(startSecond)};
  Lanes b{_mm256_loadu_si256(startFirst + 1), _mm256_loadu_si256(startSecond + 1)};
  const std::int32_t* xa = run.x + first * stride;
  const std::int32_t* xb = xa + kWidth * stride;
  std::uint8_t* ca = run.codes + first * run.codeStride;
  std::uint8_t* cb = ca + kWidth * run.codeStride;
  __m256i ra[kWidth];
  __m256i rb[kWidth];
  for (std::size_t block = 0; block < run.length; block += kCheckpointEvery) {
    for (std::size_t at = block; at < block + kCheckpointEvery; at += kWidth) {
      loadBlock(xa + at, stride, ra);
      loadBlock(xb + at, stride, rb);
      for (std::size_t i = 0; i < kWidth; ++i) {
        ra[i] = step(a, ra[i]);
        rb[i] = step(b, rb[i]);
      }
      storeBlock(ra, ca + at, run.codeStride);
      storeBlock(rb, cb + at, run.codeStride);
    }
    const std::size_t c = block / kCheckpointEvery * kLaneCount + first;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(run.first + c), a.first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(run.first + c + kWidth), b.first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(run.second + c), a.second);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(run.second + c + kWidth), b.second);
  }
}

template <class Step>
void runLanes(const LaneRun& run, const Step& step) {
  runHalf(run, step, 0);
  runHalf(run, step, 1);
}

}  // namespace

void runAdpcmLanesAvx2(const LaneRun& run) {
  const VectorTables& t = *run.adpcm;
  // The magnitude bits as a constant, so that the tests unroll.
  switch (t.magnitudes) {
    case 8:
      return runLanes(run, AdpcmStep<3>{t});
    case 4:
      return runLanes(run, AdpcmStep<2>{t});
    default:
      return runLanes(run, AdpcmStep<1>{t});
  }
}

void runWfmLanesAvx2(const LaneRun& run) {
  runLanes(run, WfmStep{*run.wfm});
}

}  // namespace korvane
