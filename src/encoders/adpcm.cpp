// The greedy ADPCM coders (.AD4, .AD3, .AD2): one code per sample after the seed.
#include "codec/adpcm.h"
#include "encoders/encoders.h"

namespace korvane {

template <unsigned Bits>
AdpcmState encodeAdpcmFrom(const WaveInfo& wave, AdpcmState state,
                           std::span<std::uint8_t> payload) {
  std::array<std::uint8_t, kCodePiece> codes;
  std::uint8_t* out = payload.data();
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      codes[i] = quantizeAdpcm<Bits>(state, samples[i]);
    out = packCodes<kAdpcmCodes<Bits>>(std::span(codes).first(samples.size()), out);
  }
  return state;
}

template AdpcmState encodeAdpcmFrom<4>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>);
template AdpcmState encodeAdpcmFrom<3>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>);
template AdpcmState encodeAdpcmFrom<2>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>);

void encodeAdpcm4(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcmFrom<4>(wave, {seed, 0}, payload);
}

void encodeAdpcm3(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcmFrom<3>(wave, {seed, 0}, payload);
}

void encodeAdpcm2(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcmFrom<2>(wave, {seed, 0}, payload);
}

}  // namespace korvane
