// What the vector kernel of the speculative coder is given: plain pointers
// and counts only, so that the kernel's file, compiled for its instruction
// set, includes nothing that other files compile differently.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/vector_path.h"
#include "codec/vector_tables.h"

namespace korvane {

inline constexpr std::size_t kLaneCount = 32;
inline constexpr std::size_t kCheckpointEvery = 16;

// One speculative run of a greedy coder whose state fits two 32-bit values a
// lane (ADPCM: predictor and step index; WFM: estimate, and step | history << 16): the first
// `length` samples (a multiple of kCheckpointEvery) of kLaneCount chunks, sample i of chunk j at
// x[j * stride + i]. Each lane starts from its start state; its codes go to
// codes[j * codeStride + i], and after every kCheckpointEvery-th sample the
// lanes' states to first[c * kLaneCount + j] and second[c * kLaneCount + j].
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
  const VectorTables* adpcm;   // for the ADPCM kernel
  const WfmVectorTables* wfm;  // for the WFM kernel
};

// The kernels: AVX-512 (F and BW) and AVX2, each only called where the CPU
// has its instructions.
void runAdpcmLanesAvx512(const LaneRun& run);
void runWfmLanesAvx512(const LaneRun& run);
void runAdpcmLanesAvx2(const LaneRun& run);
void runWfmLanesAvx2(const LaneRun& run);

}  // namespace korvane
