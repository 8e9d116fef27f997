// One conversion from an input name to an output name, as the command line
// asks for it: open, create, load, build, write, then the report.
#pragma once

#include <string>

#include "app/commands.h"
#include "app/console.h"
#include "app/options.h"

namespace korvane {

struct Conversion {
  const Command& command;
  const Options& options;
  const std::string& inputName;
  const std::string& outputName;
  bool named;  // the output name came from the command line
};

// Returns the exit code; messages and the report go to console.
[[nodiscard]] int convertFile(Console& console, const Conversion& conversion);

}  // namespace korvane
