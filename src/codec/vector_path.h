// The instruction sets the vector kernels are written for (the lane coder's
// and the lane player's), and which of them this CPU runs. Plain names only:
// files compiled for those instruction sets include this.
#pragma once

#include <cstdint>

namespace korvane {

enum class VectorPath : std::uint8_t {
  serial,  // one chain, sample after sample (every CPU)
  avx2,
  avx512,  // AVX-512 F and BW
};

[[nodiscard]] bool canRun(VectorPath path);

// The fastest path this CPU runs.
[[nodiscard]] VectorPath bestVectorPath();

}  // namespace korvane
