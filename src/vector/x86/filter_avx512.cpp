// The resampler's filters on AVX-512. This file alone is compiled for AVX-512.
#include "vector/columns.h"
#include "vector/dot_lanes.h"
#include "vector/x86/kernels_x86.h"

namespace korvane {

float dotAvx512(const float* taps, const float* x, std::size_t count) {
  return dotLanes(taps, x, count);
}

void columnsAvx512(const float* taps, std::size_t tapCount, const float* const* sources,
                   std::size_t n, float* out) {
  filterColumns<16, 8>(taps, tapCount, sources, n, out);
}

}  // namespace korvane
