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

#include "format/stream.h"

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

// Greedy quantizers: pick the code for sample (every threshold inclusive, a
// difference of 0 counts as positive), apply it, return it.
//
// The magnitude tests one step, then half a step, then (4-bit) a quarter
// step, each on what the last left over. That is the same as counting which
// of the sums T(m) = (m & top ? step : 0) + (m & top/2 ? step >> 1 : 0) + ...,
// m = 1 .. 2^(Bits-1) - 1, the difference reaches: they rise with m, so the
// greedy choice is the largest m reached. With the sums from a table the
// tests run side by side instead of one after another, and the
// reconstruction's magnitude comes from the same table row, which shortens
// the serial path from one sample to the next.
template <unsigned Bits>
struct MagnitudeRow {
  static constexpr unsigned kMagnitudes = 1u << (Bits - 1);
  std::array<std::int32_t, 8> sums;    // T(1) .. T(kMagnitudes - 1), then never reached
  std::array<std::int32_t, 8> deltas;  // deltaAdpcm(step, m) for m = 0 .. kMagnitudes - 1
};

template <unsigned Bits>
constexpr std::int32_t deltaAdpcm(std::int32_t step, unsigned magnitude) {
  if constexpr (Bits == 4) return deltaAdpcm4(step, magnitude);
  if constexpr (Bits == 3) return deltaAdpcm3(step, magnitude);
  if constexpr (Bits == 2) return deltaAdpcm2(step, magnitude);
}

// The sums are the deltas less the base share that every code adds.
template <unsigned Bits>
inline constexpr auto kMagnitudeRows = [] {
  std::array<MagnitudeRow<Bits>, kMaxStepIndex + 1> rows{};
  for (std::size_t i = 0; i <= kMaxStepIndex; ++i) {
    const std::int32_t base = deltaAdpcm<Bits>(kStepTable[i], 0);
    rows[i].sums.fill(std::numeric_limits<std::int32_t>::max());
    for (unsigned m = 0; m < MagnitudeRow<Bits>::kMagnitudes; ++m) {
      rows[i].deltas[m] = deltaAdpcm<Bits>(kStepTable[i], m);
      if (m > 0) rows[i].sums[m - 1] = rows[i].deltas[m] - base;
    }
  }
  return rows;
}();

// The magnitude the greedy quantizer gives a difference of size d >= 0.
// Written out: a loop here gets vectorised, which is slower.
template <unsigned Bits>
[[nodiscard]] constexpr unsigned magnitudeAdpcm(const MagnitudeRow<Bits>& row, std::int32_t d) {
  const auto& t = row.sums;
  if constexpr (Bits == 2) return static_cast<unsigned>(d >= t[0]);
  if constexpr (Bits == 3) {
    return static_cast<unsigned>(d >= t[0]) +
           (static_cast<unsigned>(d >= t[1]) + static_cast<unsigned>(d >= t[2]));
  }
  if constexpr (Bits == 4) {
    return ((static_cast<unsigned>(d >= t[0]) + static_cast<unsigned>(d >= t[1])) +
            (static_cast<unsigned>(d >= t[2]) + static_cast<unsigned>(d >= t[3]))) +
           ((static_cast<unsigned>(d >= t[4]) + static_cast<unsigned>(d >= t[5])) +
            static_cast<unsigned>(d >= t[6]));
  }
}

template <unsigned Bits>
constexpr const auto& nextStepIndexTable() {
  if constexpr (Bits == 4) return kNextStepIndex4;
  if constexpr (Bits == 3) return kNextStepIndex3;
  if constexpr (Bits == 2) return kNextStepIndex2;
}

// Applies one code to the state and returns the new predictor. Only the low
// Bits bits of the code are looked at.
template <unsigned Bits>
constexpr std::int32_t reconstructAdpcm(AdpcmState& state, std::uint8_t code) {
  constexpr unsigned kSign = 1u << (Bits - 1);
  const unsigned c = code & (2 * kSign - 1);
  const std::int32_t delta = deltaAdpcm<Bits>(currentStep(state), c & (kSign - 1));
  movePredictor(state, (c & kSign) ? -delta : delta);
  nextStepIndex(state, nextStepIndexTable<Bits>(), c);
  return state.predictor;
}

inline constexpr auto reconstructAdpcm4 = reconstructAdpcm<4>;
inline constexpr auto reconstructAdpcm3 = reconstructAdpcm<3>;
inline constexpr auto reconstructAdpcm2 = reconstructAdpcm<2>;

template <unsigned Bits>
constexpr std::uint8_t quantizeAdpcm(AdpcmState& state, std::int32_t sample) {
  constexpr unsigned kSign = 1u << (Bits - 1);
  const MagnitudeRow<Bits>& row = kMagnitudeRows<Bits>[static_cast<std::size_t>(state.stepIndex)];
  const std::int32_t signedDiff = sample - state.predictor;
  const std::int32_t d = signedDiff < 0 ? -signedDiff : signedDiff;
  const unsigned magnitude = magnitudeAdpcm<Bits>(row, d);
  const std::int32_t delta = row.deltas[magnitude];
  const unsigned code = (signedDiff < 0 ? kSign : 0u) | magnitude;
  movePredictor(state, signedDiff < 0 ? -delta : delta);
  nextStepIndex(state, nextStepIndexTable<Bits>(), code);
  return static_cast<std::uint8_t>(code);
}

inline constexpr auto quantizeAdpcm4 = quantizeAdpcm<4>;
inline constexpr auto quantizeAdpcm3 = quantizeAdpcm<3>;
inline constexpr auto quantizeAdpcm2 = quantizeAdpcm<2>;

template <unsigned Bits>
inline constexpr CodeLayout kAdpcmCodes = Bits == 4   ? kAdpcm4Codes
                                          : Bits == 3 ? kAdpcm3Codes
                                                      : kAdpcm2Codes;

// Packs codes into out and returns the end of what it wrote: the earliest
// code of a group in its lowest bits. Callers pack a long stream in pieces
// whose sizes are whole groups, but for the last piece.
template <CodeLayout L>
std::uint8_t* packCodes(std::span<const std::uint8_t> codes, std::uint8_t* out) {
  // Whole groups in a loop of fixed counts, which the compiler unrolls and
  // vectorizes; then a partial last group.
  const std::size_t whole = codes.size() / L.codesPerGroup * L.codesPerGroup;
  const std::uint8_t* c = codes.data();
  for (std::size_t at = 0; at < whole; at += L.codesPerGroup) {
    std::uint32_t group = 0;
    for (unsigned j = 0; j < L.codesPerGroup; ++j)
      group |= std::uint32_t{c[at + j]} << (j * L.bits);
    for (unsigned b = 0; b < L.groupBytes; ++b)
      out[b] = static_cast<std::uint8_t>(group >> (8 * b));
    out += L.groupBytes;
  }
  if (const std::size_t count = codes.size() - whole; count > 0) {
    const unsigned shift =
        L.partialAtTop ? (L.codesPerGroup - static_cast<unsigned>(count)) * L.bits : 0;
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < count; ++j)
      group |= std::uint32_t{c[whole + j]} << (shift + j * L.bits);
    out = storeLe(out, group, L.groupBytes);
  }
  return out;
}

// The inverse of packCodes: fills codes from in and returns the end of what it read.
template <CodeLayout L>
const std::uint8_t* unpackCodes(const std::uint8_t* in, std::span<std::uint8_t> codes) {
  constexpr std::uint32_t kMask = (1u << L.bits) - 1;
  // Whole groups in a loop of fixed counts, as in packCodes; then a partial one.
  const std::size_t whole = codes.size() / L.codesPerGroup * L.codesPerGroup;
  std::uint8_t* c = codes.data();
  for (std::size_t at = 0; at < whole; at += L.codesPerGroup) {
    std::uint32_t group = 0;
    for (unsigned b = 0; b < L.groupBytes; ++b)
      group |= std::uint32_t{in[b]} << (8 * b);
    in += L.groupBytes;
    for (unsigned j = 0; j < L.codesPerGroup; ++j)
      c[at + j] = static_cast<std::uint8_t>((group >> (j * L.bits)) & kMask);
  }
  if (const std::size_t count = codes.size() - whole; count > 0) {
    const unsigned shift =
        L.partialAtTop ? (L.codesPerGroup - static_cast<unsigned>(count)) * L.bits : 0;
    std::uint32_t group = 0;
    for (unsigned b = 0; b < L.groupBytes; ++b)
      group |= std::uint32_t{*in++} << (8 * b);
    for (std::size_t j = 0; j < count; ++j)
      c[whole + j] = static_cast<std::uint8_t>((group >> (shift + j * L.bits)) & kMask);
  }
  return in;
}

// Codes are chosen and packed in pieces of this many (a whole number of groups
// of every width), so no buffer grows with the input.
inline constexpr std::size_t kCodePiece = 4096;

}  // namespace korvane
