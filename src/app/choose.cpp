#include "app/choose.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "app/batch.h"
#include "app/commands.h"
#include "app/messages.h"
#include "app/pack.h"
#include "app/report_rows.h"
#include "format/pack_image.h"
#include "platform/platform.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

bool counts(const std::vector<Candidate>& prompt) {
  return std::any_of(prompt.begin(), prompt.end(),
                     [](const Candidate& c) { return std::isfinite(c.quality); });
}

std::uint64_t roundUp(std::uint64_t bytes, std::uint32_t align) {
  return (bytes + align - 1) / align * align;
}

// What prompt i's candidate j adds to the cost.
std::uint64_t costOf(std::size_t i, std::size_t n, std::uint64_t bytes, const BudgetRule& rule) {
  return i + 1 == n ? bytes : roundUp(bytes, rule.align);
}

// The cheapest candidate of a prompt at least threshold good (higher quality
// among equal costs); npos where none is.
std::size_t cheapestReaching(const std::vector<Candidate>& prompt, double threshold, std::size_t i,
                             std::size_t n, const BudgetRule& rule) {
  std::size_t best = std::string::npos;
  for (std::size_t j = 0; j < prompt.size(); ++j) {
    if (!(prompt[j].quality >= threshold)) continue;
    if (best == std::string::npos) {
      best = j;
      continue;
    }
    const std::uint64_t a = costOf(i, n, prompt[j].bytes, rule);
    const std::uint64_t b = costOf(i, n, prompt[best].bytes, rule);
    if (a < b || (a == b && prompt[j].quality > prompt[best].quality)) best = j;
  }
  return best;
}

std::size_t cheapest(const std::vector<Candidate>& prompt, std::size_t i, std::size_t n,
                     const BudgetRule& rule) {
  std::size_t best = 0;
  for (std::size_t j = 1; j < prompt.size(); ++j) {
    if (costOf(i, n, prompt[j].bytes, rule) < costOf(i, n, prompt[best].bytes, rule)) best = j;
  }
  return best;
}

}  // namespace

std::uint64_t choiceCost(std::span<const std::vector<Candidate>> prompts,
                         std::span<const std::size_t> choice, const BudgetRule& rule) {
  std::uint64_t total = rule.overhead;
  for (std::size_t i = 0; i < prompts.size(); ++i)
    total += costOf(i, prompts.size(), prompts[i][choice[i]].bytes, rule);
  return total;
}

std::vector<std::size_t> chooseForBudget(std::span<const std::vector<Candidate>> prompts,
                                         const BudgetRule& rule, std::uint64_t& needed) {
  const std::size_t n = prompts.size();
  std::vector<std::size_t> choice(n);
  for (std::size_t i = 0; i < n; ++i)
    choice[i] = cheapest(prompts[i], i, n, rule);
  needed = choiceCost(prompts, choice, rule);
  if (needed > rule.bytes) return {};

  // The highest threshold every counted prompt can reach within the budget:
  // the cost of reaching a threshold only grows with it, so a binary search.
  std::vector<double> thresholds;
  for (const auto& prompt : prompts) {
    for (const Candidate& c : prompt) {
      if (std::isfinite(c.quality)) thresholds.push_back(c.quality);
    }
  }
  std::sort(thresholds.begin(), thresholds.end());
  thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
  const auto reach = [&](double threshold, std::vector<std::size_t>& picks) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!counts(prompts[i])) continue;  // the cheapest, whatever the threshold
      picks[i] = cheapestReaching(prompts[i], threshold, i, n, rule);
      if (picks[i] == std::string::npos) return false;
    }
    return choiceCost(prompts, picks, rule) <= rule.bytes;
  };
  std::size_t lo = 0;
  std::size_t hi = thresholds.size();  // thresholds[lo] reachable, thresholds[hi] not
  std::vector<std::size_t> picks = choice;
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    picks = choice;
    if (reach(thresholds[mid], picks))
      lo = mid;
    else
      hi = mid;
  }
  if (!thresholds.empty()) (void)reach(thresholds[lo], choice);

  // What is left raises the lowest first: the lowest prompt that can still
  // rise takes its cheapest better candidate that fits.
  std::vector<bool> done(n, false);
  for (std::size_t i = 0; i < n; ++i)
    done[i] = !counts(prompts[i]);
  for (;;) {
    std::size_t lowest = n;
    for (std::size_t i = 0; i < n; ++i) {
      if (!done[i] && (lowest == n ||
                       prompts[i][choice[i]].quality < prompts[lowest][choice[lowest]].quality)) {
        lowest = i;
      }
    }
    if (lowest == n) break;
    const std::uint64_t spent = choiceCost(prompts, choice, rule);
    const std::uint64_t now = costOf(lowest, n, prompts[lowest][choice[lowest]].bytes, rule);
    std::size_t better = std::string::npos;
    for (std::size_t j = 0; j < prompts[lowest].size(); ++j) {
      const Candidate& c = prompts[lowest][j];
      const std::uint64_t cost = costOf(lowest, n, c.bytes, rule);
      if (!(c.quality > prompts[lowest][choice[lowest]].quality) ||
          spent - now + cost > rule.bytes) {
        continue;
      }
      if (better == std::string::npos ||
          cost < costOf(lowest, n, prompts[lowest][better].bytes, rule)) {
        better = j;
      }
    }
    if (better == std::string::npos) {
      done[lowest] = true;
    } else {
      choice[lowest] = better;
    }
  }
  return choice;
}

std::vector<std::size_t> chooseForQuality(std::span<const std::vector<Candidate>> prompts,
                                          double snrDb) {
  const BudgetRule plain;
  std::vector<std::size_t> choice(prompts.size());
  for (std::size_t i = 0; i < prompts.size(); ++i) {
    const auto& prompt = prompts[i];
    choice[i] = cheapestReaching(prompt, snrDb, 0, 1, plain);
    if (choice[i] != std::string::npos) continue;
    if (!counts(prompt)) {
      choice[i] = cheapest(prompt, 0, 1, plain);
      continue;
    }
    choice[i] = 0;  // none reaches it: the best
    for (std::size_t j = 1; j < prompt.size(); ++j) {
      if (prompt[j].quality > prompt[choice[i]].quality ||
          (!(prompt[choice[i]].quality >= prompt[j].quality))) {
        choice[i] = j;
      }
    }
  }
  return choice;
}

int runChoose(Console& console, const Options& options, std::span<const std::string> inputs) {
  std::vector<const Command*> commands;
  for (const std::string& name : options.formats) {
    const Command* command = findCommand(name);
    if (command == nullptr || command->action != Action::encode) {
      return reportFailure(console, Failure::badOptionValue, "--formats=" + name);
    }
    commands.push_back(command);
  }
  const std::size_t listed = commands.size();
  // A format a manifest row fixes is coded too, for that prompt alone.
  for (const PromptSettings& row : options.prompts) {
    const Command* fixed = row.format.empty() ? nullptr : findCommand(row.format);
    if (fixed != nullptr && std::find(commands.begin(), commands.end(), fixed) == commands.end()) {
      commands.push_back(fixed);
    }
  }
  const bool byBudget = options.budget != 0;
  if (byBudget == !std::isnan(options.snrDb) ||
      (byBudget && options.pack.empty() && options.outDir.empty())) {
    return reportFailure(console, Failure::badOptionValue, byBudget ? "--budget" : "--snr");
  }
  std::vector<PackPrompt> prompts;
  if (!options.pack.empty()) {
    if (const int code = namePrompts(console, inputs, options, prompts); code != 0) return code;
  } else {
    for (const std::string& input : inputs)
      prompts.push_back({input, {}, {}, Format::pcm16});
  }

  // Every input in every format, into a scratch folder; the first format's
  // messages are printed, the rows kept.
  const std::string scratch = makeScratchFolder();
  if (scratch.empty()) return reportFailure(console, Failure::cannotCreate, options.pack);
  const auto removeScratch = [&] {
    std::error_code ignored;
    fs::remove_all(fs::path(std::u8string(scratch.begin(), scratch.end())), ignored);
  };
  std::vector<std::vector<ReportRow>> rows(commands.size());
  Options pass = options;
  pass.report = ReportForm::csv;
  pass.pack.clear();
  pass.searchLevel = options.searchGiven ? options.searchLevel : kDefaultSearchLevel;
  for (PromptSettings& row : pass.prompts)
    row.format.clear();  // each pass codes every prompt in its own format
  int code = 0;
  for (std::size_t f = 0; f < commands.size() && code == 0; ++f) {
    pass.outDir = scratch + "/" + std::to_string(f);
    std::string out;
    std::string err;
    Console kept = console;
    kept.outText = &out;
    kept.errText = &err;
    kept.rows = &rows[f];
    kept.messagesToErr = console.messagesToErr;
    code = runBatch(kept, *commands[f], pass, inputs);
    if (f == 0 || code != 0) {
      say(console, Stream::out, "%s", out.c_str());
      say(console, Stream::err, "%s", err.c_str());
    }
  }
  if (code != 0) {
    removeScratch();
    return code;
  }
  // Each prompt's candidates: the listed formats, or the one its row fixes;
  // passOf maps a candidate to the pass that coded it.
  std::vector<std::vector<Candidate>> candidates(inputs.size());
  std::vector<std::vector<std::size_t>> passOf(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string fixed = i < options.prompts.size() ? options.prompts[i].format : "";
    for (std::size_t f = 0; f < commands.size(); ++f) {
      if (fixed.empty() ? f >= listed : fixed != commands[f]->name) continue;
      candidates[i].push_back({rows[f][i].bytes.value_or(0), rows[f][i].segmentalSnrDb});
      passOf[i].push_back(f);
    }
  }
  std::vector<std::size_t> choice;
  BudgetRule rule{options.budget, 0, 1};
  if (byBudget) {
    if (!options.pack.empty()) {
      rule.align = options.align;
      rule.overhead = roundUp(kPackHeaderBytes + 8 * std::uint64_t{inputs.size()}, options.align);
    }
    std::uint64_t needed = 0;
    choice = chooseForBudget(candidates, rule, needed);
    if (choice.empty()) {
      removeScratch();
      return reportFailure(console, Failure::budgetTooSmall, std::to_string(needed));
    }
  } else {
    choice = chooseForQuality(candidates, options.snrDb);
  }
  for (std::size_t i = 0; i < inputs.size(); ++i)
    choice[i] = passOf[i][choice[i]];  // from here on, the pass

  // The chosen streams: into the image, and as single files under --out-dir.
  for (std::size_t i = 0; i < inputs.size() && code == 0; ++i) {
    const Command& command = *commands[choice[i]];
    prompts[i].format = command.format;
    if (!readWholeFile(batchOutputName(command, scratch + "/" + std::to_string(choice[i]),
                                       inputs[i], options.base),
                       prompts[i].stream)) {
      code = reportFailure(console, Failure::cannotRead, inputs[i]);
    }
  }
  removeScratch();
  if (code != 0) return code;
  if (!options.pack.empty()) code = writePack(console, options, prompts);
  for (std::size_t i = 0; i < inputs.size() && code == 0 && !options.outDir.empty(); ++i) {
    const std::string name =
        batchOutputName(*commands[choice[i]], options.outDir, inputs[i], options.base);
    std::error_code ignored;
    fs::create_directories(fs::path(std::u8string(name.begin(), name.end())).parent_path(),
                           ignored);
    OutputFile output;
    if (createOutput(name, identityOfName(inputs[i]), true, output) != CreateResult::created) {
      code = reportFailure(console, Failure::cannotCreate, name);
    } else if (!writeOutput(output, prompts[i].stream)) {
      code = reportFailure(console, Failure::cannotWrite, name);
    }
    discardOutput(output);
  }
  if (code != 0) return code;

  // The report: a row a prompt with its choice, or the budget and the lowest quality.
  double lowest = std::numeric_limits<double>::infinity();
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    ReportRow row = rows[choice[i]][i];
    row.chosen = std::string(commands[choice[i]]->name).substr(1);
    row.output = options.outDir.empty() ? options.pack + ":" + inputs[i]
                                        : batchOutputName(*commands[choice[i]], options.outDir,
                                                          inputs[i], options.base);
    if (std::isfinite(row.segmentalSnrDb)) lowest = std::min(lowest, row.segmentalSnrDb);
    used += prompts[i].stream.size();
    if (options.reportRows()) printRow(console, options.report, row, {options.trimColumns, true});
  }
  if (byBudget) {
    used = rule.overhead;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const std::uint64_t bytes = prompts[i].stream.size();
      used += i + 1 == inputs.size() ? bytes : roundUp(bytes, rule.align);
    }
  }
  if (options.report == ReportForm::line) {
    say(console, Stream::out, "-A : %llu of %llu bytes, lowest segmental SNR %.2f dB\n",
        static_cast<unsigned long long>(used),
        static_cast<unsigned long long>(byBudget ? options.budget : used), lowest);
  }
  return 0;
}

}  // namespace korvane
