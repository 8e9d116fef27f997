// Many inputs in one call: every output under one folder, converted on
// several threads, results and messages printed in the order of the inputs.
#pragma once

#include <span>
#include <string>

#include "app/commands.h"
#include "app/console.h"
#include "app/options.h"

namespace korvane {

// The output of input under folder: an input below base (where given)
// keeps its path relative to base; else a relative input below the current
// folder keeps its relative path, any other its file name alone; the name is
// derived as the command derives it.
[[nodiscard]] std::string batchOutputName(const Command& command, const std::string& folder,
                                          const std::string& input, const std::string& base = {});

// The command of input i: the call's, or the format its manifest row fixes.
[[nodiscard]] const Command& commandFor(const Command& command, const Options& options,
                                        std::size_t i);

// Converts every input into options.outDir; returns the highest exit code met.
[[nodiscard]] int runBatch(Console& console, const Command& command, const Options& options,
                           std::span<const std::string> inputs);

}  // namespace korvane
