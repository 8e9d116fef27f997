// Selection for the beam search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace korvane {

// Moves the k smallest of n distinct keys to the front, in no order. A
// quickselect whose partition swaps every key and moves the boundary on by
// the comparison: it does not branch on the keys, which are in no order a
// branch predictor could learn.
inline void keepSmallest(std::uint64_t* keys, std::size_t n, std::size_t k) {
  std::size_t lo = 0;
  std::size_t hi = n;  // the keys before lo are among the k smallest, those from hi on are not
  while (lo < k && k < hi) {
    if (hi - lo == 2) {
      if (keys[lo] > keys[lo + 1]) std::swap(keys[lo], keys[lo + 1]);
      return;
    }
    // The median of three leaves at least one key on each side.
    const std::uint64_t a = keys[lo];
    const std::uint64_t b = keys[lo + (hi - lo) / 2];
    const std::uint64_t c = keys[hi - 1];
    const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
    std::size_t below = lo;
    for (std::size_t i = lo; i < hi; ++i) {
      const std::uint64_t v = keys[i];
      keys[i] = keys[below];
      keys[below] = v;
      below += v < pivot;
    }
    (k < below ? hi : lo) = below;
  }
}

}  // namespace korvane
