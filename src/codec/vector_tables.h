// The ADPCM core's tables in the shape vector kernels read them: plain
// arrays, so that a kernel's file, compiled for its own instruction set,
// includes nothing that other files compile differently. Built from the core
// by makeVectorTables (codec/adpcm.h).
#pragma once

#include <cstdint>

namespace korvane {

// By step index, each padded to 96 entries (three pairs of 16 for
// two-register permutes): the sums a difference is compared with (sums[k],
// k + 1 < magnitudes) and the base share of the step every code adds; and
// the step index moves by code, with the highest step index.
struct VectorTables {
  alignas(64) std::int32_t sums[7][96];
  alignas(64) std::int32_t base[96];
  alignas(64) std::int32_t moves[16];
  std::int32_t maxIndex;
  unsigned magnitudes;  // 2^(bits - 1)
};

}  // namespace korvane
