// Fuzz target: the WAV reader on arbitrary bytes. An accepted header must
// describe samples that lie inside the input, and every one of them is read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "wav/wave_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  korvane::WaveInfo wave;
  if (korvane::readWaveInfo(file, wave) != korvane::WaveError::none) return 0;
  const std::uint64_t bytes =
      std::uint64_t{wave.sampleCount} * korvane::containerBytes(wave.bitsPerSample);
  if (wave.sampleCount == 0 || wave.dataStart < data ||
      bytes > static_cast<std::uint64_t>(data + size - wave.dataStart)) {
    std::abort();
  }
  std::int64_t sum = 0;
  for (std::uint32_t i = 0; i < wave.sampleCount; ++i)
    sum += korvane::nextSample(wave);
  if (wave.cursor != wave.dataStart + bytes) std::abort();
  return sum == 0x7FFFFFFFFFFFFFFF;  // keeps the reads from being optimised away
}
