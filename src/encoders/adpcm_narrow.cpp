// The 3-bit (.AD3) and 2-bit (.AD2) ADPCM encoders.
#include "encoders/adpcm.h"

namespace korvane {

void encodeAdpcm3(WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcmGreedy<3>(wave, seed, payload);
}

void encodeAdpcm2(WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcmGreedy<2>(wave, seed, payload);
}

}  // namespace korvane
