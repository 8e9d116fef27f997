// The greedy payload coders: each reads samples 1 to N - 1 of an accepted
// wave whose cursor stands after the seed sample (sample 0), from a copy of
// it, and writes the payload, exactly the bytes after the seed, to out. The
// codec arithmetic and the packing are the codec core's; a coder only feeds
// it samples a piece at a time.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "codec/adpcm.h"
#include "format/sink.h"
#include "format/stream.h"
#include "wav/wave_reader.h"

namespace korvane {

// The PCM coder of format (pcm16, pcm12 or pcm8), on up to `threads` threads.
void encodePcm(Format format, const WaveInfo& wave, PayloadOut out, unsigned threads = 1);

// The greedy coder of an adapting codec C (coders/codecs.h) from any state:
// it codes the sampleCount - 1 samples after the cursor, as if the sample
// before were a seed that left state, and returns the state after the last.
// From the seed's state (C::start) it codes a whole payload. Instantiated for
// AdpcmCodec<4>, <3>, <2> and WfmCodec.
template <class C>
typename C::State encodeGreedy(const WaveInfo& wave, typename C::State state, PayloadOut out);

// Hands out the samples after the seed kCodePiece at a time, converted to
// 32-bit values first so that a coder's loop does nothing else. The coder's
// loop keeps its state in locals: a state reached through a reference could
// alias the byte stores of its codes and be reloaded on every sample.
class SamplePieces {
 public:
  explicit SamplePieces(const WaveInfo& wave) : reader_(wave), left_(wave.sampleCount - 1) {}

  // The next piece; empty at the end.
  std::span<const std::int32_t> next() {
    const std::uint32_t count = left_ < kCodePiece ? left_ : std::uint32_t{kCodePiece};
    reader_.next(std::span(samples_).first(count));
    left_ -= count;
    return std::span(samples_).first(count);
  }

 private:
  SampleReader reader_;
  std::uint32_t left_;
  std::array<std::int32_t, kCodePiece> samples_;
};

}  // namespace korvane
