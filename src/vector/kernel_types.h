// What the vector kernels are given: the codec core's tables in the shape
// kernels read them, and the runs they work on. Plain arrays, pointers and
// counts only, so that a kernel's file, compiled for its own instruction set,
// includes nothing that other files compile differently.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// By step index, padded to 96 entries (three sets of 32 for two-register
// permutes): the step size; the step index moves by code (and by magnitude,
// alike for either sign), with the highest step index. Built from the core
// by makeVectorTables (vector/tables.h).
struct VectorTables {
  alignas(64) std::int32_t steps[96];
  alignas(64) std::int32_t moves[16];
  alignas(32) std::int32_t movesByMagnitude[8];
  std::int32_t maxIndex;
  unsigned magnitudes;  // 2^(bits - 1)
};

// The WFM step factors by pattern index, padded to sixteen, and the step's
// and the estimate's bounds. Built from the core by makeWfmVectorTables
// (vector/tables.h).
struct WfmVectorTables {
  alignas(64) std::int32_t factors[16];
  std::uint32_t minStep;
  std::uint32_t maxStep;
  std::uint32_t ceiling;
};

inline constexpr std::size_t kLaneCount = 32;
inline constexpr std::size_t kCheckpointEvery = 16;

// One speculative run of a greedy coder whose state fits two 32-bit values a
// lane (ADPCM: predictor and step index; WFM: estimate, and step | history
// << 16): the first `length` samples (a multiple of kCheckpointEvery) of
// kLaneCount chunks, sample i of chunk j at x[j * stride + i]. Each lane
// starts from its start state; its codes go to codes[j * codeStride + i], and
// after every kCheckpointEvery-th sample the lanes' states to
// first[c * kLaneCount + j] and second[c * kLaneCount + j].
struct LaneRun {
  const std::int32_t* x;
  std::size_t length;
  std::size_t stride;
  std::int32_t startFirst[kLaneCount];
  std::int32_t startSecond[kLaneCount];
  std::uint8_t* codes;
  std::size_t codeStride;
  std::int32_t* first;
  std::int32_t* second;
  const VectorTables* adpcm;   // for an ADPCM kernel
  const WfmVectorTables* wfm;  // for the WFM kernel
};

// A lane player plays codes in blocks of this many.
inline constexpr std::size_t kPlayBlock = 16;

// Resampler taps come in multiples of this many, summed in as many lanes.
inline constexpr std::size_t kDotLanes = 32;

}  // namespace korvane
