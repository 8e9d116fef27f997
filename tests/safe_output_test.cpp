// Outputs a build script can trust: an existing file is replaced only by a
// complete new one, nothing is left behind by a failed or interrupted run,
// an encode never overwrites a WAV file, and rates the header cannot hold
// are refused before anything is written.
#include <gtest/gtest.h>

#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::folderNames;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

using test::kSignals;

const Bytes kOldOutput = {0x00, 0x04, 0x01, 0x00, 0x00, 0x00, 0x40, 0x1F, 0x00, 0x80};

// A good output first, then a run to the same name that fails or is stopped:
// the old bytes stay and no other file appears.
TEST(SafeOutput, AFailedRunLeavesTheOldOutputAsItWas) {
  Bytes stereo = test::makeWave16({1, 2, 3});
  stereo[22] = 2;
  // Long enough that the search is still running when the signal comes.
  const Bytes long_ = test::makeWave16(test::speechLikeSamples(400000, 7));
  const struct {
    const char* name;
    Bytes input;
    std::vector<std::string> options;
    test::RunOptions run;
    int exitCode;
  } cases[] = {
      {"rejected input", stereo, {}, {}, 1},
      {"file size limit", long_, {}, {{}, 1000}, 2},
      {"SIGINT in a search",
       long_,
       {"--search=9"},
       {{}, 0, kSignals.interrupt, 300},
       128 + kSignals.interrupt},
      {"SIGTERM in a search",
       long_,
       {"--search=9"},
       {{}, 0, kSignals.terminate, 300},
       128 + kSignals.terminate},
      {"SIGHUP in a search",
       long_,
       {"--search=9"},
       {{}, 0, kSignals.hangUp, 300},
       128 + kSignals.hangUp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.exitCode >= 128 && !test::kPlatform.signals) ||
        (c.run.fileSizeLimit != 0 && !test::kPlatform.limits)) {
      continue;  // neither signals nor file size limits here
    }
    TempDir dir;
    writeFile(dir / "in.wav", c.input);
    writeFile(dir / "in.AD4", kOldOutput);
    std::vector<std::string> args = {"-E4", "in.wav"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    test::RunOptions run = c.run;
    run.workDir = dir.path;
    EXPECT_EQ(runProgram(args, run).exitCode, c.exitCode);
    EXPECT_EQ(readFile(dir / "in.AD4"), kOldOutput);
    EXPECT_EQ(folderNames(dir.path), (std::vector<std::string>{"in.AD4", "in.wav"}));
  }
}

// Where no new file can be made beside an existing output (here: no file
// descriptor is left for one), the output is rewritten in place: whether the
// old file was longer or shorter, encoded or decoded, it ends as the new
// output exactly, and nothing else appears.
TEST(SafeOutput, RewrittenInPlaceWhereNoNewFileCanBeMade) {
  if (!test::kPlatform.limits) GTEST_SKIP() << "no per-process limit of open files here";
  if (test::kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  TempDir dir;
  writeFile(dir / "in.wav", test::readFile(KORVANE_EXAMPLE));
  ASSERT_EQ(runProgram({"-E4", "in.wav", "in.AD4"}, {dir.path}).exitCode, 0);
  ASSERT_EQ(runProgram({"-D", "in.AD4", "ref.wav"}, {dir.path}).exitCode, 0);
  const Bytes encoded = readFile(dir / "in.AD4");
  const Bytes decoded = readFile(dir / "ref.wav");
  const struct {
    std::vector<std::string> args;
    const char* output;
    const Bytes& expected;
  } cases[] = {{{"-E4", "in.wav", "out.AD4"}, "out.AD4", encoded},
               {{"-D", "in.AD4", "out.wav"}, "out.wav", decoded}};
  for (const auto& c : cases) {
    for (const std::size_t oldLength : {std::size_t{10}, c.expected.size() * 3}) {
      SCOPED_TRACE(testing::Message() << c.output << " over " << oldLength << " bytes");
      writeFile(dir / c.output, Bytes(oldLength, 0x5A));
      test::RunOptions run{dir.path};
      run.openFileLimit = 5;  // the standard streams, the input and the output
      EXPECT_EQ(runProgram(c.args, run).exitCode, 0);
      EXPECT_EQ(readFile(dir / c.output), c.expected);
      for (const std::string& name : folderNames(dir.path))
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    }
  }
}

TEST(SafeOutput, ARejectedInputCreatesNothing) {
  TempDir dir;
  writeFile(dir / "notes.wav", {'h', 'e', 'l', 'l', 'o'});
  for (const std::string sw : {"-E4", "-E16", "-D"}) {
    EXPECT_EQ(runProgram({sw, "notes.wav"}, {dir.path}).exitCode, 1);
    EXPECT_EQ(runProgram({sw, "notes.wav", "named.out"}, {dir.path}).exitCode, 1);
    EXPECT_EQ(folderNames(dir.path), std::vector<std::string>{"notes.wav"});
  }
}

// The rule of a Makefile: a failed conversion must not leave a target that a
// second make takes as up to date.
TEST(SafeOutput, MakeRebuildsAfterAFailure) {
  if (std::system("command -v make >/dev/null 2>&1") != 0) GTEST_SKIP() << "make is not installed";
  TempDir dir;
  Bytes stereo = test::makeWave16({1, 2, 3});
  stereo[22] = 2;
  writeFile(dir / "p.wav", stereo);
  const std::string makefile = "%.AD4: %.wav\n\t" + test::kProgramCommand + " -E4 $< $@\n";
  writeFile(dir / "Makefile", Bytes(makefile.begin(), makefile.end()));
  const std::string make = "make -s -C " + dir.path.string() + " p.AD4 </dev/null >/dev/null 2>&1";
  for (int run = 0; run < 2; ++run) {
    EXPECT_NE(std::system(make.c_str()), 0) << "run " << run;
    EXPECT_FALSE(fs::exists(dir / "p.AD4"));
  }
  writeFile(dir / "p.wav", test::makeWave16({1, 2, 3}));
  EXPECT_EQ(std::system(make.c_str()), 0);
  EXPECT_TRUE(fs::exists(dir / "p.AD4"));
}

TEST(SafeOutput, AnEncodeNeverOverwritesAWavFile) {
  TempDir dir;
  const Bytes a = test::makeWave16(test::speechLikeSamples(300, 1));
  const Bytes b = test::makeWave16(test::speechLikeSamples(300, 2));
  writeFile(dir / "a.wav", a);
  writeFile(dir / "b.wav", b);
  writeFile(dir / "c.wav", b);
  // korvane -E4 *.wav: the second recording is the output name.
  const test::RunResult r = runProgram({"-E4", "a.wav", "b.wav", "c.wav"}, {dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "Output is a WAV File : b.wav !!\n");
  EXPECT_EQ(
      test::runInProcess({"-E4", (dir / "a.wav").string(), (dir / "b.wav").string()}).keyWaits, 1);
  // A derived name that holds a WAV file is refused too, without a key wait.
  writeFile(dir / "a.AD4", b);
  EXPECT_EQ(runProgram({"-E4", "a.wav"}, {dir.path}).out, "Output is a WAV File : a.AD4 !!\n");
  EXPECT_EQ(test::runInProcess({"-E4", (dir / "a.wav").string()}).keyWaits, 0);
  EXPECT_EQ(readFile(dir / "a.AD4"), b);
  EXPECT_EQ(readFile(dir / "b.wav"), b);
  // -D writes WAV files and replaces them.
  ASSERT_EQ(runProgram({"-E4", "a.wav", "a.dev"}, {dir.path}).exitCode, 0);
  ASSERT_EQ(runProgram({"-D", "a.dev", "fresh.wav"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(runProgram({"-D", "a.dev", "b.wav"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(readFile(dir / "b.wav"), readFile(dir / "fresh.wav"));
}

TEST(SafeOutput, LinksModesAndDevices) {
  TempDir dir;
  const Bytes wav = test::makeWave16(test::speechLikeSamples(300, 3));
  writeFile(dir / "a.wav", wav);
  ASSERT_EQ(runProgram({"-E4", "a.wav", "expected.AD4"}, {dir.path}).exitCode, 0);
  const Bytes expected = readFile(dir / "expected.AD4");

  // A device is written as it stands.
  EXPECT_EQ(runProgram({"-E4", "a.wav", test::kPlatform.nullDevice}, {dir.path}).exitCode, 0);
  if (!test::kPlatform.symlinks) GTEST_SKIP() << "no symbolic links or permission bits here";

  // A link keeps pointing at the file, which now holds the output.
  fs::create_directory(dir / "store");
  writeFile(dir / "store/real.AD4", kOldOutput);
  fs::create_symlink("store/real.AD4", dir / "link.AD4");
  EXPECT_EQ(runProgram({"-E4", "a.wav", "link.AD4"}, {dir.path}).exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.AD4"));
  EXPECT_EQ(readFile(dir / "store/real.AD4"), expected);
  EXPECT_EQ(folderNames(dir / "store"), std::vector<std::string>{"real.AD4"});

  // The permission bits of the file replaced are kept.
  writeFile(dir / "mode.AD4", kOldOutput);
  fs::permissions(dir / "mode.AD4", static_cast<fs::perms>(0640));
  EXPECT_EQ(runProgram({"-E4", "a.wav", "mode.AD4"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(readFile(dir / "mode.AD4"), expected);
  EXPECT_EQ(fs::status(dir / "mode.AD4").permissions() & fs::perms::all,
            static_cast<fs::perms>(0640));
}

TEST(SafeOutput, RatesTheHeaderCannotHoldAreRefused) {
  TempDir dir;
  const struct {
    std::uint32_t rate;
    int exitCode;
  } cases[] = {{192000, 1}, {131072, 1}, {131071, 0}, {131070, 0}, {0, 1}, {1, 1}, {2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    fs::remove(dir / "r.AD4");
    writeFile(dir / "r.wav", test::makeWave16({1, 2, 3}, c.rate));
    const test::RunResult r = runProgram({"-E4", "r.wav"}, {dir.path});
    EXPECT_EQ(r.exitCode, c.exitCode);
    if (c.exitCode != 0) {
      EXPECT_EQ(r.out, "r.wav : sample rate not supported!\n");
      EXPECT_FALSE(fs::exists(dir / "r.AD4"));
    } else {
      const Bytes out = readFile(dir / "r.AD4");
      EXPECT_EQ(out[6] | out[7] << 8, c.rate >> 1);
    }
  }
}

}  // namespace
}  // namespace korvane
