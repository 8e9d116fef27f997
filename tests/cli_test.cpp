// The program as a user runs it: messages byte for byte, exit codes, which
// files exist afterwards, and the key wait.
#include <cstdlib>
#include <set>

#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/messages.h"
#include "app/run.h"
#include "convert/convert.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runInProcess;
using test::runProgram;
using test::TempDir;
using test::writeFile;

using test::kUsage;

Bytes expectedStream(Format format, const Bytes& wav) {
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(wav, wave), WaveError::none);
  return encodeStream(format, wave);
}

TEST(Cli, UsageWithTooFewArguments) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-E4"}, {"-x"}, {"anything"}}) {
    const test::RunResult r = runProgram(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(runInProcess(args).keyWaits, 1);
  }
}

// The key wait is for a console window opened for the program alone: it
// waits when it leads its terminal's session, never under a shell or make.
TEST(Cli, KeyWaitOnlyOnATerminalOfItsOwn) {
  if (!test::kPlatform.terminal) GTEST_SKIP() << "no pseudo-terminal here";
  for (const bool leader : {true, false}) {
    // qemu-user answers the terminal's session query with 0: no leader there.
    if (leader && test::kEmulated) continue;
    SCOPED_TRACE(leader ? "leader" : "under a shell");
    const test::TerminalRun run = test::runOnTerminal(leader);
    ASSERT_TRUE(run.supported);
    EXPECT_EQ(run.waitedForKey, leader);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.shown.find("PCM8"), std::string::npos);
    EXPECT_EQ(run.shown.find('x'), std::string::npos);  // no echo
  }
}

TEST(Cli, EncodesEveryFormatWithGivenAndDerivedNames) {
  TempDir dir;
  const Bytes wav = readFile(KORVANE_EXAMPLE);
  writeFile(dir / "voice.wav", wav);
  for (const Command& command : kCommands) {
    if (command.action != Action::encode) continue;
    SCOPED_TRACE(command.name);
    const Bytes expected = expectedStream(command.format, wav);
    const test::RunResult named = runProgram({command.name, "voice.wav", "named.out"}, {dir.path});
    EXPECT_EQ(named.exitCode, 0);
    EXPECT_EQ(named.out, "");
    EXPECT_EQ(readFile(dir / "named.out"), expected);

    std::string lower = command.name;
    for (char& c : lower)
      c = static_cast<char>(std::tolower(c));
    const test::RunResult derived = runProgram({lower, "voice.wav"}, {dir.path});
    EXPECT_EQ(derived.exitCode, 0);
    EXPECT_EQ(readFile(dir / (std::string("voice") + command.extension)), expected);
  }
  EXPECT_EQ(readFile(dir / "voice.wav"), wav);
  // The three PCM switches share one derived name; the last run wrote it.
  EXPECT_EQ(readFile(dir / "voice.PCM"), expectedStream(Format::pcm8, wav));
}

TEST(Cli, ArgumentsAfterTheThirdAreIgnored) {
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16({1, 2, 3}));
  const test::RunResult r = runProgram({"-E16", "a.wav", "b.pcm", "c.pcm", "-E4"}, {dir.path});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(fs::exists(dir / "b.pcm"));
  EXPECT_FALSE(fs::exists(dir / "c.pcm"));
}

TEST(Cli, DerivedNames) {
  const struct {
    const char* input;
    const char* extension;
    const char* output;
  } cases[] = {
      {"voice.wav", ".AD3", "voice.AD3"},           {"voice", ".PCM", "voice.PCM"},
      {"take.1.wav", ".WFM", "take.1.WFM"},         {"..\\voice", ".AD4", "..\\voice.AD4"},
      {"dir.v2/voice", ".AD4", "dir.v2/voice.AD4"}, {"dir.v2\\voice", ".AD2", "dir.v2\\voice.AD2"},
      {"a/b.c/d.wav", ".AD2", "a/b.c/d.AD2"},       {"voice.", ".AD4", "voice.AD4"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(deriveOutputName(c.input, c.extension), c.output) << c.input;
}

struct HeaderFailure {
  const char* name;
  Bytes file;
  const char* message;
};

// A rejected input makes no output, and leaves an earlier one as it was.
TEST(Cli, HeaderFailuresLeaveNoOutput) {
  Bytes noData = test::makeWave16({1});
  noData[36] = 'D';
  Bytes stereo = test::makeWave16({1});
  stereo[22] = 2;
  Bytes floating = test::makeWave16({1});
  floating[20] = 3;
  Bytes bits = test::makeWave16({1});
  bits[34] = 0;
  const HeaderFailure cases[] = {
      {"notriff", {'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, " : is not RIFF format!\n"},
      {"short", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A'}, " : is not WAVE format!\n"},
      {"float", floating, " : is not PCM format!\n"},
      {"stereo", stereo, " : is not mono format!\n"},
      {"bits", bits, " : bits per sample not supported!\n"},
      {"nodata", noData, " : has no data chunk!\n"},
      {"empty", test::makeWave({}, 16, 8000), " : has no samples!\n"},
  };
  TempDir dir;
  for (const HeaderFailure& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = std::string(c.name) + ".wav";
    writeFile(dir / input, c.file);
    const test::RunResult r = runProgram({"-E4", input}, {dir.path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, input + c.message);
    const fs::path output = dir / (std::string(c.name) + ".AD4");
    EXPECT_FALSE(fs::exists(output));
    writeFile(output, {1, 2, 3});
    EXPECT_EQ(runInProcess({"-E4", (dir / input).string()}).keyWaits, 0);
    EXPECT_EQ(readFile(output), (Bytes{1, 2, 3}));
  }
}

TEST(Cli, InputThatCannotBeOpenedCreatesNothing) {
  TempDir dir;
  const test::RunResult r = runProgram({"-E4", "missing.wav", "out.ad4"}, {dir.path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Can not open File : missing.wav !!\n");
  EXPECT_FALSE(fs::exists(dir / "out.ad4"));
  EXPECT_TRUE(fs::is_empty(dir.path));
  EXPECT_EQ(runInProcess({"-E4", (dir / "missing.wav").string()}).keyWaits, 1);
}

TEST(Cli, InputThatCannotBeRead) {
  TempDir dir;
  fs::create_directory(dir / "folder.wav");
  const test::RunResult r = runProgram({"-E4", "folder.wav", "out.ad4"}, {dir.path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "Can not read File : folder.wav !!\n");
}

TEST(Cli, OutputThatCannotBeCreated) {
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16({1, 2}));
  const test::RunResult named = runProgram({"-E4", "a.wav", "nodir/out.ad4"}, {dir.path});
  EXPECT_EQ(named.exitCode, 2);
  EXPECT_EQ(named.out, "Can not creat File : nodir/out.ad4 !!\n");
  EXPECT_EQ(runInProcess({"-E4", (dir / "a.wav").string(), (dir / "nodir/x").string()}).keyWaits,
            1);

  fs::create_directory(dir / "a.AD4");  // the derived name is taken by a folder
  const test::RunResult derived = runProgram({"-E4", "a.wav"}, {dir.path});
  EXPECT_EQ(derived.exitCode, 2);
  EXPECT_EQ(derived.out, "Can not creat File : a.AD4 !!\n");
  EXPECT_EQ(runInProcess({"-E4", (dir / "a.wav").string()}).keyWaits, 0);
}

TEST(Cli, OutputThatIsTheInputIsRefused) {
  TempDir dir;
  const Bytes wav = test::makeWave16(test::speechLikeSamples(500, 1));
  writeFile(dir / "voice.wav", wav);
  fs::create_hard_link(dir / "voice.wav", dir / "hard.wav");
  if (test::kPlatform.symlinks) fs::create_symlink("voice.wav", dir / "soft.wav");
  fs::create_directory(dir / "sub");
  const struct {
    std::vector<std::string> args;
    std::string shown;
    int keyWaits;
  } cases[] = {
      {{"-E4", "voice.wav", "voice.wav"}, "voice.wav", 1},
      {{"-E16", "voice.wav", "./voice.wav"}, "./voice.wav", 1},
      {{"-E16", "voice.wav", "sub/../voice.wav"}, "sub/../voice.wav", 1},
      {{"-E2", "voice.wav", "hard.wav"}, "hard.wav", 1},
      {{"-E1", "voice.wav", "soft.wav"}, "soft.wav", 1},
      {{"-E1", "soft.wav", "voice.wav"}, "voice.wav", 1},
  };
  for (const auto& c : cases) {
    if (!test::kPlatform.symlinks && fs::path(c.args[1]).stem() != fs::path(c.args[2]).stem() &&
        (c.args[1] == "soft.wav" || c.args[2] == "soft.wav")) {
      continue;  // no symbolic links here
    }
    const test::RunResult r = runProgram(c.args, {dir.path});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "Output is the input File : " + c.shown + " !!\n");
    EXPECT_EQ(readFile(dir / "voice.wav"), wav);
  }
  // A derived name can be the input too: voice.AD4 with -E4.
  writeFile(dir / "voice.AD4", wav);
  const test::RunResult derived = runProgram({"-e4", "voice.AD4"}, {dir.path});
  EXPECT_EQ(derived.exitCode, 2);
  EXPECT_EQ(derived.out, "Output is the input File : voice.AD4 !!\n");
  EXPECT_EQ(readFile(dir / "voice.AD4"), wav);
  EXPECT_EQ(runInProcess({"-E4", (dir / "voice.AD4").string()}).keyWaits, 0);
  EXPECT_EQ(
      runInProcess({"-E4", (dir / "voice.wav").string(), (dir / "hard.wav").string()}).keyWaits, 1);
  EXPECT_EQ(readFile(dir / "voice.wav"), wav);
}

TEST(Cli, UnknownSwitchIsAFailure) {
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16({1, 2}));
  for (const std::string sw : {"-E5", "-x", "E4", "-E4x"}) {
    const test::RunResult r = runProgram({sw, "a.wav", "out.bin"}, {dir.path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Unknown Command : " + sw + " !!\n" + kUsage);
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
  }
  EXPECT_EQ(runInProcess({"-q", (dir / "a.wav").string()}).keyWaits, 1);
  // Nothing is opened either: a missing input gets no open message.
  EXPECT_EQ(runProgram({"-q", "missing.wav"}, {dir.path}).out,
            "Unknown Command : -q !!\n" + kUsage);
}

TEST(Cli, FailedWriteIsReported) {
  if (!test::kPlatform.devFull) GTEST_SKIP() << "no /dev/full here";
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16(test::randomSamples(1000, 5)));
  const test::RunResult full = runProgram({"-E16", "a.wav", "/dev/full"}, {dir.path});
  EXPECT_EQ(full.exitCode, 2);
  EXPECT_EQ(full.out, "Can not write File : /dev/full !!\n");
  EXPECT_TRUE(fs::exists("/dev/full"));
}

// A write cut short leaves no new file, and an earlier output as it was.
TEST(Cli, OutputCutShortByTheFileSizeLimitIsRemoved) {
  if (!test::kPlatform.limits) GTEST_SKIP() << "no per-process file size limit here";
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16(test::randomSamples(4000, 6)));
  writeFile(dir / "old.pcm", Bytes(10, 0x55));
  ASSERT_EQ(runProgram({"-E4", "a.wav"}, {dir.path}).exitCode, 0);
  // The program is not ended by the limit's signal: the write fails, is
  // reported, and the new file is removed (a decode is written in pieces).
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-E16", "a.wav"},
                                               {"-E16", "a.wav", "old.pcm"},
                                               {"-D", "a.AD4", "d.wav"}}) {
    test::RunOptions options{dir.path, 1000};
    const test::RunResult r = runProgram(args, options);
    const std::string output = args.size() == 3 ? args[2] : "a.PCM";
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "Can not write File : " + output + " !!\n");
  }
  EXPECT_FALSE(fs::exists(dir / "a.PCM"));
  EXPECT_EQ(readFile(dir / "old.pcm"), Bytes(10, 0x55));
  EXPECT_EQ(test::folderNames(dir.path), (std::vector<std::string>{"a.AD4", "a.wav", "old.pcm"}));
  // Below the limit the same run succeeds.
  EXPECT_EQ(runProgram({"-E4", "a.wav", "b.AD4"}, {dir.path, 4000}).exitCode, 0);
}

TEST(Cli, LongFileNames) {
  TempDir dir;
  const std::string part(200, 'n');
  fs::create_directory(dir / (part + ".d"));
  const std::string input = part + ".d/" + part + ".take.wav";
  ASSERT_GT(input.size(), 259u);
  writeFile(dir / input, test::makeWave16({1, 2, 3}));
  const test::RunResult r = runProgram({"-E2", input}, {dir.path});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(fs::exists(dir / (part + ".d/" + part + ".take.AD2")));
}

// Names as users type them, in any script: UTF-8 on the command line and in
// messages, the same file on every platform.
TEST(Cli, NamesInAnyScript) {
  TempDir dir;
  const Bytes wav = test::makeWave16(test::speechLikeSamples(300, 9));
  const std::string name = "\u0433\u043e\u043b\u043e\u0441-\u58f0-\u03c6\u03c9\u03bd\u03ae";
  const auto path = [&](const std::string& suffix) {
    const std::string full = name + suffix;
    return dir.path / fs::path(std::u8string(full.begin(), full.end()));
  };
  writeFile(path(".wav"), wav);
  const test::RunResult r = runProgram({"-E4", name + ".wav", "--report"}, {dir.path});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind(name + ".wav -> " + name + ".AD4 : 300 samples", 0), 0u) << r.out;
  EXPECT_EQ(readFile(path(".AD4")), expectedStream(Format::adpcm4, wav));
  EXPECT_EQ(runProgram({"-D", name + ".AD4"}, {dir.path}).exitCode, 0);
  EXPECT_TRUE(fs::exists(path(".AD4.wav")));
}

TEST(Cli, StreamedDataSizeUsesThePresentSamples) {
  TempDir dir;
  Bytes wav = test::makeWave16({100, 200, 300});
  wav.push_back(0x7F);  // half a sample
  for (int i = 40; i < 44; ++i)
    wav[static_cast<std::size_t>(i)] = 0xFF;
  writeFile(dir / "s.wav", wav);
  EXPECT_EQ(runProgram({"-E16", "s.wav"}, {dir.path}).exitCode, 0);
  const Bytes out = readFile(dir / "s.PCM");
  EXPECT_EQ(out, expectedStream(Format::pcm16, wav));
  EXPECT_EQ(out.size(), 14u);
  EXPECT_EQ(out[2], 3);
}

// Every failure has one message with one %s, an exit code of 1 or 2, and
// every rejected header maps to the failure of its own cause.
TEST(Cli, FailureTableIsComplete) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < kFailureTexts.size(); ++i) {
    const FailureText& t = kFailureTexts[i];
    EXPECT_EQ(static_cast<std::size_t>(t.failure), i);
    const std::string format = t.format;
    EXPECT_EQ(format.find("%s"), format.rfind("%s")) << format;
    EXPECT_NE(format.find("%s"), std::string::npos) << format;
    EXPECT_EQ(format.back(), '\n');
    EXPECT_TRUE(t.exitCode == 1 || t.exitCode == 2);
    EXPECT_TRUE(seen.insert(format).second) << "two causes share " << format;
  }
  const std::pair<WaveError, Failure> mapping[] = {
      {WaveError::notRiff, Failure::notRiff},
      {WaveError::notWave, Failure::notWave},
      {WaveError::notPcm, Failure::notPcm},
      {WaveError::notMono, Failure::notMono},
      {WaveError::bitsNotSupported, Failure::bitsNotSupported},
      {WaveError::noDataChunk, Failure::noDataChunk},
      {WaveError::noSamples, Failure::noSamples},
  };
  for (const auto& [error, failure] : mapping)
    EXPECT_EQ(failureOf(error), failure);
}

}  // namespace
}  // namespace korvane
