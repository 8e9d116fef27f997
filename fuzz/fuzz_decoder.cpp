// Fuzz target: the decoder on arbitrary device files. An accepted stream
// decodes to a WAV file the reader accepts, with the stream's sample count.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "decoder/decoder.h"
#include "wav/wave_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvane::DecodeCursor cursor;
  if (korvane::openStream(std::span(data, size), cursor) != korvane::DecodeError::none) return 0;
  // A stream of millions of samples from a few bytes only costs time.
  if (cursor.info.sampleCount > (1u << 22)) return 0;
  const auto wave = korvane::decodeToWave(cursor);
  korvane::WaveInfo info;
  if (korvane::readWaveInfo(wave, info) != korvane::WaveError::none) std::abort();
  if (info.sampleCount != cursor.info.sampleCount) std::abort();
  return 0;
}
