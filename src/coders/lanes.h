// The greedy ADPCM and WFM coders at speed (coders/codecs.h). The input is cut
// into chunks; every chunk is coded from a guessed start state, 32 chunks at once
// in vector lanes; then, in order, the true coder runs from the true end state
// of the chunk before only until its state equals the guessed run's at a
// checkpoint, and from there the guessed run's codes are the true ones. A
// chunk whose runs never meet is coded again, and a window that the serial
// coder had to code half of ends the guessing. The bytes are the serial
// coder's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "format/sink.h"
#include "vector/kernels.h"
#include "wav/wave_reader.h"

namespace korvane {

// How the coder runs: its kernels; the samples of a chunk (a multiple of 16;
// 0 picks it from the format and the length, and codes serially where lanes
// do not pay) and the samples the first runs have to meet (0: the format's
// own), which tests set to force odd cuts and lanes on any path; and whether
// an input whose first runs do not meet is coded serially or left.
struct LanePlan {
  const VectorKernels* kernels = &vectorKernels();
  std::size_t chunkLength = 0;
  std::uint64_t meetWithin = 0;
  bool codeUnmet = true;
};

// What a lane coding did: the state after the last sample, and whether it
// coded the input (false only where plan.codeUnmet is false).
template <class State>
struct LaneResult {
  State end;
  bool coded;
};

// The greedy coder C (coders/codecs.h) from a state, with the contract of
// its serial coder (encodeGreedy), on the kernels of plan. Before
// guessing, the true run steps beside a run from another state; where the two
// do not meet within C::kMeetWithin samples, guessed runs would not meet the
// true one either, and the rest is coded serially, or with !plan.codeUnmet
// not at all (a caller coding from a guessed state would throw it away).
// Instantiated for AdpcmCodec<4>, <3>, <2> and WfmCodec.
template <class C>
LaneResult<typename C::State> encodeInLanes(const WaveInfo& wave, typename C::State start,
                                            PayloadOut out, const LanePlan& plan);

}  // namespace korvane
