#include "app/run.h"

#include <cmath>
#include <new>
#include <vector>

#include "app/commands.h"
#include "app/messages.h"
#include "app/options.h"
#include "app/progress.h"
#include "convert/convert.h"
#include "decoder/decoder.h"
#include "platform/platform.h"
#include "wav/wave_reader.h"

namespace korvane {
namespace {

// Prints the failure's message and waits for a key where it calls for one.
int report(Console& console, Failure failure, const std::string& name, bool named = true) {
  const FailureText& text = textOf(failure);
  std::fprintf(console.out, text.format, name.c_str());
  if (failure == Failure::unknownCommand || failure == Failure::unknownOption ||
      failure == Failure::badOptionValue) {
    printUsage(console);
  }
  if (text.keyWait == KeyWait::always || (text.keyWait == KeyWait::whenNamed && named)) {
    pauseForKey(console);
  }
  std::fflush(console.out);
  return text.exitCode;
}

struct Job {
  const Command& command;
  const std::string& inputName;
  const Options& options;
  OutputFile& output;
};

void printEncodeReport(Console& console, const Job& job, const WaveInfo& wave,
                       std::span<const std::uint8_t> stream) {
  std::fprintf(console.out, "%s -> %s : %u samples, %u Hz, %zu bytes, %u bits per sample, ",
               job.inputName.c_str(), job.output.name.c_str(), wave.sampleCount, wave.sampleRate,
               stream.size(), unsigned{factsOf(job.command.format).bitsPerSample});
  DecodeCursor played;
  if (openStream(stream, played) == DecodeError::none) {
    std::fprintf(console.out, "SNR %.2f dB\n", snrDb(measureFidelity(wave, played)));
  } else {
    std::fputs("SNR not measured\n", console.out);
  }
}

void printDecodeReport(Console& console, const Job& job, const StreamInfo& info) {
  const double seconds =
      info.sampleRate == 0 ? 0.0 : static_cast<double>(info.sampleCount) / info.sampleRate;
  std::fprintf(console.out, "%s -> %s : %s, %u samples, %u Hz, %.3f s\n", job.inputName.c_str(),
               job.output.name.c_str(), factsOf(info.format).name, info.sampleCount,
               info.sampleRate, seconds);
}

// Encodes into out, showing progress on a terminal when a search runs for long.
void encodeWithProgress(Console& console, const Job& job, const WaveInfo& wave,
                        std::span<std::uint8_t> out) {
  const int level = job.options.searchLevel;
  const Format format = job.command.format;
  if (!isSearched(format, level) || !console.showProgress) {
    encodeStreamInto(format, wave, out, level);
    return;
  }
  EncodeProgress progress;
  ProgressDisplay display(console.err, progress, wave.sampleCount);
  encodeStreamInto(format, wave, out, level, &progress);
}

// What a conversion built: the output bytes and what the report tells of them.
struct Built {
  OutputBuffer output;
  WaveInfo wave;      // of an encode's input
  StreamInfo stream;  // of a decode's input
};

int build(Console& console, const Job& job, std::span<const std::uint8_t> file, Built& built) {
  if (job.command.action == Action::decode) {
    DecodeCursor cursor;
    if (const DecodeError error = openStream(file, cursor); error != DecodeError::none) {
      return report(console, failureOf(error), job.inputName);
    }
    built.stream = cursor.info;
    allocateOutput(static_cast<std::size_t>(decodedWaveLength(cursor.info.sampleCount)),
                   built.output);
    decodeToWaveInto(cursor, built.output.bytes);
    return 0;
  }
  if (const WaveError error = readWaveInfo(file, built.wave); error != WaveError::none) {
    return report(console, failureOf(error), job.inputName);
  }
  if (!headerHoldsRate(built.wave.sampleRate)) {
    return report(console, Failure::rateNotSupported, job.inputName);
  }
  allocateOutput(static_cast<std::size_t>(streamLength(job.command.format, built.wave.sampleCount)),
                 built.output);
  encodeWithProgress(console, job, built.wave, built.output.bytes);
  return 0;
}

// Input opened, output created: load, build, write, and report once written.
int convert(Console& console, const Job& job, InputFile& input) {
  LoadedInput loaded;
  if (!loadInput(input, loaded)) return report(console, Failure::cannotRead, job.inputName);
  Built built;
  try {
    if (const int code = build(console, job, loaded.bytes(), built); code != 0) return code;
  } catch (const std::bad_alloc&) {
    return report(console, Failure::cannotWrite, job.output.name);
  }
  if (!writeOutput(job.output, built.output.bytes)) {
    return report(console, Failure::cannotWrite, job.output.name);
  }
  if (job.options.report) {
    if (job.command.action == Action::decode) {
      printDecodeReport(console, job, built.stream);
    } else {
      printEncodeReport(console, job, built.wave, built.output.bytes);
    }
  }
  std::fflush(console.out);
  return 0;
}

}  // namespace

int runKorvane(std::span<const std::string> argv, Console& console) {
  const Options options = parseOptions(argv);
  if (options.help) {
    printHelp(console);
    return 0;
  }
  if (options.version) {
    printVersion(console);
    return 0;
  }
  if (!options.unknown.empty()) return report(console, Failure::unknownOption, options.unknown);
  if (!options.badValue.empty()) return report(console, Failure::badOptionValue, options.badValue);

  const std::vector<std::string>& args = options.args;
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
  const std::string outputName = named ? args[2] : outputNameFor(*command, inputName);
  // An encode never replaces a recording; a decode writes WAV files.
  const bool refuseWave = command->action == Action::encode;
  switch (createOutput(outputName, input.identity, refuseWave, output)) {
    case CreateResult::created:
      break;
    case CreateResult::isInput:
      closeInput(input);
      return report(console, Failure::outputIsInput, outputName, named);
    case CreateResult::isWave:
      closeInput(input);
      return report(console, Failure::outputIsWave, outputName, named);
    case CreateResult::failed:
      closeInput(input);
      return report(console, Failure::cannotCreate, outputName, named);
  }

  const int code = convert(console, {*command, inputName, options, output}, input);
  discardOutput(output);  // whatever did not finish leaves the old file as it was
  return code;
}

}  // namespace korvane
