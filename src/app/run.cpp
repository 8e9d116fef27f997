#include "app/run.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "app/batch.h"
#include "app/commands.h"
#include "app/conversion.h"
#include "app/messages.h"
#include "app/options.h"

namespace korvane {

int runKorvane(std::span<const std::string> argv, Console& console) {
  Options options = parseOptions(argv);
  if (options.help) {
    printHelp(console);
    return 0;
  }
  if (options.version) {
    printVersion(console);
    return 0;
  }
  if (!options.unknown.empty()) {
    return reportFailure(console, Failure::unknownOption, options.unknown);
  }
  if (!options.badValue.empty()) {
    return reportFailure(console, Failure::badOptionValue, options.badValue);
  }
  console.messagesToErr = options.reportCsv;
  const bool batch = !options.outDir.empty();
  if (batch) console.keyWaitEnabled = false;  // a batch runs unattended
  // A batch keeps its cores busy with inputs; one file shares its resampling,
  // on 16 threads at most, which keeps its memory within its bound.
  options.preparation.threads =
      batch ? 1 : std::clamp(std::thread::hardware_concurrency(), 1u, 16u);

  const std::vector<std::string>& args = options.args;
  if (args.size() < 2) {
    printUsage(console);
    pauseForKey(console);
    return 0;
  }
  const Command* command = findCommand(args[0]);
  if (command == nullptr) return reportFailure(console, Failure::unknownCommand, args[0]);

  if (batch) return runBatch(console, *command, options, std::span(args).subspan(1));
  if (options.reportCsv) printCsvHeader(console);
  const bool named = args.size() >= 3;
  const std::string outputName = named ? args[2] : outputNameFor(*command, args[1]);
  return convertFile(console, {*command, options, args[1], outputName, named});
}

}  // namespace korvane
