// The greedy one-bit coder (.WFM): one decision per sample after the seed.
#include "codec/wfm.h"
#include "encoders/encoders.h"

namespace korvane {

WfmState encodeWfmFrom(const WaveInfo& wave, WfmState state, std::span<std::uint8_t> payload) {
  std::uint8_t history = 0;
  std::array<std::uint8_t, kCodePiece> decisions;
  std::uint8_t* out = payload.data();
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      decisions[i] = static_cast<std::uint8_t>(quantizeWfm(state, offsetForm(samples[i])));
    out = packWfm(std::span(decisions).first(samples.size()), out, history);
  }
  return state;
}

void encodeWfm(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeWfmFrom(wave, seedWfm(seed), payload);
}

}  // namespace korvane
