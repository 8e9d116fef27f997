// A band-limited resampler for any pair of rates: a Kaiser-windowed sinc,
// linear phase, evaluated as a polyphase filter. Output sample k lines up with
// input time k / outRate (the filter is centred on it, so there is no delay).
//
// The filter passes up to 0.9 of the lower Nyquist frequency of the two rates
// (within 0.1 dB) and stops from that Nyquist frequency up (at least 100 dB
// down): a tone the output cannot hold is removed, not folded back, and the
// images of upsampling are removed the same way.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vector/kernels.h"

namespace korvane {

// How many samples resample makes of count: ceil(count * outRate / inRate).
[[nodiscard]] std::uint64_t resampledLength(std::uint64_t count, std::uint32_t inRate,
                                            std::uint32_t outRate);

// The filter's length: taps on each side of the centre, and the count of a
// table row (2 * half, padded to a multiple of kDotLanes).
struct ResampleDesign {
  double beta;       // the Kaiser window's shape
  double cutoff;     // cycles per input sample, in the middle of the transition band
  std::size_t half;  // taps on each side of the centre, in input samples
  std::size_t taps;
};

// One stage of a resampler: output k lies at input time k * down / up, its
// taps the table row of its phase (k * down) mod up; where a row a phase
// would be too large, rows at evenly spaced offsets, and each output blends
// the two around it.
struct ResampleStage {
  ResampleDesign design{};
  std::uint64_t up = 1;
  std::uint64_t down = 1;
  std::uint64_t rows = 1;
  bool exact = true;  // a row for every phase
  std::vector<float> table;
};

// The filter between two rates, made once and then read by any number of
// threads: halving stages while the rate is above twice the output's, then
// one stage to the output rate.
struct Resampler {
  std::vector<ResampleStage> stages;
  const VectorKernels* kernels = nullptr;
};

// Rates more than about 2,500 times apart get a filter of at most 2^20 taps,
// and with it a wider transition band.
[[nodiscard]] Resampler makeResampler(std::uint32_t inRate, std::uint32_t outRate,
                                      const VectorKernels& kernels = vectorKernels());

// The first input sample output k reads (before the input's start for the
// first outputs), and how many input samples outputs first .. first + count
// - 1 read from inputStart(first) on.
[[nodiscard]] std::int64_t inputStart(const Resampler& r, std::uint64_t k);
[[nodiscard]] std::size_t inputLength(const Resampler& r, std::uint64_t first, std::size_t count);

// What one block of outputs works in; kept from block to block.
struct StageScratch {
  std::vector<float> dealt;
  std::vector<const float*> sources;
  std::vector<float> column;
};

struct ResampleScratch {
  std::vector<StageScratch> stages;
  std::vector<std::vector<float>> signals;  // each stage's outputs but the last's
  std::vector<std::int64_t> firsts;
  std::vector<std::size_t> counts;
};

// Outputs first .. first + out.size() - 1 from x, the inputLength input
// samples from inputStart(first) on (silence where they lie outside the
// input). Every output is the same whatever block it is made in.
void resampleBlock(const Resampler& r, std::uint64_t first, std::span<const float> x,
                   std::span<float> out, ResampleScratch& scratch);

// Samples at inRate (full scale +-1) as samples at outRate; both rates at
// least 1. The output has resampledLength samples, its edges filtered as if
// silence lay beyond the input. threads share the output between them; every
// count, and every path of the vector kernels, gives the same bits.
[[nodiscard]] std::vector<float> resample(std::span<const float> in, std::uint32_t inRate,
                                          std::uint32_t outRate, unsigned threads = 1,
                                          const VectorKernels& kernels = vectorKernels());

}  // namespace korvane
