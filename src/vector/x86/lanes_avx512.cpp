// The AVX-512 kernels of the speculative coders: the core's greedy quantizers,
// sixteen lanes to a register and two registers at once. ADPCM table lookups
// by step index are two-register permutes over the core's tables
// (vector/kernel_types.h), not gathers, which are slow on many processors. This file
// alone is compiled for AVX-512.
#include <immintrin.h>

#include "vector/x86/lookup_avx512.h"

#include "vector/x86/kernels_x86.h"

namespace korvane {
namespace {

// The state of sixteen lanes: ADPCM predictor and step index, or WFM
// estimate and step | history << 16.
struct Lanes {
  __m512i first;
  __m512i second;
};

// One sample in sixteen lanes: the steps of quantizeAdpcm, the magnitude
// found as the core's greedy quantizer defines it (one step, then half a
// step, then a quarter, each on what the one before left over), the
// reconstruction the base share of the step plus the parts taken.
template <int Tests>  // magnitude bits: 3, 2 or 1
struct AdpcmStep {
  const VectorTables& t;

  // lanes.first is the predictor, lanes.second the step index.
  __m512i operator()(Lanes& s, __m512i x) const {
    const __m512i diff = _mm512_sub_epi32(x, s.first);
    const __mmask16 negative = _mm512_cmplt_epi32_mask(diff, _mm512_setzero_si512());
    __m512i d = _mm512_abs_epi32(diff);
    const __m512i step = lookup(t.steps, s.second, thirdsOf(s.second));
    __m512i delta = _mm512_srli_epi32(step, Tests);
    __m512i magnitude = _mm512_setzero_si512();
    for (int j = 0; j < Tests; ++j) {
      const __m512i part = _mm512_srli_epi32(step, static_cast<unsigned>(j));
      const __mmask16 taken = _mm512_cmpge_epi32_mask(d, part);
      d = _mm512_mask_sub_epi32(d, taken, d, part);
      delta = _mm512_mask_add_epi32(delta, taken, delta, part);
      magnitude = _mm512_mask_or_epi32(magnitude, taken, magnitude,
                                       _mm512_set1_epi32(1 << (Tests - 1 - j)));
    }
    const __m512i moved =
        _mm512_mask_sub_epi32(_mm512_add_epi32(s.first, delta), negative, s.first, delta);
    s.first = _mm512_max_epi32(_mm512_min_epi32(moved, _mm512_set1_epi32(32767)),
                               _mm512_set1_epi32(-32768));
    const __m512i code = _mm512_mask_or_epi32(magnitude, negative, magnitude,
                                              _mm512_set1_epi32(static_cast<int>(t.magnitudes)));
    const __m512i move = _mm512_permutexvar_epi32(
        code, _mm512_load_si512(reinterpret_cast<const __m512i*>(t.moves)));
    s.second = _mm512_max_epi32(
        _mm512_min_epi32(_mm512_add_epi32(s.second, move), _mm512_set1_epi32(t.maxIndex)),
        _mm512_setzero_si512());
    return code;
  }
};

// One sample in sixteen lanes: the steps of quantizeWfm and applyWfmDecision,
// in the same unsigned 32-bit arithmetic.
struct WfmStep {
  const WfmVectorTables& t;

  __m512i operator()(Lanes& lanes, __m512i x) const {
    const __m512i ones = _mm512_set1_epi32(1);
    const __m512i estimate = lanes.first;
    const __m512i step = _mm512_and_si512(lanes.second, _mm512_set1_epi32(0xFFFF));
    const __m512i offset =
        _mm512_and_si512(_mm512_add_epi32(x, _mm512_set1_epi32(0x8000)), _mm512_set1_epi32(0xFFFF));
    const __mmask16 down = _mm512_cmplt_epu32_mask(offset, estimate);
    const __m512i decision = _mm512_maskz_mov_epi32(down, ones);
    const __m512i history = _mm512_and_si512(
        _mm512_or_si512(_mm512_srli_epi32(lanes.second, 15), decision), _mm512_set1_epi32(0xFF));
    // The pattern index: the last three bits, flipped when the fourth is set.
    const __m512i flip = _mm512_mullo_epi32(_mm512_and_si512(_mm512_srli_epi32(history, 3), ones),
                                            _mm512_set1_epi32(7));
    const __m512i index = _mm512_and_si512(_mm512_xor_si512(history, flip), _mm512_set1_epi32(7));
    const __m512i factor = _mm512_permutexvar_epi32(
        index, _mm512_load_si512(reinterpret_cast<const __m512i*>(t.factors)));
    __m512i next = _mm512_srli_epi32(_mm512_mullo_epi32(factor, step), 5);
    next = _mm512_max_epu32(_mm512_min_epu32(next, _mm512_set1_epi32(static_cast<int>(t.maxStep))),
                            _mm512_set1_epi32(static_cast<int>(t.minStep)));
    const __m512i lowered =
        _mm512_maskz_sub_epi32(_mm512_cmpgt_epu32_mask(estimate, next), estimate, next);
    const __m512i raised = _mm512_add_epi32(estimate, next);
    const __m512i ceiling = _mm512_set1_epi32(static_cast<int>(t.ceiling));
    const __m512i capped =
        _mm512_mask_mov_epi32(raised, _mm512_cmpgt_epu32_mask(raised, ceiling), ceiling);
    lanes.first = _mm512_mask_mov_epi32(capped, down, lowered);
    lanes.second = _mm512_or_si512(next, _mm512_slli_epi32(history, 16));
    return decision;
  }
};

// Transposes sixteen rows of sixteen 32-bit values in place: unpacks make
// the 4x4 blocks within 128-bit lanes, then two rounds of lane shuffles move
// the blocks.
inline void transpose16(__m512i r[16]) {
  __m512i t[16];
  for (int k = 0; k < 16; k += 2) {
    t[k] = _mm512_unpacklo_epi32(r[k], r[k + 1]);
    t[k + 1] = _mm512_unpackhi_epi32(r[k], r[k + 1]);
  }
  __m512i u[16];  // u[4k + m], lane L: column 4L + m of rows 4k..4k+3
  for (int k = 0; k < 16; k += 4) {
    u[k] = _mm512_unpacklo_epi64(t[k], t[k + 2]);
    u[k + 1] = _mm512_unpackhi_epi64(t[k], t[k + 2]);
    u[k + 2] = _mm512_unpacklo_epi64(t[k + 1], t[k + 3]);
    u[k + 3] = _mm512_unpackhi_epi64(t[k + 1], t[k + 3]);
  }
  for (int m = 0; m < 4; ++m) {
    const __m512i v0 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0x44);
    const __m512i v1 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0xEE);
    const __m512i v2 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0x44);
    const __m512i v3 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0xEE);
    r[m] = _mm512_shuffle_i32x4(v0, v2, 0x88);
    r[4 + m] = _mm512_shuffle_i32x4(v0, v2, 0xDD);
    r[8 + m] = _mm512_shuffle_i32x4(v1, v3, 0x88);
    r[12 + m] = _mm512_shuffle_i32x4(v1, v3, 0xDD);
  }
}

// Sixteen samples of sixteen chunks, one register a sample.
inline void loadBlock(const std::int32_t* x, std::size_t stride, __m512i r[16]) {
  for (std::size_t j = 0; j < 16; ++j)
    r[j] = _mm512_loadu_si512(x + j * stride);
  transpose16(r);
}

// Sixteen codes of sixteen chunks, one register a sample, to their chunks.
inline void storeBlock(__m512i r[16], std::uint8_t* codes, std::size_t stride) {
  transpose16(r);
  for (std::size_t j = 0; j < 16; ++j)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + j * stride), _mm512_cvtepi32_epi8(r[j]));
}

template <class Step>
void runLanes(const LaneRun& run, const Step& step) {
  const std::size_t stride = run.stride;
  Lanes a{_mm512_loadu_si512(run.startFirst), _mm512_loadu_si512(run.startSecond)};
  Lanes b{_mm512_loadu_si512(run.startFirst + 16), _mm512_loadu_si512(run.startSecond + 16)};
  __m512i xa[kCheckpointEvery];
  __m512i xb[kCheckpointEvery];
  for (std::size_t block = 0; block < run.length; block += kCheckpointEvery) {
    loadBlock(run.x + block, stride, xa);
    loadBlock(run.x + 16 * stride + block, stride, xb);
    for (std::size_t i = 0; i < kCheckpointEvery; ++i) {
      xa[i] = step(a, xa[i]);
      xb[i] = step(b, xb[i]);
    }
    storeBlock(xa, run.codes + block, run.codeStride);
    storeBlock(xb, run.codes + 16 * run.codeStride + block, run.codeStride);
    const std::size_t at = block / kCheckpointEvery * kLaneCount;
    _mm512_storeu_si512(run.first + at, a.first);
    _mm512_storeu_si512(run.first + at + 16, b.first);
    _mm512_storeu_si512(run.second + at, a.second);
    _mm512_storeu_si512(run.second + at + 16, b.second);
  }
}

}  // namespace

void runAdpcmLanesAvx512(const LaneRun& run) {
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

void runWfmLanesAvx512(const LaneRun& run) {
  runLanes(run, WfmStep{*run.wfm});
}

}  // namespace korvane
