// Fuzz target: the decoder on arbitrary device files. An accepted stream
// decodes to a WAV file the reader accepts, with the stream's sample count;
// judged as a stream, the bytes read of it are accepted as the whole file is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "decoder/decoder.h"
#include "wav/wave_reader.h"

namespace {

// The file arriving as a stream, judged when half of it or all of it has
// come: the bytes it is read to are accepted where the whole file is, as the
// same stream (a refusal may name another cause: that of the bytes read).
void judgeAsStream(std::span<const std::uint8_t> file) {
  using Kind = korvane::ReadLimit::Kind;
  korvane::DecodeCursor whole;
  const korvane::DecodeError error = korvane::openStream(file, whole);
  for (const std::size_t arrived : {file.size() / 2, file.size()}) {
    const korvane::ReadLimit limit =
        korvane::streamReadLimit(korvane::memorySource(file.first(arrived)));
    if (limit.kind == Kind::readOn) continue;
    if (limit.kind == Kind::tooLong) {
      if (error == korvane::DecodeError::none) std::abort();
      continue;
    }
    const std::size_t kept =
        limit.kind == Kind::refused
            ? arrived
            : static_cast<std::size_t>(std::min<std::uint64_t>(limit.length, file.size()));
    korvane::DecodeCursor cut;
    const korvane::DecodeError cutError = korvane::openStream(file.first(kept), cut);
    if ((cutError == korvane::DecodeError::none) != (error == korvane::DecodeError::none)) {
      std::abort();
    }
    if (error == korvane::DecodeError::none &&
        (cut.info.format != whole.info.format || cut.info.sampleCount != whole.info.sampleCount)) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  judgeAsStream(std::span(data, size));
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
