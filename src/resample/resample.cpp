#include "resample/resample.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <system_error>
#include <thread>

namespace korvane {
namespace {

// Kaiser's design rules for a stopband attenuation: the window's shape and,
// per unit of transition width, its length. The halving stages ask for more
// than the last stage: their attenuation near the stopband's edge falls a
// little short of the rule's, and they cost little.
constexpr double kAttenuationDb = 100;
constexpr double kHalvingAttenuationDb = 110;
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

// A filter from a stage's input rate passing to passHz and stopping from
// stopHz, attenuationDb down, in input samples.
ResampleDesign designFor(double inRate, double passHz, double stopHz, double attenuationDb) {
  const double transition = (stopHz - passHz) / inRate;  // cycles per input sample
  const double length = (attenuationDb - 7.95) / (2.285 * 2 * std::numbers::pi * transition) + 1;
  ResampleDesign d;
  d.beta = 0.1102 * (attenuationDb - 8.7);
  d.cutoff = (passHz + stopHz) / 2 / inRate;
  d.half = std::min(static_cast<std::size_t>(std::ceil(length / 2)), kMaxTaps / 2);
  d.taps = (2 * d.half + kDotLanes - 1) / kDotLanes * kDotLanes;
  return d;
}

// The taps that weight input samples n0 - half + 1 + j for an output at
// input time n0 + offset, 0 <= offset <= 1, scaled to sum to 1.
void fillTaps(const ResampleDesign& d, double offset, float* taps) {
  const double windowHalf = static_cast<double>(d.half);
  const double i0beta = besselI0(d.beta);
  double sum = 0;
  std::vector<double> h(d.taps, 0.0);
  for (std::size_t j = 0; j < 2 * d.half; ++j) {
    const double t = offset + windowHalf - 1 - static_cast<double>(j);
    const double r = t / windowHalf;
    if (r <= -1 || r >= 1) continue;
    const double x = 2 * d.cutoff * t;
    const double sinc = x == 0 ? 1 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
    h[j] = 2 * d.cutoff * sinc * besselI0(d.beta * std::sqrt(1 - r * r)) / i0beta;
    sum += h[j];
  }
  for (std::size_t j = 0; j < d.taps; ++j)
    taps[j] = static_cast<float>(h[j] / sum);
}

ResampleStage makeStage(std::uint32_t inRate, std::uint32_t outRate, double passHz, double stopHz,
                        double attenuationDb) {
  ResampleStage st;
  const std::uint64_t common = std::gcd(inRate, outRate);
  st.up = outRate / common;   // L: output times fall on L phases
  st.down = inRate / common;  // M: an output step is M / L input samples
  st.design = designFor(inRate, passHz, stopHz, attenuationDb);
  // One table row per phase; where that would be too large, rows at evenly
  // spaced offsets and a linear blend of the two around each output's offset.
  const std::size_t taps = st.design.taps;
  st.rows = std::min<std::uint64_t>(st.up, std::max<std::size_t>(64, kMaxTableFloats / taps));
  st.exact = st.rows == st.up;
  st.table.resize((st.rows + (st.exact ? 0 : 1)) * taps);
  for (std::uint64_t row = 0; row < st.table.size() / taps; ++row) {
    fillTaps(st.design, static_cast<double>(row) / static_cast<double>(st.rows),
             &st.table[row * taps]);
  }
  return st;
}

// The first input sample of a stage that its output k reads; k may lie
// before the stage's first output (an inner stage feeding the edge of the
// next), where the input before 0 counts as silence all the same.
std::int64_t stageStart(const ResampleStage& st, std::int64_t k) {
  const auto scaled = static_cast<std::int64_t>(st.down) * k;
  const auto up = static_cast<std::int64_t>(st.up);
  const std::int64_t n0 = scaled >= 0 ? scaled / up : -((-scaled + up - 1) / up);
  return n0 + 1 - static_cast<std::int64_t>(st.design.half);
}

std::size_t stageLength(const ResampleStage& st, std::int64_t first, std::size_t count) {
  const std::int64_t last = first + static_cast<std::int64_t>(count > 0 ? count - 1 : 0);
  return static_cast<std::size_t>(stageStart(st, last) - stageStart(st, first)) + st.design.taps;
}

// x dealt into rows of `Down` (row q holds x[q], x[q + Down], ...), as far as
// whole groups of Down go.
template <std::size_t Down>
void deal(const float* x, std::size_t whole, std::size_t stride, float* rows) {
  for (std::size_t i = 0; i < whole; ++i) {
    for (std::size_t q = 0; q < Down; ++q)
      rows[q * stride + i] = x[Down * i + q];
  }
}

// The outputs of the block whose phase is the same: first + c, first + c +
// up, ... read input windows down samples apart. With the block's input dealt
// into down rows (row q holds x[q], x[q + down], ...), tap j of every one of
// them reads one row from one place on, so the columns kernel runs them all.
void filterByPhase(const ResampleStage& st, const VectorKernels& kernels, std::int64_t first,
                   std::span<const float> x, std::span<float> out, StageScratch& s) {
  const std::uint64_t up = st.up;
  const std::uint64_t down = st.down;
  const std::size_t taps = 2 * st.design.half;
  const std::size_t stride = (x.size() + down - 1) / down;
  const float* dealt = x.data();
  if (down > 1) {
    s.dealt.resize(down * stride);
    float* rows = s.dealt.data();
    const std::size_t whole = x.size() / down;  // rows filled from x to this length
    switch (down) {  // the common ratios with a constant stride, which vectorises
      case 2:
        deal<2>(x.data(), whole, stride, rows);
        break;
      case 3:
        deal<3>(x.data(), whole, stride, rows);
        break;
      default:
        for (std::size_t i = 0; i < whole; ++i) {
          for (std::size_t q = 0; q < down; ++q)
            rows[q * stride + i] = x[down * i + q];
        }
    }
    for (std::size_t q = 0; q < down; ++q) {
      for (std::size_t i = whole; i < stride; ++i) {
        const std::size_t at = q + down * i;
        rows[q * stride + i] = at < x.size() ? x[at] : 0.0f;
      }
    }
    dealt = rows;
  }
  s.sources.resize(taps);
  const std::int64_t start = stageStart(st, first);
  const std::size_t classes = static_cast<std::size_t>(std::min<std::uint64_t>(up, out.size()));
  const std::size_t longest = (out.size() + up - 1) / up;  // outputs of the first class
  if (up > 1) s.column.resize(classes * longest);
  for (std::size_t c = 0; c < classes; ++c) {
    const std::int64_t k = first + static_cast<std::int64_t>(c);
    const auto u = static_cast<std::int64_t>(up);
    const auto phase =
        static_cast<std::uint64_t>(((k * static_cast<std::int64_t>(down)) % u + u) % u);
    const auto offset = static_cast<std::size_t>(stageStart(st, k) - start);
    for (std::size_t j = 0; j < taps; ++j) {
      const std::size_t at = offset + j;
      s.sources[j] = dealt + (at % down) * stride + at / down;
    }
    const std::size_t count = (out.size() - c + up - 1) / up;
    float* to = up > 1 ? &s.column[c * longest] : out.data();
    kernels.columns(&st.table[phase * st.design.taps], taps, s.sources.data(), count, to);
  }
  // The classes' columns woven into the outputs, a row of classes at a time.
  if (up > 1) {
    for (std::size_t m = 0; m < longest; ++m) {
      const std::size_t row = std::min<std::size_t>(classes, out.size() - m * up);
      for (std::size_t c = 0; c < row; ++c)
        out[m * up + c] = s.column[c * longest + m];
    }
  }
}

// Each output on its own: the taps of its offset blended from the two rows
// around it (rates too far apart for a row per phase). Outputs of the last
// stage only: first is never negative.
void filterBlended(const ResampleStage& st, const VectorKernels& kernels, std::int64_t first,
                   std::span<const float> x, std::span<float> out) {
  const std::int64_t start = stageStart(st, first);
  const std::size_t taps = st.design.taps;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto k = static_cast<std::uint64_t>(first) + i;
    const std::uint64_t phase = k * st.down % st.up;
    const float* window =
        &x[static_cast<std::size_t>(stageStart(st, static_cast<std::int64_t>(k)) - start)];
    const double at =
        static_cast<double>(phase) * static_cast<double>(st.rows) / static_cast<double>(st.up);
    const auto row = static_cast<std::uint64_t>(at);
    const auto blend = static_cast<float>(at - static_cast<double>(row));
    const float a = kernels.dot(&st.table[row * taps], window, taps);
    const float b = kernels.dot(&st.table[(row + 1) * taps], window, taps);
    out[i] = a + blend * (b - a);
  }
}

void filterStage(const ResampleStage& st, const VectorKernels& kernels, std::int64_t first,
                 std::span<const float> x, std::span<float> out, StageScratch& s) {
  if (out.empty()) return;
  if (st.exact) {
    filterByPhase(st, kernels, first, x, out, s);
  } else {
    filterBlended(st, kernels, first, x, out);
  }
}

}  // namespace

std::uint64_t resampledLength(std::uint64_t count, std::uint32_t inRate, std::uint32_t outRate) {
  const std::uint64_t common = std::gcd(inRate, outRate);
  const std::uint64_t up = outRate / common;
  const std::uint64_t down = inRate / common;
  return (count * up + down - 1) / down;
}

Resampler makeResampler(std::uint32_t inRate, std::uint32_t outRate, const VectorKernels& kernels) {
  Resampler r;
  r.kernels = &kernels;
  const double stop = std::min(inRate, outRate) / 2.0;
  const double pass = kPassFraction * stop;
  // Halving stages while the rate is above twice the output's: short
  // filters, as each need only keep off what would fold into the output's
  // band; the last stage then has the fewest input samples to read.
  std::uint32_t rate = inRate;
  while (rate % 2 == 0 && rate / 2 > outRate) {
    r.stages.push_back(makeStage(rate, rate / 2, pass, rate / 2.0 - stop, kHalvingAttenuationDb));
    rate /= 2;
  }
  r.stages.push_back(makeStage(rate, outRate, pass, stop, kAttenuationDb));
  return r;
}

std::int64_t inputStart(const Resampler& r, std::uint64_t k) {
  std::int64_t at = static_cast<std::int64_t>(k);
  for (std::size_t s = r.stages.size(); s-- > 0;)
    at = stageStart(r.stages[s], at);
  return at;
}

std::size_t inputLength(const Resampler& r, std::uint64_t first, std::size_t count) {
  std::int64_t at = static_cast<std::int64_t>(first);
  for (std::size_t s = r.stages.size(); s-- > 0;) {
    count = stageLength(r.stages[s], at, count);
    at = stageStart(r.stages[s], at);
  }
  return count;
}

void resampleBlock(const Resampler& r, std::uint64_t first, std::span<const float> x,
                   std::span<float> out, ResampleScratch& scratch) {
  const std::size_t stages = r.stages.size();
  scratch.stages.resize(stages);
  scratch.signals.resize(stages);
  // Where each stage's outputs begin and how many are wanted, last stage first.
  std::int64_t at = static_cast<std::int64_t>(first);
  std::size_t count = out.size();
  std::vector<std::int64_t>& firsts = scratch.firsts;
  std::vector<std::size_t>& counts = scratch.counts;
  firsts.resize(stages);
  counts.resize(stages);
  for (std::size_t s = stages; s-- > 0;) {
    firsts[s] = at;
    counts[s] = count;
    count = stageLength(r.stages[s], at, count);
    at = stageStart(r.stages[s], at);
  }
  std::span<const float> in = x;
  for (std::size_t s = 0; s < stages; ++s) {
    std::span<float> to = out;
    if (s + 1 < stages) {
      scratch.signals[s].resize(counts[s]);
      to = scratch.signals[s];
    }
    filterStage(r.stages[s], *r.kernels, firsts[s], in, to, scratch.stages[s]);
    in = to;
  }
}

std::vector<float> resample(std::span<const float> in, std::uint32_t inRate, std::uint32_t outRate,
                            unsigned threads, const VectorKernels& kernels) {
  const Resampler r = makeResampler(inRate, outRate, kernels);
  std::vector<float> out(resampledLength(in.size(), inRate, outRate));
  // Outputs first .. last - 1 a block at a time, silence taken beyond the input.
  const auto part = [&](std::uint64_t from, std::uint64_t to) {
    ResampleScratch scratch;
    std::vector<float> x;
    constexpr std::uint64_t kBlock = 4096;
    for (std::uint64_t first = from; first < to; first += kBlock) {
      const auto count = static_cast<std::size_t>(std::min(kBlock, to - first));
      const std::int64_t start = inputStart(r, first);
      x.resize(inputLength(r, first, count));
      for (std::size_t i = 0; i < x.size(); ++i) {
        const std::int64_t at = start + static_cast<std::int64_t>(i);
        x[i] = at >= 0 && at < static_cast<std::int64_t>(in.size())
                   ? in[static_cast<std::size_t>(at)]
                   : 0.0f;
      }
      resampleBlock(r, first, x, std::span(out).subspan(static_cast<std::size_t>(first), count),
                    scratch);
    }
  };
  // Short work is not worth a thread.
  const std::uint64_t work = out.size() * r.stages.back().design.taps;
  const std::uint64_t parts = std::clamp<std::uint64_t>(work >> 24, 1, std::max(threads, 1u));
  std::vector<std::thread> helpers;
  for (std::uint64_t p = 1; p < parts; ++p) {
    const std::uint64_t from = out.size() * p / parts;
    const std::uint64_t to = out.size() * (p + 1) / parts;
    try {
      helpers.emplace_back(part, from, to);
    } catch (const std::system_error&) {
      part(from, to);  // no thread to be had: on this one
    }
  }
  part(0, out.size() / parts);
  for (std::thread& helper : helpers)
    helper.join();
  return out;
}

}  // namespace korvane
