// WFM: one-bit adaptive delta modulation.
//
// After the seed sample each sample becomes one decision: 1 when it lies below
// the running estimate (the estimate moves down by the step), 0 otherwise (it
// moves up). After every decision the step is rescaled by a factor chosen by
// the last four decisions: runs make it grow, alternations make it shrink.
// The step and estimate depend on the seed and the decisions alone, so a
// player that replays the bits through applyWfmDecision holds the encoder's
// estimate after every decision.
//
// Payload: one byte per eight decisions, the oldest in bit 7. Each byte is
// the history of the last eight decisions, newest in bit 0, so a final partial
// byte of k decisions holds them in its low k bits and, above them, the last
// 8 - k decisions of the byte before (zeros when there is none).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "format/stream.h"

namespace korvane {

struct WfmState {
  std::uint32_t estimate = 0;  // in offset form, 0..65535 once the seed is worked off
  std::uint32_t step = 16;     // 16..8191
  std::uint8_t history = 0;    // the last eight decisions, newest in bit 0
};

// Step factors in 1/32 by the pattern d3 d2 d1 d0 (d0 the newest decision),
// indexed by (d2^d3, d1^d3, d0^d3): a pattern and its complement share one.
// 0000 grows the step by 46/32, 0101 shrinks it by 26/32.
inline constexpr std::array<std::uint8_t, 8> kWfmStepFactor = {46, 29, 33, 35, 36, 26, 29, 38};
inline constexpr std::uint32_t kWfmMinStep = 16;
inline constexpr std::uint32_t kWfmMaxStep = 8191;
inline constexpr std::uint32_t kWfmCeiling = 65535;

// The player's step: moves the state by one decision (0 or 1).
[[gnu::always_inline]] inline void applyWfmDecision(WfmState& state, unsigned decision) {
  const unsigned history = ((unsigned{state.history} << 1) | decision) & 0xFFu;
  state.history = static_cast<std::uint8_t>(history);
  const unsigned index = (history ^ (((history >> 3) & 1u) * 7u)) & 7u;
  std::uint32_t step = (kWfmStepFactor[index] * state.step) >> 5;
  if (step > kWfmMaxStep) step = kWfmMaxStep;
  if (step < kWfmMinStep) step = kWfmMinStep;
  state.step = step;
  // Both moves are worked out and one is picked: decisions are data, and a
  // branch on them would be mispredicted half the time.
  const std::uint32_t down = state.estimate > step ? state.estimate - step : 0;
  const std::uint32_t up =
      state.estimate + step > kWfmCeiling ? kWfmCeiling : state.estimate + step;
  const std::uint32_t downMask = 0u - decision;
  state.estimate = (down & downMask) | (up & ~downMask);
}

// The greedy encoder's step for one sample x in offset form (0..65535): a
// sample equal to the estimate decides 0. Returns the decision.
inline unsigned quantizeWfm(WfmState& state, std::uint32_t x) {
  const unsigned decision = x < state.estimate ? 1u : 0u;
  applyWfmDecision(state, decision);
  return decision;
}

// Starting state for a seed sample as the reader delivered it; outside the
// 16-bit range the estimate starts outside 0..65535 and is worked off.
[[nodiscard]] inline WfmState seedWfm(std::int32_t seed) {
  WfmState state;
  state.estimate = static_cast<std::uint32_t>(seed) + 32768u;
  return state;
}

// Packs decisions (0 or 1 each) into out and returns the end of what it wrote.
// history carries the last eight decisions packed, newest in bit 0, from one
// piece to the next (0 at the start of a stream); pieces but the last must be
// whole bytes. A final partial byte is written as the history stands.
inline std::uint8_t* packWfm(std::span<const std::uint8_t> decisions, std::uint8_t* out,
                             std::uint8_t& history) {
  unsigned h = history;
  std::size_t i = 0;
  for (; i + 8 <= decisions.size(); i += 8) {
    h = 0;
    for (unsigned j = 0; j < 8; ++j)
      h = h << 1 | decisions[i + j];
    *out++ = static_cast<std::uint8_t>(h);
  }
  if (i < decisions.size()) {
    for (; i < decisions.size(); ++i)
      h = (h << 1 | decisions[i]) & 0xFFu;
    *out++ = static_cast<std::uint8_t>(h);
  }
  history = static_cast<std::uint8_t>(h);
  return out;
}

// The inverse of packWfm: decision g of the piece sits in byte g / 8 at bit
// 7 - g % 8, except in a final partial byte of r decisions, whose bits are
// the low r. Returns the end of what it read.
inline const std::uint8_t* unpackWfm(const std::uint8_t* in, std::span<std::uint8_t> decisions) {
  const std::size_t whole = decisions.size() / 8 * 8;
  for (std::size_t g = 0; g < whole; g += 8, ++in) {
    for (unsigned bit = 0; bit < 8; ++bit)
      decisions[g + bit] = static_cast<std::uint8_t>((*in >> (7 - bit)) & 1u);
  }
  if (const std::size_t r = decisions.size() - whole; r > 0) {
    for (std::size_t j = 0; j < r; ++j)
      decisions[whole + j] = static_cast<std::uint8_t>((*in >> (r - 1 - j)) & 1u);
    ++in;
  }
  return in;
}

}  // namespace korvane
