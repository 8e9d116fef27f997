// Recordings as editors write them, made ready for the encoders: read by the
// tolerant reader, mixed to mono, resampled, levelled, and rounded to 16 bits
// (to nearest, no dither: the same input always gives the same bytes).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "resample/resample.h"
#include "vector/kernels.h"
#include "wav/any_wave.h"
#include "wav/source.h"
#include "wav/wave_writer.h"

namespace korvane {

struct Preparation {
  std::uint32_t rate = 0;     // the output rate; 0 keeps the input's
  double gainDb = 0;          // added first
  bool normalize = false;     // then the peak brought to normalizeDbfs
  double normalizeDbfs = -1;  // relative to full scale, 32768
  unsigned threads = 1;       // for the first pass of normalize (and the greedy coders)
  bool trim = false;          // last, silence at either end dropped:
  double trimDb = -45;        // samples quieter than this, relative to full scale
};

// Trimming keeps this much of the quieter part beside the first and last
// louder sample.
inline constexpr double kTrimMarginSeconds = 0.010;

// A recording made ready, read on demand as a canonical mono 16-bit WAV
// file (source()): its samples are made a block at a time as they are read,
// from any thread, and each is the same whatever reads it in what pieces.
// Memory does not grow with the input's length; normalizing reads the input
// twice (a first pass finds the peak).
class PreparedInput {
 public:
  PreparedInput() = default;
  PreparedInput(const PreparedInput&) = delete;
  PreparedInput& operator=(const PreparedInput&) = delete;

  // Reads the header through the tolerant reader (and, to normalize, the
  // whole input once). Fails with the tolerant reader's cause; tooLong() is
  // set instead where the result would not fit a WAV file.
  [[nodiscard]] WaveError open(const ByteSource& file, const Preparation& how,
                               const VectorKernels& kernels = vectorKernels());
  [[nodiscard]] bool tooLong() const { return tooLong_; }

  // The prepared file; valid while this object lives.
  [[nodiscard]] ByteSource source() const;

  // Samples that would have passed full scale, among those made so far: all
  // of them once every sample has been read.
  [[nodiscard]] std::uint64_t clipped() const { return clipped_.load(); }

  // Whether a read of the input failed.
  [[nodiscard]] bool readFailed() const { return failed_.load(); }

  // Samples trimmed from the start and from the end (0 without trim).
  [[nodiscard]] std::uint64_t trimmedStart() const { return first_; }
  [[nodiscard]] std::uint64_t trimmedEnd() const { return count_ - first_ - kept_; }

 private:
  static bool fill(const void* self, std::uint64_t offset, std::span<std::uint8_t> out);
  void makeFloats(std::uint64_t first, std::span<float> out) const;
  void makeBlock(std::uint64_t block, std::span<std::int16_t> samples) const;
  [[nodiscard]] float peak() const;
  void trim(double dbfs);

  AnyWave wave_;
  std::uint64_t number_ = 0;  // this input's number among all prepared
  Preparation how_;
  bool resampling_ = false;
  Resampler resampler_;
  std::uint32_t rate_ = 0;
  std::uint64_t count_ = 0;  // samples at the output rate, before the trim
  std::uint64_t first_ = 0;  // the first sample kept
  std::uint64_t kept_ = 0;   // and how many are
  double factor_ = 1;
  std::array<std::uint8_t, kWaveHeaderBytes> header_{};
  mutable std::vector<std::atomic<std::uint64_t>>
      counted_;  // a bit a block whose clips are counted
  mutable std::atomic<std::uint64_t> clipped_{0};
  mutable std::atomic<bool> failed_{false};
  bool tooLong_ = false;
};

// For a file the exact reader refuses: why the tolerant reader can read it,
// or what it is where the tolerant reader cannot.
struct Tolerable {
  enum class Cause : std::uint8_t {
    unreadable,  // nothing here reads it, and it says no more
    foreign,     // a WAV file of another coding (tag): nothing here reads it
    rf64,        // RF64 or BW64
    coding,      // G.711 or ADPCM (tag)
    channels,    // more than one (count)
    floats,      // IEEE float samples (count: bits)
    chunkOrder,  // chunks before fmt
    oddChunk,    // an odd-sized chunk before the data
  } cause;
  unsigned count = 0;
  std::uint16_t tag = 0;   // the fmt chunk's format tag
  std::uint32_t rate = 0;  // the input's own
};

[[nodiscard]] Tolerable tolerableCause(const ByteSource& file);

}  // namespace korvane
