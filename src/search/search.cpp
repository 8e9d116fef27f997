#include "search/search.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "encoders/encoders.h"
#include "search/lookahead.h"

namespace korvane {
namespace {

std::int32_t clamp16(std::int32_t x) {
  return std::clamp(x, -32768, 32767);
}

constexpr std::size_t kBlock = kCodePiece;  // codes decided at a time (whole groups of every width)
constexpr std::size_t kLookahead = 128;     // samples searched past a block before deciding it
constexpr std::size_t kSpan = kBlock + kLookahead;
constexpr int kIndexCount = kMaxStepIndex + 1;
constexpr int kCostBand = 12;  // step indices either side of the greedy path given a cost to go
constexpr unsigned kCostToGoShift = 1;  // the cost to go counts half

// Candidates are sorted by rank with their index in the low 16 bits: ranks
// stay below 2^48 (a span of samples times 2^32 each) and indices below 2^16.
static_assert(kSpan < (1u << 13));
static_assert(kMaxBeam * 16 <= (1u << 16));

// Squared error of one player output against the input sample.
std::uint64_t squaredError(std::int32_t sample, std::int32_t played) {
  return squaredDifference(clamp16(sample), played);
}

std::uint64_t addSaturated(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

// Right shifts that cut an estimate to step >> mergeBits, by step size.
constexpr std::uint8_t mergeShift(std::uint32_t step, unsigned mergeBits) {
  const int log = static_cast<int>(std::bit_width(step)) - 1;
  return static_cast<std::uint8_t>(std::max(0, log - static_cast<int>(mergeBits)));
}

// mergeShift of every step, by mergeBits (0 to 15) and step index.
constexpr auto kMergeShifts = [] {
  std::array<std::array<std::uint8_t, kIndexCount>, 16> t{};
  for (unsigned bits = 0; bits < 16; ++bits) {
    for (std::size_t i = 0; i < kIndexCount; ++i) {
      t[bits][i] = mergeShift(static_cast<std::uint32_t>(kStepTable[i]), bits);
    }
  }
  return t;
}();

// What the search needs of a codec: its state, a merge key, what the player
// outputs, the greedy encoder's step, the player's step, and the codes ranked
// by the value they reconstruct, so that "next to the greedy code" means next
// in value.
template <unsigned Bits>
struct AdpcmCodec {
  using State = AdpcmState;
  using Fan = AdpcmFan<Bits>;
  static constexpr unsigned kCodes = 1u << Bits;
  static constexpr unsigned kHalf = kCodes / 2;
  static constexpr bool kHasCostToGo = true;
  static constexpr unsigned kBits = Bits;

  static std::uint64_t key(const State& s, unsigned mergeBits) {
    const auto index = static_cast<std::uint8_t>(s.stepIndex);
    const unsigned shift = kMergeShifts[mergeBits][index];
    return (static_cast<std::uint32_t>(s.predictor + 65536) >> shift) | std::uint64_t{index} << 32;
  }
  static std::int32_t output(const State& s) { return s.predictor; }
  static unsigned indexOf(const State& s) { return static_cast<unsigned>(s.stepIndex); }
  // Applies the greedy encoder's code for sample to s and returns it.
  static std::uint8_t applyGreedy(State& s, std::int32_t sample) {
    return quantizeAdpcm<Bits>(s, sample);
  }
  static void apply(State& s, std::uint8_t code) { reconstructAdpcm<Bits>(s, code); }
  // Negative codes from the largest magnitude up, then the positive ones.
  static unsigned rankOf(std::uint8_t code) {
    const unsigned m = code & (kHalf - 1);
    return (code & kHalf) ? kHalf - 1 - m : kHalf + m;
  }
  static std::uint8_t codeOfRank(unsigned rank) {
    return static_cast<std::uint8_t>(rank < kHalf ? (kHalf | (kHalf - 1 - rank)) : rank - kHalf);
  }
};

struct WfmCodec {
  using State = WfmState;
  using Fan = WfmFan;
  static constexpr unsigned kCodes = 2;
  static constexpr bool kHasCostToGo = false;

  static std::uint64_t key(const State& s, unsigned mergeBits) {
    const unsigned shift = mergeShift(s.step, mergeBits);
    return (s.estimate >> shift) | std::uint64_t{s.step} << 32 |
           std::uint64_t{s.history & 7u} << 48;
  }
  static std::int32_t output(const State& s) {
    return static_cast<std::int32_t>(s.estimate) - 32768;
  }
  static unsigned indexOf(const State&) { return 0; }
  static std::uint8_t applyGreedy(State& s, std::int32_t sample) {
    return static_cast<std::uint8_t>(quantizeWfm(s, offsetForm(sample)));
  }
  static void apply(State& s, std::uint8_t decision) { applyWfmDecision(s, decision); }
  static unsigned rankOf(std::uint8_t decision) { return decision ? 0 : 1; }  // 1 moves down
  static std::uint8_t codeOfRank(unsigned rank) { return rank == 0 ? 1 : 0; }
};

// What a magnitude reconstructs at step index i from a predictor of 0, as
// the player clamps it, and the step index after it.
template <unsigned Bits>
std::int32_t reachFromZero(std::size_t i, unsigned magnitude) {
  return std::min(kMagnitudeRows<Bits>[i].deltas[magnitude], 32767);
}

// Cost to go by step index: the least error of samples t to the end of the
// span when sample t is coded at step index i and the predictor follows the
// input exactly, over the greedy magnitude and its neighbours. It is worked
// out for a band of indices around the greedy path's; an index outside the
// band takes the value at its edge.
constexpr int kBandWidth = 2 * kCostBand + 1;

struct CostRow {
  const std::uint64_t* values;  // kBandWidth of them
  int lo;                       // the step index of values[0]
};

std::uint64_t costAt(const CostRow& row, unsigned index) {
  return row.values[std::clamp(static_cast<int>(index) - row.lo, 0, kBandWidth - 1)];
}

struct CostToGo {
  std::vector<std::uint64_t> values;  // a row per sample of the span and one after it
  std::vector<int> lo;
  CostRow row(std::size_t t) const { return {&values[t * kBandWidth], lo[t]}; }
};

template <unsigned Bits>
void computeCostToGo(std::int32_t first, std::span<const std::int32_t> samples, CostToGo& c) {
  constexpr unsigned kMagnitudes = MagnitudeRow<Bits>::kMagnitudes;
  const std::size_t n = samples.size();
  c.values.resize((n + 1) * kBandWidth);
  c.lo.resize(n + 1);
  std::fill(c.values.end() - kBandWidth, c.values.end(), 0);
  c.lo[n] = 0;
  AdpcmState greedy{first, 0};
  for (std::size_t t = 0; t < n; ++t) {
    c.lo[t] = std::clamp(greedy.stepIndex - kCostBand, 0, kIndexCount - kBandWidth);
    quantizeAdpcm<Bits>(greedy, samples[t]);
  }
  for (std::size_t t = n; t-- > 0;) {
    const std::int32_t previous = clamp16(t == 0 ? first : samples[t - 1]);
    const std::int32_t a = std::abs(clamp16(samples[t]) - previous);
    const CostRow later = c.row(t + 1);
    std::uint64_t* here = &c.values[t * kBandWidth];
    for (int b = 0; b < kBandWidth; ++b) {
      const auto i = static_cast<std::size_t>(c.lo[t] + b);
      const unsigned m = magnitudeAdpcm<Bits>(kMagnitudeRows<Bits>[i], a);
      std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
      for (unsigned k = m > 0 ? m - 1 : 0; k <= m + 1 && k < kMagnitudes; ++k) {
        best = std::min(best,
                        squaredDifference(a, reachFromZero<Bits>(i, k)) +
                            costAt(later, static_cast<unsigned>(nextStepIndexTable<Bits>()[i][k])));
      }
      here[b] = best;
    }
  }
}

// The survivors of one sample. Each advance extends every survivor by the
// greedy code and its neighbours in value (and the two extreme codes, where
// the level says so), merges candidates that reach the
// same state (a hash table on the merge key), and keeps the `width` best by
// cost plus cost to go. A neighbour that ranks behind every survivor's greedy
// child cannot be among the best and is dropped before it is stored.
template <class Codec>
struct Beam {
  using State = typename Codec::State;
  struct Node {
    std::uint64_t rank;  // cost plus the cost to go: what the beam keeps the best of
    std::uint64_t cost;  // squared error so far
    State state;
    std::uint16_t parent;
    std::uint8_t code;
  };
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t stamp = 0;
    std::uint32_t node = 0;
  };

  // span: the most samples one decide covers.
  Beam(const SearchLevel& level, std::size_t span)
      : width(std::clamp(level.beam, 1u, kMaxBeam)),
        spread(std::min(level.spread, Codec::kCodes - 1)),
        mergeBits(std::min(level.mergeBits, 15u)),
        extremes(level.extremes) {
    const std::size_t offers =
        std::size_t{width} * std::min(2 * spread + 1 + (extremes ? 2 : 0), Codec::kCodes);
    current.resize(offers);
    next.resize(offers);
    order.resize(offers);
    greedyCodes.resize(offers);
    tableBits = static_cast<unsigned>(std::bit_width(2 * offers - 1));
    slots.assign(std::size_t{1} << tableBits, Slot{});
    parents.resize(span * width);
    codes.resize(span * width);
  }

  // Stores a candidate, or improves the node that holds its state already.
  void store(const Node& candidate) {
    const std::uint64_t key = Codec::key(candidate.state, mergeBits);
    const std::size_t mask = slots.size() - 1;
    std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - tableBits));
    for (;; at = (at + 1) & mask) {
      Slot& slot = slots[at];
      if (slot.stamp != stamp) {
        slot = {key, stamp, static_cast<std::uint32_t>(nextCount)};
        next[nextCount++] = candidate;
        return;
      }
      if (slot.key == key) {
        Node& node = next[slot.node];
        if (candidate.cost < node.cost) node = candidate;
        return;
      }
    }
  }

  // Prices a candidate whose state has been moved on from its parent's.
  static void price(Node& c, const Node& from, std::int32_t sample16, const CostRow& later) {
    c.cost = from.cost + squaredDifference(sample16, Codec::output(c.state));
    c.rank = c.cost + (costAt(later, Codec::indexOf(c.state)) >> kCostToGoShift);
  }

  void offer(const Node& from, std::size_t i, unsigned rank, std::int32_t sample16,
             const CostRow& later, std::uint64_t bound) {
    Node c{0, 0, from.state, static_cast<std::uint16_t>(i), Codec::codeOfRank(rank)};
    Codec::apply(c.state, c.code);
    price(c, from, sample16, later);
    if (c.rank < bound) store(c);
  }

  void advance(std::int32_t sample, std::size_t t, const CostRow& later) {
    nextCount = 0;
    ++stamp;
    const std::int32_t sample16 = clamp16(sample);
    // Greedy children first: when they fill the beam, the worst of them
    // bounds what can still get in.
    for (std::size_t i = 0; i < currentCount; ++i) {
      const Node& from = current[i];
      Node c{0, 0, from.state, static_cast<std::uint16_t>(i), 0};
      c.code = greedyCodes[i] = Codec::applyGreedy(c.state, sample);
      price(c, from, sample16, later);
      store(c);
    }
    std::uint64_t bound = std::numeric_limits<std::uint64_t>::max();
    if (nextCount >= width) {
      bound = 0;
      for (std::size_t k = 0; k < nextCount; ++k)
        bound = std::max(bound, next[k].rank);
    }
    for (std::size_t i = 0; i < currentCount && spread > 0; ++i) {
      const Node& from = current[i];
      const unsigned center = Codec::rankOf(greedyCodes[i]);
      const unsigned lo = center > spread ? center - spread : 0;
      const unsigned hi = std::min(center + spread, Codec::kCodes - 1);
      for (unsigned r = lo; r <= hi; ++r) {
        if (r != center) offer(from, i, r, sample16, later, bound);
      }
      // The extreme codes move the step the most: a path that must grow the
      // step ahead of a peak starts with one.
      if (extremes) {
        if (lo > 0) offer(from, i, 0, sample16, later, bound);
        if (hi < Codec::kCodes - 1) offer(from, i, Codec::kCodes - 1, sample16, later, bound);
      }
    }
    if (nextCount > width) {
      for (std::size_t k = 0; k < nextCount; ++k)
        order[k] = next[k].rank << 16 | k;
      std::nth_element(order.begin(), order.begin() + width - 1,
                       order.begin() + static_cast<long>(nextCount));
      for (std::size_t k = 0; k < width; ++k)
        current[k] = next[order[k] & 0xFFFF];
      currentCount = width;
    } else {
      current.swap(next);
      currentCount = nextCount;
    }
    for (std::size_t k = 0; k < currentCount; ++k) {
      parents[t * width + k] = current[k].parent;
      codes[t * width + k] = current[k].code;
    }
  }

  // Searches samples from start, then fills decided with the first
  // decided.size() codes of the cheapest path over all of them.
  void decide(const State& start, std::span<const std::int32_t> samples,
              std::span<std::uint8_t> decided) {
    static constexpr std::array<std::uint64_t, kBandWidth> kNoCost{};
    if constexpr (Codec::kHasCostToGo) {
      computeCostToGo<Codec::kBits>(Codec::output(start), samples, togo);
    }
    current[0] = {0, 0, start, 0, 0};
    currentCount = 1;
    for (std::size_t t = 0; t < samples.size(); ++t) {
      const CostRow later = Codec::kHasCostToGo ? togo.row(t + 1) : CostRow{kNoCost.data(), 0};
      advance(samples[t], t, later);
    }
    const auto end = current.begin() + static_cast<long>(currentCount);
    std::size_t k = static_cast<std::size_t>(
        std::min_element(current.begin(), end,
                         [](const Node& a, const Node& b) { return a.cost < b.cost; }) -
        current.begin());
    for (std::size_t t = samples.size(); t-- > 0;) {
      if (t < decided.size()) decided[t] = codes[t * width + k];
      k = parents[t * width + k];
    }
  }

  unsigned width;
  unsigned spread;
  unsigned mergeBits;
  bool extremes;
  unsigned tableBits = 0;
  std::uint32_t stamp = 0;
  std::size_t currentCount = 0;
  std::size_t nextCount = 0;
  std::vector<Node> current;              // survivors
  std::vector<Node> next;                 // candidates
  std::vector<std::uint64_t> order;       // candidates by rank
  std::vector<std::uint8_t> greedyCodes;  // of each survivor
  std::vector<Slot> slots;
  std::vector<std::uint16_t> parents;  // per sample of the span, per survivor
  std::vector<std::uint8_t> codes;
  CostToGo togo;
};

// A search running over one stream, one block at a time: the lookahead, the
// beam or both, and then the codes of the one that did better on the block.
template <class Codec>
struct BlockSearch {
  using State = typename Codec::State;

  BlockSearch(const SearchLevel& level, const State& start, std::uint32_t codeCount)
      : window(std::min<std::size_t>(codeCount, kSpan)),
        decided(std::min<std::size_t>(codeCount, kBlock)),
        left(codeCount),
        state(start) {
    if (level.depth > 0) {
      look.emplace(std::min<unsigned>(level.depth, kLookahead), level.width, level.commit,
                   level.budget);
      targets.resize(window.size());
    }
    if (level.beam > 0 || !look) {
      beam.emplace(level, window.size());
      beamCodes.resize(decided.size());
    }
  }

  std::optional<Lookahead<typename Codec::Fan>> look;
  std::optional<Beam<Codec>> beam;
  std::vector<std::int32_t> window;   // samples from the first undecided one on
  std::vector<std::int32_t> targets;  // the same clamped to 16 bits, for the lookahead
  std::vector<std::uint8_t> decided;
  std::vector<std::uint8_t> beamCodes;
  std::size_t held = 0;     // samples in window
  std::uint32_t left;       // codes still to decide
  State state;              // after the codes decided so far
  std::uint64_t error = 0;  // of the codes decided so far
};

// Decides the next block of codes and returns them; empty at the end.
template <class Codec>
std::span<const std::uint8_t> decideBlock(BlockSearch<Codec>& s, WaveInfo& wave) {
  if (s.left == 0) return {};
  const std::size_t commit = std::min<std::size_t>(s.left, kBlock);
  const std::size_t span = std::min<std::size_t>(s.left, kSpan);
  for (; s.held < span; ++s.held)
    s.window[s.held] = nextSample(wave);
  const std::span<const std::int32_t> samples = std::span(s.window).first(span);
  std::span<std::uint8_t> codes = std::span(s.decided).first(commit);
  std::uint64_t error = std::numeric_limits<std::uint64_t>::max();
  typename Codec::State end = s.state;
  if (s.look) {
    std::transform(samples.begin(), samples.end(), s.targets.begin(), clamp16);
    error = s.look->code(end, std::span(s.targets).first(span), codes);
  }
  if (s.beam) {
    const std::span<std::uint8_t> other = std::span(s.beamCodes).first(commit);
    s.beam->decide(s.state, samples, other);
    typename Codec::State at = s.state;
    std::uint64_t beamError = 0;
    for (std::size_t t = 0; t < commit; ++t) {
      Codec::apply(at, other[t]);
      beamError += squaredError(samples[t], Codec::output(at));
    }
    if (beamError < error) {
      error = beamError;
      end = at;
      codes = other;
    }
  }
  s.state = end;
  s.error = addSaturated(s.error, error);
  std::copy(s.window.begin() + static_cast<long>(commit),
            s.window.begin() + static_cast<long>(s.held), s.window.begin());
  s.held -= commit;
  s.left -= static_cast<std::uint32_t>(commit);
  return codes;
}

// Total squared error of what the player makes of the greedy encoder's codes.
// The two start apart only when the seed lies beyond 16 bits (narrow input
// widths): the encoder starts from the whole value, the player from the
// stored low 16 bits.
template <class Codec>
std::uint64_t greedyError(WaveInfo wave, typename Codec::State encoder,
                          typename Codec::State player) {
  std::uint64_t total = 0;
  for (std::uint32_t i = 1; i < wave.sampleCount; ++i) {
    const std::int32_t sample = nextSample(wave);
    const std::uint8_t code = Codec::applyGreedy(encoder, sample);
    Codec::apply(player, code);
    total = addSaturated(total, squaredError(sample, Codec::output(player)));
  }
  return total;
}

// The seed as the player reads it back from the stream.
std::int32_t storedSeed(std::int32_t seed) {
  return std::int32_t{offsetForm(seed)} - 0x8000;
}

void addProgress(EncodeProgress* progress, std::size_t samples) {
  if (progress != nullptr) progress->samplesDone.fetch_add(samples, std::memory_order_relaxed);
}

template <unsigned Bits>
void searchAdpcm(const WaveInfo& start, std::int32_t seed, std::span<std::uint8_t> payload,
                 const SearchLevel& level, EncodeProgress* progress) {
  using Codec = AdpcmCodec<Bits>;
  WaveInfo wave = start;
  const AdpcmState player{storedSeed(seed), 0};
  BlockSearch<Codec> search(level, player, wave.sampleCount - 1);
  std::uint8_t* out = payload.data();
  for (auto codes = decideBlock(search, wave); !codes.empty(); codes = decideBlock(search, wave)) {
    out = packCodes<kAdpcmCodes<Bits>>(codes, out);
    addProgress(progress, codes.size());
  }
  if (search.error > greedyError<Codec>(start, AdpcmState{seed, 0}, player)) {
    kAdpcmCoder<Bits>(start, seed, payload);
  }
}

}  // namespace

void searchAdpcm4(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                  const SearchLevel& level, EncodeProgress* progress) {
  searchAdpcm<4>(wave, seed, payload, level, progress);
}

void searchAdpcm3(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                  const SearchLevel& level, EncodeProgress* progress) {
  searchAdpcm<3>(wave, seed, payload, level, progress);
}

void searchAdpcm2(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                  const SearchLevel& level, EncodeProgress* progress) {
  searchAdpcm<2>(wave, seed, payload, level, progress);
}

void searchWfm(const WaveInfo& start, std::int32_t seed, std::span<std::uint8_t> payload,
               const SearchLevel& level, EncodeProgress* progress) {
  WaveInfo wave = start;
  const WfmState seeded = seedWfm(storedSeed(seed));
  BlockSearch<WfmCodec> search(level, seeded, wave.sampleCount - 1);
  std::uint8_t history = 0;
  std::uint8_t* out = payload.data();
  for (auto decisions = decideBlock(search, wave); !decisions.empty();
       decisions = decideBlock(search, wave)) {
    out = packWfm(decisions, out, history);
    addProgress(progress, decisions.size());
  }
  if (search.error > greedyError<WfmCodec>(start, seedWfm(seed), seeded)) {
    encodeWfm(start, seed, payload);
  }
}

}  // namespace korvane
