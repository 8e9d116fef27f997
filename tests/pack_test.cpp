// Prompt sets packed for flash: the image byte for byte, read back against
// the single files, its C header compiled, name clashes and bad inputs, and
// the trim at its edges.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "format/pack_image.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

// Three streams of 3, 1 and 5 bytes, aligned to 4: the index ends at 40, the
// streams lie at 40, 44 and 48, 0xFF between them; the CRC as zlib gives it.
TEST(Pack, AWorkedImage) {
  const Bytes a = {1, 2, 3}, b = {4}, c = {5, 6, 7, 8, 9};
  const std::span<const std::uint8_t> streams[] = {a, b, c};
  const Bytes expected = {'K',  'V',  'P',  'K',  1,    0,    3, 0, 53, 0, 0, 0, 0x97,
                          0x74, 0xcb, 0x0f,  // CRC 0x0fcb7497
                          40,   0,    0,    0,    3,    0,    0, 0, 44, 0, 0, 0, 1,
                          0,    0,    0,    48,   0,    0,    0, 5, 0,  0, 0, 1, 2,
                          3,    0xFF, 4,    0xFF, 0xFF, 0xFF, 5, 6, 7,  8, 9};
  const Bytes image = buildImage(streams, 4);
  EXPECT_EQ(image, expected);
  EXPECT_EQ(crc32(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xCBF43926u);

  std::vector<PackEntry> entries;
  ASSERT_TRUE(readImage(image, entries));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].offset, 48u);
  EXPECT_EQ(entries[2].length, 5u);
  for (const std::size_t at : {std::size_t{6}, std::size_t{20}, std::size_t{50}}) {
    Bytes broken = image;  // any byte changed, the CRC finds it
    broken[at] ^= 1;
    EXPECT_FALSE(readImage(broken, entries)) << at;
  }
  EXPECT_EQ(buildImage(streams, 1).size(), 49u);  // packed tight
  EXPECT_TRUE(buildImage(streams, 3).empty());    // no power of two
  EXPECT_TRUE(buildImage({}, 4).empty());
}

// A folder of prompts, one nested, and their single-file outputs.
struct Prompts {
  TempDir dir;
  std::vector<std::string> inputs = {"yes.wav", "no.wav", "digits/1.wav"};
  Prompts() {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      fs::create_directories((dir / inputs[i]).parent_path());
      writeFile(
          dir / inputs[i],
          test::makeWave16(
              test::speechLikeSamples(700 + 300 * i, static_cast<std::uint32_t>(9 + i)), 8000));
    }
  }
  test::RunResult run(std::vector<std::string> args) {
    args.insert(args.end(), inputs.begin(), inputs.end());
    return runProgram(args, {dir.path});
  }
};

TEST(Pack, TheImageHoldsTheSingleFilesAndTheHeaderCompiles) {
  Prompts p;
  ASSERT_EQ(p.run({"-E3", "--out-dir=single"}).exitCode, 0);
  const test::RunResult packed =
      p.run({"-E3", "--pack=set.bin", "--header=set.h", "--c-array=set.c", "--align=16"});
  ASSERT_EQ(packed.exitCode, 0) << packed.out << packed.err;
  const Bytes image = readFile(p.dir / "set.bin");
  std::vector<PackEntry> entries;
  ASSERT_TRUE(readImage(image, entries));
  ASSERT_EQ(entries.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].offset % 16, 0u);
    const Bytes single =
        readFile(p.dir / "single" / fs::path(p.inputs[i]).replace_extension(".AD3"));
    EXPECT_EQ(Bytes(image.begin() + entries[i].offset,
                    image.begin() + entries[i].offset + entries[i].length),
              single);
  }
  // The files already made pack to the same image.
  std::vector<std::string> made = {"-P", "--pack=again.bin", "--align=16"};
  for (const std::string& input : p.inputs)
    made.push_back("single/" + fs::path(input).replace_extension(".AD3").generic_string());
  EXPECT_EQ(runProgram(made, {p.dir.path}).exitCode, 0);
  EXPECT_EQ(readFile(p.dir / "again.bin"), image);

  // The header and the array, compiled as C and as C++ with a program that
  // checks the count, the names' numbers and the CRC of the array.
  if (std::system("cc --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no C compiler here";
  writeFile(p.dir / "check.c", [] {
    const std::string text =
        "#include \"set.h\"\n"
        "static uint32_t crc(const uint8_t* p, uint32_t n) {\n"
        "  uint32_t c = 0xFFFFFFFFu;\n"
        "  for (uint32_t i = 0; i < n; ++i) {\n"
        "    c ^= (i >= 12 && i < 16) ? 0u : p[i];\n"
        "    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;\n"
        "  }\n"
        "  return ~c;\n"
        "}\n"
        "int main(void) {\n"
        "  return !(set_COUNT == 3u && set_DIGITS_1 == 2 && set_YES == 0 &&\n"
        "           set_image[6] == 3 && crc(set_image, set_IMAGE_SIZE) == set_IMAGE_CRC32);\n"
        "}\n";
    return Bytes(text.begin(), text.end());
  }());
  const std::string in = "cd '" + p.dir.path.string() + "' && ";
  EXPECT_EQ(
      std::system((in + "cc -std=c99 -Wall -Wextra -Werror check.c set.c -o c99 && ./c99").c_str()),
      0);
  EXPECT_EQ(
      std::system((in + "c++ -x c++ -Wall -Wextra -Werror check.c set.c -o cxx && ./cxx").c_str()),
      0);
}

// A clash of names or a bad input writes none of the pack's outputs.
TEST(Pack, ClashesAndBadInputsWriteNothing) {
  Prompts p;
  fs::copy_file(p.dir / "digits/1.wav", p.dir / "digits_1.wav");
  test::RunResult r =
      runProgram({"-E4", "--pack=x.bin", "digits/1.wav", "digits_1.wav"}, {p.dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "Two Inputs have the same Name : DIGITS_1 !!\n");
  writeFile(p.dir / "bad.wav", {'R', 'I', 'F', 'X'});
  p.inputs.push_back("bad.wav");
  r = p.run({"-E4", "--pack=x.bin", "--header=x.h"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("bad.wav : is not RIFF format!\n"), std::string::npos) << r.out;
  r = runProgram({"-P", "--pack=x.bin", "yes.wav"}, {p.dir.path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "yes.wav : is not a device file!\n");
  EXPECT_FALSE(fs::exists(p.dir / "x.bin"));
  EXPECT_FALSE(fs::exists(p.dir / "x.h"));
  // Without --pack, -P is what it always was: no command.
  EXPECT_EQ(runProgram({"-P", "a", "b"}, {p.dir.path}).out.rfind("Unknown Command : -P !!\n", 0),
            0u);
}

// Samples dropped at each end, read from the report: 10 ms (80 samples at
// 8 kHz) kept beside the first and last sample at least the threshold loud.
TEST(Pack, TrimAtItsEdges) {
  const struct {
    const char* name;
    std::vector<std::int32_t> samples;
    const char* option;
    const char* dropped;  // trimmed_start,trimmed_end
  } cases[] = {
      {"middle",
       [] {
         std::vector<std::int32_t> s(2100, 0);
         std::fill(s.begin() + 1000, s.begin() + 1100, 1000);
         return s;
       }(),
       "--trim", "920,920"},
      {"margin meets both ends",
       [] {
         std::vector<std::int32_t> s(300, 0);
         s[10] = s[290] = -5000;
         return s;
       }(),
       "--trim", "0,0"},
      {"185 is -45 dBFS",
       [] {
         std::vector<std::int32_t> s(1001, 0);
         s[500] = 185;
         return s;
       }(),
       "--trim=-45", "420,420"},
      {"184 is quieter: one sample kept",
       [] {
         std::vector<std::int32_t> s(1001, 0);
         s[500] = 184;
         return s;
       }(),
       "--trim=-45", "0,1000"},
      {"-6 dBFS is 16423",
       [] {
         std::vector<std::int32_t> s(1000, 16422);
         s[100] = 16423;
         return s;
       }(),
       "--trim=-6", "20,819"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "t.wav", test::makeWave16(c.samples, 8000));
    const test::RunResult r =
        runProgram({"-E16", c.option, "--report=csv", "t.wav", "t.bin"}, {dir.path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::string header, row;
    std::getline(lines, header);
    std::getline(lines, row);
    EXPECT_EQ(header.substr(header.size() - 25), "trimmed_start,trimmed_end");
    EXPECT_EQ(row.substr(row.rfind(',', row.rfind(',') - 1) + 1), c.dropped);
  }
}

}  // namespace
}  // namespace korvane
