// The codec core's tables in the shape the vector kernels read them
// (kernel_types.h), generated from the core at compile time, so that a fix
// to the core reaches every path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "vector/kernel_types.h"

namespace korvane {

// The core's tables in the vector kernels' shape (kernel_types.h).
template <unsigned Bits>
constexpr VectorTables makeVectorTables() {
  VectorTables t{};
  t.magnitudes = 1u << (Bits - 1);
  t.maxIndex = kMaxStepIndex;
  for (std::size_t i = 0; i <= kMaxStepIndex; ++i)
    t.steps[i] = kStepTable[i];
  // The step index update reads a move's low eight bits as signed (updateStepIndex).
  for (std::size_t c = 0; c < (2u << (Bits - 1)); ++c) {
    const std::int16_t move = Bits == 4   ? kIndexTable4[c]
                              : Bits == 3 ? kIndexTable3[c % 8]
                                          : kIndexTable2[c];
    t.moves[c] = static_cast<std::int8_t>(move);
  }
  for (std::size_t m = 0; m < t.magnitudes; ++m) {
    if (t.moves[m] != t.moves[m + t.magnitudes]) throw "a move depends on the sign";
    t.movesByMagnitude[m] = t.moves[m];
  }
  return t;
}

template <unsigned Bits>
inline constexpr VectorTables kVectorTables = makeVectorTables<Bits>();

// The core's step factors and bounds in the vector kernels' shape.
constexpr WfmVectorTables makeWfmVectorTables() {
  WfmVectorTables t{};
  for (std::size_t i = 0; i < kWfmStepFactor.size(); ++i)
    t.factors[i] = kWfmStepFactor[i];
  t.minStep = kWfmMinStep;
  t.maxStep = kWfmMaxStep;
  t.ceiling = kWfmCeiling;
  return t;
}

inline constexpr WfmVectorTables kWfmVectorTables = makeWfmVectorTables();

}  // namespace korvane
