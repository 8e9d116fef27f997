// The state of a greedy coder as the two 32-bit values a lane carries
// (kernel_types.h), and the core's greedy step on it: what the portable lane
// kernels run, and what the coders read the lanes' checkpoints with.
#pragma once

#include <cstdint>

#include "codec/adpcm.h"
#include "codec/wfm.h"

namespace korvane {

// ADPCM: predictor and step index.
template <unsigned Bits>
struct AdpcmLane {
  using State = AdpcmState;
  static State of(std::int32_t first, std::int32_t second) {
    return {first, static_cast<std::int8_t>(second)};
  }
  static std::int32_t first(const State& s) { return s.predictor; }
  static std::int32_t second(const State& s) { return s.stepIndex; }
  static std::uint8_t step(State& s, std::int32_t x) { return quantizeAdpcm<Bits>(s, x); }
};

// WFM: the estimate, and the step with the history above it.
struct WfmLane {
  using State = WfmState;
  static State of(std::int32_t first, std::int32_t second) {
    const auto packed = static_cast<std::uint32_t>(second);
    return {static_cast<std::uint32_t>(first), packed & 0xFFFFu,
            static_cast<std::uint8_t>(packed >> 16)};
  }
  static std::int32_t first(const State& s) { return static_cast<std::int32_t>(s.estimate); }
  static std::int32_t second(const State& s) {
    return static_cast<std::int32_t>(s.step | std::uint32_t{s.history} << 16);
  }
  static std::uint8_t step(State& s, std::int32_t x) {
    return static_cast<std::uint8_t>(quantizeWfm(s, offsetForm(x)));
  }
};

}  // namespace korvane
