// The greedy coders as the fast paths see them. A greedy coder is a function
// of its state and its input alone, so two runs that reach the same state at
// the same sample write the same codes from there on; the fast paths code
// pieces of the input from guessed states and keep a guessed run's codes from
// where the true run meets it. Each coder here gives its state, its step (the
// core's), guesses, its state as two 32-bit values a vector lane holds, its
// vector kernel, its serial coder and its packing.
//
// Where runs meet, on speech (a long run of prompts at 16 kHz): the 4-bit
// coder after a median of about 400 samples (nine in ten by 2,500), the 3-bit
// after 1,400 (6,200), the 2-bit after 4,600 (15,000), WFM after 13,000
// (44,000); on white noise WFM runs mostly never meet. The lengths below are
// sized from these.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "encoders/encoders.h"
#include "fast/lane_run.h"
#include "wav/wave_reader.h"

namespace korvane {

template <unsigned Bits>
struct AdpcmGreedy {
  using State = AdpcmState;
  static constexpr unsigned kBits = Bits;
  // Samples of a lane chunk, and the shortest chunk worth coding in lanes
  // (shorter chunks paid for the 4-bit coder only: 30 s of speech, 9.5 ->
  // 8.4 ms a run).
  static constexpr std::size_t kChunkLength = Bits == 4 ? 4096 : Bits == 3 ? 8192 : 16384;
  static constexpr std::size_t kShortestChunk = Bits == 4 ? 1024 : kChunkLength;
  // Samples a guessed lane run is warmed on before its chunk: its runs then
  // meet sooner. It paid for the 2-bit coder only (-E2 of ten minutes of
  // speech 41 -> 38 ms of CPU; WFM 56 -> 46 ms with 16,384).
  static constexpr std::size_t kWarmUp = Bits == 2 ? 4096 : 0;
  // Inputs cut in two parts from this length; runs given this long to meet.
  static constexpr std::uint64_t kSplitFrom = Bits == 2 ? 1u << 18 : 1u << 17;
  static constexpr std::uint64_t kMeetWithin = 1u << 16;

  // The sample before as predictor. The 2-bit index moves by -3 or +5, both
  // 5 mod 8, so between clamps it keeps the class 5k mod 8 after k codes; a
  // guess of another class would never meet.
  static State guess(std::int32_t previous, std::uint64_t codesBefore) {
    const std::int32_t predictor = std::clamp(previous, -32768, 32767);
    if constexpr (Bits == 2) {
      return {predictor, static_cast<std::int8_t>(40 + 5 * codesBefore % 8)};
    }
    return {predictor, 0};
  }
  // A state far from s, of the same 2-bit index class.
  static State other(const State& s) {
    return {s.predictor < 0 ? s.predictor + 4096 : s.predictor - 4096,
            static_cast<std::int8_t>(s.stepIndex < 40 ? s.stepIndex + 40 : s.stepIndex - 40)};
  }
  static std::uint8_t step(State& s, std::int32_t x) { return quantizeAdpcm<Bits>(s, x); }
  static bool same(const State& a, const State& b) {
    return a.predictor == b.predictor && a.stepIndex == b.stepIndex;
  }
  static std::int32_t first(const State& s) { return s.predictor; }
  static std::int32_t second(const State& s) { return s.stepIndex; }
  static State of(std::int32_t first, std::int32_t second) {
    return {first, static_cast<std::int8_t>(second)};
  }
  static void runLanes(LaneRun& run, VectorPath path) {
    run.adpcm = &kVectorTables<Bits>;
    path == VectorPath::avx512 ? runAdpcmLanesAvx512(run) : runAdpcmLanesAvx2(run);
  }
  static State serial(const WaveInfo& wave, State start, std::span<std::uint8_t> payload) {
    return encodeAdpcmFrom<Bits>(wave, start, payload);
  }
  // Packs whole groups but for the stream's last piece.
  struct Packer {
    std::uint8_t* pack(std::span<const std::uint8_t> codes, std::uint8_t* out) {
      return packCodes<kAdpcmCodes<Bits>>(codes, out);
    }
  };
};

struct WfmGreedy {
  using State = WfmState;
  static constexpr unsigned kBits = 1;
  static constexpr std::size_t kChunkLength = 32768;
  static constexpr std::size_t kShortestChunk = kChunkLength;
  static constexpr std::size_t kWarmUp = 16384;
  static constexpr std::uint64_t kSplitFrom = 1u << 19;
  static constexpr std::uint64_t kMeetWithin = 1u << 17;

  // The sample before as the estimate, the smallest step.
  static State guess(std::int32_t previous, std::uint64_t) {
    State s;
    s.estimate = offsetForm(previous);
    return s;
  }
  static State other(const State& s) {
    return {s.estimate < 32768 ? s.estimate + 4096 : s.estimate - 4096, s.step < 1024 ? 4096u : 64u,
            static_cast<std::uint8_t>(~s.history)};
  }
  static std::uint8_t step(State& s, std::int32_t x) {
    return static_cast<std::uint8_t>(quantizeWfm(s, offsetForm(x)));
  }
  static bool same(const State& a, const State& b) {
    return a.estimate == b.estimate && a.step == b.step && a.history == b.history;
  }
  static std::int32_t first(const State& s) { return static_cast<std::int32_t>(s.estimate); }
  static std::int32_t second(const State& s) {
    return static_cast<std::int32_t>(s.step | std::uint32_t{s.history} << 16);
  }
  static State of(std::int32_t first, std::int32_t second) {
    const auto packed = static_cast<std::uint32_t>(second);
    return {static_cast<std::uint32_t>(first), packed & 0xFFFFu,
            static_cast<std::uint8_t>(packed >> 16)};
  }
  static void runLanes(LaneRun& run, VectorPath path) {
    run.wfm = &kWfmVectorTables;
    path == VectorPath::avx512 ? runWfmLanesAvx512(run) : runWfmLanesAvx2(run);
  }
  static State serial(const WaveInfo& wave, State start, std::span<std::uint8_t> payload) {
    return encodeWfmFrom(wave, start, payload);
  }
  // Pieces but the last are whole bytes; the history serves the last.
  struct Packer {
    std::uint8_t history = 0;
    std::uint8_t* pack(std::span<const std::uint8_t> decisions, std::uint8_t* out) {
      return packWfm(decisions, out, history);
    }
  };
};

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

// Steps the runs from a and b over the samples of reader, kMeetingStep at a
// time, until their states are equal or `limit` samples are done; returns the
// samples done. The codes of run a go to codes, when given (room for limit).
template <class C>
std::uint64_t runUntilMet(WaveInfo reader, typename C::State& a, typename C::State& b,
                          std::uint64_t limit, std::uint8_t* codes = nullptr) {
  std::array<std::int32_t, kMeetingStep> x;
  std::uint64_t done = 0;
  while (done < limit && !C::same(a, b)) {
    const std::size_t n = static_cast<std::size_t>(std::min(kMeetingStep, limit - done));
    nextSamples(reader, std::span(x).first(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t code = C::step(a, x[i]);
      if (codes != nullptr) codes[done + i] = code;
      C::step(b, x[i]);
    }
    done += n;
  }
  return done;
}

// Steps the run from s over all sampleCount - 1 samples of reader.
template <class C>
void advance(WaveInfo reader, typename C::State& s) {
  std::array<std::int32_t, kCodePiece> x;
  for (std::uint64_t left = reader.sampleCount - 1; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kCodePiece, left));
    nextSamples(reader, std::span(x).first(n));
    for (std::size_t i = 0; i < n; ++i)
      C::step(s, x[i]);
    left -= n;
  }
}

}  // namespace korvane
