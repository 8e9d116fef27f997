#include <string>
#include <vector>

#include "app/console.h"
#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args = korvane::programArguments(argc, argv);
  korvane::Console console;
  console.showProgress = korvane::stderrIsTerminal();
  korvane::removePartialOutputsOnInterrupt();
  return korvane::runKorvane(args, console);
}
