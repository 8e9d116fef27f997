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

// Samples at inRate (full scale +-1) as samples at outRate; both rates at
// least 1. The output has resampledLength samples, its edges filtered as if
// silence lay beyond the input. Rates more than about 2,500 times apart get
// a filter of at most 2^20 taps, and with it a wider transition band.
// threads share the output between them; every count, and every path of the
// vector kernels, gives the same bits.
[[nodiscard]] std::vector<float> resample(std::span<const float> in, std::uint32_t inRate,
                                          std::uint32_t outRate, unsigned threads = 1,
                                          const VectorKernels& kernels = vectorKernels());

}  // namespace korvane
