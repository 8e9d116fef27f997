#include "search/search.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "coders/codecs.h"
#include "coders/greedy.h"
#include "search/lookahead.h"
#include "search/select.h"

namespace korvane {
namespace {

std::int32_t clamp16(std::int32_t x) {
  return std::clamp(x, -32768, 32767);
}

constexpr std::size_t kBlock = kCodePiece;  // codes decided at a time (whole groups of every width)
constexpr std::size_t kLookahead = 128;     // samples searched past a block before deciding it
constexpr std::size_t kSpan = kBlock + kLookahead;
constexpr int kIndexCount = kMaxStepIndex + 1;
// Step indices given a cost to go, below and above the greedy path's: the
// beam's paths run above it more often (a step grown ahead of a peak).
constexpr int kCostBelow = 8;
constexpr int kCostAbove = 16;
// What the cost to go counts for, in sixteenths: the best on recorded voice
// at 8 and 16 kHz.
constexpr std::uint64_t kCostToGoWeight = 5;

// Candidates are sorted by rank with their index in the low 16 bits: ranks
// stay below 2^48 (a span of samples times 2^32 each) and indices below 2^16.
static_assert(kSpan < (1u << 13));
static_assert(kMaxBeam * (2 * 15 + 3) < (1u << 16));  // children of a sample, at most

// Squared error of one player output against the input sample.
std::uint64_t squaredError(std::int32_t sample, std::int32_t played) {
  return squaredDifference(clamp16(sample), played);
}

std::uint64_t addSaturated(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

// What a magnitude reconstructs at step index i from a predictor of 0, as
// the player clamps it; and what it adds to the step index away from the
// ends of the table (the clamp there is the cost to go's own, below).
template <unsigned Bits>
struct GoTables {
  static constexpr unsigned kMagnitudes = MagnitudeRow<Bits>::kMagnitudes;
  std::array<std::array<std::int32_t, kMagnitudes>, kIndexCount> reach;
  std::array<int, kMagnitudes> moves;
};

template <unsigned Bits>
inline constexpr auto kGoTables = [] {
  GoTables<Bits> t{};
  constexpr std::size_t kMiddle = kIndexCount / 2;
  for (unsigned m = 0; m < GoTables<Bits>::kMagnitudes; ++m) {
    for (std::size_t i = 0; i < kIndexCount; ++i)
      t.reach[i][m] = std::min(kMagnitudeRows<Bits>[i].deltas[m], 32767);
    t.moves[m] = nextStepIndexTable<Bits>()[kMiddle][m] - static_cast<int>(kMiddle);
  }
  return t;
}();

// Cost to go by step index: the least error of samples t to the end of the
// span when sample t is coded at step index i and the predictor follows the
// input exactly, over the greedy magnitude and its neighbours. It is worked
// out for a band of indices around the greedy path's; an index outside the
// band takes the value at its edge.
constexpr int kBandWidth = kCostBelow + kCostAbove + 1;

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
  const GoTables<Bits>& tables = kGoTables<Bits>;
  const std::size_t n = samples.size();
  c.values.resize((n + 1) * kBandWidth);
  c.lo.resize(n + 1);
  std::fill(c.values.end() - kBandWidth, c.values.end(), 0);
  c.lo[n] = 0;
  AdpcmState greedy{first, 0};
  for (std::size_t t = 0; t < n; ++t) {
    c.lo[t] = std::clamp(greedy.stepIndex - kCostBelow, 0, kIndexCount - kBandWidth);
    quantizeAdpcm<Bits>(greedy, samples[t]);
  }
  // The row after, its ends repeated kPad times either side: a step index
  // i + move read at band b lies b + (lo - later lo) + move from the row's
  // start, and the clamps of both the table and the band are the repeats.
  // Bands move by at most one index move a sample: 11 at most.
  constexpr int kPad = 16;
  std::array<std::uint64_t, kBandWidth + 2 * kPad> padded{};
  for (std::size_t t = n; t-- > 0;) {
    const std::int32_t previous = clamp16(t == 0 ? first : samples[t - 1]);
    const std::int32_t a = std::abs(clamp16(samples[t]) - previous);
    const std::uint64_t* later = &c.values[(t + 1) * kBandWidth];
    std::fill_n(padded.begin(), kPad, later[0]);
    std::copy_n(later, kBandWidth, padded.begin() + kPad);
    std::fill_n(padded.begin() + kPad + kBandWidth, kPad, later[kBandWidth - 1]);
    std::array<int, kMagnitudes> at{};
    for (unsigned k = 0; k < kMagnitudes; ++k)
      at[k] = std::clamp(c.lo[t] - c.lo[t + 1] + tables.moves[k] + kPad, 0, 2 * kPad);
    std::uint64_t* here = &c.values[t * kBandWidth];
    for (int b = 0; b < kBandWidth; ++b) {
      const auto i = static_cast<std::size_t>(c.lo[t] + b);
      const unsigned m = magnitudeAdpcm<Bits>(kMagnitudeRows<Bits>[i], a);
      // The greedy magnitude and its neighbours, three always (an edge
      // repeats), so that the loop does not branch on m.
      const unsigned tried[3] = {m > 0 ? m - 1 : 0, m, std::min(m + 1, kMagnitudes - 1)};
      std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
      for (const unsigned k : tried) {
        // Both at most 2^16 apart: the square fits 32 bits.
        const auto d = static_cast<std::uint32_t>(std::abs(a - tables.reach[i][k]));
        best = std::min(best, std::uint64_t{d * d} + padded[static_cast<std::size_t>(b + at[k])]);
      }
      here[b] = best;
    }
  }
}

// The survivors of one sample. Each advance extends every survivor by its
// nearest code and the codes next to it in value (and the two extreme codes,
// where the level says so), with the player's own step on a copy of its
// state; candidates that reach the same state merge (a hash table on the
// merge key), and the `width` best by cost plus cost to go are kept. Once
// the nearest children fill the beam, the worst of them bounds what can get
// in: the others beyond it are dropped before they are merged (where nearest
// children merge, that sample may keep fewer than `width`). The work is laid
// out to branch little on the data, which no branch predictor learns.
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
    const std::size_t offers = std::size_t{width} * (2 * spread + 1 + (extremes ? 2 : 0));
    current.resize(width);
    made.resize(offers + 1);  // one past the last kept, written and dropped
    nearest.resize(width);
    order.resize(offers);
    tableBits = static_cast<unsigned>(std::bit_width(2 * offers - 1));
    slots.assign(std::size_t{1} << tableBits, Slot{});
    parents.resize(span * width);
    codes.resize(span * width);
  }

  // Searches samples from start, then fills decided with the first
  // decided.size() codes of the cheapest path over all of them.
  void decide(const State& start, std::span<const std::int32_t> samples,
              std::span<std::uint8_t> decided) {
    if constexpr (Codec::kIsAdpcm) {
      computeCostToGo<Codec::kBits>(Codec::output(start), samples, togo);
    }
    current[0] = {0, 0, start, 0, 0};
    currentCount = 1;
    for (std::size_t t = 0; t < samples.size(); ++t) {
      std::size_t count = 0;
      if constexpr (Codec::kIsAdpcm) {
        const CostRow later = togo.row(t + 1);
        count = spread == 1 ? adpcmChildren<1>(clamp16(samples[t]), later)
                            : adpcmChildren<0>(clamp16(samples[t]), later);
      } else {
        count = wfmChildren(samples[t]);
      }
      keepBest(count);
      for (std::size_t k = 0; k < currentCount; ++k) {
        parents[t * width + k] = current[k].parent;
        codes[t * width + k] = current[k].code;
      }
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

 private:
  // The worst rank of the first children, one a survivor, once they fill
  // the beam; else no bound.
  std::uint64_t boundOfFirst() const {
    std::uint64_t bound = std::numeric_limits<std::uint64_t>::max();
    if (currentCount >= width) {
      bound = 0;
      for (std::size_t i = 0; i < currentCount; ++i)
        bound = std::max(bound, made[i].rank);
    }
    return bound;
  }

  // Stores a child at out[count] and returns count moved on if it is to be
  // kept, without a branch.
  static std::size_t keep(Node* out, std::size_t count, const Node& child, bool wanted,
                          std::uint64_t bound) {
    out[count] = child;
    return count + static_cast<std::size_t>(wanted & (child.rank <= bound));
  }

  // ADPCM: the children by the code of rank r (rows by rank from the core's
  // tables), priced with the cost to go. Spread as compiled (0: as the level says).
  template <int Spread>
  std::size_t adpcmChildren(std::int32_t x, const CostRow& later) {
    using Row = typename Fan<Codec>::Row;
    const int top = static_cast<int>(Codec::kCodes) - 1;
    const int s = Spread > 0 ? Spread : static_cast<int>(spread);
    // Plain pointers: the byte-wide stores below could alias the vectors'.
    const Node* const survivors = current.data();
    Node* const out = made.data();
    std::int8_t* const nearestOf = nearest.data();
    const auto child = [&](std::size_t i, const Row& row, int r) {
      const Node& from = survivors[i];
      const auto ru = static_cast<unsigned>(r);
      Node n;
      n.state = {Fan<Codec>::valueAt(row, from.state.predictor, r), row.nextIndex[ru]};
      n.cost = from.cost + squaredDifference(x, n.state.predictor);
      n.rank = n.cost +
               ((costAt(later, static_cast<unsigned>(n.state.stepIndex)) * kCostToGoWeight) >> 4);
      n.parent = static_cast<std::uint16_t>(i);
      n.code = Fan<Codec>::codeOf(r);
      return n;
    };
    const auto rowOf = [&](std::size_t i) -> const Row& {
      return kFanRows<Codec::kBits>[static_cast<std::size_t>(survivors[i].state.stepIndex)];
    };
    const std::size_t n = currentCount;
    for (std::size_t i = 0; i < n; ++i) {
      const Row& row = rowOf(i);
      nearestOf[i] = static_cast<std::int8_t>(
          Fan<Codec>::nearestByMiddles(row, survivors[i].state.predictor, x));
      out[i] = child(i, row, nearestOf[i]);
    }
    const std::uint64_t bound = boundOfFirst();
    std::size_t count = n;
    for (std::size_t i = 0; i < n; ++i) {
      const Row& row = rowOf(i);
      const int c = nearestOf[i];
      for (int o = 1; o <= s; ++o) {
        count = keep(out, count, child(i, row, std::max(c - o, 0)), c - o >= 0, bound);
        count = keep(out, count, child(i, row, std::min(c + o, top)), c + o <= top, bound);
      }
      // The extremes, outside the fan, seldom get in: their error alone
      // rules most of them out before they are made.
      for (int e = 0; e < (extremes ? 2 : 0); ++e) {
        const int r = e == 0 ? 0 : top;
        const bool outside = e == 0 ? c - s > 0 : c + s < top;
        const std::uint64_t error =
            squaredDifference(x, Fan<Codec>::valueAt(row, survivors[i].state.predictor, r));
        if (outside && survivors[i].cost + error <= bound) {
          count = keep(out, count, child(i, row, r), true, bound);
        }
      }
    }
    return count;
  }

  // WFM: the greedy decision, then (with a spread) the other one.
  std::size_t wfmChildren(std::int32_t sample) {
    const std::int32_t sample16 = clamp16(sample);
    const auto child = [&](std::size_t i, std::uint8_t code) {
      const Node& from = current[i];
      Node n{0, 0, from.state, static_cast<std::uint16_t>(i), code};
      Codec::apply(n.state, code);
      n.cost = n.rank = from.cost + squaredDifference(sample16, Codec::output(n.state));
      return n;
    };
    for (std::size_t i = 0; i < currentCount; ++i) {
      State s = current[i].state;
      made[i] = child(i, Codec::step(s, sample));
    }
    const std::uint64_t bound = boundOfFirst();
    std::size_t count = currentCount;
    for (std::size_t i = 0; i < currentCount && spread > 0; ++i) {
      count = keep(made.data(), count, child(i, static_cast<std::uint8_t>(made[i].code ^ 1)), true,
                   bound);
    }
    return count;
  }

  // Merges the count children in made that reach the same state, keeping
  // the cheaper, and keeps the `width` best as the survivors.
  void keepBest(std::size_t count) {
    const Node* const children = made.data();
    std::uint64_t* const ranked = order.data();
    Slot* const table = slots.data();
    const std::size_t mask = slots.size() - 1;
    const std::uint32_t now = ++stamp;
    std::size_t merged = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t key = Codec::key(children[k].state, mergeBits);
      std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - tableBits));
      for (;; at = (at + 1) & mask) {
        Slot& slot = table[at];
        if (slot.stamp != now) {
          slot = {key, now, static_cast<std::uint32_t>(merged)};
          ranked[merged++] = children[k].rank << 16 | k;
          break;
        }
        if (slot.key == key) {
          const std::size_t held = ranked[slot.node] & 0xFFFF;
          if (children[k].cost < children[held].cost)
            ranked[slot.node] = children[k].rank << 16 | k;
          break;
        }
      }
    }
    if (merged > width) {
      keepSmallest(ranked, merged, width);
      merged = width;
    }
    for (std::size_t k = 0; k < merged; ++k)
      current[k] = children[ranked[k] & 0xFFFF];
    currentCount = merged;
  }

  unsigned width;
  unsigned spread;
  unsigned mergeBits;
  bool extremes;
  unsigned tableBits = 0;
  std::uint32_t stamp = 0;
  std::size_t currentCount = 0;
  std::vector<Node> current;         // survivors
  std::vector<Node> made;            // children: the first of each survivor, then those kept
  std::vector<std::int8_t> nearest;  // each survivor's nearest code, by rank
  std::vector<std::uint64_t> order;  // merged children: rank, then where in made
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

  std::optional<Lookahead<Codec>> look;
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
std::span<const std::uint8_t> decideBlock(BlockSearch<Codec>& s, SampleReader& wave) {
  if (s.left == 0) return {};
  const std::size_t commit = std::min<std::size_t>(s.left, kBlock);
  const std::size_t span = std::min<std::size_t>(s.left, kSpan);
  wave.next(std::span(s.window).subspan(s.held, span - s.held));
  s.held = span;
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
std::uint64_t greedyError(const WaveInfo& wave, typename Codec::State encoder,
                          typename Codec::State player) {
  std::uint64_t total = 0;
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    for (const std::int32_t sample : samples) {
      const std::uint8_t code = Codec::step(encoder, sample);
      Codec::apply(player, code);
      total = addSaturated(total, squaredError(sample, Codec::output(player)));
    }
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

}  // namespace

template <class C>
void searchPayload(const WaveInfo& start, std::int32_t seed, PayloadOut out,
                   const SearchLevel& level, EncodeProgress* progress) {
  const typename C::State player = C::start(storedSeed(seed));
  std::uint64_t error = 0;
  {
    SampleReader wave(start);
    BlockSearch<C> search(level, player, start.sampleCount - 1);
    typename C::Packer packer;
    StreamWriter writer(out);
    for (auto codes = decideBlock(search, wave); !codes.empty() && writer.ok();
         codes = decideBlock(search, wave)) {
      writer.commit(packer.pack(codes, writer.room(kBlock)));
      addProgress(progress, codes.size());
    }
    error = search.error;
  }
  // Over the searched codes, which the writer has handed on.
  if (error > greedyError<C>(start, C::start(seed), player)) {
    encodeGreedy<C>(start, C::start(seed), out);
  }
}

template void searchPayload<AdpcmCodec<4>>(const WaveInfo&, std::int32_t, PayloadOut,
                                           const SearchLevel&, EncodeProgress*);
template void searchPayload<AdpcmCodec<3>>(const WaveInfo&, std::int32_t, PayloadOut,
                                           const SearchLevel&, EncodeProgress*);
template void searchPayload<AdpcmCodec<2>>(const WaveInfo&, std::int32_t, PayloadOut,
                                           const SearchLevel&, EncodeProgress*);
template void searchPayload<WfmCodec>(const WaveInfo&, std::int32_t, PayloadOut, const SearchLevel&,
                                      EncodeProgress*);

}  // namespace korvane
