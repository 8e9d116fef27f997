// -A: each prompt's format chosen from a list, to fill a budget with the
// best worst prompt, or to reach a quality with the fewest bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/options.h"

namespace korvane {

// One format's outcome for a prompt: its bytes and its quality (the
// segmental SNR; NaN where no frame is loud enough to count).
struct Candidate {
  std::uint64_t bytes = 0;
  double quality = 0;
};

// What the budget counts: overhead once, each stream rounded up to align
// but the last (the length of an image), or plain sums (align 1, overhead 0).
struct BudgetRule {
  std::uint64_t bytes = 0;
  std::uint64_t overhead = 0;
  std::uint32_t align = 1;
};

// The bytes the choice costs under rule.
[[nodiscard]] std::uint64_t choiceCost(std::span<const std::vector<Candidate>> prompts,
                                       std::span<const std::size_t> choice, const BudgetRule& rule);

// The max-min choice: the lowest quality among the prompts that count as high
// as the budget allows (each prompt then takes its cheapest candidate reaching
// it), then what is left raising the lowest first. Empty, with needed set to
// the least cost, where even the cheapest candidates do not fit.
[[nodiscard]] std::vector<std::size_t> chooseForBudget(
    std::span<const std::vector<Candidate>> prompts, const BudgetRule& rule, std::uint64_t& needed);

// Each prompt's cheapest candidate reaching snrDb; where none does, its best.
[[nodiscard]] std::vector<std::size_t> chooseForQuality(
    std::span<const std::vector<Candidate>> prompts, double snrDb);

// Runs -A over the inputs; returns the exit code.
[[nodiscard]] int runChoose(Console& console, const Options& options,
                            std::span<const std::string> inputs);

}  // namespace korvane
