// Lookahead search: for every sample, the codes of the next few samples are
// searched depth first, nearest reconstruction first, with branch and bound,
// and the first codes of the cheapest path are kept. It runs the player's own
// steps on copies of the state records.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "coders/codecs.h"

namespace korvane {

[[nodiscard]] inline std::uint64_t squaredDifference(std::int32_t target, std::int32_t played) {
  const std::int64_t e = std::int64_t{target} - played;
  return static_cast<std::uint64_t>(e * e);
}

// By step index, what the codes add to the predictor before the clamp,
// ranked by value (the largest negative step first), twice the points between
// neighbouring magnitudes where the larger becomes the nearer, and the step
// index each code leaves; all from the core's table rows.
template <unsigned Bits>
struct FanRow {
  static constexpr unsigned kCodes = 1u << Bits;
  static constexpr unsigned kHalf = kCodes / 2;
  std::array<std::int32_t, kCodes> deltas;
  std::array<std::int32_t, kHalf - 1> twiceMiddles;
  std::array<std::int8_t, kCodes> nextIndex;
  bool distinct;  // no two codes add the same
};

template <unsigned Bits>
inline constexpr auto kFanRows = [] {
  using Row = FanRow<Bits>;
  std::array<Row, kMaxStepIndex + 1> rows{};
  for (std::size_t i = 0; i <= kMaxStepIndex; ++i) {
    const auto& magnitudes = kMagnitudeRows<Bits>[i].deltas;
    for (unsigned m = 0; m < Row::kHalf; ++m) {
      rows[i].deltas[Row::kHalf - 1 - m] = -magnitudes[m];
      rows[i].deltas[Row::kHalf + m] = magnitudes[m];
      rows[i].nextIndex[Row::kHalf - 1 - m] = nextStepIndexTable<Bits>()[i][Row::kHalf | m];
      rows[i].nextIndex[Row::kHalf + m] = nextStepIndexTable<Bits>()[i][m];
      if (m + 1 < Row::kHalf) rows[i].twiceMiddles[m] = magnitudes[m] + magnitudes[m + 1];
    }
    rows[i].distinct = std::adjacent_find(rows[i].deltas.begin(), rows[i].deltas.end(),
                                          std::greater_equal<>()) == rows[i].deltas.end();
  }
  return rows;
}();

// The children of one state for one target sample, handed out nearest
// first, for each codec of coders/codecs.h.
template <class Codec>
struct Fan;

// ADPCM: ranked by the value they reconstruct (the largest negative step
// first) the codes' outputs rise, so after the nearest the next nearest is
// always the closer of the two neighbours not yet handed out. Values are
// worked out only as they are needed.
template <unsigned Bits>
struct Fan<AdpcmCodec<Bits>> {
  using State = AdpcmState;
  using Row = FanRow<Bits>;
  static constexpr unsigned kCodes = 1u << Bits;
  static constexpr unsigned kHalf = kCodes / 2;
  static constexpr int kExtremes[2] = {0, kCodes - 1};

  const Row* row = nullptr;
  std::int32_t predictor = 0;
  std::int32_t target = 0;
  int first = 0;       // the nearest, until handed out
  int below = 0;       // next rank down, -1 when none is left
  int above = 0;       // next rank up, kCodes when none is left
  bool plain = false;  // no clamp reached and no two values equal

  static std::int32_t valueAt(const Row& row, std::int32_t predictor, int rank) {
    return std::clamp(predictor + row.deltas[static_cast<unsigned>(rank)], -32768, 32767);
  }
  std::int32_t value(int rank) const {
    return plain ? predictor + row->deltas[static_cast<unsigned>(rank)]
                 : valueAt(*row, predictor, rank);
  }
  // Whether no code from predictor reaches a rail.
  static bool clear(const Row& row, std::int32_t predictor) {
    const std::int32_t reach = row.deltas[kCodes - 1];
    return predictor - reach >= -32768 && predictor + reach <= 32767;
  }

  // The rank whose value is nearest x by the middles alone: off by one or
  // more only where a clamp moves values off them, near a rail.
  static int nearestByMiddles(const Row& row, std::int32_t predictor, std::int32_t x) {
    const std::int32_t d = x - predictor;
    const std::int32_t twice = 2 * (d < 0 ? -d : d);
    unsigned m = 0;
    for (const std::int32_t middle : row.twiceMiddles)
      m += static_cast<unsigned>(twice >= middle);
    return static_cast<int>(d < 0 ? kHalf - 1 - m : kHalf + m);
  }

  // The rank whose value is nearest x from state s.
  static int nearest(const Row& row, std::int32_t predictor, std::int32_t x) {
    const int near = nearestByMiddles(row, predictor, x);
    // A clamp moves values off the middles: near a rail every code is
    // priced (the smallest step the other way can be nearer, and a larger
    // step clamped onto the rail nearer than a smaller one).
    if (clear(row, predictor)) return near;
    int best = near;
    std::uint64_t least = squaredDifference(x, valueAt(row, predictor, near));
    for (int r = 0; r < static_cast<int>(kCodes); ++r) {
      const std::uint64_t e = squaredDifference(x, valueAt(row, predictor, r));
      if (e < least) {
        least = e;
        best = r;
      }
    }
    return best;
  }

  // The nearest code from s for x, and its error.
  static std::uint64_t leastError(const State& s, std::int32_t x, std::uint8_t& code) {
    const Row& row = kFanRows<Bits>[static_cast<std::size_t>(s.stepIndex)];
    const int rank = nearest(row, s.predictor, x);
    code = codeOf(rank);
    return squaredDifference(x, valueAt(row, s.predictor, rank));
  }

  void open(const State& s, std::int32_t x) {
    row = &kFanRows<Bits>[static_cast<std::size_t>(s.stepIndex)];
    predictor = s.predictor;
    target = x;
    plain = row->distinct && clear(*row, predictor);
    first = plain ? nearestByMiddles(*row, predictor, x) : nearest(*row, predictor, x);
    below = first - 1;
    above = first + 1;
    if (!plain) skipEqual(value(first));
  }

  // Codes whose outputs a clamp made equal differ only in the step index
  // they leave; of such a run only the nearest is tried (and the extreme,
  // on its own). Without this a clipped signal makes the search explode.
  void skipEqual(std::int32_t v) {
    while (below >= 0 && value(below) == v)
      --below;
    while (above < static_cast<int>(kCodes) && value(above) == v)
      ++above;
  }

  // The rank handed out next, nearest first; -1 once all are out.
  int next() {
    if (first >= 0) {
      const int r = first;
      first = -1;
      return r;
    }
    const bool hasBelow = below >= 0;
    const bool hasAbove = above < static_cast<int>(kCodes);
    if (!hasBelow && !hasAbove) return -1;
    const int r = !hasAbove || (hasBelow && target - value(below) <= value(above) - target)
                      ? below--
                      : above++;
    if (!plain) skipEqual(value(r));
    return r;
  }

  static constexpr std::uint8_t codeOf(int rank) {
    const auto r = static_cast<unsigned>(rank);
    return static_cast<std::uint8_t>(r < kHalf ? (kHalf | (kHalf - 1 - r)) : r - kHalf);
  }
  std::int32_t output(int rank) const { return value(rank); }
  State child(int rank) const { return {value(rank), row->nextIndex[static_cast<unsigned>(rank)]}; }
};

// WFM: the two children, nearest first.
template <>
struct Fan<WfmCodec> {
  using State = WfmState;
  static constexpr int kExtremes[2] = {0, 1};

  std::array<State, 2> children{};
  int order[2] = {0, 1};
  int handed = 0;

  void open(const State& s, std::int32_t x) {
    children[0] = children[1] = s;
    applyWfmDecision(children[0], 0);
    applyWfmDecision(children[1], 1);
    const bool downFirst = squaredDifference(x, output(1)) < squaredDifference(x, output(0));
    order[0] = downFirst ? 1 : 0;
    order[1] = 1 - order[0];
    handed = 0;
  }
  int next() { return handed < 2 ? order[handed++] : -1; }
  static constexpr std::uint8_t codeOf(int rank) { return static_cast<std::uint8_t>(rank); }
  std::int32_t output(int rank) const {
    return WfmCodec::output(children[static_cast<unsigned>(rank)]);
  }
  State child(int rank) const { return children[static_cast<unsigned>(rank)]; }
  static std::uint64_t leastError(const State& s, std::int32_t x, std::uint8_t& code) {
    Fan fan;
    fan.open(s, x);
    code = codeOf(fan.order[0]);
    return squaredDifference(x, fan.output(fan.order[0]));
  }
};

// Depth-first search of the next `depth` codes with branch and bound: the
// children of a node are tried nearest first, so the first descent gives a
// bound at once, and a child whose error so far reaches the best total ends
// the node (the ones after it are no nearer). The best path of the sample
// before, moved on by one code, gives the first bound. At the last level only
// the nearest code can be the best.
template <class Codec>
class Lookahead {
 public:
  using State = typename Codec::State;

  // depth: samples searched ahead; width: codes tried at a node, nearest
  // first, besides the two extremes; commit: codes kept from each search;
  // budget: nodes one search may visit a level of depth (0: no limit).
  Lookahead(unsigned depth, unsigned width, unsigned commit, unsigned budget)
      : depth_(std::max(depth, 1u)),
        width_(std::max(width, 1u)),
        commit_(std::clamp(commit, 1u, depth_)),
        budget_(budget == 0 ? ~0u : budget * depth_),
        path_(depth_),
        best_(depth_) {}

  // Codes codes.size() samples of targets (16-bit samples; more may follow
  // for the search to look into) from state, which it moves on. Returns the
  // squared error of the codes.
  std::uint64_t code(State& state, std::span<const std::int32_t> targets,
                     std::span<std::uint8_t> codes) {
    std::uint64_t error = 0;
    for (std::size_t t = 0; t < codes.size();) {
      const std::size_t ahead = std::min<std::size_t>(depth_, targets.size() - t);
      const std::span<const std::uint8_t> path = choose(state, targets.subspan(t, ahead));
      for (std::size_t j = 0; j < commit_ && t < codes.size(); ++j, ++t) {
        codes[t] = path[j];
        Codec::apply(state, codes[t]);
        error += squaredDifference(targets[t], Codec::output(state));
      }
      forget(commit_);
    }
    return error;
  }

 private:
  // The best path for targets (16-bit samples, 1 to depth of them) from
  // state s.
  std::span<const std::uint8_t> choose(const State& s, std::span<const std::int32_t> targets) {
    targets_ = targets;
    levels_ = static_cast<unsigned>(targets.size());
    State at = s;
    std::uint64_t cost = 0;
    for (unsigned k = 0; k < levels_; ++k) {
      if (k + 1 < known_) {
        best_[k] = best_[k + 1];
        Codec::apply(at, best_[k]);
      } else {
        Fan<Codec> fan;
        fan.open(at, targets[k]);
        const int r = fan.next();
        best_[k] = Fan<Codec>::codeOf(r);
        at = fan.child(r);
      }
      cost += squaredDifference(targets[k], Codec::output(at));
    }
    bound_ = cost;
    nodes_ = 0;
    search(0, s, 0);
    known_ = levels_;
    return std::span(best_).first(levels_);
  }

  // Drops all but the codes after the first n of the last path.
  void forget(std::size_t n) {
    if (n > 1) {
      const unsigned drop = static_cast<unsigned>(std::min<std::size_t>(n - 1, known_));
      std::copy(best_.begin() + drop, best_.begin() + known_, best_.begin());
      known_ -= drop;
    }
  }

  void search(unsigned k, const State& s, std::uint64_t cost) {
    if (++nodes_ > budget_) return;  // keeps the best found so far
    const std::int32_t target = targets_[k];
    if (k + 1 == levels_) {
      std::uint8_t code = 0;
      const std::uint64_t c = cost + Fan<Codec>::leastError(s, target, code);
      if (c < bound_) {
        bound_ = c;
        path_[k] = code;
        std::copy_n(path_.begin(), levels_, best_.begin());
      }
      return;
    }
    Fan<Codec> fan;
    fan.open(s, target);
    unsigned tried = 0;
    bool seen[2] = {false, false};
    for (int r = fan.next(); r >= 0 && tried < width_; r = fan.next(), ++tried) {
      const std::uint64_t c = cost + squaredDifference(target, fan.output(r));
      if (c >= bound_) return;  // the rest, extremes included, are no nearer
      seen[0] |= r == Fan<Codec>::kExtremes[0];
      seen[1] |= r == Fan<Codec>::kExtremes[1];
      visit(k, fan, r, c);
    }
    // The extremes move the step the most: always worth a look.
    for (int e = 0; e < 2; ++e) {
      const int r = Fan<Codec>::kExtremes[e];
      if (seen[e]) continue;
      const std::uint64_t c = cost + squaredDifference(target, fan.output(r));
      if (c < bound_) visit(k, fan, r, c);
    }
  }

  void visit(unsigned k, const Fan<Codec>& fan, int r, std::uint64_t c) {
    path_[k] = Fan<Codec>::codeOf(r);
    search(k + 1, fan.child(r), c);
  }

  unsigned depth_;
  unsigned width_;
  unsigned commit_;
  unsigned budget_;
  unsigned nodes_ = 0;
  std::vector<std::uint8_t> path_;
  std::vector<std::uint8_t> best_;
  std::span<const std::int32_t> targets_;
  unsigned levels_ = 0;
  unsigned known_ = 0;  // codes of best_ that hold the last search's path
  std::uint64_t bound_ = 0;
};

}  // namespace korvane
