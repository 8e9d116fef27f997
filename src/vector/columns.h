// The resampler's filter over columns of outputs that share their taps:
// out[k] = taps[0] * sources[0][k] + taps[1] * sources[1][k] + ..., each sum
// taken in the order of the taps, so that every width of vector (and the
// plain loop of the tail) gives the same bits; no fused multiply-adds.
// Written once with the compiler's vector types, and compiled for each
// instruction set by the file that includes it (each gets its own copy).
#pragma once

#include <cstddef>

namespace korvane {
namespace {

template <std::size_t Width>
struct Floats {
  using Type [[gnu::vector_size(Width * sizeof(float))]] = float;
};

// Count vectors of Width outputs at a time, then one vector, then one output.
template <std::size_t Width, std::size_t Count>
[[gnu::always_inline]] inline void filterColumns(const float* taps, std::size_t tapCount,
                                                 const float* const* sources, std::size_t n,
                                                 float* out) {
  using V = typename Floats<Width>::Type;
  std::size_t k = 0;
  for (; k + Width * Count <= n; k += Width * Count) {
    V sum[Count] = {};
    for (std::size_t j = 0; j < tapCount; ++j) {
      const float t = taps[j];
      const float* from = sources[j] + k;
      for (std::size_t c = 0; c < Count; ++c) {
        V x;
        __builtin_memcpy(&x, from + Width * c, sizeof x);
        sum[c] += t * x;
      }
    }
    __builtin_memcpy(out + k, sum, sizeof sum);
  }
  for (; k + Width <= n; k += Width) {
    V sum = {};
    for (std::size_t j = 0; j < tapCount; ++j) {
      V x;
      __builtin_memcpy(&x, sources[j] + k, sizeof x);
      sum += taps[j] * x;
    }
    __builtin_memcpy(out + k, &sum, sizeof sum);
  }
  for (; k < n; ++k) {
    float sum = 0;
    for (std::size_t j = 0; j < tapCount; ++j)
      sum += taps[j] * sources[j][k];
    out[k] = sum;
  }
}

}  // namespace
}  // namespace korvane
