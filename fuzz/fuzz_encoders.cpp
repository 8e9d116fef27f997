// Fuzz target: the reader followed by an encoder. The first byte picks the
// format (low three bits) and the search level (high four bits, 0 to 9); the
// rest is the WAV file. Every stream must have its exact length and decode
// to as many samples as the input holds; a search must not lose to the
// greedy encoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "convert/convert.h"
#include "decoder/decoder.h"
#include "quality/fidelity.h"
#include "search/search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto format = static_cast<korvane::Format>(data[0] % korvane::kFormatCount);
  const int level = (data[0] >> 4) % (korvane::kMaxSearchLevel + 1);
  const std::span<const std::uint8_t> file(data + 1, size - 1);
  korvane::WaveInfo wave;
  if (korvane::readWaveInfo(file, wave) != korvane::WaveError::none) return 0;
  // Long inputs only slow the search down without reaching new code.
  if (level > 0 && wave.sampleCount > 20000) return 0;

  const auto stream = korvane::encodeStream(format, wave, level);
  if (stream.size() != korvane::streamLength(format, wave.sampleCount)) std::abort();
  korvane::DecodeCursor played;
  if (korvane::openStream(stream, played) != korvane::DecodeError::none) std::abort();
  if (played.info.sampleCount != wave.sampleCount) std::abort();
  if (level > 0) {
    const auto greedy = korvane::encodeStream(format, wave, 0);
    korvane::DecodeCursor plain;
    if (korvane::openStream(greedy, plain) != korvane::DecodeError::none) std::abort();
    if (korvane::measureFidelity(wave, played).errorEnergy >
        korvane::measureFidelity(wave, plain).errorEnergy) {
      std::abort();
    }
  }
  return 0;
}
