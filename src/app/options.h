// Options: arguments beginning with "--", taken out before the switch, input
// and output are read, and allowed anywhere; "--" alone ends them.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "convert/prepare.h"
#include "search/search.h"

namespace korvane {

struct Options {
  bool report = false;
  bool reportCsv = false;
  std::string outDir;    // a batch when not empty
  unsigned jobs = 0;     // conversions at once in a batch; 0: one per core
  bool prepare = false;  // --rate, --gain or --normalize: the tolerant reader and its steps
  Preparation preparation;
  bool help = false;
  bool version = false;
  int searchLevel = 0;            // 0: the greedy encoder
  std::string badValue;           // the first option whose value is not understood, if any
  std::string unknown;            // the first option not understood, if any
  std::vector<std::string> args;  // everything else, in order
};

[[nodiscard]] Options parseOptions(std::span<const std::string> argv);

}  // namespace korvane
