// The 4-bit ADPCM encoder (.AD4); the codec core itself lives in adpcm.h so
// that every caller inlines the same per-sample arithmetic.
#include "encoders/adpcm.h"

namespace korvane {

void encodeAdpcm4(WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload) {
  encodeAdpcmGreedy<4>(wave, seed, payload);
}

}  // namespace korvane
