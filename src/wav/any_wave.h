// The tolerant reader, for recordings straight from an editor or recorder:
// RIFF/WAVE with its chunks in any order (the fmt chunk anywhere before the
// data chunk, odd sizes padded as RIFF says), PCM of 1 to 32 bits, IEEE float
// of 32 or 64 bits, WAVE_FORMAT_EXTENSIBLE with either sub-format, any number
// of channels and any rate. Samples are read as WAV defines them, left
// justified in their containers, and mixed to mono as the mean of all channels.
#pragma once

#include <cstdint>
#include <span>

#include "wav/wave_reader.h"

namespace korvane {

struct AnyWave {
  const std::uint8_t* data = nullptr;  // the first frame
  std::uint64_t frames = 0;            // whole frames present
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bitsPerSample = 0;
  std::uint16_t containerBytes = 0;  // of one sample of one channel
  bool isFloat = false;
};

// Parses the whole loaded file; every read stays inside it. The causes are
// the exact reader's: notRiff, notWave (no WAVE, no fmt before the data, a
// broken fmt), notPcm (neither PCM nor float), bitsNotSupported, noDataChunk,
// noSamples.
[[nodiscard]] WaveError readAnyWave(std::span<const std::uint8_t> file, AnyWave& wave);

// The mean of the channels of every frame, full scale +-1, into mono
// (wave.frames of them).
void mixToMono(const AnyWave& wave, std::span<float> mono);

}  // namespace korvane
