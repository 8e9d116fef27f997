// The whole program behind main: takes the arguments after the program name
// and the console, returns the exit code.
#pragma once

#include <span>
#include <string>

#include "app/console.h"

namespace korvane {

[[nodiscard]] int runKorvane(std::span<const std::string> args, Console& console);

}  // namespace korvane
