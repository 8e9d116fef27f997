#include "app/options.h"

namespace korvane {

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
