#include "quality/fidelity.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace korvane {
namespace {

double ratioDb(double signal, double error) {
  if (error == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / error);
}

// Adds up one frame at a time into the whole.
struct FidelityCounter {
  Fidelity whole;
  double frameSignal = 0;
  double frameError = 0;
  std::size_t frameLength = 0;

  void add(std::int32_t x, std::int16_t y) {
    const double s = std::clamp(x, -32768, 32767);
    const double e = s - y;
    frameSignal += s * s;
    frameError += e * e;
    if (++frameLength == kFidelityFrame) endFrame();
  }

  void endFrame() {
    if (frameLength == 0) return;
    const double quiet = kFullScale * kFullScale * std::pow(10.0, kQuietFrameDbfs / 10.0) *
                         static_cast<double>(frameLength);
    if (frameSignal >= quiet) {
      whole.frameSnrSum += ratioDb(frameSignal, frameError);
      ++whole.frames;
    }
    whole.signalEnergy += frameSignal;
    whole.errorEnergy += frameError;
    whole.samples += frameLength;
    frameSignal = frameError = 0;
    frameLength = 0;
  }
};

}  // namespace

Fidelity measureFidelity(const WaveInfo& input, DecodeCursor played) {
  FidelityCounter counter;
  SampleReader reader(input);
  counter.add(reader.next(), played.seed);
  // Sixteen pieces at a time, the stream read once for them.
  constexpr std::size_t kSamples = 16 * kCodePiece;
  std::vector<std::int16_t> piece(kSamples);
  std::vector<std::int32_t> samples(kSamples);
  while (const std::size_t count = decodeSamples(played, piece)) {
    reader.next(std::span(samples).first(count));
    for (std::size_t j = 0; j < count; ++j)
      counter.add(samples[j], piece[j]);
  }
  counter.endFrame();
  return counter.whole;
}

double snrDb(const Fidelity& fidelity) {
  return ratioDb(fidelity.signalEnergy, fidelity.errorEnergy);
}

double noiseDbfs(const Fidelity& fidelity) {
  if (fidelity.errorEnergy == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(fidelity.errorEnergy / static_cast<double>(fidelity.samples) /
                           (kFullScale * kFullScale));
}

double segmentalSnrDb(const Fidelity& fidelity) {
  if (fidelity.frames == 0) return std::numeric_limits<double>::quiet_NaN();
  return fidelity.frameSnrSum / static_cast<double>(fidelity.frames);
}

}  // namespace korvane
