#include "convert/prepare.h"

#include <cmath>

#include "resample/resample.h"
#include "wav/any_wave.h"
#include "wav/wave_writer.h"

namespace korvane {
namespace {

constexpr double kFullScale = 32768.0;

// Gain and normalisation as one factor on the mono samples.
double levelFactor(std::span<const float> mono, const Preparation& how) {
  double factor = std::pow(10.0, how.gainDb / 20.0);
  if (how.normalize) {
    float peak = 0;
    for (const float v : mono) {
      if (std::isfinite(v)) peak = std::max(peak, std::fabs(v));
    }
    if (peak > 0) factor = std::pow(10.0, how.normalizeDbfs / 20.0) / peak;
  }
  return factor;
}

// To nearest, halves to even; what lies beyond full scale is clipped and counted.
std::int16_t toSixteenBits(double v, std::uint64_t& clipped) {
  if (std::isnan(v)) return 0;
  const double rounded = std::nearbyint(v * kFullScale);
  if (rounded > 32767 || rounded < -32768) {
    ++clipped;
    return rounded > 0 ? std::int16_t{32767} : std::int16_t{-32768};
  }
  return static_cast<std::int16_t>(rounded);
}

}  // namespace

WaveError prepareInput(std::span<const std::uint8_t> file, const Preparation& how,
                       Prepared& prepared, bool& tooLong) {
  tooLong = false;
  AnyWave wave;
  if (const WaveError error = readAnyWave(file, wave); error != WaveError::none) return error;
  if (wave.frames > kMaxWaveSamples) {
    tooLong = true;
    return WaveError::none;
  }
  std::vector<float> mono(static_cast<std::size_t>(wave.frames));
  mixToMono(wave, mono);
  const std::uint32_t rate = how.rate != 0 ? how.rate : wave.sampleRate;
  if (resampledLength(mono.size(), wave.sampleRate, rate) > kMaxWaveSamples) {
    tooLong = true;
    return WaveError::none;
  }
  if (rate != wave.sampleRate) mono = resample(mono, wave.sampleRate, rate, how.threads);
  const double factor = levelFactor(mono, how);
  const auto count = static_cast<std::uint32_t>(mono.size());
  prepared.wave.resize(kWaveHeaderBytes + 2 * std::size_t{count});
  storeWaveHeader(std::span(prepared.wave).first<kWaveHeaderBytes>(), rate, count);
  std::uint8_t* out = prepared.wave.data() + kWaveHeaderBytes;
  for (const float v : mono) {
    const auto s = static_cast<std::uint16_t>(toSixteenBits(v * factor, prepared.clipped));
    *out++ = static_cast<std::uint8_t>(s);
    *out++ = static_cast<std::uint8_t>(s >> 8);
  }
  return WaveError::none;
}

Tolerable tolerableCause(std::span<const std::uint8_t> file) {
  using Cause = Tolerable::Cause;
  AnyWave wave;
  if (readAnyWave(file, wave) != WaveError::none) return {Cause::unreadable};
  if (wave.channels != 1) return {Cause::channels, wave.channels};
  if (wave.isFloat) return {Cause::floats, wave.bitsPerSample};
  return {Cause::chunkOrder};
}

}  // namespace korvane
