// Inputs that are no files on disk, and recordings longer than memory: a
// pipe or device is judged by its first bytes and read no further than its
// header allows, and gives what a file of the bytes read gives; every mode
// runs on a multi-gigabyte recording in a small address space.
#include <gtest/gtest.h>

#include <optional>

#include "decoder/decoder.h"
#include "format/stream.h"
#include "platform/platform.h"
#include "resample/resample.h"
#include "support.h"
#include "wav/any_wave.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::concat;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

Bytes le16Bytes(const std::vector<std::int32_t>& samples) {
  Bytes out;
  for (const std::int32_t s : samples)
    test::putLe16(out, static_cast<std::uint32_t>(s) & 0xFFFF);
  return out;
}

// What the judges of a stream input make of the bytes that have arrived.
TEST(StreamInputs, ReadLimitsFromTheFirstBytes) {
  using Kind = ReadLimit::Kind;
  // A header and the first samples: the readers take in 60 bytes at once.
  const auto header = [](std::uint16_t tag, std::uint16_t channels, std::uint32_t dataBytes) {
    return concat(test::waveHeader(tag, channels, 16, 8000, dataBytes), Bytes(16, 0));
  };
  const Bytes mono = header(1, 1, 1000);
  const Bytes stereo = header(1, 2, 1000);
  const auto device = [](std::uint8_t code, std::uint32_t count) {
    Bytes out = {0, code};
    test::putLe32(out, count);
    test::putLe16(out, 4000);
    return out;
  };
  const struct {
    const char* name;
    Bytes arrived;
    bool played, tolerant;
    ReadLimit want;
  } cases[] = {
      {"RIFF cut", {'R', 'I', 'F'}, false, false, {Kind::readOn}},
      {"not RIFF", {'R', 'I', 'F', 'X'}, false, false, {Kind::refused}},
      {"header cut", Bytes(mono.begin(), mono.begin() + 50), false, false, {Kind::readOn}},
      {"whole header", mono, false, false, {Kind::upTo, 1044}},
      {"open-ended data",
       header(1, 1, 0xFFFFFFFF),
       false,
       false,
       {Kind::upTo, 44 + std::uint64_t{0xFFFFFFFF}, true}},
      {"not PCM", header(7, 1, 1000), false, false, {Kind::refused}},
      {"stereo, a frame to say why", stereo, false, false, {Kind::upTo, 48}},
      {"stereo, tolerant", stereo, false, true, {Kind::upTo, 1044}},
      {"nothing yet", {}, true, false, {Kind::readOn}},
      {"no device file", {1}, true, false, {Kind::refused}},
      {"device header cut", {0, 4, 0}, true, false, {Kind::readOn}},
      {"unknown code", device(9, 1000), true, false, {Kind::refused}},
      {"AD4", device(4, 1000), true, false, {Kind::upTo, streamLength(Format::adpcm4, 1000) + 1}},
      {"code 5: the longer of PCM12 and PCM8",
       device(5, 1000),
       true,
       false,
       {Kind::upTo, streamLength(Format::pcm12, 1000) + 1}},
      {"more samples than WAV holds", device(4, 0xFFFFFFFF), true, false, {Kind::tooLong}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteSource arrived = memorySource(c.arrived);
    const ReadLimit got = c.played ? streamReadLimit(arrived) : waveReadLimit(arrived, c.tolerant);
    EXPECT_EQ(got.kind, c.want.kind);
    EXPECT_EQ(got.length, c.want.length);
    EXPECT_EQ(got.pastIsTooLong, c.want.pastIsTooLong);
  }
}

// A stream input (a device, or a pipe fed head and then loop forever) and a
// file of the bytes korvane should take from it: run alike, they print the
// same, exit alike and write the same output (to a pipe, where asked).
TEST(StreamInputs, GiveWhatAFileOfTheBytesReadGives) {
  if (!test::kPlatform.fifos) GTEST_SKIP() << "no named pipes or /dev/zero here";
  const Bytes speech = le16Bytes(test::speechLikeSamples(1000, 5));
  const Bytes mono = test::makeWave16(test::speechLikeSamples(1000, 5));
  const Bytes stereoHead = test::waveHeader(1, 2, 16, 44100, 4000);
  // Past what is held in memory, so that it goes through a scratch file.
  const std::size_t frames = kHeldInMemory / 4 + 5000;
  const Bytes longSpeech = le16Bytes(test::speechLikeSamples(2 * frames, 9));
  const Bytes longStereo = concat(
      test::waveHeader(1, 2, 16, 48000, static_cast<std::uint32_t>(longSpeech.size())), longSpeech);
  TempDir made;
  writeFile(made / "in.wav", mono);
  ASSERT_EQ(runProgram({"-E4", "in.wav"}, {made.path}).exitCode, 0);
  const Bytes encoded = readFile(made / "in.AD4");

  const struct {
    const char* name;
    const char* device;  // read from this device, else from a pipe
    Bytes head, loop;
    std::vector<std::string> args;  // the input is in.wav, the output out.bin
    Bytes file;                     // what a file gives the same result for
    bool outputPipe = false;
  } cases[] = {
      {"zeros", "/dev/zero", {}, {}, {"-E4"}, Bytes(4, 0)},
      {"random bytes", "/dev/urandom", {}, {}, {"-E4"}, {'n', 'o', 'p', 'e'}},
      {"zeros played", "/dev/zero", {}, {}, {"-D"}, Bytes(16, 0)},
      {"text forever", nullptr, {}, {'t', 'e', 'x', 't'}, {"-E4"}, {'t', 'e', 'x', 't'}},
      {"stereo forever", nullptr, stereoHead, {1, 2}, {"-E4"}, concat(stereoHead, {1, 2, 1, 2})},
      {"data chunk ends", nullptr, mono, speech, {"-E4"}, mono},
      {"data chunk ends, resampled",
       nullptr,
       concat(stereoHead, Bytes(4000, 7)),
       {9},
       {"-E4", "--rate=8000"},
       concat(stereoHead, Bytes(4000, 7))},
      {"searched", nullptr, mono, {}, {"-E2", "--search"}, mono},
      {"reported", nullptr, mono, {}, {"-E3", "--report"}, mono},
      {"played with padding", nullptr, encoded, {0}, {"-D"}, encoded},
      {"held in a scratch file", nullptr, longStereo, {}, {"-E2", "--rate=8000"}, longStereo},
      {"to a pipe", nullptr, mono, {}, {"-E1"}, mono, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir streamed;
    TempDir file;
    std::optional<test::Fifo> input;
    if (c.device != nullptr) {
      fs::create_symlink(c.device, streamed / "in.wav");
    } else {
      input.emplace(streamed / "in.wav", c.head, c.loop);
    }
    std::optional<test::Fifo> output;
    if (c.outputPipe) output.emplace(streamed / "out.bin");
    writeFile(file / "in.wav", c.file);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"in.wav", "out.bin"});
    test::RunOptions run{streamed.path};
    run.signal = 9;  // a run that would not end is stopped, and fails
    run.signalAfterMs = 60000;
    const test::RunResult got = runProgram(args, run);
    const test::RunResult want = runProgram(args, {file.path});
    EXPECT_EQ(got.exitCode, want.exitCode);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.err, want.err);
    const auto outputOf = [](const fs::path& name) {
      return fs::exists(name) ? readFile(name) : Bytes{};
    };
    EXPECT_EQ(output ? output->drained() : outputOf(streamed / "out.bin"),
              outputOf(file / "out.bin"));
  }
}

// The address space of each run is far smaller than the recording (past 2
// GiB, so that offsets need 64 bits), and every mode finishes.
TEST(BoundedMemory, EveryModeRunsOnARecordingLongerThanMemory) {
  if (!test::kPlatform.limits) GTEST_SKIP() << "no per-process address space limit here";
  if (test::kSanitized || test::kEmulated) {
    GTEST_SKIP() << "the sanitizers and the emulator take address space of their own";
  }
  TempDir dir;
  // Mono 32-bit at 8 kHz: 18.6 hours; eight float channels at 48 kHz: 7 minutes.
  const std::uint32_t longBytes = (std::uint32_t{1} << 31) + 4096;
  const std::uint32_t wideBytes = 640'000'000;
  const Bytes wideHead = test::waveHeader(3, 8, 32, 48000, wideBytes);
  test::writeSparse(dir / "long.wav", test::waveHeader(1, 1, 32, 8000, longBytes), longBytes);
  test::writeSparse(dir / "wide.wav", wideHead, wideBytes);
  const std::uint64_t n = longBytes / 4;
  const std::uint64_t resampled = resampledLength(wideBytes / 32, 48000, 8000);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  test::RunOptions run{dir.path};
  run.addressLimit = (std::uint64_t{64} + 16 * cores) << 20;
  ASSERT_LT(run.addressLimit, wideBytes / 2);

  const struct {
    std::vector<std::string> args;
    std::uint64_t bytes;  // of the output, out.bin
  } cases[] = {
      {{"-E4", "long.wav"}, streamLength(Format::adpcm4, n)},
      {{"-E3", "long.wav"}, streamLength(Format::adpcm3, n)},
      {{"-E2", "long.wav"}, streamLength(Format::adpcm2, n)},
      {{"-E1", "long.wav"}, streamLength(Format::wfm, n)},
      {{"-E16", "long.wav"}, streamLength(Format::pcm16, n)},
      {{"-E12", "long.wav"}, streamLength(Format::pcm12, n)},
      {{"-E8", "long.wav"}, streamLength(Format::pcm8, n)},
      {{"-E4", "wide.wav", "--rate=8000"}, streamLength(Format::adpcm4, resampled)},
      {{"-E2", "wide.wav", "--rate=8000", "--normalize"}, streamLength(Format::adpcm2, resampled)},
      {{"-E4", "wide.wav", "--rate=8000", "--search", "--report"},
       streamLength(Format::adpcm4, resampled)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = c.args;
    args.push_back("out.bin");
    EXPECT_EQ(runProgram(args, run).exitCode, 0);
    EXPECT_EQ(fs::file_size(dir / "out.bin"), c.bytes);
  }
  // The last output played; the wide recording through a pipe, kept in a
  // scratch file, gives the bytes the file gave.
  EXPECT_EQ(runProgram({"-D", "out.bin", "out.wav"}, run).exitCode, 0);
  EXPECT_EQ(fs::file_size(dir / "out.wav"),
            decodedWaveLength(static_cast<std::uint32_t>(resampled)));
  const Bytes searched = readFile(dir / "out.bin");
  {
    test::Fifo pipe(dir / "pipe.wav", wideHead, Bytes(std::size_t{1} << 16, 0));
    EXPECT_EQ(runProgram({"-E4", "pipe.wav", "--rate=8000", "--search", "out.bin"}, run).exitCode,
              0);
  }
  EXPECT_EQ(readFile(dir / "out.bin"), searched);
}

}  // namespace
}  // namespace korvane
