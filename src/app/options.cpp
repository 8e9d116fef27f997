#include "app/options.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace korvane {
namespace {

// A decimal number and nothing else; false for anything else, or one outside lo..hi.
bool decimal(const std::string& text, double lo, double hi, double& value) {
  if (text.empty() || text.find_first_not_of("+-.0123456789") != std::string::npos) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(value) && value >= lo && value <= hi;
}

// The table's row for arg, and its value; null where no row takes it.
const OptionSpec* findOption(const std::string& arg, std::string& value, bool& hasValue) {
  for (const OptionSpec& entry : kOptions) {
    const std::string name = entry.name;
    if (arg.compare(0, name.size(), name) != 0) continue;
    hasValue = arg.size() > name.size();
    if (hasValue && arg[name.size()] != '=') continue;
    if (hasValue ? entry.value == OptionValue::none : entry.value == OptionValue::required) {
      return nullptr;
    }
    value = hasValue ? arg.substr(name.size() + 1) : std::string();
    return &entry;
  }
  return nullptr;
}

// Applies one option; false where its value is not understood.
bool apply(const OptionSpec& entry, const std::string& value, bool hasValue, Options& options) {
  switch (entry.id) {
    case OptionId::report:
      options.report = !hasValue         ? ReportForm::line
                       : value == "csv"  ? ReportForm::csv
                       : value == "json" ? ReportForm::json
                                         : ReportForm::none;
      return options.report != ReportForm::none;
    case OptionId::quiet:
      options.quiet = true;
      return true;
    case OptionId::search:
      options.searchLevel = kDefaultSearchLevel;
      options.searchGiven = true;
      if (!hasValue) return true;
      if (value.size() != 1 || value[0] < '0' || value[0] > '0' + kMaxSearchLevel) return false;
      options.searchLevel = value[0] - '0';
      return true;
    case OptionId::rate: {
      double hz = 0;
      const bool ok = decimal(value, 1000, 131070, hz) && hz == std::floor(hz);
      options.prepare = true;
      options.preparation.rate = ok ? static_cast<std::uint32_t>(hz) : 0;
      return ok;
    }
    case OptionId::gain:
      options.prepare = true;
      return decimal(value, -200, 200, options.preparation.gainDb);
    case OptionId::normalize:
      options.prepare = true;
      options.preparation.normalize = true;
      return !hasValue || decimal(value, -200, 0, options.preparation.normalizeDbfs);
    case OptionId::outDir:
      options.outDir = value;
      return !value.empty();
    case OptionId::base:
      options.base = value;
      return !value.empty();
    case OptionId::jobs: {
      const bool digits = !value.empty() && value.size() <= 4 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      options.jobs = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
      return options.jobs != 0;
    }
    case OptionId::filesFrom:
      options.lists.push_back(value);
      return !value.empty();
    case OptionId::trim:
      options.prepare = true;
      options.preparation.trim = true;
      options.trimColumns = true;
      return !hasValue || decimal(value, -96, 0, options.preparation.trimDb);
    case OptionId::pack:
      options.pack = value;
      return !value.empty();
    case OptionId::header:
      options.header = value;
      return !value.empty();
    case OptionId::cArray:
      options.cArray = value;
      return !value.empty();
    case OptionId::symbol:
      options.symbol = value;
      return !value.empty();
    case OptionId::align: {
      const bool digits = !value.empty() && value.size() <= 5 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      options.align = digits ? static_cast<std::uint32_t>(std::stoul(value)) : 0;
      return options.align != 0 && options.align <= 65536 &&
             (options.align & (options.align - 1)) == 0;
    }
    case OptionId::budget: {
      const std::size_t digits = value.find_first_not_of("0123456789");
      const std::string suffix = digits == std::string::npos ? "" : value.substr(digits);
      if (digits == 0 || value.size() > 12 || (suffix != "" && suffix != "K" && suffix != "M")) {
        return false;
      }
      const std::uint64_t unit = suffix == "K" ? 1024 : suffix == "M" ? 1048576 : 1;
      options.budget = std::stoull(value.substr(0, digits)) * unit;
      return options.budget != 0;
    }
    case OptionId::snr:
      return decimal(value, -200, 200, options.snrDb);
    case OptionId::formats: {
      options.formats.clear();
      for (std::size_t at = 0; at <= value.size();) {
        const std::size_t comma = std::min(value.find(',', at), value.size());
        std::string name = value.substr(at, comma - at);
        if (!name.empty() && name[0] != '-') name.insert(name.begin(), '-');
        options.formats.push_back(name);
        at = comma + 1;
      }
      return !options.formats.empty();
    }
    case OptionId::manifest:
      options.manifest = value;
      return !value.empty();
    case OptionId::review:
      options.review = value;
      return !value.empty();
    case OptionId::help:
      options.help = true;
      return true;
    case OptionId::version:
      options.version = true;
      return true;
  }
  return false;
}

}  // namespace

Options parseOptions(std::span<const std::string> argv) {
  Options options;
  bool ended = false;
  for (const std::string& arg : argv) {
    if (ended || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      options.args.push_back(arg);
      continue;
    }
    if (arg == "--") {
      ended = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    const OptionSpec* entry = findOption(arg, value, hasValue);
    if (entry == nullptr) {
      if (options.unknown.empty()) options.unknown = arg;
    } else if (!apply(*entry, value, hasValue, options) && options.badValue.empty()) {
      options.badValue = arg;
    }
  }
  return options;
}

Options optionsFor(const Options& options, std::size_t i) {
  Options own = options;
  if (i >= options.prompts.size()) return own;
  const PromptSettings& row = options.prompts[i];
  if (row.gainGiven) {
    own.prepare = true;
    own.preparation.gainDb = row.gainDb;
  }
  if (row.trimGiven) {
    own.prepare = true;
    own.preparation.trim = true;
    own.preparation.trimDb = row.trimDb;
  }
  return own;
}

}  // namespace korvane
