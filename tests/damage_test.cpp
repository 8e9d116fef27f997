// Never damaged in the corners: a rewrite in place that cannot be secured, an
// interrupt at any moment, a batch over its own inputs, a decode over the
// recording, a closed pipe, no thread to be had, paths that climb out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <random>

#include "app/batch.h"
#include "app/commands.h"
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

// Every name under folder that a new file left behind would have.
std::vector<std::string> partials(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.path().filename().string().find(".part") != std::string::npos) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

// A recording, its -E4 file and that file's decode, made by plain calls.
struct Made {
  TempDir dir;
  Bytes encoded;
  Bytes decoded;
  explicit Made(std::size_t samples) {
    writeFile(dir / "in.wav", test::makeWave16(test::speechLikeSamples(samples, 5), 16000));
    EXPECT_EQ(runProgram({"-E4", "in.wav", "in.AD4"}, {dir.path}).exitCode, 0);
    EXPECT_EQ(runProgram({"-D", "in.AD4", "ref.wav"}, {dir.path}).exitCode, 0);
    encoded = readFile(dir / "in.AD4");
    decoded = readFile(dir / "ref.wav");
    fs::remove(dir / "ref.wav");
  }
};

const Bytes kOld(40, 0x5A);

// Where no new file can be made beside the output (no descriptor left for
// one) and the new output will not fit (the file size limit), the rewrite in
// place is refused before a byte of the old file changes.
TEST(Damage, ARewriteInPlaceThatCannotBeSecuredLeavesTheOldFile) {
  if (!test::kPlatform.limits) GTEST_SKIP() << "no per-process limits here";
  if (test::kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  Made m(40000);
  for (const auto& args : {std::vector<std::string>{"-E4", "in.wav", "out"},
                           std::vector<std::string>{"-D", "in.AD4", "out"}}) {
    SCOPED_TRACE(args[0]);
    writeFile(m.dir / "out", kOld);
    test::RunOptions run{m.dir.path};
    run.openFileLimit = 5;
    run.fileSizeLimit = 4096;
    const test::RunResult r = runProgram(args, run);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "Can not write File : out !!\n");
    EXPECT_EQ(readFile(m.dir / "out"), kOld);
    EXPECT_EQ(folderNames(m.dir.path), (std::vector<std::string>{"in.AD4", "in.wav", "out"}));
  }
}

// The same on a file system with no inode and no space left, where the
// test may mount one.
TEST(Damage, AFullFileSystemWithNoInodeLeftKeepsTheOldFile) {
  if (!test::kPlatform.limits || test::kEmulated) GTEST_SKIP() << "no tmpfs to mount here";
  Made m(40000);
  const fs::path small = m.dir / "small";
  fs::create_directory(small);
  const std::string mount = "mount -t tmpfs -o size=1m,nr_inodes=4 tmpfs " + small.string();
  if (std::system((mount + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "this user may not mount a file system";
  }
  writeFile(small / "a.AD4", kOld);
  const std::string fill = "cd " + small.string() +
                           " && (dd if=/dev/zero of=fill bs=1k; i=0; while touch f$i; do "
                           "i=$((i+1)); done) >/dev/null 2>&1";
  EXPECT_NE(std::system(fill.c_str()), -1);
  const test::RunResult r = runProgram({"-E4", "in.wav", "small/a.AD4"}, {m.dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(readFile(small / "a.AD4"), kOld);
  fs::remove(small / "fill");  // room again, still no inode: rewritten in place
  EXPECT_EQ(runProgram({"-E4", "in.wav", "small/a.AD4"}, {m.dir.path}).exitCode, 0);
  EXPECT_EQ(readFile(small / "a.AD4"), m.encoded);
  EXPECT_EQ(std::system(("umount " + small.string()).c_str()), 0);
}

// A decode rewritten in place, stopped at moments all through its run: the
// file is the old one or the whole new one, never a mix.
TEST(Damage, AnInterruptedRewriteInPlaceIsOldOrNew) {
  if (!test::kPlatform.signals) GTEST_SKIP() << "no signals here";
  if (test::kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  Made m(2000000);
  const int signals[] = {test::kSignals.interrupt, test::kSignals.terminate, test::kSignals.hangUp};
  for (int ms = 1; ms <= 40; ms += 3) {
    SCOPED_TRACE(ms);
    writeFile(m.dir / "o.wav", kOld);
    test::RunOptions run{m.dir.path};
    run.openFileLimit = 5;
    run.signal = signals[ms % 3];
    run.signalAfterMs = ms;
    (void)runProgram({"-D", "in.AD4", "o.wav"}, run);
    const Bytes now = readFile(m.dir / "o.wav");
    EXPECT_TRUE(now == kOld || now == m.decoded) << now.size() << " bytes";
  }
}

// Two runs that rewrite one file in place at once: one complete output wins.
TEST(Damage, TwoRewritesInPlaceNeverMix) {
  if (!test::kPlatform.limits) GTEST_SKIP() << "no per-process limits here";
  if (test::kSanitized) GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
  Made m(200000);
  test::RunOptions run{m.dir.path};
  ASSERT_EQ(runProgram({"-E16", "in.wav", "a16"}, run).exitCode, 0);
  ASSERT_EQ(runProgram({"-E8", "in.wav", "a8"}, run).exitCode, 0);
  const Bytes pcm16 = readFile(m.dir / "a16");
  const Bytes pcm8 = readFile(m.dir / "a8");
  run.openFileLimit = 5;
  for (int round = 0; round < 10; ++round) {
    writeFile(m.dir / "both", kOld);
    auto first = std::async(std::launch::async, [&] {
      return runProgram({"-E16", "in.wav", "both"}, run);
    });
    const test::RunResult second = runProgram({"-E8", "in.wav", "both"}, run);
    EXPECT_EQ(first.get().exitCode, 0);
    EXPECT_EQ(second.exitCode, 0);
    const Bytes now = readFile(m.dir / "both");
    EXPECT_TRUE(now == pcm16 || now == pcm8) << now.size() << " bytes";
  }
}

// Signals at random moments of a batch, with few jobs and with many: no
// new file is ever left behind.
TEST(Damage, NoNewFileOutlivesAnInterruptedBatch) {
  if (!test::kPlatform.signals) GTEST_SKIP() << "no signals here";
  TempDir dir;
  fs::create_directory(dir / "in");
  std::vector<std::string> args = {"-E4", "--out-dir=out", "--search=7", ""};
  for (int i = 0; i < 300; ++i) {
    const std::string name = "in/p" + std::to_string(i) + ".wav";
    writeFile(dir / name,
              test::makeWave16(test::speechLikeSamples(3000, static_cast<std::uint32_t>(i)), 8000));
    args.push_back(name);
  }
  const int signals[] = {test::kSignals.interrupt, test::kSignals.terminate, test::kSignals.hangUp};
  std::mt19937 random(33);
  for (int run = 0; run < 24; ++run) {
    fs::remove_all(dir / "out");
    args[3] = run % 4 == 3 ? "--jobs=100" : "--jobs=2";
    test::RunOptions options{dir.path};
    options.signal = signals[run % 3];
    options.signalAfterMs = 5 + static_cast<int>(random() % 300);
    SCOPED_TRACE(testing::Message() << args[3] << ", signal " << options.signal << " after "
                                    << options.signalAfterMs << " ms");
    (void)runProgram(args, options);
    if (fs::exists(dir / "out")) {
      EXPECT_EQ(partials(dir / "out"), std::vector<std::string>{});
    }
  }
}

// A batch whose output would be one of its inputs, an input in a folder
// that fails, a decode to the recording's name, a closed pipe, no thread.
TEST(Damage, BatchesAndDecodesKeepTheirInputs) {
  Made m(8000);
  fs::copy_file(m.dir / "in.AD4", m.dir / "in.AD4.wav");  // a device file named .wav
  const Bytes device = readFile(m.dir / "in.AD4.wav");
  test::RunResult r = runProgram({"-D", "--out-dir=.", "in.AD4", "in.AD4.wav"}, {m.dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "Output is the input File : ./in.AD4.wav !!\n");
  EXPECT_EQ(readFile(m.dir / "in.AD4.wav"), device);

  // Folders made for an output that failed are removed again.
  r = runProgram({"-E4", "--out-dir=out", "nope/deeper/a.wav"}, {m.dir.path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(fs::exists(m.dir / "out"));

  // A decode to a derived name keeps a file that is not its own decode.
  fs::copy_file(m.dir / "in.AD4", m.dir / "in");
  const Bytes recording = readFile(m.dir / "in.wav");
  r = runProgram({"-D", "in"}, {m.dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out,
            "in.wav : exists and is not this file's decode; name the output to replace it !!\n");
  EXPECT_EQ(readFile(m.dir / "in.wav"), recording);
  fs::remove(m.dir / "in.wav");
  for (int again = 0; again < 2; ++again) {  // its own decode is replaced, as before
    EXPECT_EQ(runProgram({"-D", "in"}, {m.dir.path}).exitCode, 0);
    EXPECT_EQ(readFile(m.dir / "in.wav"), m.decoded);
  }
  EXPECT_EQ(runProgram({"-D", "in.AD4", "in.wav"}, {m.dir.path}).exitCode, 0);  // named: replaced

  if (!test::kPlatform.signals) return;
  // Rows into a pipe closed early: a failure, and no new file left.
  std::vector<std::string> batch = {"-E4", "--out-dir=many", "--report=csv"};
  for (int i = 0; i < 200; ++i) {
    std::string name = "p";
    name.append(std::to_string(i)).append(".wav");
    fs::copy_file(m.dir / "in.wav", m.dir / name);
    batch.push_back(name);
  }
  test::RunOptions closed{m.dir.path};
  closed.closedOutput = true;
  r = runProgram(batch, closed);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err, "Can not write File : standard output !!\n");
  EXPECT_EQ(partials(m.dir / "many"), std::vector<std::string>{});

  // Few threads to be had: the work is done on fewer, or on the one there is.
  // The emulator, and the leak checker at exit, need threads of their own.
  if (test::kEmulated || test::kSanitized) return;
  fs::permissions(m.dir.path, fs::perms::all);
  test::RunOptions few{m.dir.path};
  few.processLimit = 1;
  for (const auto& args : {std::vector<std::string>{"-E4", "--out-dir=fewer", "--jobs=100",
                                                    "p1.wav", "p2.wav", "p3.wav"},
                           std::vector<std::string>{"-E4", "--rate=8000", "in.wav", "r.AD4"}}) {
    SCOPED_TRACE(args[1]);
    r = runProgram(args, few);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  EXPECT_EQ(readFile(m.dir / "fewer/p2.AD4"), m.encoded);
}

// On Windows, root-relative, drive-relative and climbing inputs are placed
// as absolute ones are; names that differ by case are one file there.
TEST(Damage, WindowsPathsStayInTheOutputFolder) {
  if (!test::kPlatform.expandsWildcards) GTEST_SKIP() << "Windows names only";
  const Command& e4 = *findCommand("-E4");
  const struct {
    const char* input;
    const char* output;
  } cases[] = {{"\\dir\\r.wav", "out/r.AD4"},     {"/dir/r.wav", "out/r.AD4"},
               {"Z:d.wav", "out/d.AD4"},          {"Z:..\\src\\r.wav", "out/r.AD4"},
               {"a\\..\\..\\r.wav", "out/r.AD4"}, {"sub\\r.wav", "out/sub/r.AD4"}};
  for (const auto& c : cases)
    EXPECT_EQ(batchOutputName(e4, "out", c.input), c.output) << c.input;

  TempDir dir;
  for (const char* name : {"c1/Take.wav", "c2/take.wav"}) {
    fs::create_directories((dir / name).parent_path());
    writeFile(dir / name, test::makeWave16({1, 2, 3}, 8000));
  }
  const test::RunResult r = runProgram(
      {"-E4", "--out-dir=o", (dir / "c1/Take.wav").string(), (dir / "c2/take.wav").string()},
      {dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out.rfind("Two Inputs write the same File : ", 0), 0u) << r.out;
  EXPECT_FALSE(fs::exists(dir / "o"));
}

}  // namespace
}  // namespace korvane
