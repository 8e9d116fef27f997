// One description of each codec that adapts (the ADPCM widths and WFM), read
// by every coder above the core: the greedy coder and its fast paths (lanes,
// two parts), the lookahead and the beam. Each gives its state, the core's
// greedy step and player's step, what the player outputs, its state as the
// two 32-bit values a vector lane holds (vector/lane_state.h) and its lane
// kernel, the guesses the fast paths start from, a merge key for the beam,
// and its packing.
//
// A greedy coder is a function of its state and its input alone, so two runs
// that reach the same state at the same sample write the same codes from
// there on. Where runs meet, on speech (a long run of prompts at 16 kHz): the
// 4-bit coder after a median of about 400 samples (nine in ten by 2,500), the
// 3-bit after 1,400 (6,200), the 2-bit after 4,600 (15,000), WFM after 13,000
// (44,000); on white noise WFM runs mostly never meet. The lengths below are
// sized from these.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "format/stream.h"
#include "vector/kernels.h"
#include "vector/lane_state.h"
#include "vector/tables.h"

namespace korvane {

// Right shifts that cut an estimate to step >> mergeBits, by step size.
constexpr std::uint8_t mergeShift(std::uint32_t step, unsigned mergeBits) {
  const int log = static_cast<int>(std::bit_width(step)) - 1;
  return static_cast<std::uint8_t>(std::max(0, log - static_cast<int>(mergeBits)));
}

// mergeShift of every step, by mergeBits (0 to 15) and step index.
inline constexpr auto kMergeShifts = [] {
  std::array<std::array<std::uint8_t, kMaxStepIndex + 1>, 16> t{};
  for (unsigned bits = 0; bits < 16; ++bits) {
    for (std::size_t i = 0; i <= kMaxStepIndex; ++i)
      t[bits][i] = mergeShift(static_cast<std::uint32_t>(kStepTable[i]), bits);
  }
  return t;
}();

template <unsigned Bits>
struct AdpcmCodec : AdpcmLane<Bits> {
  using State = AdpcmState;
  static constexpr unsigned kBits = Bits;
  static constexpr unsigned kCodes = 1u << Bits;
  static constexpr bool kIsAdpcm = true;
  static constexpr Format kFormat = Bits == 4   ? Format::adpcm4
                                    : Bits == 3 ? Format::adpcm3
                                                : Format::adpcm2;
  // Samples of a lane chunk, and the shortest chunk worth coding in lanes
  // (shorter chunks paid for the 4-bit coder only: 30 s of speech, 9.5 ->
  // 8.4 ms a run). Longer chunks meet less often but cost memory whose first
  // touch is slow on some machines: the 2-bit coder's 8,192 (not 16,384) ran
  // ten minutes of speech in 34 ms rather than 37 on AVX2.
  static constexpr std::size_t kChunkLength = Bits == 4 ? 4096 : 8192;
  static constexpr std::size_t kShortestChunk = Bits == 4 ? 1024 : kChunkLength;
  // Samples a guessed lane run is warmed on before its chunk: its runs then
  // meet sooner. It paid for the 2-bit coder only (-E2 of ten minutes of
  // speech 41 -> 38 ms of CPU; WFM 56 -> 46 ms with 16,384).
  static constexpr std::size_t kWarmUp = Bits == 2 ? 4096 : 0;
  // Inputs cut in two parts from this length; runs given this long to meet.
  static constexpr std::uint64_t kSplitFrom = Bits == 2 ? 1u << 18 : 1u << 17;
  static constexpr std::uint64_t kMeetWithin = 1u << 16;

  // The player's state after the seed, and its step for one code.
  static State start(std::int32_t seed) { return {seed, 0}; }
  static void apply(State& s, std::uint8_t code) { reconstructAdpcm<Bits>(s, code); }
  static std::int32_t output(const State& s) { return s.predictor; }
  static bool same(const State& a, const State& b) {
    return a.predictor == b.predictor && a.stepIndex == b.stepIndex;
  }

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

  static LaneKernel lanes(const VectorKernels& k) { return k.adpcmLanes[adpcmSlot(Bits)]; }
  static void giveTables(LaneRun& run) { run.adpcm = &kVectorTables<Bits>; }

  // States that merge in the beam: the same step index and a predictor
  // within step >> mergeBits.
  static std::uint64_t key(const State& s, unsigned mergeBits) {
    const auto index = static_cast<std::uint8_t>(s.stepIndex);
    const unsigned shift = kMergeShifts[mergeBits][index];
    return (static_cast<std::uint32_t>(s.predictor + 65536) >> shift) | std::uint64_t{index} << 32;
  }

  // Packs whole groups but for the stream's last piece.
  struct Packer {
    std::uint8_t* pack(std::span<const std::uint8_t> codes, std::uint8_t* out) {
      return packCodes<kAdpcmCodes<Bits>>(codes, out);
    }
  };
};

struct WfmCodec : WfmLane {
  using State = WfmState;
  static constexpr unsigned kBits = 1;
  static constexpr unsigned kCodes = 2;
  static constexpr bool kIsAdpcm = false;
  static constexpr Format kFormat = Format::wfm;
  // 16,384, not 32,768: ten minutes of speech in 47 ms rather than 51 on AVX2.
  static constexpr std::size_t kChunkLength = 16384;
  static constexpr std::size_t kShortestChunk = kChunkLength;
  static constexpr std::size_t kWarmUp = 16384;
  static constexpr std::uint64_t kSplitFrom = 1u << 19;
  static constexpr std::uint64_t kMeetWithin = 1u << 17;

  static State start(std::int32_t seed) { return seedWfm(seed); }
  static void apply(State& s, std::uint8_t decision) { applyWfmDecision(s, decision); }
  static std::int32_t output(const State& s) {
    return static_cast<std::int32_t>(s.estimate) - 32768;
  }
  static bool same(const State& a, const State& b) {
    return a.estimate == b.estimate && a.step == b.step && a.history == b.history;
  }

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

  static LaneKernel lanes(const VectorKernels& k) { return k.wfmLanes; }
  static void giveTables(LaneRun& run) { run.wfm = &kWfmVectorTables; }

  // The same step and the three decisions the next adaptation reads, and an
  // estimate within step >> mergeBits.
  static std::uint64_t key(const State& s, unsigned mergeBits) {
    const unsigned shift = mergeShift(s.step, mergeBits);
    return (s.estimate >> shift) | std::uint64_t{s.step} << 32 |
           std::uint64_t{s.history & 7u} << 48;
  }

  // Pieces but the last are whole bytes; the history serves the last.
  struct Packer {
    std::uint8_t history = 0;
    std::uint8_t* pack(std::span<const std::uint8_t> decisions, std::uint8_t* out) {
      return packWfm(decisions, out, history);
    }
  };
};

}  // namespace korvane
