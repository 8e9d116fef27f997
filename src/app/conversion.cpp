#include "app/conversion.h"

#include <cmath>
#include <new>
#include <vector>

#include "app/messages.h"
#include "app/piece_writer.h"
#include "app/progress.h"
#include "convert/convert.h"
#include "convert/prepare.h"
#include "decoder/decoder.h"
#include "platform/platform.h"
#include "quality/fidelity.h"
#include "wav/wave_reader.h"

namespace korvane {
namespace {

// What a conversion built: the output bytes and what the report tells of them.
struct Built {
  Prepared prepared;    // the input as the encoder reads it, when it was prepared
  OutputBuffer output;  // an encode's output
  std::uint64_t outputBytes = 0;
  WaveInfo wave;      // of an encode's input
  StreamInfo stream;  // of a decode's input
};

// A figure of a CSV row: two decimals, "inf" or "-inf", empty when there is none.
std::string csvNumber(double value) {
  if (std::isnan(value)) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

void printReport(Console& console, const Conversion& c, const Built& built) {
  const bool decode = c.command.action == Action::decode;
  const StreamInfo stream =
      decode ? built.stream
             : StreamInfo{c.command.format, built.wave.sampleCount, built.wave.sampleRate};
  const auto bytes = static_cast<unsigned long long>(built.outputBytes);
  const unsigned bits = factsOf(stream.format).bitsPerSample;
  Fidelity fidelity;
  bool measured = false;
  DecodeCursor played;
  if (!decode && openStream(built.output.bytes, played) == DecodeError::none) {
    fidelity = measureFidelity(built.wave, played);
    measured = true;
  }
  if (c.options.reportCsv) {
    const double none = std::nan("");
    say(console, Stream::out, "%s,%s,%s,%u,%u,%llu,%u,%s,%s,%s\n", csvField(c.inputName).c_str(),
        csvField(c.outputName).c_str(), factsOf(stream.format).name, stream.sampleCount,
        stream.sampleRate, bytes, bits, csvNumber(measured ? snrDb(fidelity) : none).c_str(),
        csvNumber(measured ? noiseDbfs(fidelity) : none).c_str(),
        csvNumber(measured ? segmentalSnrDb(fidelity) : none).c_str());
  } else if (decode) {
    const double seconds =
        stream.sampleRate == 0 ? 0.0 : static_cast<double>(stream.sampleCount) / stream.sampleRate;
    say(console, Stream::out, "%s -> %s : %s, %u samples, %u Hz, %.3f s\n", c.inputName.c_str(),
        c.outputName.c_str(), factsOf(stream.format).name, stream.sampleCount, stream.sampleRate,
        seconds);
  } else {
    say(console, Stream::out, "%s -> %s : %u samples, %u Hz, %llu bytes, %u bits per sample, ",
        c.inputName.c_str(), c.outputName.c_str(), stream.sampleCount, stream.sampleRate, bytes,
        bits);
    if (measured) {
      say(console, Stream::out, "SNR %.2f dB, noise %.2f dBFS\n", snrDb(fidelity),
          noiseDbfs(fidelity));
    } else {
      say(console, Stream::out, "SNR not measured\n");
    }
  }
}

// The line that names the option reading a file the exact reader refused.
void printTolerableHint(Console& console, const Tolerable& t) {
  using Cause = Tolerable::Cause;
  switch (t.cause) {
    case Cause::channels:
      say(console, Stream::err,
          "korvane: %u channels; --rate=8000 mixes them to mono and converts the file\n", t.count);
      break;
    case Cause::floats:
      say(console, Stream::err,
          "korvane: %u-bit float samples; --rate=8000 reads them and converts the file\n", t.count);
      break;
    case Cause::chunkOrder:
      say(console, Stream::err,
          "korvane: chunks in another order; --rate=8000 reads them and converts the file\n");
      break;
    case Cause::unreadable:
      break;
  }
}

// Encodes into out, showing progress on a terminal when a search runs for long.
void encodeWithProgress(Console& console, const Conversion& c, const WaveInfo& wave,
                        std::span<std::uint8_t> out) {
  const int level = c.options.searchLevel;
  const Format format = c.command.format;
  if (!isSearched(format, level) || !console.showProgress) {
    encodeStreamInto(format, wave, out, level, nullptr, c.options.preparation.threads);
    return;
  }
  EncodeProgress progress;
  ProgressDisplay display(console.err, "searching", progress, wave.sampleCount);
  encodeStreamInto(format, wave, out, level, &progress);
}

// A decode is written as it is played, a piece at a time: no buffer holds the
// whole file, and with a second thread the writing overlaps the playing.
int playAndWrite(Console& console, const Conversion& c, std::span<const std::uint8_t> file,
                 OutputFile& output, Built& built) {
  DecodeCursor cursor;
  if (const DecodeError error = openStream(file, cursor); error != DecodeError::none) {
    return reportFailure(console, failureOf(error), c.inputName);
  }
  built.stream = cursor.info;
  built.outputBytes = decodedWaveLength(cursor.info.sampleCount);
  constexpr std::size_t kPieceBytes = 256 * kCodePiece;  // 128 pieces of samples, 1 MiB
  std::vector<std::uint8_t> buffers(2 * kPieceBytes);
  PieceWriter writer(output, c.options.preparation.threads > 1);
  const auto start = waveStart(cursor);
  bool ok = writer.put(start);
  for (std::size_t k = 0; ok; k ^= 1) {
    const std::span<std::uint8_t> piece = std::span(buffers).subspan(k * kPieceBytes, kPieceBytes);
    const std::size_t n = nextWaveBytes(cursor, piece);
    if (n == 0) break;
    ok = writer.put(piece.first(n));
  }
  if (!(ok && writer.finish())) return reportFailure(console, Failure::cannotWrite, c.outputName);
  return 0;
}

int build(Console& console, const Conversion& c, std::span<const std::uint8_t> file, Built& built) {
  if (c.options.prepare) {
    bool tooLong = false;
    const WaveError error = prepareInput(file, c.options.preparation, built.prepared, tooLong);
    if (error != WaveError::none) return reportFailure(console, failureOf(error), c.inputName);
    if (tooLong) return reportFailure(console, Failure::tooLong, c.inputName);
    if (built.prepared.clipped > 0) {
      say(console, Stream::err, "korvane: %s: %llu samples clipped at full scale\n",
          c.inputName.c_str(), static_cast<unsigned long long>(built.prepared.clipped));
    }
    file = built.prepared.wave;
  }
  if (const WaveError error = readWaveInfo(file, built.wave); error != WaveError::none) {
    const int code = reportFailure(console, failureOf(error), c.inputName);
    printTolerableHint(console, tolerableCause(file));
    return code;
  }
  if (!headerHoldsRate(built.wave.sampleRate)) {
    const int code = reportFailure(console, Failure::rateNotSupported, c.inputName);
    say(console, Stream::err, "korvane: %u Hz; --rate=8000 resamples it and converts the file\n",
        built.wave.sampleRate);
    return code;
  }
  allocateOutput(static_cast<std::size_t>(streamLength(c.command.format, built.wave.sampleCount)),
                 built.output);
  built.outputBytes = built.output.bytes.size();
  encodeWithProgress(console, c, built.wave, built.output.bytes);
  return 0;
}

// Input opened, output created: load, build, write, and report once written.
int loadBuildWrite(Console& console, const Conversion& c, InputFile& input, OutputFile& output) {
  LoadedInput loaded;
  if (!loadInput(input, loaded)) return reportFailure(console, Failure::cannotRead, c.inputName);
  Built built;
  try {
    if (c.command.action == Action::decode) {
      if (const int code = playAndWrite(console, c, loaded.bytes(), output, built); code != 0) {
        return code;
      }
    } else {
      if (const int code = build(console, c, loaded.bytes(), built); code != 0) return code;
      if (!writeOutput(output, built.output.bytes)) {
        return reportFailure(console, Failure::cannotWrite, c.outputName);
      }
    }
  } catch (const std::bad_alloc&) {
    return reportFailure(console, Failure::cannotWrite, c.outputName);
  }
  if (c.options.report) printReport(console, c, built);
  std::fflush(console.out);
  return 0;
}

}  // namespace

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char ch : text) {
    if (ch == '"') quoted += '"';
    quoted += ch;
  }
  return quoted + '"';
}

void printCsvHeader(Console& console) {
  say(console, Stream::out,
      "input,output,format,samples,sample_rate,bytes,bits_per_sample,snr_db,noise_dbfs,"
      "seg_snr_db\n");
}

int convertFile(Console& console, const Conversion& c) {
  InputFile input;
  if (!openInput(c.inputName, input)) {
    return reportFailure(console, Failure::cannotOpen, c.inputName);
  }
  OutputFile output;
  // An encode never replaces a recording; a decode writes WAV files.
  const bool refuseWave = c.command.action == Action::encode;
  Failure refused = Failure::cannotCreate;
  switch (createOutput(c.outputName, input.identity, refuseWave, output)) {
    case CreateResult::created: {
      const int code = loadBuildWrite(console, c, input, output);
      discardOutput(output);  // whatever did not finish leaves the old file as it was
      return code;
    }
    case CreateResult::isInput:
      refused = Failure::outputIsInput;
      break;
    case CreateResult::isWave:
      refused = Failure::outputIsWave;
      break;
    case CreateResult::failed:
      break;
  }
  closeInput(input);
  return reportFailure(console, refused, c.outputName, c.named);
}

}  // namespace korvane
