// Recordings as editors write them, made ready for the encoders: read by the
// tolerant reader, mixed to mono, resampled, levelled, and rounded to 16 bits
// (to nearest, no dither: the same input always gives the same bytes).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "wav/wave_reader.h"

namespace korvane {

struct Preparation {
  std::uint32_t rate = 0;     // the output rate; 0 keeps the input's
  double gainDb = 0;          // added first
  bool normalize = false;     // then the peak brought to normalizeDbfs
  double normalizeDbfs = -1;  // relative to full scale, 32768
  unsigned threads = 1;       // for the resampler (and the greedy coders)
};

struct Prepared {
  std::vector<std::uint8_t> wave;  // a canonical mono 16-bit PCM WAV file
  std::uint64_t clipped = 0;       // samples that would have passed full scale
};

// Fails with the tolerant reader's cause; tooLong is set when the result
// would not fit a WAV file.
[[nodiscard]] WaveError prepareInput(std::span<const std::uint8_t> file, const Preparation& how,
                                     Prepared& prepared, bool& tooLong);

// For a file the exact reader refuses: why the tolerant reader can read it.
struct Tolerable {
  enum class Cause : std::uint8_t { unreadable, channels, floats, chunkOrder } cause;
  unsigned count = 0;  // channels, or bits of a float sample
};

[[nodiscard]] Tolerable tolerableCause(std::span<const std::uint8_t> file);

}  // namespace korvane
