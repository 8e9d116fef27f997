// The resampler's dot product in kDotLanes running sums, added up in one
// fixed order: enough independent sums to keep the adder busy, and the same
// lanes in the same order on every instruction set, without fused
// multiply-adds, so that every path gives the same bits. Each file that
// compiles it for an instruction set gets its own copy.
#pragma once

#include <cstddef>

#include "vector/kernel_types.h"

namespace korvane {
namespace {

[[gnu::always_inline]] inline float dotLanes(const float* taps, const float* x, std::size_t count) {
  float lane[kDotLanes] = {};
  for (std::size_t i = 0; i < count; i += kDotLanes) {
    for (std::size_t j = 0; j < kDotLanes; ++j)
      lane[j] += taps[i + j] * x[i + j];
  }
  for (std::size_t width = kDotLanes / 2; width > 0; width /= 2) {
    for (std::size_t j = 0; j < width; ++j)
      lane[j] += lane[j + width];
  }
  return lane[0];
}

}  // namespace
}  // namespace korvane
