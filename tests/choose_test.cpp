// -A: the max-min choice against a brute force, budgets at their edges,
// --snr, and every chosen stream the single file of its switch.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "app/choose.h"
#include "app/manifest.h"
#include "format/pack_image.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runProgram;
using test::TempDir;

double lowestQuality(std::span<const std::vector<Candidate>> prompts,
                     std::span<const std::size_t> choice) {
  double lowest = INFINITY;
  for (std::size_t i = 0; i < prompts.size(); ++i) {
    const double q = prompts[i][choice[i]].quality;
    if (std::isfinite(q)) lowest = std::min(lowest, q);
  }
  return lowest;
}

// Random tables of up to 5 prompts and 4 formats (a prompt now and then with
// no frame that counts): no choice within the budget has a higher lowest
// quality than the one made, and the one made fits.
TEST(Choose, MaxMinAgreesWithABruteForce) {
  std::mt19937 random(28);
  for (int round = 0; round < 400; ++round) {
    const std::size_t n = 1 + random() % 5;
    const std::size_t m = 1 + random() % 4;
    std::vector<std::vector<Candidate>> prompts(n);
    for (auto& prompt : prompts) {
      const bool silent = random() % 8 == 0;
      for (std::size_t j = 0; j < m; ++j) {
        prompt.push_back({10 + random() % 90, silent ? NAN : static_cast<double>(random() % 30)});
      }
    }
    const BudgetRule rule{60 + random() % 300, random() % 2 == 0 ? 0u : 24u,
                          random() % 2 == 0 ? 1u : 4u};
    std::uint64_t needed = 0;
    const std::vector<std::size_t> choice = chooseForBudget(prompts, rule, needed);
    double best = -INFINITY;
    bool any = false;
    std::vector<std::size_t> pick(n, 0);
    for (std::size_t code = 0; code < static_cast<std::size_t>(std::pow(m, n)); ++code) {
      for (std::size_t i = 0, c = code; i < n; ++i, c /= m)
        pick[i] = c % m;
      if (choiceCost(prompts, pick, rule) > rule.bytes) continue;
      any = true;
      best = std::max(best, lowestQuality(prompts, pick));
    }
    ASSERT_EQ(choice.empty(), !any) << round;
    if (!any) continue;
    EXPECT_LE(choiceCost(prompts, choice, rule), rule.bytes) << round;
    EXPECT_EQ(lowestQuality(prompts, choice), best) << round;
  }
}

TEST(Choose, QualityTakesTheCheapestReachingIt) {
  const std::vector<std::vector<Candidate>> prompts = {{{40, 25}, {30, 21}, {20, 15}},
                                                       {{40, 18}, {30, 12}, {20, 9}},
                                                       {{40, NAN}, {30, NAN}, {20, NAN}}};
  EXPECT_EQ(chooseForQuality(prompts, 20), (std::vector<std::size_t>{1, 0, 2}));
}

// Three prompts: the budget that fits exactly is taken, a byte less gives a
// smaller image, and below the least it is refused with what it needs.
TEST(Choose, BudgetsAtTheirEdges) {
  TempDir dir;
  std::vector<std::string> inputs;
  for (int i = 0; i < 3; ++i) {
    inputs.push_back(std::string("p").append(std::to_string(i)).append(".wav"));
    test::writeFile(
        dir / inputs.back(),
        test::makeWave16(test::speechLikeSamples(1500 + 700 * static_cast<std::size_t>(i),
                                                 static_cast<std::uint32_t>(i + 3)),
                         8000));
  }
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), inputs.begin(), inputs.end());
    return runProgram(args, {dir.path});
  };
  ASSERT_EQ(run({"-A", "--budget=1M", "--pack=all.bin", "--report=csv"}).exitCode, 0);
  const std::uint64_t whole = readFile(dir / "all.bin").size();
  ASSERT_EQ(run({"-A", "--budget=" + std::to_string(whole), "--pack=exact.bin"}).exitCode, 0);
  EXPECT_EQ(readFile(dir / "exact.bin"), readFile(dir / "all.bin"));
  ASSERT_EQ(run({"-A", "--budget=" + std::to_string(whole - 1), "--pack=less.bin"}).exitCode, 0);
  EXPECT_LT(readFile(dir / "less.bin").size(), whole);

  ASSERT_EQ(run({"-E1", "--search=5", "--pack=wfm.bin"}).exitCode, 0);
  const std::uint64_t least = readFile(dir / "wfm.bin").size();
  const test::RunResult tooSmall =
      run({"-A", "--budget=" + std::to_string(least - 1), "--pack=none.bin"});
  EXPECT_EQ(tooSmall.exitCode, 2);
  EXPECT_EQ(tooSmall.out,
            "Budget too small : needs at least " + std::to_string(least) + " bytes !!\n");
  EXPECT_FALSE(fs::exists(dir / "none.bin"));
  EXPECT_EQ(run({"-A", "--budget=" + std::to_string(least), "--pack=wfm2.bin"}).exitCode, 0);
  EXPECT_EQ(readFile(dir / "wfm2.bin"), readFile(dir / "wfm.bin"));

  // Every chosen stream is the single file of its switch at the level.
  const test::RunResult chosen = run({"-A", "--snr=14", "--out-dir=out", "--report=csv"});
  ASSERT_EQ(chosen.exitCode, 0);
  for (const std::string& input : inputs) {
    const std::size_t at = chosen.out.find(input + ",");
    ASSERT_NE(at, std::string::npos);
    const std::string line = chosen.out.substr(at, chosen.out.find('\n', at) - at);
    const std::string format = line.substr(line.rfind(',') + 1);
    const std::string name = fs::path(input).stem().string();
    ASSERT_EQ(runProgram({"-" + format, "--search", input, "single"}, {dir.path}).exitCode, 0);
    const std::string extension = format == "E1" ? ".WFM" : ".AD" + format.substr(1);
    EXPECT_EQ(readFile(dir / "out" / (name + extension)), readFile(dir / "single")) << line;
  }
}

TEST(Manifest, RowsAsRfc4180WritesThem) {
  const std::vector<CsvRow> rows = parseCsvRows(
      "input,name\r\n\"a, b.wav\",\"say \"\"hi\"\"\"\n\n\"two\nlines.wav\",x\nlast.wav");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].fields, (std::vector<std::string>{"a, b.wav", "say \"hi\""}));
  EXPECT_EQ(rows[2].fields, (std::vector<std::string>{"two\nlines.wav", "x"}));
  EXPECT_EQ(rows[2].line, 4u);
  EXPECT_EQ(rows[3].line, 6u);

  const struct {
    const char* text;
    const char* message;
  } bad[] = {{"input,colour\na.wav,red\n", "set.csv:1: unknown column colour"},
             {"name\nx\n", "set.csv:1: no input column"},
             {"input,format\na.wav,E4\nb.wav,E5\n", "set.csv:3: unknown format E5"},
             {"input,gain\na.wav,loud\n", "set.csv:2: bad gain loud"},
             {"input,trim\na.wav,-97\n", "set.csv:2: bad trim -97"},
             {"input,name\n,x\n", "set.csv:2: no input"}};
  for (const auto& c : bad) {
    std::vector<std::string> inputs;
    std::vector<PromptSettings> settings;
    std::string message;
    EXPECT_FALSE(readManifest("set.csv", c.text, inputs, settings, message));
    EXPECT_EQ(message, c.message);
  }
  std::vector<std::string> inputs;
  std::vector<PromptSettings> settings;
  std::string message;
  ASSERT_TRUE(readManifest("lists/set.csv", "trim,format,input\n-40,e2,a.wav\n,,/abs/b.wav\n",
                           inputs, settings, message));
  EXPECT_EQ(inputs, (std::vector<std::string>{"lists/a.wav", "/abs/b.wav"}));
  EXPECT_EQ(settings[0].format, "-E2");
  EXPECT_TRUE(settings[0].trimGiven);
  EXPECT_FALSE(settings[1].trimGiven);
}

// A manifest's fixed format, name and gain hold under -A; the rest is chosen.
TEST(Manifest, FixesFormatsAndNamesUnderChoice) {
  TempDir dir;
  fs::create_directory(dir / "set");
  for (int i = 0; i < 2; ++i) {
    test::writeFile(
        dir / "set" / (i == 0 ? "a.wav" : "b.wav"),
        test::makeWave16(test::speechLikeSamples(3000, static_cast<std::uint32_t>(i + 7)), 8000));
  }
  const std::string csv = "input,name,format,gain\nb.wav,second,E1,-6\na.wav,first,,\n";
  test::writeFile(dir / "set/set.csv", Bytes(csv.begin(), csv.end()));
  const test::RunResult r = runProgram(
      {"-A", "--snr=99", "--manifest=set/set.csv", "--pack=p.bin", "--header=p.h", "--report=csv"},
      {dir.path});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("set/b.wav,p.bin:set/b.wav,WFM,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(",ok,E4\n"), std::string::npos) << r.out;  // the best, as none reaches 99
  const Bytes header = readFile(dir / "p.h");
  EXPECT_NE(std::string(header.begin(), header.end()).find("p_SECOND = 0,\n  p_FIRST = 1"),
            std::string::npos);
  // The gain was applied: the same file at -6 dB packs to the same stream.
  ASSERT_EQ(runProgram({"-E1", "--search", "--gain=-6", "set/b.wav", "b.WFM"}, {dir.path}).exitCode,
            0);
  const Bytes image = readFile(dir / "p.bin");
  std::vector<PackEntry> entries;
  ASSERT_TRUE(readImage(image, entries));
  EXPECT_EQ(Bytes(image.begin() + entries[0].offset,
                  image.begin() + entries[0].offset + entries[0].length),
            readFile(dir / "b.WFM"));
}

}  // namespace
}  // namespace korvane
