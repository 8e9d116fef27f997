// The portable kernels: the twin of every vector kernel, in plain C++ on the
// codec core's own steps, for every CPU. They are the reference each path is
// held to, bit for bit.
#include "vector/columns.h"
#include "vector/dot_lanes.h"
#include "vector/family.h"
#include "vector/lane_state.h"

namespace korvane {
namespace {

// Sample by sample across the lanes: the lanes' chains are independent, and
// interleaved the processor overlaps them.
template <class Lane>
void runLanes(const LaneRun& run) {
  typename Lane::State s[kLaneCount];
  for (std::size_t j = 0; j < kLaneCount; ++j)
    s[j] = Lane::of(run.startFirst[j], run.startSecond[j]);
  for (std::size_t block = 0; block < run.length; block += kCheckpointEvery) {
    for (std::size_t i = block; i < block + kCheckpointEvery; ++i) {
      for (std::size_t j = 0; j < kLaneCount; ++j)
        run.codes[j * run.codeStride + i] = Lane::step(s[j], run.x[j * run.stride + i]);
    }
    const std::size_t at = block / kCheckpointEvery * kLaneCount;
    for (std::size_t j = 0; j < kLaneCount; ++j) {
      run.first[at + j] = Lane::first(s[j]);
      run.second[at + j] = Lane::second(s[j]);
    }
  }
}

template <unsigned Bits>
void playAdpcm(const VectorTables&, const std::uint8_t* codes, std::size_t count,
               std::int32_t& predictor, std::int32_t& index, std::int16_t* out) {
  AdpcmState s{predictor, static_cast<std::int8_t>(index)};
  for (std::size_t i = 0; i < count; ++i)
    out[i] = static_cast<std::int16_t>(reconstructAdpcm<Bits>(s, codes[i]));
  predictor = s.predictor;
  index = s.stepIndex;
}

float dot(const float* taps, const float* x, std::size_t count) {
  return dotLanes(taps, x, count);
}

// Vectors of four: every CPU's baseline (SSE2, NEON) has them.
void columns(const float* taps, std::size_t tapCount, const float* const* sources, std::size_t n,
             float* out) {
  filterColumns<4, 8>(taps, tapCount, sources, n, out);
}

}  // namespace

VectorKernels portableKernels() {
  return {VectorPath::portable,
          false,
          {runLanes<AdpcmLane<4>>, runLanes<AdpcmLane<3>>, runLanes<AdpcmLane<2>>},
          {playAdpcm<4>, playAdpcm<3>, playAdpcm<2>},
          runLanes<WfmLane>,
          dot,
          columns};
}

}  // namespace korvane
