#include "app/options.h"

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

}  // namespace

Options parseOptions(std::span<const std::string> argv) {
  Options options;
  bool ended = false;
  for (const std::string& arg : argv) {
    if (ended || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      options.args.push_back(arg);
    } else if (arg == "--") {
      ended = true;
    } else if (arg == "--report") {
      options.report = true;
    } else if (arg == "--report=csv") {
      options.report = true;
      options.reportCsv = true;
    } else if (arg.rfind("--rate=", 0) == 0) {
      double hz = 0;
      const bool ok = decimal(arg.substr(7), 1000, 131070, hz) && hz == std::floor(hz);
      options.prepare = true;
      options.preparation.rate = ok ? static_cast<std::uint32_t>(hz) : 0;
      if (!ok && options.badValue.empty()) options.badValue = arg;
    } else if (arg.rfind("--gain=", 0) == 0) {
      options.prepare = true;
      if (!decimal(arg.substr(7), -200, 200, options.preparation.gainDb) &&
          options.badValue.empty()) {
        options.badValue = arg;
      }
    } else if (arg == "--normalize" || arg.rfind("--normalize=", 0) == 0) {
      options.prepare = true;
      options.preparation.normalize = true;
      if (arg.size() > 11 && !decimal(arg.substr(12), -200, 0, options.preparation.normalizeDbfs) &&
          options.badValue.empty()) {
        options.badValue = arg;
      }
    } else if (arg.rfind("--out-dir=", 0) == 0) {
      options.outDir = arg.substr(10);
      if (options.outDir.empty() && options.badValue.empty()) options.badValue = arg;
    } else if (arg.rfind("--jobs=", 0) == 0) {
      const std::string value = arg.substr(7);
      const bool digits = !value.empty() && value.size() <= 4 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      options.jobs = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
      if (options.jobs == 0 && options.badValue.empty()) options.badValue = arg;
    } else if (arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--search") {
      options.searchLevel = kDefaultSearchLevel;
    } else if (arg.rfind("--search=", 0) == 0) {
      const std::string value = arg.substr(9);
      if (value.size() == 1 && value[0] >= '0' && value[0] <= '0' + kMaxSearchLevel) {
        options.searchLevel = value[0] - '0';
      } else if (options.badValue.empty()) {
        options.badValue = arg;
      }
    } else if (options.unknown.empty()) {
      options.unknown = arg;
    }
  }
  return options;
}

}  // namespace korvane
