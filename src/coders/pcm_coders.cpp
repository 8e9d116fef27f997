// The linear PCM coders (.PCM): each sample cut to the format's width.
#include "codec/pcm.h"
#include "coders/greedy.h"

namespace korvane {

void encodePcm16(const WaveInfo& wave, std::int32_t, std::span<std::uint8_t> payload) {
  std::uint8_t* out = payload.data();
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      storeLe(out + 2 * i, offsetForm(samples[i]), 2);
    out += 2 * samples.size();
  }
}

void encodePcm8(const WaveInfo& wave, std::int32_t, std::span<std::uint8_t> payload) {
  std::uint8_t* out = payload.data();
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      out[i] = static_cast<std::uint8_t>(offsetForm(samples[i]) >> 8);
    out += samples.size();
  }
}

void encodePcm12(const WaveInfo& wave, std::int32_t, std::span<std::uint8_t> payload) {
  Pcm12Packer packer;
  std::uint8_t* out = payload.data();
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next())
    out = packPcm12(packer, samples, out);
  finishPcm12(packer, out);
}

}  // namespace korvane
