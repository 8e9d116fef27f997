#include "app/run.h"

#include <new>
#include <vector>

#include "app/commands.h"
#include "app/files.h"
#include "app/messages.h"
#include "encoders/frame.h"
#include "wav/wave_reader.h"

namespace korvane {
namespace {

// Prints the failure's message and waits for a key where it calls for one.
int report(Console& console, Failure failure, const std::string& name, bool named = true) {
  const FailureText& text = textOf(failure);
  std::fprintf(console.out, text.format, name.c_str());
  if (failure == Failure::unknownCommand) printUsage(console);
  if (text.keyWait == KeyWait::always || (text.keyWait == KeyWait::whenNamed && named)) {
    pauseForKey(console);
  }
  std::fflush(console.out);
  return text.exitCode;
}

// Input opened, output created: load, parse, encode, write.
int convert(Console& console, const Command& command, const std::string& inputName,
            InputFile& input, OutputFile& output) {
  std::vector<std::uint8_t> file;
  if (!loadInput(input, file)) return report(console, Failure::cannotRead, inputName);

  WaveInfo wave;
  if (const WaveError error = readWaveInfo(file, wave); error != WaveError::none) {
    return report(console, failureOf(error), inputName);
  }

  std::vector<std::uint8_t> stream;
  try {
    stream = encodeStream(command.format, wave);
  } catch (const std::bad_alloc&) {
    discardOutput(output);
    return report(console, Failure::cannotWrite, output.name);
  }
  if (!writeOutput(output, stream)) return report(console, Failure::cannotWrite, output.name);
  return 0;
}

}  // namespace

int runKorvane(std::span<const std::string> args, Console& console) {
  if (args.size() < 2) {
    printUsage(console);
    pauseForKey(console);
    return 0;
  }

  const Command* command = findCommand(args[0]);
  if (command == nullptr) return report(console, Failure::unknownCommand, args[0]);

  const std::string& inputName = args[1];
  InputFile input;
  if (!openInput(inputName, input)) return report(console, Failure::cannotOpen, inputName);

  const bool named = args.size() >= 3;
  OutputFile output;
  const std::string outputName = named ? args[2] : deriveOutputName(inputName, command->extension);
  switch (createOutput(outputName, input.identity, output)) {
    case CreateResult::created:
      break;
    case CreateResult::isInput:
      closeInput(input);
      return report(console, Failure::outputIsInput, outputName, named);
    case CreateResult::failed:
      closeInput(input);
      return report(console, Failure::cannotCreate, outputName, named);
  }

  const int code = convert(console, *command, inputName, input, output);
  if (output.fd >= 0) {
    // A rejected input leaves the created output empty, as it always has.
    output.removable = false;
    discardOutput(output);
  }
  return code;
}

}  // namespace korvane
