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
    } else if (options.unknown.empty()) {
      options.unknown = arg;
    }
  }
  return options;
}

}  // namespace korvane
