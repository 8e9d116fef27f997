// Code search: picks the codes whose reconstruction by the unchanged device
// player comes closest to the input (least total squared error), instead of
// choosing each code greedily on its own. The stream format is untouched.
//
// A beam search over whole codec states. Every survivor is a copy of the small
// state record (ADPCM: predictor and stepIndex; WFM: estimate, step and the
// three decision bits the next adaptation reads), extended by the codes next to
// the greedy choice with the codec's own reconstruction step. Paths whose
// states agree merge, keeping the cheaper: states with the same step and
// adaptation bits and an estimate within a small fraction of the step are
// treated as one. The `beam` best survivors go on to the next sample.
//
// For ADPCM the ranking adds a cost to go: for each step index, the least error
// the rest of the block would cost if the predictor followed the input
// exactly, found by a backward pass over the block. It keeps paths alive that
// grow or shrink the step ahead of a change in loudness, whose cost so far
// alone would have them pruned.
//
// Codes are decided a block at a time, looking a fixed number of samples past
// the block, so memory does not grow with the input. A search that ends worse
// than the greedy encoder gives way to it: the result is never worse. Errors
// are always those of the player, which starts from the stored seed sample.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "wav/wave_reader.h"

namespace korvane {

struct SearchLevel {
  unsigned beam;       // survivors kept per sample, 1 to kMaxBeam
  unsigned spread;     // codes tried on each side of the greedy code, by reconstructed value
  unsigned mergeBits;  // states merge when their estimates agree to step >> mergeBits
};

inline constexpr unsigned kMaxBeam = 1024;
inline constexpr int kDefaultSearchLevel = 5;
inline constexpr int kMaxSearchLevel = 9;

// Level 0 is the greedy encoder; higher levels search wider and run slower.
inline constexpr std::array<SearchLevel, kMaxSearchLevel + 1> kSearchLevels = {{
    {1, 0, 0},
    {2, 1, 4},
    {3, 1, 4},
    {4, 1, 4},
    {6, 1, 4},
    {10, 1, 4},
    {16, 1, 4},
    {24, 1, 4},
    {48, 1, 5},
    {128, 2, 5},
}};

// Samples encoded so far, for a progress display in another thread.
struct EncodeProgress {
  std::atomic<std::uint64_t> samplesDone{0};
};

[[nodiscard]] constexpr const SearchLevel& searchLevelOf(int level) {
  return kSearchLevels[static_cast<std::size_t>(level < 0                 ? 0
                                                : level > kMaxSearchLevel ? kMaxSearchLevel
                                                                          : level)];
}

// Payload coders with the greedy coders' contract (encoders/encoders.h);
// progress may be null.
using PayloadSearch = void (*)(const WaveInfo& wave, std::int32_t seed,
                               std::span<std::uint8_t> payload, const SearchLevel& level,
                               EncodeProgress* progress);

void searchAdpcm4(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                  const SearchLevel& level, EncodeProgress* progress);
void searchAdpcm3(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                  const SearchLevel& level, EncodeProgress* progress);
void searchAdpcm2(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                  const SearchLevel& level, EncodeProgress* progress);
void searchWfm(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
               const SearchLevel& level, EncodeProgress* progress);

}  // namespace korvane
