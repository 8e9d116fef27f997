// The resampler's dot product on AVX2. This file alone is compiled for AVX2.
#include "vector/dot_lanes.h"
#include "vector/x86/kernels_x86.h"

namespace korvane {

float dotAvx2(const float* taps, const float* x, std::size_t count) {
  return dotLanes(taps, x, count);
}

}  // namespace korvane
