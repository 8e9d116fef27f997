// The vector layer: one table of kernels, filled once from the CPU's
// features, through which every caller reaches the lane coders, the lane
// players and the resampler's filter. Every kernel has a portable twin of the
// same signature (plain C++, any CPU), which is the reference: each path gives
// its twin's results bit for bit.
//
// KORVANE_VECTOR=portable|avx2|avx512 in the environment limits the choice
// to that path or a lower one (never a path the CPU lacks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vector/kernel_types.h"

namespace korvane {

enum class VectorPath : std::uint8_t {
  portable,  // plain C++, every CPU
  avx2,
  avx512,  // AVX-512 F and BW
};

inline constexpr VectorPath kVectorPaths[] = {VectorPath::portable, VectorPath::avx2,
                                              VectorPath::avx512};

// Codes run in lanes (kernel_types.h), the same for every path.
using LaneKernel = void (*)(const LaneRun& run);

// Plays count codes (a multiple of kPlayBlock) from the state (predictor,
// index), writing the predictor after each code to out and leaving the state
// after the last.
using PlayKernel = void (*)(const VectorTables& tables, const std::uint8_t* codes,
                            std::size_t count, std::int32_t& predictor, std::int32_t& index,
                            std::int16_t* out);

// The dot product of count (a multiple of kDotLanes) taps and samples, summed
// in kDotLanes lanes added up in one fixed order.
using DotKernel = float (*)(const float* taps, const float* x, std::size_t count);

// n outputs that share their taps: out[k] = the sum over j < tapCount, in
// that order, of taps[j] * sources[j][k] (vector/columns.h).
using ColumnsKernel = void (*)(const float* taps, std::size_t tapCount, const float* const* sources,
                               std::size_t n, float* out);

struct VectorKernels {
  VectorPath path;
  // Whether coding in lanes beats the serial coder on this path (measured:
  // the portable lanes do not).
  bool lanesPay;
  LaneKernel adpcmLanes[3];  // by code width, at adpcmSlot(bits)
  PlayKernel adpcmPlay[3];
  LaneKernel wfmLanes;
  DotKernel dot;
  ColumnsKernel columns;
};

[[nodiscard]] constexpr std::size_t adpcmSlot(unsigned bits) {
  return 4 - bits;
}

// The kernels every caller uses.
[[nodiscard]] const VectorKernels& vectorKernels();

// Whether this CPU, and this build, runs the path.
[[nodiscard]] bool canRun(VectorPath path);

// The kernels of one path, for tests and benchmarks; the portable ones for a
// path that canRun says no to.
[[nodiscard]] const VectorKernels& kernelsOf(VectorPath path);

[[nodiscard]] const char* nameOf(VectorPath path);

}  // namespace korvane
