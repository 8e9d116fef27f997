// The resampler's figures for the README: for each pair of rates, the worst
// passband level error and the worst of everything else (images, aliases,
// the filter's own noise) over sine tones from 2% to 90% of the lower
// Nyquist frequency, the worst leak of tones the output cannot hold (at and
// above its Nyquist frequency, downsampling), and the time per second of
// input.
//   korvane_resample_figures
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "resample/resample.h"

namespace {

std::vector<float> tone(double hz, std::uint32_t rate, std::size_t count) {
  std::vector<float> x(count);
  for (std::size_t n = 0; n < count; ++n)
    x[n] = static_cast<float>(0.5 *
                              std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / rate));
  return x;
}

// Level of the fitted tone and RMS of the rest, in dB relative to the input tone.
void measure(const std::vector<float>& y, double hz, std::uint32_t rate, double& level,
             double& rest) {
  const std::size_t from = y.size() / 4, to = 3 * y.size() / 4;
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (std::size_t n = from; n < to; ++n) {
    const double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
    ss += std::sin(w) * std::sin(w), cc += std::cos(w) * std::cos(w);
    sc += std::sin(w) * std::cos(w), ys += y[n] * std::sin(w), yc += y[n] * std::cos(w);
  }
  const double det = ss * cc - sc * sc;
  const double a = det == 0 ? 0 : (ys * cc - yc * sc) / det;
  const double b = det == 0 ? 0 : (yc * ss - ys * sc) / det;
  double e2 = 0;
  for (std::size_t n = from; n < to; ++n) {
    const double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
    const double e = y[n] - a * std::sin(w) - b * std::cos(w);
    e2 += e * e;
  }
  level = 20 * std::log10(std::hypot(a, b) / 0.5);
  rest =
      10 * std::log10(e2 / static_cast<double>(to - from)) - 20 * std::log10(0.5 / std::sqrt(2.0));
}

// All that is left of a tone the output cannot hold: a sine above the
// output's Nyquist frequency could only appear folded back, so everything
// counts.
double leakDb(const std::vector<float>& y) {
  double e2 = 0;
  for (std::size_t n = y.size() / 4; n < 3 * y.size() / 4; ++n)
    e2 += double{y[n]} * y[n];
  return 10 * std::log10(e2 / static_cast<double>(y.size() / 2) + 1e-30) -
         20 * std::log10(0.5 / std::sqrt(2.0));
}

}  // namespace

int main() {
  const struct {
    std::uint32_t from, to;
  } pairs[] = {{44100, 8000}, {48000, 16000}, {48000, 8000},
               {8000, 16000}, {22050, 11025}, {48000, 6000}};
  std::printf("| rates | passband level | images and aliases | stopband leak | ms per second |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const auto& p : pairs) {
    const double band = std::min(p.from, p.to) / 2.0;
    double worstLevel = 0, worstRest = -1000, worstLeak = -1000;
    for (double f = 0.02; f <= 0.9001; f += 0.0275) {
      double level = 0, rest = 0;
      measure(korvane::resample(tone(f * band, p.from, p.from), p.from, p.to), f * band, p.to,
              level, rest);
      worstLevel = std::max(worstLevel, std::fabs(level));
      worstRest = std::max(worstRest, rest);
    }
    for (double f = 1.0; p.to < p.from && f * band < p.from / 2.0; f += 0.05) {
      worstLeak = std::max(worstLeak,
                           leakDb(korvane::resample(tone(f * band, p.from, p.from), p.from, p.to)));
    }
    const std::vector<float> second = tone(1000, p.from, 10 * p.from);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<float> y = korvane::resample(second, p.from, p.to);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    char leak[32] = "-";
    if (p.to < p.from) std::snprintf(leak, sizeof leak, "%.1f dB", worstLeak);
    std::printf("| %u -> %u | %.4f dB | %.1f dB | %s | %.2f |\n", p.from, p.to, worstLevel,
                worstRest, leak, ms / 10 + 0 * static_cast<double>(y.size()));
  }
}
