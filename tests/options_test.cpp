// -D and the options, run as a user runs them.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <gtest/gtest.h>

#include "decoder/decoder.h"
#include "quality/fidelity.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

std::string format(const char* pattern, auto... values) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, pattern, values...);
  return buffer;
}

// SNR and noise level of the decoded file against the input, computed here from both WAVs.
struct Figures {
  double snr;
  double noise;
};

Figures figuresOfFiles(const Bytes& inputWav, const Bytes& decodedWav) {
  const std::vector<std::int32_t> x = test::samplesOf(inputWav);
  const std::vector<std::int32_t> y = test::samplesOf(decodedWav);
  EXPECT_EQ(x.size(), y.size());
  double signal = 0;
  double error = 0;
  for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
    signal += double(x[i]) * x[i];
    error += double(x[i] - y[i]) * (x[i] - y[i]);
  }
  return {10 * std::log10(signal / error),
          10 * std::log10(error / double(x.size()) / (32768.0 * 32768.0))};
}

TEST(Decode, WritesTheInputNameWithWavAppended) {
  TempDir dir;
  writeFile(dir / "voice.wav", readFile(KORVANE_EXAMPLE));
  ASSERT_EQ(runProgram({"-E2", "voice.wav"}, {dir.path}).exitCode, 0);
  const test::RunResult r = runProgram({"-D", "voice.AD2"}, {dir.path});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
  const Bytes decoded = readFile(dir / "voice.AD2.wav");
  const Bytes stream = readFile(dir / "voice.AD2");
  DecodeCursor cursor;
  ASSERT_EQ(openStream(stream, cursor), DecodeError::none);
  EXPECT_EQ(decoded, decodeToWave(cursor));
  EXPECT_EQ(runProgram({"-d", "voice.AD2", "named.wav"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(readFile(dir / "named.wav"), decoded);
}

TEST(Decode, BadInputLeavesNoOutput) {
  TempDir dir;
  const struct {
    const char* name;
    Bytes file;
    const char* message;
  } cases[] = {
      {"a.wav", readFile(KORVANE_EXAMPLE), " : is not a device file!\n"},
      {"b.bin",
       {0x00, 0x09, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80},
       " : has an unknown format code!\n"},
      {"c.AD4", {0x00, 0x04, 0x05, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0xA4}, " : is truncated!\n"},
      {"d.PCM",
       {0x00, 0x05, 0x02, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00},
       " : has a length that fits neither PCM12 nor PCM8!\n"},
      {"e.AD4", {0x00, 0x04, 0x00, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80}, " : has no samples!\n"},
      {"f.AD4", {}, " : is truncated!\n"},
  };
  for (const auto& c : cases) {
    writeFile(dir / c.name, c.file);
    for (const bool named : {false, true}) {
      std::vector<std::string> args = {"-D", c.name};
      if (named) args.push_back("out.wav");
      const test::RunResult r = runProgram(args, {dir.path});
      EXPECT_EQ(r.exitCode, 1) << c.name;
      EXPECT_EQ(r.out, std::string(c.name) + c.message);
      EXPECT_FALSE(fs::exists(dir / (std::string(c.name) + ".wav"))) << c.name;
      EXPECT_FALSE(fs::exists(dir / "out.wav")) << c.name;
    }
  }
}

TEST(Report, EncodeFiguresMatchTheDecodedFile) {
  TempDir dir;
  const Bytes wav = readFile(KORVANE_EXAMPLE);
  writeFile(dir / "voice.wav", wav);
  const std::vector<std::int32_t> x = test::samplesOf(wav);
  const struct {
    const char* sw;
    const char* ext;
    unsigned bits;
  } cases[] = {{"-E4", "AD4", 4}, {"-E3", "AD3", 3},   {"-E2", "AD2", 2},
               {"-E1", "WFM", 1}, {"-E12", "PCM", 12}, {"-E8", "PCM", 8}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sw);
    const std::string out = std::string("voice.") + c.ext;
    const test::RunResult r = runProgram({"--report", c.sw, "voice.wav"}, {dir.path});
    ASSERT_EQ(r.exitCode, 0);
    const std::uintmax_t bytes = fs::file_size(dir / out);
    ASSERT_EQ(runProgram({"-D", out, "check.wav"}, {dir.path}).exitCode, 0);
    const Figures f = figuresOfFiles(wav, readFile(dir / "check.wav"));
    EXPECT_EQ(r.out, format("voice.wav -> %s : %zu samples, 16000 Hz, %ju bytes, %u bits per "
                            "sample, SNR %.2f dB, noise %.2f dBFS\n",
                            out.c_str(), x.size(), bytes, c.bits, f.snr, f.noise));
  }
  const test::RunResult lossless = runProgram({"-E16", "voice.wav", "--report"}, {dir.path});
  EXPECT_NE(lossless.out.find(", SNR inf dB, noise -inf dBFS\n"), std::string::npos)
      << lossless.out;
}

TEST(Report, NothingIsReportedForAnOutputThatFailed) {
  if (!test::kPlatform.devFull) GTEST_SKIP() << "no /dev/full here";
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16(test::speechLikeSamples(500, 2)));
  const test::RunResult r = runProgram({"-E4", "a.wav", "/dev/full", "--report"}, {dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "Can not write File : /dev/full !!\n");
}

TEST(Report, DecodeFigures) {
  TempDir dir;
  writeFile(dir / "t.wav", test::makeWave16(test::speechLikeSamples(22050, 1), 22050));
  ASSERT_EQ(runProgram({"-E3", "t.wav"}, {dir.path}).exitCode, 0);
  const test::RunResult r = runProgram({"-D", "--report", "t.AD3"}, {dir.path});
  EXPECT_EQ(r.exitCode, 0);
  // 22050 Hz stores halfRate 11025, played back at 22050.
  EXPECT_EQ(r.out, "t.AD3 -> t.AD3.wav : AD3, 22050 samples, 22050 Hz, 1.000 s\n");
}

TEST(Options, OldCommandLinesAreUnchangedWithOptionsAnywhere) {
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16(test::speechLikeSamples(999, 3)));
  ASSERT_EQ(runProgram({"-E4", "a.wav", "plain.ad4"}, {dir.path}).exitCode, 0);
  const Bytes plain = readFile(dir / "plain.ad4");
  const std::vector<std::vector<std::string>> lines = {
      {"--report", "-E4", "a.wav", "x1.ad4"},
      {"-E4", "--report", "a.wav", "x2.ad4"},
      {"-E4", "a.wav", "x3.ad4", "--report"},
  };
  for (const auto& args : lines) {
    EXPECT_EQ(runProgram(args, {dir.path}).exitCode, 0);
    const auto output = std::find_if(args.begin(), args.end(),
                                     [](const std::string& a) { return a.starts_with("x"); });
    EXPECT_EQ(readFile(dir / *output), plain);
  }
  // After "--" an argument that looks like an option is a file name.
  writeFile(dir / "--odd.wav", readFile(dir / "a.wav"));
  EXPECT_EQ(runProgram({"-E4", "--", "--odd.wav", "x4.ad4"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(readFile(dir / "x4.ad4"), plain);
  // Without options the usage still shows for too few arguments, with its wait.
  EXPECT_EQ(runProgram({"--report", "-E4"}).out, test::kUsage);
  EXPECT_EQ(test::runInProcess({"--report"}).keyWaits, 1);
}

TEST(Options, HelpVersionAndUnknown) {
  const test::RunResult help = runProgram({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  ASSERT_EQ(help.out.rfind(test::kUsage, 0), 0u) << help.out;
  EXPECT_NE(help.out.find("-D   Decode"), std::string::npos);
  EXPECT_NE(help.out.find("--report"), std::string::npos);
  EXPECT_EQ(test::runInProcess({"--help"}).keyWaits, 0);
  EXPECT_EQ(test::runInProcess({"-E4", "x.wav", "--help"}).exitCode, 0);

  const test::RunResult version = runProgram({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "korvane " KORVANE_VERSION "\n");

  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16({1, 2}));
  const test::RunResult unknown = runProgram({"-E4", "a.wav", "--loud"}, {dir.path});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.out, "Unknown Option : --loud !!\n" + test::kUsage);
  EXPECT_FALSE(fs::exists(dir / "a.AD4"));
}

}  // namespace
}  // namespace korvane
