// Many inputs in one call: --out-dir, --jobs and the CSV report, run as a
// build script runs them.
#include <gtest/gtest.h>

#include <sstream>

#include "app/batch.h"
#include "app/conversion.h"
#include "app/report_rows.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

// The rows of a CSV text, each a list of fields, quotes undone.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (quoted && ch == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      rows.back().back() += '"';
      ++i;
    } else if (ch == '"') {
      quoted = !quoted;
    } else if (!quoted && ch == ',') {
      rows.back().emplace_back();
    } else if (!quoted && ch == '\n') {
      rows.emplace_back(1);
    } else {
      rows.back().back() += ch;
    }
  }
  rows.pop_back();  // after the last line break
  return rows;
}

// A tree of prompts with a repeated file name, one input outside the working
// folder (by an absolute path), and one by a path through "..".
struct Prompts {
  TempDir dir;
  fs::path work = dir / "work";
  std::vector<std::string> inputs = {"prompts/digits/1.wav", "prompts/letters/1.wav", "./top.wav",
                                     "sub/../up.wav", (dir / "outside.wav").string()};
  std::vector<std::string> outputs = {"out/prompts/digits/1", "out/prompts/letters/1", "out/top",
                                      "out/up", "out/outside"};
  Prompts() {
    fs::create_directories(work / "prompts/digits");
    fs::create_directories(work / "prompts/letters");
    fs::create_directories(work / "sub");
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const fs::path path =
          fs::path(inputs[i]).is_absolute() ? fs::path(inputs[i]) : work / inputs[i];
      writeFile(path, test::makeWave16(test::speechLikeSamples(3000 + 500 * i,
                                                               static_cast<std::uint32_t>(20 + i)),
                                       8000));
    }
  }
};

TEST(Batch, OutputsEqualSingleCallsAndMirrorRelativePaths) {
  Prompts p;
  const struct {
    const char* sw;
    const char* ext;
  } cases[] = {{"-E4", ".AD4"}, {"-E1", ".WFM"}, {"-E12", ".PCM"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sw);
    std::vector<std::string> args = {c.sw, "--out-dir=out", "--jobs=2", "--search=1"};
    args.insert(args.end(), p.inputs.begin(), p.inputs.end());
    const test::RunResult r = runProgram(args, {p.work});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    for (std::size_t i = 0; i < p.inputs.size(); ++i) {
      const std::string single = "single" + std::to_string(i);
      ASSERT_EQ(runProgram({c.sw, p.inputs[i], single, "--search=1"}, {p.work}).exitCode, 0);
      EXPECT_EQ(readFile(p.work / (p.outputs[i] + c.ext)), readFile(p.work / single))
          << p.inputs[i];
    }
  }
  // -D plays a batch back beside it, with ".wav" appended.
  const test::RunResult d =
      runProgram({"-D", "--out-dir=played", "out/prompts/digits/1.AD4", "out/top.AD4"}, {p.work});
  EXPECT_EQ(d.exitCode, 0);
  EXPECT_TRUE(fs::exists(p.work / "played/out/prompts/digits/1.AD4.wav"));
  EXPECT_TRUE(fs::exists(p.work / "played/out/top.AD4.wav"));
}

// A relative input below the current folder keeps its path under the
// folder; one that climbs out of it keeps its file name alone, so that no
// output lands outside the folder.
TEST(Batch, OutputNamesStayInTheFolder) {
  const struct {
    const char* command;
    const char* input;
    const char* output;
  } cases[] = {
      {"-E4", "a.wav", "out/a.AD4"},         {"-E4", "d/a.wav", "out/d/a.AD4"},
      {"-E4", "./d/./a.wav", "out/d/a.AD4"}, {"-E4", "d/../a.wav", "out/a.AD4"},
      {"-E4", "../a.wav", "out/a.AD4"},      {"-E4", "d/../../a.wav", "out/a.AD4"},
      {"-E4", "../d/a.wav", "out/a.AD4"},    {"-E2", "d.x/a", "out/d.x/a.AD2"},
      {"-D", "../s.AD4", "out/s.AD4.wav"},   {"-D", "d/s.AD4", "out/d/s.AD4.wav"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(batchOutputName(*findCommand(c.command), "out", c.input), c.output) << c.input;
  }
}

TEST(Batch, TwoInputsForOneOutputAreRefusedBeforeAnyIsWritten) {
  Prompts p;
  const test::RunResult r = runProgram(
      {"-E4", "--out-dir=out", "prompts/digits/1.wav", "top.wav", "./prompts/digits/1.wav"},
      {p.work});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "Two Inputs write the same File : out/prompts/digits/1.AD4 !!\n");
  EXPECT_FALSE(fs::exists(p.work / "out"));
}

TEST(Batch, ABadInputDoesNotStopTheOthers) {
  Prompts p;
  writeFile(p.work / "bad.wav", {'n', 'o', 'p', 'e'});
  const test::RunResult r = runProgram(
      {"-E2", "--out-dir=out", "top.wav", "bad.wav", "missing.wav", "up.wav", "--report"},
      {p.work});
  EXPECT_EQ(r.exitCode, 1);
  const std::string top = "top.wav -> out/top.AD2 : ";
  const std::string up = "up.wav -> out/up.AD2 : ";
  ASSERT_EQ(r.out.rfind(top, 0), 0u) << r.out;
  const std::size_t bad =
      r.out.find("bad.wav : is not RIFF format!\nCan not open File : missing.wav !!\n");
  EXPECT_NE(bad, std::string::npos) << r.out;
  EXPECT_GT(r.out.find(up), bad);
  EXPECT_TRUE(fs::exists(p.work / "out/top.AD2"));
  EXPECT_TRUE(fs::exists(p.work / "out/up.AD2"));
  EXPECT_FALSE(fs::exists(p.work / "out/bad.AD2"));
}

// A row for every input, the failed ones too, in CSV and in JSON lines with
// the same keys; the messages go to stderr.
TEST(Batch, ReportRowsForEveryInput) {
  Prompts p;
  fs::copy_file(p.work / "top.wav", p.work / "a, b.wav");
  const std::vector<std::string> keys = {"input",       "output",     "format",          "samples",
                                         "sample_rate", "bytes",      "bits_per_sample", "snr_db",
                                         "noise_dbfs",  "seg_snr_db", "status"};
  const std::vector<std::string> inputs = {"top.wav", "a, b.wav", "missing.wav"};
  std::vector<std::vector<std::string>> rows;
  for (const char* form : {"csv", "json"}) {
    SCOPED_TRACE(form);
    std::vector<std::string> args = {"-E4", "--out-dir=out", std::string("--report=") + form};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const test::RunResult r = runProgram(args, {p.work});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Can not open File : missing.wav !!\n");
    if (form[0] == 'c') {
      rows = parseCsv(r.out);
      ASSERT_EQ(rows.size(), 4u);
      EXPECT_EQ(rows[0], keys);
      continue;
    }
    // Each JSON line has the CSV row's values under the header's keys, in order.
    std::istringstream lines(r.out);
    std::string line;
    std::size_t i = 1;
    for (; std::getline(lines, line); ++i) {
      ASSERT_LT(i, rows.size());
      std::string expected;
      for (std::size_t k = 0; k < keys.size(); ++k) {
        const std::string& v = rows[i][k];
        const bool number = k >= 3 && k <= 9;
        expected.append(k ? "," : "{").append("\"").append(keys[k]).append("\":");
        if (v.empty()) {
          expected.append("null");
        } else if (number) {
          expected.append(v);
        } else {
          expected.append("\"").append(v).append("\"");
        }
      }
      EXPECT_EQ(line, expected + "}");
    }
    EXPECT_EQ(i, rows.size());
  }
  for (std::size_t i = 1; i < 4; ++i) {
    ASSERT_EQ(rows[i].size(), keys.size());
    EXPECT_EQ(rows[i][0], inputs[i - 1]);
    EXPECT_EQ(rows[i][2], "AD4");
  }
  EXPECT_EQ(rows[2][1], "out/a, b.AD4");
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(std::vector<std::string>(rows[i].begin() + 3, rows[i].begin() + 7),
              (std::vector<std::string>{"4000", "8000", "2010", "4"}));
    EXPECT_EQ(rows[i][10], "ok");
  }
  EXPECT_EQ(std::vector<std::string>(rows[3].begin() + 1, rows[3].end()),
            (std::vector<std::string>{"out/missing.AD4", "AD4", "", "", "", "", "", "", "",
                                      "Can not open File !!"}));
}

// Quotes are doubled inside quoted fields (file names on Windows cannot hold
// them); a cell a spreadsheet would run as a formula gets a ' first.
TEST(Batch, CsvFieldsAreQuotedAsRfc4180Says) {
  const struct {
    const char* text;
    const char* field;
  } cases[] = {{"plain.wav", "plain.wav"},
               {"a, b.wav", "\"a, b.wav\""},
               {"say \"hi\".wav", "\"say \"\"hi\"\".wav\""},
               {"two\nlines", "\"two\nlines\""},
               {"=cmd.wav", "\"'=cmd.wav\""},
               {"+1.wav", "\"'+1.wav\""},
               {"-x,y.wav", "\"'-x,y.wav\""},
               {"@sum.wav", "\"'@sum.wav\""},
               {"a=b.wav", "a=b.wav"}};
  for (const auto& c : cases) {
    EXPECT_EQ(csvField(c.text), c.field);
    std::string kept = c.field[1] == '\'' ? "'" : "";
    kept.append(c.text);
    EXPECT_EQ(parseCsv(csvField(c.text) + "\n"), std::vector<std::vector<std::string>>{{kept}});
  }
}

// PCM8 of 1000 plays 768 (the low byte is cut): an error of 232 on every
// sample. A frame of 100 plays 0, and at -50.31 dBFS is too quiet to count.
TEST(Batch, NoiseAndSegmentalSnrWorkedByHand) {
  TempDir dir;
  std::vector<std::int32_t> loudThenQuiet(256, 1000);
  loudThenQuiet.resize(512, 100);
  writeFile(dir / "loud.wav", test::makeWave16(std::vector<std::int32_t>(512, 1000), 8000));
  writeFile(dir / "mixed.wav", test::makeWave16(loudThenQuiet, 8000));
  writeFile(dir / "quiet.wav", test::makeWave16(std::vector<std::int32_t>(512, 100), 8000));
  const test::RunResult r = runProgram(
      {"-E8", "--out-dir=out", "--report=csv", "loud.wav", "mixed.wav", "quiet.wav"}, {dir.path});
  const auto rows = parseCsv(r.out);
  ASSERT_EQ(rows.size(), 4u);
  const std::vector<std::string> expected[] = {
      {"12.69", "-43.00", "12.69"}, {"11.99", "-45.27", "12.69"}, {"0.00", "-50.31", ""}};
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::vector<std::string>(rows[i + 1].begin() + 7, rows[i + 1].end() - 1),
              expected[i]);
  // The plain report adds the noise level; a single call takes --report=csv too.
  EXPECT_EQ(runProgram({"-E8", "loud.wav", "l.pcm", "--report"}, {dir.path}).out,
            "loud.wav -> l.pcm : 512 samples, 8000 Hz, 520 bytes, 8 bits per sample, SNR 12.69 "
            "dB, noise -43.00 dBFS\n");
  EXPECT_EQ(parseCsv(runProgram({"-E8", "loud.wav", "l.pcm", "--report=csv"}, {dir.path}).out)[1],
            (std::vector<std::string>{"loud.wav", "l.pcm", "PCM8", "512", "8000", "520", "8",
                                      "12.69", "-43.00", "12.69", "ok"}));
}

}  // namespace
}  // namespace korvane
