// ADPCM codec core: the state, tables and per-code steps of the 4-, 3- and
// 2-bit codecs. The arithmetic is IMA ADPCM's (the 4-bit codec bit for bit),
// cut down for the narrow widths with index tables of this format's own.
//
// Codes, sign in the top bit, magnitude bits below it:
//   4-bit  s m2 m1 m0   m2 = one step, m1 = half a step, m0 = a quarter step
//   3-bit  s m1 m0      m1 = one step, m0 = half a step
//   2-bit  s m0         m0 = one step
// The reconstruction adds a base share of the step (step >> 3, >> 2, >> 1 by
// width) plus one separately shifted step per set magnitude bit; a set sign
// negates it. The predictor is then clamped to 16 bits and the step index
// moved by the index table and clamped to 0..88.
//
// Stream framing, after the 8-byte header and the seed sample: the first
// sample is the seed (predictor = seed, stepIndex = 0) and gets no code; the
// step index is never stored; there are no blocks. Codes are packed from the
// least significant bit up:
//   AD4  two codes a byte, the earlier in the low nibble; a lone last code
//        sits in the low nibble of a byte whose high nibble is 0.
//   AD2  four codes a byte, the earliest in bits 0-1.
//   AD3  eight codes a group of three bytes read as one 24-bit little-endian
//        value, the earliest in bits 0-2.
//   A partial last AD2 byte or AD3 group holds its r codes in its top bits, as
//   if zero codes stood before them; an AD3 group is always three bytes.
//
// Every function here takes the state by reference, so the encoders, the
// decoder and the code search all run this one arithmetic.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "wav/wave_reader.h"

namespace korvane {

struct AdpcmState {
  std::int32_t predictor = 0;  // -32768..32767 after every reconstruction
  std::int8_t stepIndex = 0;   // 0..88
};

// The IMA ADPCM step sizes: about 7 * 1.1^i, rounded, ending at 32767.
inline constexpr std::array<std::int16_t, 89> kStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

inline constexpr int kMaxStepIndex = 88;

// Step-index moves by code, sign bit included. 4-bit: IMA's table.
inline constexpr std::array<std::int16_t, 16> kIndexTable4 = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                              -1, -1, -1, -1, 2, 4, 6, 8};
// 3-bit: magnitudes 0..3 move the index by -2, -2, +3, +7.
inline constexpr std::array<std::int16_t, 8> kIndexTable3 = {-2, -2, 3, 7, -2, -2, 3, 7};
// 2-bit: magnitudes 0 and 1 move it by -3 and +5; entries 4..15 are never read.
inline constexpr std::array<std::int16_t, 16> kIndexTable2 = {-3, 5, -3, 5, 0, 0, 0, 0,
                                                              0,  0, 0,  0, 0, 0, 0, 0};

[[nodiscard]] constexpr std::int32_t currentStep(const AdpcmState& state) {
  return kStepTable[static_cast<std::size_t>(state.stepIndex)];
}

// The index update takes the table entry's low 8 bits as a signed adjustment;
// sums lie in -3..96, so the clamp is a plain 0..88 clamp.
constexpr void updateStepIndex(AdpcmState& state, std::int16_t adjustment) {
  const int sum = state.stepIndex + static_cast<std::int8_t>(adjustment);
  state.stepIndex =
      static_cast<std::int8_t>(sum < 0 ? 0 : (sum > kMaxStepIndex ? kMaxStepIndex : sum));
}

// The index update for every step index and code, tabulated from
// updateStepIndex, so that the serial path from one code to the next step is
// a single load.
template <std::size_t Codes>
constexpr auto tabulateStepIndex(const std::array<std::int16_t, Codes>& adjustments) {
  std::array<std::array<std::int8_t, Codes>, kMaxStepIndex + 1> next{};
  for (std::size_t i = 0; i <= kMaxStepIndex; ++i) {
    for (std::size_t c = 0; c < Codes; ++c) {
      AdpcmState s{0, static_cast<std::int8_t>(i)};
      updateStepIndex(s, adjustments[c]);
      next[i][c] = s.stepIndex;
    }
  }
  return next;
}

inline constexpr auto kNextStepIndex4 = tabulateStepIndex(kIndexTable4);
inline constexpr auto kNextStepIndex3 = tabulateStepIndex(kIndexTable3);
inline constexpr auto kNextStepIndex2 = tabulateStepIndex(kIndexTable2);

constexpr void nextStepIndex(AdpcmState& state, const auto& table, unsigned code) {
  state.stepIndex = table[static_cast<std::size_t>(state.stepIndex)][code];
}

// Adds the signed delta and clamps the predictor to the 16-bit range.
constexpr void movePredictor(AdpcmState& state, std::int32_t delta) {
  const std::int32_t sum = state.predictor + delta;
  state.predictor = sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum);
}

// The part a code bit adds: all of part when the bit is set, else nothing.
[[nodiscard]] constexpr std::int32_t partIf(unsigned code, unsigned bit, std::int32_t part) {
  return part & -static_cast<std::int32_t>((code & bit) != 0);
}

// Magnitude of the reconstruction for step and code, before the sign: a base
// share of the step plus one separately shifted step per set magnitude bit,
// summed as independent terms.
[[nodiscard]] constexpr std::int32_t deltaAdpcm4(std::int32_t step, unsigned code) {
  return ((step >> 3) + partIf(code, 4, step)) +
         (partIf(code, 2, step >> 1) + partIf(code, 1, step >> 2));
}

[[nodiscard]] constexpr std::int32_t deltaAdpcm3(std::int32_t step, unsigned code) {
  return (step >> 2) + partIf(code, 2, step) + partIf(code, 1, step >> 1);
}

[[nodiscard]] constexpr std::int32_t deltaAdpcm2(std::int32_t step, unsigned code) {
  return (step >> 1) + partIf(code, 1, step);
}

// Applies one code to the state and returns the new predictor. Only the low
// bits of the code's width are looked at.
constexpr std::int32_t reconstructAdpcm4(AdpcmState& state, std::uint8_t code) {
  const unsigned c = code & 0xFu;
  const std::int32_t delta = deltaAdpcm4(currentStep(state), c);
  movePredictor(state, (c & 8) ? -delta : delta);
  nextStepIndex(state, kNextStepIndex4, c);
  return state.predictor;
}

constexpr std::int32_t reconstructAdpcm3(AdpcmState& state, std::uint8_t code) {
  const unsigned c = code & 0x7u;
  const std::int32_t delta = deltaAdpcm3(currentStep(state), c);
  movePredictor(state, (c & 4) ? -delta : delta);
  nextStepIndex(state, kNextStepIndex3, c);
  return state.predictor;
}

constexpr std::int32_t reconstructAdpcm2(AdpcmState& state, std::uint8_t code) {
  const unsigned c = code & 0x3u;
  const std::int32_t delta = deltaAdpcm2(currentStep(state), c);
  movePredictor(state, (c & 2) ? -delta : delta);
  nextStepIndex(state, kNextStepIndex2, c);
  return state.predictor;
}

// Greedy quantizers: pick the code for sample (every threshold inclusive, a
// difference of 0 counts as positive), apply it, return it. Each test makes a
// mask rather than a branch: the outcome is data, so a branch would be
// mispredicted about half the time.
//
// The 4-bit magnitude tests one step, then half a step, then a quarter step,
// each on what the last left over. That is the same as counting which of the
// seven sums T(m) = (m & 4 ? step : 0) + (m & 2 ? step >> 1 : 0) +
// (m & 1 ? step >> 2 : 0), m = 1..7, the difference reaches: they rise with m,
// so the greedy choice is the largest m reached. With the sums from a table
// the seven tests run side by side instead of one after another, and the
// reconstruction's magnitude comes from the same table row, which shortens
// the serial path from one sample to the next.
struct MagnitudeRow4 {
  std::array<std::int32_t, 8> sums;    // T(1)..T(7), then padding that is never tested
  std::array<std::int32_t, 8> deltas;  // deltaAdpcm4(step, m) for m = 0..7
};

inline constexpr auto kMagnitudeRows4 = [] {
  std::array<MagnitudeRow4, kMaxStepIndex + 1> rows{};
  for (std::size_t i = 0; i <= kMaxStepIndex; ++i) {
    const std::int32_t step = kStepTable[i];
    for (unsigned m = 0; m <= 7; ++m) {
      rows[i].deltas[m] = deltaAdpcm4(step, m);
      if (m > 0) rows[i].sums[m - 1] = rows[i].deltas[m] - (step >> 3);
    }
    rows[i].sums[7] = std::numeric_limits<std::int32_t>::max();
  }
  return rows;
}();

constexpr std::uint8_t quantizeAdpcm4(AdpcmState& state, std::int32_t sample) {
  const MagnitudeRow4& row = kMagnitudeRows4[static_cast<std::size_t>(state.stepIndex)];
  const std::int32_t signedDiff = sample - state.predictor;
  const std::int32_t d = signedDiff < 0 ? -signedDiff : signedDiff;
  const auto& t = row.sums;
  // Written out: a loop here gets vectorised, which is slower.
  const unsigned magnitude =
      ((static_cast<unsigned>(d >= t[0]) + static_cast<unsigned>(d >= t[1])) +
       (static_cast<unsigned>(d >= t[2]) + static_cast<unsigned>(d >= t[3]))) +
      ((static_cast<unsigned>(d >= t[4]) + static_cast<unsigned>(d >= t[5])) +
       static_cast<unsigned>(d >= t[6]));
  const std::int32_t delta = row.deltas[magnitude];
  const unsigned code = (signedDiff < 0 ? 8u : 0u) | magnitude;
  movePredictor(state, signedDiff < 0 ? -delta : delta);
  nextStepIndex(state, kNextStepIndex4, code);
  return static_cast<std::uint8_t>(code);
}

constexpr std::uint8_t quantizeAdpcm3(AdpcmState& state, std::int32_t sample) {
  const std::int32_t step = currentStep(state);
  const std::int32_t signedDiff = sample - state.predictor;
  std::int32_t diff = signedDiff < 0 ? -signedDiff : signedDiff;
  unsigned code = signedDiff < 0 ? 4u : 0u;
  const std::int32_t one = -static_cast<std::int32_t>(diff >= step);
  code |= 2u & static_cast<unsigned>(one);
  diff -= step & one;
  code |= diff >= step >> 1 ? 1u : 0u;
  reconstructAdpcm3(state, static_cast<std::uint8_t>(code));
  return static_cast<std::uint8_t>(code);
}

constexpr std::uint8_t quantizeAdpcm2(AdpcmState& state, std::int32_t sample) {
  const std::int32_t step = currentStep(state);
  const std::int32_t signedDiff = sample - state.predictor;
  const std::int32_t diff = signedDiff < 0 ? -signedDiff : signedDiff;
  const unsigned code = (signedDiff < 0 ? 2u : 0u) | (diff >= step ? 1u : 0u);
  reconstructAdpcm2(state, static_cast<std::uint8_t>(code));
  return static_cast<std::uint8_t>(code);
}

// How the codes of one width lie in the payload: groups of codesPerGroup codes
// in groupBytes bytes, the earliest code in the lowest bits; a partial last
// group holds its codes at the top (partialAtTop) or at the bottom.
struct CodeLayout {
  unsigned bits;
  unsigned codesPerGroup;
  unsigned groupBytes;
  bool partialAtTop;
};

inline constexpr CodeLayout kAdpcm4Layout = {4, 2, 1, false};
inline constexpr CodeLayout kAdpcm3Layout = {3, 8, 3, true};
inline constexpr CodeLayout kAdpcm2Layout = {2, 4, 1, true};

// Payload bytes that hold codeCount codes.
[[nodiscard]] constexpr std::uint64_t packedBytes(const CodeLayout& layout,
                                                  std::uint64_t codeCount) {
  return (codeCount + layout.codesPerGroup - 1) / layout.codesPerGroup * layout.groupBytes;
}

// Packs codes into out and returns the end of what it wrote. Callers pack a
// long stream in pieces whose sizes are whole groups, but for the last piece.
template <CodeLayout L>
std::uint8_t* packCodes(std::span<const std::uint8_t> codes, std::uint8_t* out) {
  for (std::size_t at = 0; at < codes.size(); at += L.codesPerGroup) {
    const std::size_t left = codes.size() - at;
    const unsigned count = left < L.codesPerGroup ? static_cast<unsigned>(left) : L.codesPerGroup;
    const unsigned shift = L.partialAtTop ? (L.codesPerGroup - count) * L.bits : 0;
    std::uint32_t group = 0;
    for (unsigned j = 0; j < count; ++j)
      group |= std::uint32_t{codes[at + j]} << (shift + j * L.bits);
    for (unsigned b = 0; b < L.groupBytes; ++b)
      *out++ = static_cast<std::uint8_t>(group >> (8 * b));
  }
  return out;
}

// The inverse of packCodes: fills codes from in and returns the end of what it read.
template <CodeLayout L>
const std::uint8_t* unpackCodes(const std::uint8_t* in, std::span<std::uint8_t> codes) {
  constexpr std::uint32_t kMask = (1u << L.bits) - 1;
  for (std::size_t at = 0; at < codes.size(); at += L.codesPerGroup) {
    const std::size_t left = codes.size() - at;
    const unsigned count = left < L.codesPerGroup ? static_cast<unsigned>(left) : L.codesPerGroup;
    const unsigned shift = L.partialAtTop ? (L.codesPerGroup - count) * L.bits : 0;
    std::uint32_t group = 0;
    for (unsigned b = 0; b < L.groupBytes; ++b)
      group |= std::uint32_t{*in++} << (8 * b);
    for (unsigned j = 0; j < count; ++j) {
      codes[at + j] = static_cast<std::uint8_t>((group >> (shift + j * L.bits)) & kMask);
    }
  }
  return in;
}

// Codes are chosen and packed in pieces of this many (a whole number of groups
// of every width), so no buffer grows with the input.
inline constexpr std::size_t kCodePiece = 4096;

// The width-generic face of the codec, for code that serves all three widths.
template <unsigned Bits>
inline constexpr CodeLayout kAdpcmLayout = Bits == 4   ? kAdpcm4Layout
                                           : Bits == 3 ? kAdpcm3Layout
                                                       : kAdpcm2Layout;

template <unsigned Bits>
constexpr std::uint8_t quantizeAdpcm(AdpcmState& state, std::int32_t sample) {
  if constexpr (Bits == 4) return quantizeAdpcm4(state, sample);
  if constexpr (Bits == 3) return quantizeAdpcm3(state, sample);
  if constexpr (Bits == 2) return quantizeAdpcm2(state, sample);
}

template <unsigned Bits>
constexpr std::int32_t reconstructAdpcm(AdpcmState& state, std::uint8_t code) {
  if constexpr (Bits == 4) return reconstructAdpcm4(state, code);
  if constexpr (Bits == 3) return reconstructAdpcm3(state, code);
  if constexpr (Bits == 2) return reconstructAdpcm2(state, code);
}

// The greedy encoder of one width: one code per sample after the seed.
template <unsigned Bits>
void encodeAdpcmGreedy(WaveInfo& input, std::int32_t seed, std::span<std::uint8_t> payload) {
  // A local copy keeps the cursor in a register: byte loads of the samples
  // could otherwise alias it and force a store on every sample.
  WaveInfo wave = input;
  AdpcmState state{seed, 0};
  std::array<std::int32_t, kCodePiece> samples;
  std::array<std::uint8_t, kCodePiece> codes;
  std::uint8_t* out = payload.data();
  for (std::uint32_t left = wave.sampleCount - 1; left > 0;) {
    const std::uint32_t count = left < kCodePiece ? left : std::uint32_t{kCodePiece};
    nextSamples(wave, std::span(samples).first(count));
    for (std::uint32_t i = 0; i < count; ++i)
      codes[i] = quantizeAdpcm<Bits>(state, samples[i]);
    out = packCodes<kAdpcmLayout<Bits>>(std::span(codes).first(count), out);
    left -= count;
  }
  input = wave;
}

// Payload coders of the frame: samples 1 to N - 1 of wave, starting from the
// seed sample, into payload (exactly the bytes after the seed).
void encodeAdpcm4(WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload);
void encodeAdpcm3(WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload);
void encodeAdpcm2(WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload);

}  // namespace korvane
