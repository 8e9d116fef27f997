// The AVX-512 kernel of the speculative coder: the core's greedy quantizer,
// sixteen lanes to a register and two registers at once. Table lookups by step
// index are two-register permutes over the core's tables (lane_run.h), not
// gathers, which are slow on many processors. This file alone is compiled for
// AVX-512.
#include <immintrin.h>

#include "codec/lookup_avx512.h"

#include "fast/lane_run.h"

namespace korvane {
namespace {

struct Lanes {
  __m512i predictor;
  __m512i index;
};

// One sample in sixteen lanes: the steps of quantizeAdpcm. The magnitude is
// the number of sums the difference reaches; its reconstruction is the base
// share plus the largest sum reached (the core builds the sums as the
// reconstructions less the base).
inline __m512i step(Lanes& s, __m512i x, const VectorTables& t) {
  const __m512i diff = _mm512_sub_epi32(x, s.predictor);
  const __mmask16 negative = _mm512_cmplt_epi32_mask(diff, _mm512_setzero_si512());
  const __m512i d = _mm512_abs_epi32(diff);
  const IndexThirds thirds = thirdsOf(s.index);
  __m512i magnitude = _mm512_setzero_si512();
  __m512i reached = _mm512_setzero_si512();
  for (unsigned k = 0; k + 1 < t.magnitudes; ++k) {
    const __m512i sum = lookup(t.sums[k], s.index, thirds);
    const __mmask16 ge = _mm512_cmpge_epi32_mask(d, sum);
    magnitude = _mm512_mask_add_epi32(magnitude, ge, magnitude, _mm512_set1_epi32(1));
    reached = _mm512_mask_mov_epi32(reached, ge, sum);
  }
  const __m512i delta = _mm512_add_epi32(lookup(t.base, s.index, thirds), reached);
  const __m512i moved =
      _mm512_mask_sub_epi32(_mm512_add_epi32(s.predictor, delta), negative, s.predictor, delta);
  s.predictor = _mm512_max_epi32(_mm512_min_epi32(moved, _mm512_set1_epi32(32767)),
                                 _mm512_set1_epi32(-32768));
  const __m512i code = _mm512_mask_or_epi32(magnitude, negative, magnitude,
                                            _mm512_set1_epi32(static_cast<int>(t.magnitudes)));
  const __m512i move =
      _mm512_permutexvar_epi32(code, _mm512_load_si512(reinterpret_cast<const __m512i*>(t.moves)));
  s.index = _mm512_max_epi32(
      _mm512_min_epi32(_mm512_add_epi32(s.index, move), _mm512_set1_epi32(t.maxIndex)),
      _mm512_setzero_si512());
  return code;
}

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

}  // namespace

void runLanesAvx512(const LaneRun& run) {
  const VectorTables& t = *run.tables;
  const std::size_t stride = run.stride;
  Lanes a{_mm512_loadu_si512(run.startPredictors), _mm512_loadu_si512(run.startIndices)};
  Lanes b{_mm512_loadu_si512(run.startPredictors + 16), _mm512_loadu_si512(run.startIndices + 16)};
  __m512i xa[kCheckpointEvery];
  __m512i xb[kCheckpointEvery];
  for (std::size_t block = 0; block < run.length; block += kCheckpointEvery) {
    loadBlock(run.x + block, stride, xa);
    loadBlock(run.x + 16 * stride + block, stride, xb);
    for (std::size_t i = 0; i < kCheckpointEvery; ++i) {
      xa[i] = step(a, xa[i], t);
      xb[i] = step(b, xb[i], t);
    }
    storeBlock(xa, run.codes + block, run.codeStride);
    storeBlock(xb, run.codes + 16 * run.codeStride + block, run.codeStride);
    const std::size_t at = block / kCheckpointEvery * kLaneCount;
    _mm512_storeu_si512(run.predictors + at, a.predictor);
    _mm512_storeu_si512(run.predictors + at + 16, b.predictor);
    _mm512_storeu_si512(run.indices + at, a.index);
    _mm512_storeu_si512(run.indices + at + 16, b.index);
  }
}

}  // namespace korvane
