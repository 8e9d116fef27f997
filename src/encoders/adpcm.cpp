// The greedy ADPCM coders (.AD4, .AD3, .AD2): one code per sample after the seed.
#include "codec/adpcm.h"
#include "encoders/encoders.h"

namespace korvane {
namespace {

template <unsigned Bits>
void encodeAdpcm(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  AdpcmState state{seed, 0};
  std::array<std::uint8_t, kCodePiece> codes;
  std::uint8_t* out = payload.data();
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      codes[i] = quantizeAdpcm<Bits>(state, samples[i]);
    out = packCodes<kAdpcmCodes<Bits>>(std::span(codes).first(samples.size()), out);
  }
}

}  // namespace

void encodeAdpcm4(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcm<4>(wave, seed, payload);
}

void encodeAdpcm3(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcm<3>(wave, seed, payload);
}

void encodeAdpcm2(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcm<2>(wave, seed, payload);
}

}  // namespace korvane
