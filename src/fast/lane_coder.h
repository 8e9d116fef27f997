// The greedy ADPCM and WFM coders at speed. The greedy coder is a function of its
// state and its input alone, so two runs that reach the same state at the
// same sample write the same codes from there on. The input is cut into
// chunks; every chunk is coded from a guessed start state, 32 chunks at once
// in vector lanes; then, in order, the true coder runs from the true end state
// of the chunk before only until its state equals the guessed run's at a
// checkpoint, and from there the guessed run's codes are the true ones. A
// chunk whose runs never meet is coded again, and a window of chunks that
// mostly do not meet ends the guessing. The bytes are the serial coder's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "wav/wave_reader.h"

namespace korvane {

enum class CoderPath : std::uint8_t {
  serial,  // one chain, sample after sample (every CPU)
  avx512,  // speculative chunks in AVX-512 lanes
};

// The fastest path this CPU has.
[[nodiscard]] CoderPath bestCoderPath();

// How the coder runs: its path, and the samples of a chunk (a multiple of 16;
// 0 picks it from the format and the length). Tests force each path and odd cuts.
struct LanePlan {
  CoderPath path = bestCoderPath();
  std::size_t chunkLength = 0;
};

// The guessed state at a chunk's start: the sample before it as predictor.
// The 2-bit index moves by -3 or +5, both 5 mod 8, so between clamps it keeps
// the class 5k mod 8 after k codes; a guess of another class would never meet.
template <unsigned Bits>
AdpcmState guessAdpcmState(std::int32_t previous, std::uint64_t codesBefore) {
  const std::int32_t predictor = std::clamp(previous, -32768, 32767);
  if constexpr (Bits == 2) {
    return {predictor, static_cast<std::int8_t>(40 + 5 * codesBefore % 8)};
  }
  return {predictor, 0};
}

// The greedy coder's contract from a state (encodeAdpcmFrom,
// encoders/encoders.h), on the path of plan.
template <unsigned Bits>
AdpcmState encodeAdpcmPlanned(const WaveInfo& wave, AdpcmState start,
                              std::span<std::uint8_t> payload, const LanePlan& plan);

// The guessed WFM state at a chunk's start: the sample before it as the
// estimate, the smallest step.
[[nodiscard]] inline WfmState guessWfmState(std::int32_t previous) {
  WfmState s;
  s.estimate = offsetForm(previous);
  return s;
}

// The same for WFM (encodeWfmFrom).
WfmState encodeWfmPlanned(const WaveInfo& wave, WfmState start, std::span<std::uint8_t> payload,
                          const LanePlan& plan);

}  // namespace korvane
