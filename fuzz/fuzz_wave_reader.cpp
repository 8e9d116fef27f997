// Fuzz target: both WAV readers on arbitrary bytes. An accepted header must
// describe samples that lie inside the input, and every one of them is read;
// a file the tolerant reader accepts is mixed and, when short, prepared as
// --rate would prepare it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "convert/prepare.h"
#include "wav/any_wave.h"
#include "wav/wave_reader.h"

namespace {

int readExactly(std::span<const std::uint8_t> file) {
  korvane::WaveInfo wave;
  if (korvane::readWaveInfo(file, wave) != korvane::WaveError::none) return 0;
  const std::uint64_t bytes =
      std::uint64_t{wave.sampleCount} * korvane::containerBytes(wave.bitsPerSample);
  if (wave.sampleCount == 0 || wave.dataStart < file.data() ||
      bytes > static_cast<std::uint64_t>(file.data() + file.size() - wave.dataStart)) {
    std::abort();
  }
  std::int64_t sum = 0;
  for (std::uint32_t i = 0; i < wave.sampleCount; ++i)
    sum += korvane::nextSample(wave);
  if (wave.cursor != wave.dataStart + bytes) std::abort();
  return sum == 0x7FFFFFFFFFFFFFFF;  // keeps the reads from being optimised away
}

int readTolerantly(std::span<const std::uint8_t> file) {
  korvane::AnyWave wave;
  if (korvane::readAnyWave(file, wave) != korvane::WaveError::none) return 0;
  const std::uint64_t bytes = wave.frames * wave.channels * wave.containerBytes;
  if (wave.frames == 0 || wave.data < file.data() ||
      bytes > static_cast<std::uint64_t>(file.data() + file.size() - wave.data)) {
    std::abort();
  }
  std::vector<float> mono(static_cast<std::size_t>(wave.frames));
  korvane::mixToMono(wave, mono);
  // Preparing costs in proportion to the input, the output and the filter
  // (some hundred taps a sample, and a table of them to build): keep runs
  // short, and resample only some short inputs between rates whose table is
  // small (whole multiples of 8 kHz), reading and levelling everything else.
  const std::uint32_t rate = wave.sampleRate;
  if (wave.frames > 512) return 0;
  korvane::Prepared prepared;
  bool tooLong = false;
  korvane::Preparation how;
  const bool resample = wave.frames <= 64 && file.size() % 16 == 0;  // one input in sixteen
  how.rate = resample && rate % 8000 == 0 && rate <= 48000 ? 8000 : 0;
  how.normalize = file.size() % 2 == 0;
  if (korvane::prepareInput(file, how, prepared, tooLong) != korvane::WaveError::none) std::abort();
  korvane::WaveInfo check;
  if (!tooLong && korvane::readWaveInfo(prepared.wave, check) != korvane::WaveError::none) {
    std::abort();
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  return readExactly(file) + readTolerantly(file);
}
