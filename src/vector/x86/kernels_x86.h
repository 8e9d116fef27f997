// The x86 kernels, each defined in a file compiled for its instruction set.
#pragma once

#include "vector/kernel_types.h"

namespace korvane {

void runAdpcmLanesAvx2(const LaneRun& run);
void runWfmLanesAvx2(const LaneRun& run);
void playAdpcmAvx2(const VectorTables& tables, const std::uint8_t* codes, std::size_t count,
                   std::int32_t& predictor, std::int32_t& index, std::int16_t* out);
float dotAvx2(const float* taps, const float* x, std::size_t count);
void columnsAvx2(const float* taps, std::size_t tapCount, const float* const* sources,
                 std::size_t n, float* out);

void runAdpcmLanesAvx512(const LaneRun& run);
void runWfmLanesAvx512(const LaneRun& run);
void playAdpcmAvx512(const VectorTables& tables, const std::uint8_t* codes, std::size_t count,
                     std::int32_t& predictor, std::int32_t& index, std::int16_t* out);
float dotAvx512(const float* taps, const float* x, std::size_t count);
void columnsAvx512(const float* taps, std::size_t tapCount, const float* const* sources,
                   std::size_t n, float* out);

}  // namespace korvane
