// WAV reader: parses a RIFF/WAVE file, in memory or read on demand, and hands
// out its mono PCM samples, scaled to the signed 16-bit range.
//
// Accepted input: "RIFF" <size> "WAVE", then directly the "fmt " chunk with
// format tag 1 (or WAVE_FORMAT_EXTENSIBLE with the PCM sub-format), one channel
// and 1 to 32 bits per sample, then any chunks up to the "data" chunk.
//
// Sample containers and the value nextSample returns, b = bitsPerSample:
//   b  1..8   1 byte, unsigned, 128 = zero   (u - 128) * 2^(16 - b)
//   b  9..16  2 bytes, signed LE              w * 2^(16 - b)
//   b 17..24  3 bytes, signed LE              (t * 2^(24 - b)) >> 8
//   b 25..32  4 bytes, signed LE              (t << (32 - b)) >> 16
// The narrow widths treat the sample as right-aligned in its container, so
// their values may lie outside -32768..32767; encoders take them as they come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "format/bytes.h"
#include "wav/source.h"

namespace korvane {

struct WaveInfo {
  ByteSource file;                // the whole file
  std::uint64_t dataStart = 0;    // offset of the data chunk's contents
  std::uint64_t cursor = 0;       // offset of the next sample; only the readers move it
  std::uint32_t sampleCount = 0;  // whole sample containers present in the data chunk
  std::uint16_t formatTag = 0;    // always 1 in a record readWaveInfo accepts
  std::uint16_t channels = 0;     // always 1 in an accepted record
  std::uint32_t sampleRate = 0;
  std::uint32_t byteRate = 0;
  std::uint16_t blockAlign = 0;
  std::uint16_t bitsPerSample = 0;
  std::uint32_t dataTag = 0;   // "data" as a little-endian value
  std::uint32_t dataSize = 0;  // the data chunk's stored size, which may exceed the file
};

// Why a file is not accepted, in the order the header tests run.
enum class WaveError : std::uint8_t {
  none,
  notRiff,           // bytes 0..3 are not "RIFF"
  notWave,           // no "WAVE" at 8, no "fmt " at 12, or the header ends before byte 36
  notPcm,            // format tag other than PCM
  notMono,           // more or fewer than one channel
  bitsNotSupported,  // bitsPerSample 0 or above 32
  noDataChunk,       // the chunk scan leaves the file without finding "data"
  noSamples,         // the data chunk holds no whole sample
};

inline constexpr std::uint32_t kDataTag = 0x61746164;  // "data"

// Bytes one sample occupies for a supported bitsPerSample (1..32).
[[nodiscard]] constexpr unsigned containerBytes(unsigned bitsPerSample) {
  return (bitsPerSample + 7) / 8;
}

// Parses the header of a whole file. On success fills info, which reads its
// samples from file; on failure leaves info untouched. Every read stays
// inside file, and sampleCount never counts bytes beyond it.
[[nodiscard]] WaveError readWaveInfo(const ByteSource& file, WaveInfo& info);

// The same for a file loaded whole.
[[nodiscard]] inline WaveError readWaveInfo(std::span<const std::uint8_t> file, WaveInfo& info) {
  return readWaveInfo(memorySource(file), info);
}

// One sample of a container of bitsPerSample at p.
[[nodiscard]] inline std::int32_t sampleAt(const std::uint8_t* p, unsigned bits) {
  if (bits <= 8) return (std::int32_t{p[0]} - 128) * (std::int32_t{1} << (16 - bits));
  if (bits <= 16) {
    return static_cast<std::int16_t>(loadLe16(p)) * (std::int32_t{1} << (16 - bits));
  }
  if (bits <= 24) {
    const auto t =
        static_cast<std::int32_t>((loadLe16(p) | (std::uint32_t{p[2]} << 16)) ^ 0x800000u) -
        0x800000;
    return (t * (std::int32_t{1} << (24 - bits))) >> 8;
  }
  return static_cast<std::int32_t>(loadLe32(p) << (32 - bits)) >> 16;
}

// The samples of samples.size() containers from p. The width is looked at
// once, so each loop is a plain conversion the compiler can vectorise.
inline void convertSamples(const std::uint8_t* p, unsigned bits, std::span<std::int32_t> samples) {
  const std::size_t n = samples.size();
  if (bits <= 8) {
    const std::int32_t scale = std::int32_t{1} << (16 - bits);
    for (std::size_t i = 0; i < n; ++i)
      samples[i] = (std::int32_t{p[i]} - 128) * scale;
  } else if (bits <= 16) {
    const std::int32_t scale = std::int32_t{1} << (16 - bits);
    for (std::size_t i = 0; i < n; ++i)
      samples[i] = static_cast<std::int16_t>(loadLe16(p + 2 * i)) * scale;
  } else {
    const unsigned step = containerBytes(bits);
    for (std::size_t i = 0; i < n; ++i)
      samples[i] = sampleAt(p + step * i, bits);
  }
}

// Fills samples with the next samples.size() samples and advances the
// cursor past them. The caller may read sampleCount samples after an
// accepted readWaveInfo. From memory the samples are converted where they
// lie; from any other source this reads each call's bytes on its own, so
// long runs of reads go through a SampleReader instead.
void nextSamples(WaveInfo& info, std::span<std::int32_t> samples);

// The sample at the cursor, advancing it by one container.
[[nodiscard]] inline std::int32_t nextSample(WaveInfo& info) {
  if (info.file.inMemory()) {
    const std::int32_t sample = sampleAt(info.file.memory + info.cursor, info.bitsPerSample);
    info.cursor += containerBytes(info.bitsPerSample);
    return sample;
  }
  std::int32_t sample = 0;
  nextSamples(info, std::span(&sample, 1));
  return sample;
}

// Reads a wave's samples a piece at a time, as nextSamples would: straight
// from memory, or through a buffer of its own filled from the source in
// large reads.
class SampleReader {
 public:
  explicit SampleReader(const WaveInfo& wave) : wave_(wave) {}

  // The next samples.size() samples.
  void next(std::span<std::int32_t> samples);
  [[nodiscard]] std::int32_t next() {
    std::int32_t sample = 0;
    next(std::span(&sample, 1));
    return sample;
  }

 private:
  static constexpr std::size_t kReadBytes = std::size_t{1} << 15;

  WaveInfo wave_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t bufferSize_ = 0;
  std::uint64_t bufferAt_ = 0;  // offset in the file of buffer_[0]
  std::size_t held_ = 0;        // bytes of the file in buffer_
};

}  // namespace korvane
