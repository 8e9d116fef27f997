// What the vector kernel of the speculative coder is given: plain pointers
// and counts only, so that the kernel's file, compiled for its instruction
// set, includes nothing that other files compile differently.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

inline constexpr std::size_t kLaneCount = 32;
inline constexpr std::size_t kCheckpointEvery = 16;

// The core's tables in the shape the kernel reads, each padded to 96 entries
// (three pairs of 16) by step index: the sums a difference is compared with
// (sums[k], k < 7), the base share of the step every code adds, and the step
// index moves by code (16 entries) with the highest step index.
struct LaneTables {
  alignas(64) std::int32_t sums[7][96];
  alignas(64) std::int32_t base[96];
  alignas(64) std::int32_t moves[16];
  std::int32_t maxIndex;
  unsigned magnitudes;  // 2^(bits - 1)
};

// One speculative run: kLaneCount chunks of `length` samples (a multiple of
// kCheckpointEvery), interleaved: sample i of chunk j at x[i * kLaneCount + j].
// Each lane starts from its start state; codes are written interleaved the
// same way, and after every kCheckpointEvery-th sample the lanes' states go
// to predictors[c * kLaneCount + j] and indices[c * kLaneCount + j].
struct LaneRun {
  const std::int32_t* x;
  std::size_t length;
  std::int32_t startPredictors[kLaneCount];
  std::int32_t startIndices[kLaneCount];
  std::uint8_t* codes;
  std::int32_t* predictors;
  std::int32_t* indices;
  const LaneTables* tables;
};

// The AVX-512 kernel; only called where the CPU has AVX-512F.
void runLanesAvx512(const LaneRun& run);

}  // namespace korvane
