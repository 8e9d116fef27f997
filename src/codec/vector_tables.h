// The codec core's tables in the shape vector kernels read them: plain
// arrays, so that a kernel's file, compiled for its own instruction set,
// includes nothing that other files compile differently.
#pragma once

#include <cstdint>

namespace korvane {

// By step index, each padded to 96 entries (three pairs of 16 for
// two-register permutes): the sums a difference is compared with (sums[k],
// k + 1 < magnitudes) and the base share of the step every code adds; and
// the step index moves by code, with the highest step index. Built from the
// core by makeVectorTables (codec/adpcm.h).
//
// The coders compare in 16 bits: the sums and the base share, in that order,
// taken two at a time into one 32-bit entry (the earlier in the low half), so
// that one lookup serves two of them; the base share is the high half of the
// last pair. All of them lie below 65535.
struct VectorTables {
  alignas(64) std::int32_t sums[7][96];
  alignas(64) std::int32_t base[96];
  alignas(64) std::int32_t pairs[4][96];
  alignas(16) std::int32_t pairRows[96][4];  // pairs[p][i] at pairRows[i][p]
  alignas(64) std::int32_t moves[16];
  alignas(32) std::int32_t movesByMagnitude[8];  // the move of either sign's code
  std::int32_t maxIndex;
  unsigned magnitudes;  // 2^(bits - 1)
};

// The WFM step factors by pattern index, padded to sixteen, and the step's
// and the estimate's bounds. Built from the core by makeWfmVectorTables
// (codec/wfm.h).
struct WfmVectorTables {
  alignas(64) std::int32_t factors[16];
  std::uint32_t minStep;
  std::uint32_t maxStep;
  std::uint32_t ceiling;
};

}  // namespace korvane
