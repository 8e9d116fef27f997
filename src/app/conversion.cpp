#include "app/conversion.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

#include "app/messages.h"
#include "app/piece_writer.h"
#include "app/progress.h"
#include "app/report_rows.h"
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
  PreparedInput prepared;  // the input as the encoder reads it, when it is prepared
  OutputBuffer output;     // an encode's output
  std::uint64_t outputBytes = 0;
  WaveInfo wave;      // of an encode's input
  StreamInfo stream;  // of a decode's input
};

void printReport(Console& console, const Conversion& c, const Built& built,
                 const OutputFile& output) {
  const bool decode = c.command.action == Action::decode;
  const StreamInfo stream =
      decode ? built.stream
             : StreamInfo{c.command.format, built.wave.sampleCount, built.wave.sampleRate};
  const auto bytes = static_cast<unsigned long long>(built.outputBytes);
  const unsigned bits = factsOf(stream.format).bitsPerSample;
  Fidelity fidelity;
  bool measured = false;
  DecodeCursor played;
  // The stream as written: its buffer, the scratch file it was built in, or
  // the file it was streamed to, read again.
  ByteSource written = memorySource(built.output.bytes);
  if (const ByteSource staged = stagedStream(output); staged.size > 0) written = staged;
  InputBytes reread;
  InputFile file;
  if (!decode && written.size == 0 && openInput(c.outputName, file) &&
      readInput(file, reread, streamReadLimit) == InputRead::read) {
    written = reread.source;
  }
  if (!decode && openStream(written, played) == DecodeError::none) {
    fidelity = measureFidelity(built.wave, played);
    measured = true;
  }
  ReportRow row;
  row.input = c.inputName;
  row.output = c.outputName;
  row.format = factsOf(stream.format).name;
  row.samples = stream.sampleCount;
  row.sampleRate = stream.sampleRate;
  row.bytes = bytes;
  row.bitsPerSample = bits;
  row.played = decode;
  if (measured) {
    row.snrDb = snrDb(fidelity);
    row.noiseDbfs = noiseDbfs(fidelity);
    row.segmentalSnrDb = segmentalSnrDb(fidelity);
  }
  const bool trimmed = c.options.trimColumns;
  if (trimmed && !decode) {
    row.trimmedStart = built.prepared.trimmedStart();
    row.trimmedEnd = built.prepared.trimmedEnd();
  }
  if (c.options.reportRows()) {
    printRow(console, c.options.report, row, {trimmed});
  } else {
    printReportLine(console, row);
  }
}

// The line that names the option reading a file the exact reader refused.
void printTolerableHint(Console& console, const std::string& name, const Tolerable& t) {
  using Cause = Tolerable::Cause;
  // --rate at the input's own rate reads it as it is.
  const std::uint32_t rate = t.rate >= 1000 && t.rate <= 131070 ? t.rate : 8000;
  const char* coding = t.tag == 7   ? "mu-law (G.711) samples"
                       : t.tag == 6 ? "A-law (G.711) samples"
                       : t.tag == 2 ? "Microsoft ADPCM samples"
                                    : "IMA ADPCM samples";
  switch (t.cause) {
    case Cause::channels:
      say(console, Stream::err,
          "korvane: %s: %u channels; --rate=%u mixes them to mono and converts the file\n",
          name.c_str(), t.count, rate);
      break;
    case Cause::floats:
      say(console, Stream::err,
          "korvane: %s: %u-bit float samples; --rate=%u reads them and converts the file\n",
          name.c_str(), t.count, rate);
      break;
    case Cause::coding:
      say(console, Stream::err, "korvane: %s: %s; --rate=%u reads them and converts the file\n",
          name.c_str(), coding, rate);
      break;
    case Cause::rf64:
      say(console, Stream::err,
          "korvane: %s: an RF64 file; --rate=%u reads it and converts the file\n", name.c_str(),
          rate);
      break;
    case Cause::chunkOrder:
      say(console, Stream::err,
          "korvane: %s: chunks in another order; --rate=%u reads them and converts the file\n",
          name.c_str(), rate);
      break;
    case Cause::oddChunk:
      say(console, Stream::err,
          "korvane: %s: an odd-sized chunk before the data; --rate=%u reads it and converts the "
          "file\n",
          name.c_str(), rate);
      break;
    case Cause::foreign:
      if (t.tag == 0x50 || t.tag == 0x55) {
        say(console, Stream::err,
            "korvane: %s: MPEG audio in a .wav name; convert it to PCM first, e.g. with sox or "
            "ffmpeg\n",
            name.c_str());
      } else {
        say(console, Stream::err,
            "korvane: %s: format tag 0x%04X, which nothing here reads; convert it to PCM first, "
            "e.g. with sox or ffmpeg\n",
            name.c_str(), t.tag);
      }
      break;
    case Cause::unreadable:
      break;
  }
}

// Encodes to sink, showing progress on a terminal when a search runs for long.
void encodeWithProgress(Console& console, const Conversion& c, const WaveInfo& wave,
                        const ByteSink& sink) {
  const int level = c.options.searchLevel;
  const Format format = c.command.format;
  if (!isSearched(format, level) || !console.showProgress) {
    (void)encodeStreamTo(format, wave, sink, level, nullptr, c.options.preparation.threads);
    return;
  }
  EncodeProgress progress;
  ProgressDisplay display(console.err, "searching", progress, wave.sampleCount);
  (void)encodeStreamTo(format, wave, sink, level, &progress);
}

// The new file of an output, written at offsets as the coders make the
// stream; the first failure is kept.
struct FileSink {
  OutputFile& output;
  std::atomic<bool> failed{false};

  static bool write(void* context, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    auto& sink = *static_cast<FileSink*>(context);
    if (sink.failed.load() || !writeOutputAt(sink.output, offset, bytes)) {
      sink.failed.store(true);
      return false;
    }
    return true;
  }
};

// Encodes the wave and writes the output: a new file is written as the
// stream is made, in pieces, so no buffer holds the whole output; a file
// rewritten in place or a device gets the stream once it is built, from a
// scratch file (or, where none can be made, from memory).
int encodeAndWrite(Console& console, const Conversion& c, const InputBytes& input,
                   OutputFile& output, Built& built) {
  built.outputBytes = streamLength(c.command.format, built.wave.sampleCount);
  bool written = true;
  const bool staged = stageOutput(output);
  if (staged) {
    FileSink file{output};
    encodeWithProgress(console, c, built.wave, {&file, FileSink::write});
    written = !file.failed.load();
  } else {
    allocateOutput(static_cast<std::size_t>(built.outputBytes), built.output);
    std::span<std::uint8_t> all = built.output.bytes;
    encodeWithProgress(console, c, built.wave, memorySink(all));
  }
  // A file that shrank or failed while it was read is a read failure, whatever came of it.
  if (input.failed.load()) return reportFailure(console, Failure::cannotRead, c.inputName);
  if (built.prepared.clipped() > 0 && !c.options.quiet) {
    say(console, Stream::err, "korvane: %s: %llu samples clipped at full scale\n",
        c.inputName.c_str(), static_cast<unsigned long long>(built.prepared.clipped()));
  }
  written = written && (staged ? finishOutput(output) : writeOutput(output, built.output.bytes));
  return written ? 0 : reportFailure(console, Failure::cannotWrite, c.outputName);
}

// Whether the file name holds exactly the decode of input: decoded again a
// piece at a time and compared, nothing written.
bool holdsTheDecode(const std::string& name, const ByteSource& input) {
  InputFile file;
  if (!openInput(name, file)) return false;
  InputBytes existing;
  if (readInput(file, existing, [](const ByteSource&) { return ReadLimit{}; }) != InputRead::read) {
    return false;
  }
  DecodeCursor cursor;
  if (openStream(input, cursor) != DecodeError::none ||
      existing.source.size != decodedWaveLength(cursor.info.sampleCount)) {
    return false;
  }
  const auto start = waveStart(cursor);
  std::vector<std::uint8_t> mine(32 * kCodePiece);
  std::vector<std::uint8_t> theirs(mine.size());
  std::uint64_t at = 0;
  for (std::span<const std::uint8_t> piece = start; !piece.empty();) {
    const std::span<std::uint8_t> held = std::span(theirs).first(piece.size());
    if (!readBytes(existing.source, at, held) ||
        !std::equal(piece.begin(), piece.end(), held.begin())) {
      return false;
    }
    at += piece.size();
    piece = std::span(mine).first(nextWaveBytes(cursor, mine));
  }
  return !existing.failed.load();
}

// A decode is written as it is played, a piece at a time: no buffer holds the
// whole file, and with a second thread the writing overlaps the playing.
int playAndWrite(Console& console, const Conversion& c, const InputBytes& input, OutputFile& output,
                 Built& built) {
  DecodeCursor cursor;
  if (const DecodeError error = openStream(input.source, cursor); error != DecodeError::none) {
    return reportFailure(console, failureOf(error), c.inputName);
  }
  built.stream = cursor.info;
  built.outputBytes = decodedWaveLength(cursor.info.sampleCount);
  // Two pieces of 128 KiB in turn: small enough to stay in the caches, and
  // fresh memory (whose first touch is costly on some machines) kept small.
  constexpr std::size_t kPieceBytes = 32 * kCodePiece;
  const auto buffers = std::make_unique_for_overwrite<std::uint8_t[]>(2 * kPieceBytes);
  PieceWriter writer(output, c.options.preparation.threads > 1);
  const auto start = waveStart(cursor);
  bool ok = writer.put(start);
  for (std::size_t k = 0; ok; k ^= 1) {
    const std::span<std::uint8_t> piece(buffers.get() + k * kPieceBytes, kPieceBytes);
    const std::size_t n = nextWaveBytes(cursor, piece);
    if (n == 0) break;
    ok = writer.put(piece.first(n));
  }
  // A file that shrank or failed while it was read is a read failure, and
  // the new file is dropped, not put in place.
  if (input.failed.load()) return reportFailure(console, Failure::cannotRead, c.inputName);
  if (!(ok && writer.finish())) return reportFailure(console, Failure::cannotWrite, c.outputName);
  return 0;
}

// Reads the header (through the preparation, where asked) and checks it.
int build(Console& console, const Conversion& c, const ByteSource& file, Built& built) {
  ByteSource source = file;
  if (c.options.prepare) {
    const WaveError error = built.prepared.open(file, c.options.preparation);
    if (error != WaveError::none) {
      const int code = reportFailure(console, failureOf(error), c.inputName);
      const Tolerable cause = tolerableCause(file);
      if (cause.cause == Tolerable::Cause::foreign) printTolerableHint(console, c.inputName, cause);
      return code;
    }
    if (built.prepared.tooLong()) return reportFailure(console, Failure::tooLong, c.inputName);
    source = built.prepared.source();
  }
  if (const WaveError error = readWaveInfo(source, built.wave); error != WaveError::none) {
    const int code = reportFailure(console, failureOf(error), c.inputName);
    printTolerableHint(console, c.inputName, tolerableCause(file));
    return code;
  }
  if (!headerHoldsRate(built.wave.sampleRate)) {
    const int code = reportFailure(console, Failure::rateNotSupported, c.inputName);
    if (built.wave.sampleRate == 0) return code;  // nothing to resample from
    say(console, Stream::err,
        "korvane: %s: %u Hz; --rate=8000 resamples it and converts the file\n", c.inputName.c_str(),
        built.wave.sampleRate);
    return code;
  }
  return 0;
}

// Input opened, output created: load, build, write, and report once written.
int loadBuildWrite(Console& console, const Conversion& c, InputFile& input, OutputFile& output) {
  InputBytes bytes;  // read by the report too
  Built built;
  try {
    const bool decode = c.command.action == Action::decode;
    const bool tolerant = c.options.prepare;
    const InputRead read = readInput(input, bytes, [&](const ByteSource& arrived) {
      return decode ? streamReadLimit(arrived) : waveReadLimit(arrived, tolerant);
    });
    if (read != InputRead::read) {
      return reportFailure(console,
                           read == InputRead::tooLong ? Failure::tooLong : Failure::cannotRead,
                           c.inputName);
    }
    // A decode to a derived name never replaces a file that is not its own
    // earlier decode (the recording the device file was made from, say).
    if (decode && !c.named && identityOfName(c.outputName).known &&
        !holdsTheDecode(c.outputName, bytes.source)) {
      return reportFailure(console, Failure::notOwnDecode, c.outputName);
    }
    if (decode) {
      if (const int code = playAndWrite(console, c, bytes, output, built); code != 0) return code;
    } else {
      int code = build(console, c, bytes.source, built);
      if (bytes.failed.load()) return reportFailure(console, Failure::cannotRead, c.inputName);
      if (code == 0) code = encodeAndWrite(console, c, bytes, output, built);
      if (code != 0) return code;
    }
  } catch (const std::bad_alloc&) {
    return reportFailure(console, Failure::cannotWrite, c.outputName);
  }
  if (c.options.report != ReportForm::none) printReport(console, c, built, output);
  std::fflush(console.out);
  return 0;
}

}  // namespace

namespace {

int openAndConvert(Console& console, const Conversion& c) {
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

}  // namespace

int convertFile(Console& console, const Conversion& c) {
  console.status.clear();
  const int code = openAndConvert(console, c);
  // A report in rows has one for a failed input too, naming what failed.
  if (code != 0 && c.options.reportRows()) {
    ReportRow row;
    row.input = c.inputName;
    row.output = c.outputName;
    if (c.command.action == Action::encode) row.format = factsOf(c.command.format).name;
    row.status = console.status;
    printRow(console, c.options.report, row, {c.options.trimColumns});
  }
  return code;
}

}  // namespace korvane
