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

}  // namespace

void runLanesAvx512(const LaneRun& run) {
  const VectorTables& t = *run.tables;
  Lanes a{_mm512_loadu_si512(run.startPredictors), _mm512_loadu_si512(run.startIndices)};
  Lanes b{_mm512_loadu_si512(run.startPredictors + 16), _mm512_loadu_si512(run.startIndices + 16)};
  for (std::size_t i = 0; i < run.length; ++i) {
    const std::int32_t* x = run.x + i * kLaneCount;
    const __m512i codesA = step(a, _mm512_loadu_si512(x), t);
    const __m512i codesB = step(b, _mm512_loadu_si512(x + 16), t);
    std::uint8_t* codes = run.codes + i * kLaneCount;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes), _mm512_cvtepi32_epi8(codesA));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(codes + 16), _mm512_cvtepi32_epi8(codesB));
    if ((i + 1) % kCheckpointEvery == 0) {
      const std::size_t at = ((i + 1) / kCheckpointEvery - 1) * kLaneCount;
      _mm512_storeu_si512(run.predictors + at, a.predictor);
      _mm512_storeu_si512(run.predictors + at + 16, b.predictor);
      _mm512_storeu_si512(run.indices + at, a.index);
      _mm512_storeu_si512(run.indices + at + 16, b.index);
    }
  }
}

}  // namespace korvane
