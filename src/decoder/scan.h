// The ADPCM player in vector lanes, exact: both of its chains are "add, then
// clamp to a range", x -> min(max(x + a, lo), hi), and two such steps compose
// into one of the same kind, so sixteen consecutive steps are composed by a
// prefix scan and applied to the state at once. First the step index chain
// (its moves come from the codes alone), then each code's reconstruction at
// the step index before it, then the predictor chain.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/vector_path.h"
#include "codec/vector_tables.h"

namespace korvane {

// Plays count codes (a multiple of 16) from the state (predictor, index),
// writing the predictor after each code to out and leaving the state after
// the last. Only called where the CPU has AVX-512F.
void playAdpcmAvx512(const VectorTables& tables, const std::uint8_t* codes, std::size_t count,
                     std::int32_t& predictor, std::int32_t& index, std::int16_t* out);

// The same, count a multiple of 8, where the CPU has AVX2.
void playAdpcmAvx2(const VectorTables& tables, const std::uint8_t* codes, std::size_t count,
                   std::int32_t& predictor, std::int32_t& index, std::int16_t* out);

}  // namespace korvane
