// Code search: picks the codes whose reconstruction by the unchanged device
// player comes closest to the input (least total squared error), instead of
// choosing each code greedily on its own. The stream format is untouched.
//
// Two searches, chosen by level and format:
//
// A lookahead (search/lookahead.h): for each sample the next `depth` codes are
// searched depth first, nearest reconstruction first, with branch and bound,
// and the first `commit` codes of the cheapest path are kept. Fast, and it
// finds the steps that must grow a sample or two ahead of a peak.
//
// A beam search over whole codec states. Every survivor is a copy of the small
// state record (ADPCM: predictor and stepIndex; WFM: estimate, step and the
// three decision bits the next adaptation reads), extended with the codec's own
// reconstruction step by the nearest code (WFM: the greedy decision), the codes
// next to it in value and, with `extremes`, the two extreme codes. Paths whose
// states agree merge, keeping the cheaper: states with the same step and
// adaptation bits and an estimate within a small fraction of the step are
// treated as one. The `beam` best survivors go on to the next sample. For ADPCM
// the ranking adds part of a cost to go: for each step index, the least error
// the rest of the block would cost if the predictor followed the input
// exactly, found by a backward pass over the block. Codes are decided a block
// at a time, looking a fixed number of samples past the block. The better of
// the two for the 3-bit code, and the best at the widest settings.
//
// Memory does not grow with the input. A search that ends worse than the
// greedy encoder gives way to it: the result is never worse. Errors are always
// those of the player, which starts from the stored seed sample. All
// arithmetic is integer, so every machine writes the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "coders/encode_progress.h"
#include "format/sink.h"
#include "wav/wave_reader.h"

namespace korvane {

struct SearchLevel {
  // The beam search, where beam is above 0.
  unsigned beam = 0;       // survivors kept per sample, up to kMaxBeam
  unsigned spread = 0;     // codes tried on each side of the greedy code, by reconstructed value
  unsigned mergeBits = 0;  // states merge when their estimates agree to step >> mergeBits
  bool extremes = false;   // the two extreme codes are tried too
  // The lookahead, where depth is above 0. With both, each block of codes
  // comes from the one that did better there.
  unsigned depth = 0;   // samples searched ahead, up to 128
  unsigned width = 0;   // codes tried at a node, nearest first, besides the two extremes
  unsigned commit = 1;  // codes kept from each search
  // Nodes a search may visit a level of depth (0: no limit). Speech needs far
  // fewer; on clipped and square waves little can be pruned, and the whole
  // tree would be searched.
  unsigned budget = 100;
};

inline constexpr unsigned kMaxBeam = 1024;
inline constexpr int kDefaultSearchLevel = 5;
inline constexpr int kMaxSearchLevel = 9;

constexpr SearchLevel lookahead(unsigned depth, unsigned width, unsigned commit,
                                unsigned budget = 100) {
  return {.depth = depth, .width = width, .commit = commit, .budget = budget};
}
// A beam with the extreme codes.
constexpr SearchLevel beam(unsigned width, unsigned spread, unsigned mergeBits) {
  return {.beam = width, .spread = spread, .mergeBits = mergeBits, .extremes = true, .depth = 0};
}
// A lookahead and a beam with the extreme codes, block by block.
constexpr SearchLevel both(SearchLevel look, unsigned beam, unsigned spread, unsigned mergeBits) {
  look.beam = beam;
  look.spread = spread;
  look.mergeBits = mergeBits;
  look.extremes = true;
  return look;
}

// The settings of every level, by code width: 4, 3 and 2 bits, and WFM.
struct LevelRow {
  SearchLevel adpcm4;
  SearchLevel adpcm3;
  SearchLevel adpcm2;
  SearchLevel wfm;
};

// Level 0 is the greedy encoder; higher levels search wider and run slower.
// Chosen by measured gain and speed on recorded voice prompts at 8 and 16 kHz
// and on the bundled recording (bench/search.sh, korvane_search_quality): for
// the 4- and 2-bit codes and WFM the lookahead is the faster at every gain it
// reaches on band-limited speech; the beam gains more on full-band
// recordings, so the top levels run both. The 3- and 2-bit codes and WFM
// adapt slower: deeper and narrower. For the 3-bit code the beam does better
// than the lookahead from the default on (most at 16 kHz), up to the top
// level, which runs both.
inline constexpr LevelRow kSearchLevels[kMaxSearchLevel + 1] = {
    {},
    {lookahead(6, 1, 5), lookahead(5, 16, 3), lookahead(5, 16, 3), lookahead(6, 2, 2)},
    {lookahead(4, 5, 2), lookahead(6, 16, 3), lookahead(6, 16, 3), lookahead(8, 2, 3)},
    {lookahead(5, 5, 3), lookahead(8, 3, 3), lookahead(8, 3, 3), lookahead(8, 2, 2)},
    {lookahead(5, 5, 2), lookahead(8, 3, 2), lookahead(8, 3, 2), lookahead(10, 2, 3)},
    {lookahead(6, 4, 2), beam(16, 1, 3), lookahead(10, 2, 3), lookahead(20, 2, 10, 15)},
    {lookahead(6, 5, 2, 300), beam(24, 1, 3), lookahead(12, 2, 3), lookahead(20, 2, 6, 15)},
    {lookahead(8, 5, 2, 300), beam(32, 1, 3), both(lookahead(12, 2, 3), 10, 1, 4),
     both(lookahead(20, 2, 6, 15), 10, 1, 4)},
    {lookahead(9, 5, 2, 300), beam(64, 1, 3), both(lookahead(12, 2, 3), 24, 1, 4),
     both(lookahead(20, 2, 6, 15), 24, 1, 4)},
    {both(lookahead(9, 4, 2, 300), 128, 2, 5), both(lookahead(12, 2, 3), 128, 2, 5),
     both(lookahead(12, 2, 3), 128, 2, 5), both(lookahead(20, 2, 6, 15), 128, 2, 5)},
};

// The settings of a level (clamped to 0..kMaxSearchLevel) for a code width:
// 4, 3, 2 or 1 (WFM) bits.
[[nodiscard]] constexpr const SearchLevel& searchLevelOf(unsigned bits, int level) {
  const LevelRow& row =
      kSearchLevels[static_cast<std::size_t>(level < 0                 ? 0
                                             : level > kMaxSearchLevel ? kMaxSearchLevel
                                                                       : level)];
  return bits == 4 ? row.adpcm4 : bits == 3 ? row.adpcm3 : bits == 2 ? row.adpcm2 : row.wfm;
}

// Payload coders with the greedy coders' contract (coders/greedy.h), for an
// adapting codec C (coders/codecs.h); progress may be null. Instantiated for
// AdpcmCodec<4>, <3>, <2> and WfmCodec.
using PayloadSearch = void (*)(const WaveInfo& wave, std::int32_t seed, PayloadOut out,
                               const SearchLevel& level, EncodeProgress* progress);

template <class C>
void searchPayload(const WaveInfo& wave, std::int32_t seed, PayloadOut out,
                   const SearchLevel& level, EncodeProgress* progress);

}  // namespace korvane
