// korvane in scripts and consoles: inputs from lists, wildcards and standard
// input, outputs to standard output, --base, --quiet, arguments it ignores,
// an empty batch, and every option documented where users look.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "app/options.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::concat;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

// A path from UTF-8 bytes, on every platform.
fs::path utf8(const std::string& name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Recordings a.wav, b1.wav, b2.wav and a UTF-8 name, each with its -E4 output
// made by a plain call.
struct Recordings {
  TempDir dir;
  std::vector<std::string> names = {"a", "b1", "b2", "\xC3\xBC\x62\x65r"};
  std::map<std::string, Bytes> encoded;
  Recordings() {
    for (std::size_t i = 0; i < names.size(); ++i) {
      writeFile(
          dir.path / utf8(names[i] + ".wav"),
          test::makeWave16(
              test::speechLikeSamples(900 + 100 * i, static_cast<std::uint32_t>(40 + i)), 8000));
      EXPECT_EQ(runProgram({"-E4", names[i] + ".wav", "ref.AD4"}, {dir.path}).exitCode, 0);
      encoded[names[i]] = readFile(dir / "ref.AD4");
    }
    fs::remove(dir / "ref.AD4");
  }
};

TEST(Scripts, InputsFromListsAndWildcards) {
  Recordings r;
  const std::string umlaut = r.names[3];
  writeFile(r.dir / "list.txt", text("a.wav\r\n\r\nb1.wav\n" + umlaut + ".wav\n"));
  writeFile(r.dir / "one.txt", text("b2.wav\n"));
  const Bytes list = readFile(r.dir / "list.txt");
  const std::vector<std::string> listed = {"a", "b1", umlaut};
  const std::vector<std::string> wild = {"b1", "b2"};
  const std::vector<std::string> none;
  const struct {
    std::vector<std::string> args;
    const Bytes* input;
    std::vector<std::string> made;  // outputs under out/, else in the folder
    int exitCode;
    std::string out;
  } cases[] = {
      {{"-E4", "--out-dir=out", "@list.txt"}, nullptr, listed, 0, ""},
      {{"-E4", "--files-from=list.txt", "--out-dir=out"}, nullptr, listed, 0, ""},
      {{"-E4", "--out-dir=out", "--files-from=-"}, &list, listed, 0, ""},
      {{"-E4", "@one.txt"}, nullptr, {"b2"}, 0, ""},
      {{"-E4", "--out-dir=out", "b?.wav"},
       nullptr,
       test::kPlatform.expandsWildcards ? wild : none,
       test::kPlatform.expandsWildcards ? 0 : 1,
       test::kPlatform.expandsWildcards ? "" : "Can not open File : b?.wav !!\n"},
      {{"-E4", "--out-dir=out", "c*.wav"}, nullptr, none, 1, "Can not open File : c*.wav !!\n"},
      {{"-E4", "--out-dir=out"}, nullptr, none, 1, "No Input File !!\n"},
      {{"-E4", "--out-dir=out", "@missing.txt"},
       nullptr,
       none,
       1,
       "Can not open File : missing.txt !!\n"},
      {{"-E4", "@list.txt"},
       nullptr,
       none,
       1,
       "@list.txt : names several files; --out-dir=DIR converts them all !!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    fs::remove_all(r.dir / "out");
    fs::remove(r.dir / "b2.AD4");
    test::RunOptions run{r.dir.path};
    run.input = c.input;
    const test::RunResult got = runProgram(c.args, run);
    EXPECT_EQ(got.exitCode, c.exitCode);
    EXPECT_EQ(got.out, c.out);
    const bool batch = c.args[1].starts_with("--");
    for (const std::string& name : c.made) {
      EXPECT_EQ(readFile(r.dir.path / utf8((batch ? "out/" : "") + name + ".AD4")),
                r.encoded[name]);
    }
    if (batch) {
      EXPECT_EQ(fs::exists(r.dir / "out") ? test::folderNames(r.dir / "out").size() : 0,
                c.made.size());
    }
  }
}

// Streams piped in as recorders and converters write them (data chunks of
// size 0 or 0xFFFFFFFF, a LIST chunk first), and outputs to standard output.
TEST(Scripts, StandardInputAndOutput) {
  Recordings r;
  const std::vector<std::int32_t> samples = test::speechLikeSamples(900, 40);
  const Bytes data = test::makeWave16(samples, 8000);
  const Bytes pcm(data.begin() + 44, data.end());
  Bytes list;
  test::putTag(list, "LIST");
  test::putLe32(list, 4);
  test::putTag(list, "INFO");
  auto streamed = [&](std::uint32_t size) {
    Bytes head(data.begin(), data.begin() + 36);  // RIFF, WAVE and fmt
    std::fill(head.begin() + 4, head.begin() + 8, 0xFF);
    head = concat(head, list);
    test::putTag(head, "data");
    test::putLe32(head, size);
    return concat(head, pcm);
  };
  const Bytes open = streamed(0xFFFFFFFF);
  const Bytes zero = streamed(0);
  writeFile(r.dir / "a.AD4", r.encoded["a"]);
  ASSERT_EQ(runProgram({"-D", "a.AD4", "a.AD4.wav"}, {r.dir.path}).exitCode, 0);
  const Bytes played = readFile(r.dir / "a.AD4.wav");
  const struct {
    const char* name;
    std::vector<std::string> args;
    const Bytes* input;
    const Bytes* output;  // in out.bin, or on stdout where it is "-"
    int exitCode;
    std::string out;
  } cases[] = {
      {"file piped", {"-E4", "-", "out.bin"}, &data, &r.encoded["a"], 0, ""},
      {"size 0xFFFFFFFF", {"-E4", "-", "out.bin"}, &open, &r.encoded["a"], 0, ""},
      {"size 0", {"-E4", "-", "out.bin"}, &zero, &r.encoded["a"], 0, ""},
      {"size 0, tolerant", {"-E4", "-", "out.bin", "--gain=0"}, &zero, &r.encoded["a"], 0, ""},
      {"to stdout", {"-E4", "a.wav", "-"}, nullptr, &r.encoded["a"], 0, ""},
      {"both", {"-D", "-", "-"}, &r.encoded["a"], &played, 0, ""},
      {"no output name",
       {"-E4", "-"},
       &data,
       nullptr,
       1,
       "- : name the output file (the input has no name) !!\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(r.dir / "out.bin");
    test::RunOptions run{r.dir.path};
    run.input = c.input;
    const test::RunResult got = runProgram(c.args, run);
    EXPECT_EQ(got.exitCode, c.exitCode);
    const bool toStdout = c.args.size() > 2 && c.args[2] == "-";
    if (toStdout) {
      EXPECT_EQ(text(got.out), *c.output);
    } else {
      EXPECT_EQ(got.out, c.out);
      if (c.output != nullptr) {
        EXPECT_EQ(readFile(r.dir / "out.bin"), *c.output);
      }
    }
  }
  // A report beside a stream on stdout goes to stderr.
  const test::RunResult reported = runProgram({"-E4", "a.wav", "-", "--report"}, {r.dir.path});
  EXPECT_EQ(text(reported.out), r.encoded["a"]);
  EXPECT_TRUE(reported.err.starts_with("a.wav -> - : 900 samples")) << reported.err;
}

TEST(Scripts, BaseKeepsFoldersAndCollisionsNameBothInputs) {
  TempDir dir;
  const Bytes wav = test::makeWave16(test::speechLikeSamples(500, 3), 8000);
  const std::string x = (dir / "src/x/1.wav").string();
  const std::string y = (dir / "src/y/1.wav").string();
  fs::create_directories(dir / "src/x");
  fs::create_directories(dir / "src/y");
  writeFile(x, wav);
  writeFile(y, wav);
  const test::RunResult flat = runProgram({"-E4", "--out-dir=out", x, y}, {dir.path});
  EXPECT_EQ(flat.exitCode, 2);
  EXPECT_EQ(flat.out, "Two Inputs write the same File : out/1.AD4 !!\n");
  EXPECT_EQ(flat.err, "korvane: " + x + " and " + y +
                          " both make out/1.AD4; --base=DIR keeps the folders below DIR\n");
  for (const std::string& base : {(dir / "src").string(), std::string("src/")}) {
    SCOPED_TRACE(base);
    fs::remove_all(dir / "out");
    EXPECT_EQ(runProgram({"-E4", "--out-dir=out", "--base=" + base, x, y}, {dir.path}).exitCode, 0);
    EXPECT_EQ(test::folderNames(dir / "out"), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(fs::exists(dir / "out/x/1.AD4"));
    EXPECT_TRUE(fs::exists(dir / "out/y/1.AD4"));
  }
}

TEST(Scripts, QuietAndIgnoredArguments) {
  TempDir dir;
  writeFile(dir / "loud.wav", test::makeWave16(std::vector<std::int32_t>(100, 30000), 8000));
  const std::string ignored =
      "korvane: ignored: x.wav y.wav (one input, one output; --out-dir=DIR converts many)\n";
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string out, err;
  } cases[] = {
      {{"-E4", "loud.wav", "--gain=6"},
       0,
       "",
       "korvane: loud.wav: 100 samples clipped at full scale\n"},
      {{"-E4", "loud.wav", "--gain=6", "--quiet"}, 0, "", ""},
      {{"-E4", "loud.wav", "o.AD4", "x.wav", "y.wav"}, 0, "", ignored},
      {{"-E4", "loud.wav", "o.AD4", "x.wav", "y.wav", "--quiet"}, 0, "", ""},
      {{"-E4", "none.wav", "--quiet"}, 1, "Can not open File : none.wav !!\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const test::RunResult got = runProgram(c.args, {dir.path});
    EXPECT_EQ(got.exitCode, c.exitCode);
    EXPECT_EQ(got.out, c.out);
    EXPECT_EQ(got.err, c.err);
  }
}

// Every option the parser takes is in --help and in the manual; the README
// stays a front page whose links lead somewhere.
TEST(Scripts, EveryOptionIsDocumented) {
  const fs::path source = fs::path(KORVANE_EXAMPLE).parent_path().parent_path();
  std::ifstream manualFile(source / "docs/korvane.1");
  std::stringstream manual;
  manual << manualFile.rdbuf();
  // The manual's dashes unescaped ("\\-" is a dash in troff).
  std::string page;
  for (const char ch : manual.str()) {
    if (ch == '-' && !page.empty() && page.back() == '\\') page.pop_back();
    page += ch;
  }
  const std::string help = runProgram({"--help"}).out;
  for (const OptionSpec& option : kOptions) {
    SCOPED_TRACE(option.name);
    const std::string spelled =
        std::string(option.name) + (option.value == OptionValue::required ? "=1000" : "");
    const std::vector<std::string> argv = {spelled};
    const Options parsed = parseOptions(argv);
    EXPECT_TRUE(parsed.unknown.empty());
    EXPECT_NE(help.find(std::string(option.name) + option.form + " "), std::string::npos);
    EXPECT_NE(page.find(option.name), std::string::npos);
  }
  std::ifstream readme(source / "README.md");
  std::size_t lines = 0;
  for (std::string line; std::getline(readme, line); ++lines) {
    for (std::size_t at = 0; (at = line.find("](docs/", at)) != std::string::npos; ++at) {
      const std::string link = line.substr(at + 2, line.find(')', at) - at - 2);
      EXPECT_TRUE(fs::exists(source / link.substr(0, link.find('#')))) << link;
    }
  }
  EXPECT_LE(lines, 200u);
}

}  // namespace
}  // namespace korvane
