// Fuzz target: both WAV readers on arbitrary bytes. An accepted header must
// describe samples that lie inside the input, and every one of them is read;
// a file the tolerant reader accepts is mixed and, when short, prepared as
// --rate would prepare it. Judged as a stream, the bytes read of it are
// accepted as the whole file is.
#include <algorithm>
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
  if (wave.sampleCount == 0 || wave.dataStart > file.size() ||
      bytes > file.size() - wave.dataStart) {
    std::abort();
  }
  // The same file read on demand, as a file is: the same record and samples.
  const korvane::ByteSource onDemand{
      nullptr, file.size(), &file,
      [](const void* context, std::uint64_t offset, std::span<std::uint8_t> out) {
        const auto& f = *static_cast<const std::span<const std::uint8_t>*>(context);
        std::copy_n(f.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
        return true;
      }};
  korvane::WaveInfo read;
  if (korvane::readWaveInfo(onDemand, read) != korvane::WaveError::none ||
      read.sampleCount != wave.sampleCount || read.dataStart != wave.dataStart) {
    std::abort();
  }
  korvane::SampleReader reader(read);
  std::int64_t sum = 0;
  for (std::uint32_t i = 0; i < wave.sampleCount; ++i) {
    const std::int32_t sample = korvane::nextSample(wave);
    if (reader.next() != sample) std::abort();
    sum += sample;
  }
  if (wave.cursor != wave.dataStart + bytes) std::abort();
  return sum == 0x7FFFFFFFFFFFFFFF;  // keeps the reads from being optimised away
}

int readTolerantly(std::span<const std::uint8_t> file) {
  korvane::AnyWave wave;
  if (korvane::readAnyWave(korvane::memorySource(file), wave) != korvane::WaveError::none) return 0;
  // The frames' bytes as stored (an ADPCM block holds more frames than bytes).
  const std::uint64_t bytes =
      wave.blocks() ? wave.dataBytes : wave.frames * korvane::frameBytes(wave);
  if (wave.frames == 0 || wave.dataStart > file.size() || bytes > file.size() - wave.dataStart) {
    std::abort();
  }
  std::vector<float> mono(static_cast<std::size_t>(std::min<std::uint64_t>(wave.frames, 1 << 16)));
  std::vector<std::uint8_t> scratch;
  if (!korvane::readMono(wave, -3, mono, scratch)) std::abort();
  // Preparing costs in proportion to the input, the output and the filter
  // (some hundred taps a sample, and a table of them to build): keep runs
  // short, and resample only some short inputs between rates whose table is
  // small (whole multiples of 8 kHz), reading and levelling everything else.
  const std::uint32_t rate = wave.sampleRate;
  if (wave.frames > 512) return 0;
  korvane::Preparation how;
  const bool resample = wave.frames <= 64 && file.size() % 16 == 0;  // one input in sixteen
  how.rate = resample && rate % 8000 == 0 && rate <= 48000 ? 8000 : 0;
  how.normalize = file.size() % 2 == 0;
  korvane::PreparedInput prepared;
  if (prepared.open(korvane::memorySource(file), how) != korvane::WaveError::none) std::abort();
  korvane::WaveInfo check;
  if (prepared.tooLong()) return 0;
  if (korvane::readWaveInfo(prepared.source(), check) != korvane::WaveError::none) std::abort();
  korvane::SampleReader reader(check);
  for (std::uint32_t i = 0; i < check.sampleCount; ++i)
    (void)reader.next();
  return 0;
}

// What a reader makes of a file, to compare.
struct Read {
  korvane::WaveError error;
  std::uint64_t dataStart, count;
  bool operator==(const Read&) const = default;
};

Read readAs(std::span<const std::uint8_t> file, bool tolerant) {
  if (tolerant) {
    korvane::AnyWave w;
    const korvane::WaveError e = korvane::readAnyWave(korvane::memorySource(file), w);
    return e == korvane::WaveError::none ? Read{e, w.dataStart, w.frames} : Read{e, 0, 0};
  }
  korvane::WaveInfo w;
  const korvane::WaveError e = korvane::readWaveInfo(file, w);
  return e == korvane::WaveError::none ? Read{e, w.dataStart, w.sampleCount} : Read{e, 0, 0};
}

// The file arriving as a stream, judged when half of it or all of it has
// come: the bytes it is read to are accepted where the whole file is, with
// the same samples (a refusal may name another cause: that of the bytes read).
void judgeAsStream(std::span<const std::uint8_t> file) {
  using Kind = korvane::ReadLimit::Kind;
  for (const bool tolerant : {false, true}) {
    const Read whole = readAs(file, tolerant);
    for (const std::size_t arrived : {file.size() / 2, file.size()}) {
      const korvane::ReadLimit limit =
          korvane::waveReadLimit(korvane::memorySource(file.first(arrived)), tolerant);
      if (limit.kind == Kind::readOn || limit.kind == Kind::tooLong) continue;
      const std::size_t kept =
          limit.kind == Kind::refused
              ? arrived
              : static_cast<std::size_t>(std::min<std::uint64_t>(limit.length, file.size()));
      const Read cut = readAs(file.first(kept), tolerant);
      const bool accepted = whole.error == korvane::WaveError::none;
      if ((cut.error == korvane::WaveError::none) != accepted || (accepted && cut != whole)) {
        std::abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  judgeAsStream(file);
  return readExactly(file) + readTolerantly(file);
}
