#include "resample/resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <thread>

namespace korvane {
namespace {

// Kaiser's design rules for a stopband attenuation of kAttenuationDb: the
// window's shape and, per unit of transition width, its length.
constexpr double kAttenuationDb = 100;
constexpr double kBeta = 0.1102 * (kAttenuationDb - 8.7);
constexpr double kPassFraction = 0.9;  // of the lower Nyquist frequency
constexpr std::size_t kMaxTableFloats = std::size_t{4} << 20;
constexpr std::size_t kMaxTaps = std::size_t{1} << 20;

// The modified Bessel function of the first kind, order 0, by its series.
double besselI0(double x) {
  double sum = 1;
  double term = 1;
  for (int k = 1; k < 200 && term > sum * 1e-17; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
  }
  return sum;
}

struct Design {
  double cutoff;     // cycles per input sample, in the middle of the transition band
  std::size_t half;  // taps on each side of the centre, in input samples
  std::size_t taps;  // 2 * half, padded to a multiple of kDotLanes
};

Design designFor(std::uint32_t inRate, std::uint32_t outRate) {
  const double nyquist = std::min(inRate, outRate) / 2.0 / inRate;  // cycles per input sample
  const double transition = (1 - kPassFraction) * nyquist;
  const double length = (kAttenuationDb - 7.95) / (2.285 * 2 * std::numbers::pi * transition) + 1;
  Design d;
  d.cutoff = nyquist - transition / 2;
  d.half = std::min(static_cast<std::size_t>(std::ceil(length / 2)), kMaxTaps / 2);
  d.taps = (2 * d.half + kDotLanes - 1) / kDotLanes * kDotLanes;
  return d;
}

// The taps that weight input samples n0 - half + 1 + j for an output at
// input time n0 + offset, 0 <= offset <= 1, scaled to sum to 1.
void fillTaps(const Design& d, double offset, float* taps) {
  const double windowHalf = static_cast<double>(d.half);
  const double i0beta = besselI0(kBeta);
  double sum = 0;
  std::vector<double> h(d.taps, 0.0);
  for (std::size_t j = 0; j < 2 * d.half; ++j) {
    const double t = offset + windowHalf - 1 - static_cast<double>(j);
    const double r = t / windowHalf;
    if (r <= -1 || r >= 1) continue;
    const double x = 2 * d.cutoff * t;
    const double sinc = x == 0 ? 1 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
    h[j] = 2 * d.cutoff * sinc * besselI0(kBeta * std::sqrt(1 - r * r)) / i0beta;
    sum += h[j];
  }
  for (std::size_t j = 0; j < d.taps; ++j)
    taps[j] = static_cast<float>(h[j] / sum);
}

struct Filter {
  Design d;
  std::uint64_t up;
  std::uint64_t down;
  std::uint64_t rows;
  std::vector<float> table;
  DotKernel dot;
};

// Outputs first .. last - 1 of in through the filter.
void filterRange(const Filter& f, std::span<const float> in, std::span<float> out,
                 std::uint64_t first, std::uint64_t last) {
  const DotKernel dot = f.dot;
  const Design& d = f.d;
  const bool exact = f.rows == f.up;
  std::vector<float> edge(d.taps);  // a window that runs past the input, silence filled in
  for (std::uint64_t k = first; k < last; ++k) {
    const std::uint64_t position = k * f.down;
    const std::uint64_t n0 = position / f.up;
    const std::uint64_t phase = position % f.up;
    // The window covers input samples n0 + 1 - half .. n0 + taps - half.
    const float* window = nullptr;
    if (n0 + 1 >= d.half && n0 + 1 - d.half + d.taps <= in.size()) {
      window = &in[n0 + 1 - d.half];
    } else {
      for (std::size_t j = 0; j < d.taps; ++j) {
        const auto n = static_cast<std::int64_t>(n0 + 1 + j) - static_cast<std::int64_t>(d.half);
        edge[j] = n >= 0 && n < static_cast<std::int64_t>(in.size())
                      ? in[static_cast<std::size_t>(n)]
                      : 0.0f;
      }
      window = edge.data();
    }
    if (exact) {
      out[k] = dot(&f.table[phase * d.taps], window, d.taps);
    } else {
      const double at =
          static_cast<double>(phase) * static_cast<double>(f.rows) / static_cast<double>(f.up);
      const auto row = static_cast<std::uint64_t>(at);
      const auto blend = static_cast<float>(at - static_cast<double>(row));
      const float a = dot(&f.table[row * d.taps], window, d.taps);
      const float b = dot(&f.table[(row + 1) * d.taps], window, d.taps);
      out[k] = a + blend * (b - a);
    }
  }
}

}  // namespace

std::uint64_t resampledLength(std::uint64_t count, std::uint32_t inRate, std::uint32_t outRate) {
  const std::uint64_t common = std::gcd(inRate, outRate);
  const std::uint64_t up = outRate / common;
  const std::uint64_t down = inRate / common;
  return (count * up + down - 1) / down;
}

std::vector<float> resample(std::span<const float> in, std::uint32_t inRate, std::uint32_t outRate,
                            unsigned threads, const VectorKernels& kernels) {
  const std::uint64_t common = std::gcd(inRate, outRate);
  const std::uint64_t up = outRate / common;   // L: output times fall on L phases
  const std::uint64_t down = inRate / common;  // M: an output step is M / L input samples
  const Design d = designFor(inRate, outRate);

  // One table row per phase; where that would be too large, rows at evenly
  // spaced offsets and a linear blend of the two around each output's offset.
  Filter f{d,    up,
           down, std::min<std::uint64_t>(up, std::max<std::size_t>(64, kMaxTableFloats / d.taps)),
           {},   kernels.dot};
  const bool exact = f.rows == up;
  f.table.resize((f.rows + (exact ? 0 : 1)) * d.taps);
  for (std::uint64_t r = 0; r < f.table.size() / d.taps; ++r) {
    fillTaps(d, static_cast<double>(r) / static_cast<double>(f.rows), &f.table[r * d.taps]);
  }

  std::vector<float> out(resampledLength(in.size(), inRate, outRate));
  // Short work is not worth a thread.
  const std::uint64_t work = out.size() * d.taps;
  const std::uint64_t parts = std::clamp<std::uint64_t>(work >> 24, 1, std::max(threads, 1u));
  std::vector<std::thread> helpers;
  for (std::uint64_t p = 1; p < parts; ++p) {
    helpers.emplace_back(filterRange, std::cref(f), in, std::span(out), out.size() * p / parts,
                         out.size() * (p + 1) / parts);
  }
  filterRange(f, in, out, 0, out.size() / parts);
  for (std::thread& helper : helpers)
    helper.join();
  return out;
}

}  // namespace korvane
