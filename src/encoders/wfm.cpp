// The one-bit WFM encoder (.WFM).
#include "encoders/wfm.h"

#include "encoders/frame.h"

namespace korvane {

void encodeWfm(WaveInfo& input, std::int32_t seed, std::span<std::uint8_t> payload) {
  WaveInfo wave = input;  // a local cursor stays in a register
  WfmState state = seedWfm(seed);
  std::uint8_t* out = payload.data();
  const std::uint32_t decisions = wave.sampleCount - 1;
  for (std::uint32_t i = 0; i < decisions; ++i) {
    if (quantizeWfm(state, offsetForm(nextSample(wave)))) *out++ = state.history;
  }
  if (decisions % 8 != 0) *out = state.history;
  input = wave;
}

}  // namespace korvane
