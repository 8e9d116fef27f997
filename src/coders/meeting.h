// What the fast paths share: the greedy coders are functions of their state
// and input alone (coders/codecs.h), so a run from a guessed state writes the
// true codes from where it meets the true run. Parts of an input, and runs
// stepped side by side until they meet.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/adpcm.h"
#include "format/sink.h"
#include "wav/wave_reader.h"

namespace korvane {

// The wave of `count` samples after the first `skip` samples after the
// cursor, as the coders take it (a seed before them, sampleCount - 1 after).
inline WaveInfo partOf(const WaveInfo& wave, std::uint64_t skip, std::uint64_t count) {
  WaveInfo part = wave;
  part.cursor += skip * containerBytes(wave.bitsPerSample);
  part.sampleCount = static_cast<std::uint32_t>(count + 1);
  return part;
}

// Runs are compared every kMeetingStep samples, a whole number of bytes of
// codes in every format.
inline constexpr std::uint64_t kMeetingStep = 64;

// Steps the runs from a and b over the samples of wave, kMeetingStep at a
// time, until their states are equal or `limit` samples are done; returns the
// samples done. The codes of run a go to codes, when given (room for limit).
template <class C>
std::uint64_t runUntilMet(const WaveInfo& wave, typename C::State& a, typename C::State& b,
                          std::uint64_t limit, std::uint8_t* codes = nullptr) {
  SampleReader reader(wave);
  std::array<std::int32_t, kMeetingStep> x;
  std::uint64_t done = 0;
  while (done < limit && !C::same(a, b)) {
    const std::size_t n = static_cast<std::size_t>(std::min(kMeetingStep, limit - done));
    reader.next(std::span(x).first(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t code = C::step(a, x[i]);
      if (codes != nullptr) codes[done + i] = code;
      C::step(b, x[i]);
    }
    done += n;
  }
  return done;
}

// Steps the run from s over all sampleCount - 1 samples of wave.
template <class C>
void advance(const WaveInfo& wave, typename C::State& s) {
  SampleReader reader(wave);
  std::array<std::int32_t, kCodePiece> x;
  for (std::uint64_t left = wave.sampleCount - 1; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kCodePiece, left));
    reader.next(std::span(x).first(n));
    for (std::size_t i = 0; i < n; ++i)
      C::step(s, x[i]);
    left -= n;
  }
}

// Packs codes (whole groups but for the stream's last piece) through writer,
// a room at a time.
template <class C>
void packInto(StreamWriter& writer, typename C::Packer& packer,
              std::span<const std::uint8_t> codes) {
  constexpr std::size_t kPiece = 8 * kCodePiece;  // codes, and at most as many bytes
  for (std::size_t at = 0; at < codes.size(); at += kPiece) {
    const auto piece = codes.subspan(at, std::min(kPiece, codes.size() - at));
    writer.commit(packer.pack(piece, writer.room(kPiece)));
  }
}

}  // namespace korvane
