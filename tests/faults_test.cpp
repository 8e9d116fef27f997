// Hostile input and failing output, through the program: the right message
// and exit code, the input untouched, no incomplete output left behind.
#include <fstream>

#include <gtest/gtest.h>

#include "app/messages.h"
#include "platform/platform.h"
#include "support.h"
#include "wav/wave_reader.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::readFile;
using test::runInProcess;
using test::runProgram;
using test::TempDir;
using test::writeFile;

std::string messageFor(Failure failure, const std::string& name) {
  char buffer[4096];
  std::snprintf(buffer, sizeof buffer, textOf(failure).format, name.c_str());
  return buffer;
}

TEST(Faults, ReadOnlyOutputFolder) {
  TempDir dir;
  const Bytes wav = test::makeWave16(test::speechLikeSamples(200, 1));
  writeFile(dir / "a.wav", wav);
  // Permission bits do not stop root; sysfs refuses new files to everyone.
  std::string folder = (dir / "locked").string();
  if (!test::kPlatform.modesBindThisUser) {
    folder = test::kPlatform.unwritableFolder;
    if (folder.empty()) GTEST_SKIP() << "no folder here that refuses this user";
  } else {
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  }
  const std::string out = folder + "/a.AD4";
  const test::RunResult r = runProgram({"-E4", "a.wav", out}, {dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, messageFor(Failure::cannotCreate, out));
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(readFile(dir / "a.wav"), wav);
}

// A data chunk of 2^29 + 3 bytes: its size times 8 wraps in 32 bits, the
// sample count must not. The input is a sparse file, so it costs no disk.
TEST(Faults, DataChunkBeyond512MiBCountsEverySample) {
  TempDir dir;
  const std::uint32_t dataBytes = (1u << 29) + 3;
  Bytes header = test::makeWave({}, 8, 8000);
  for (std::size_t i = 0; i < 4; ++i)
    header[40 + i] = static_cast<std::uint8_t>(dataBytes >> (8 * i));
  writeFile(dir / "big.wav", header);
  fs::resize_file(dir / "big.wav", header.size() + dataBytes);
  const test::RunResult r = runProgram({"-E1", "big.wav"}, {dir.path});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::uint64_t n = dataBytes;
  EXPECT_EQ(fs::file_size(dir / "big.WFM"), 10 + (n - 1 + 7) / 8);
  std::ifstream in(dir / "big.WFM", std::ios::binary);
  std::uint8_t head[10];
  ASSERT_TRUE(in.read(reinterpret_cast<char*>(head), sizeof head));
  EXPECT_EQ(loadLe32(head + 2), dataBytes - 1);
  EXPECT_EQ(head[8], 0x00);  // the silent 8-bit byte 0 is -32768
  EXPECT_EQ(head[9], 0x00);
}

// Output buffers, small (heap) and large (a huge-page mapping), start as
// zeros, have exactly the asked length and can be written end to end.
TEST(Faults, OutputBuffersOfEverySize) {
  for (const std::size_t length :
       {std::size_t{0}, std::size_t{1}, std::size_t{4095}, (std::size_t{1} << 20) - 1,
        std::size_t{1} << 20, (std::size_t{2} << 20) + 1, (std::size_t{5} << 20) + 12345}) {
    OutputBuffer buffer;
    allocateOutput(length, buffer);
    ASSERT_EQ(buffer.bytes.size(), length);
    std::size_t nonZero = 0;
    for (const std::uint8_t b : buffer.bytes)
      nonZero += b != 0;
    EXPECT_EQ(nonZero, 0u) << length;
    for (std::uint8_t& b : buffer.bytes)  // a page that is not writable crashes here
      b = 0xA5;
  }
}

// Every prefix of a small valid file: the reader's verdict decides the
// message; a rejected header leaves the output empty, an accepted one
// complete; the input is never changed.
TEST(Faults, TruncatedAtEveryByte) {
  TempDir dir;
  Bytes full = test::makeWave16(test::speechLikeSamples(12, 2), 8000);
  // A LIST chunk ahead of the data puts the chunk scan's edges in reach too.
  const Bytes list = {'L', 'I', 'S', 'T', 4, 0, 0, 0, 'I', 'N', 'F', 'O'};
  full.insert(full.begin() + 36, list.begin(), list.end());
  for (std::size_t length = 0; length <= full.size(); ++length) {
    SCOPED_TRACE(length);
    const Bytes part(full.begin(), full.begin() + static_cast<long>(length));
    const fs::path input = dir / "cut.wav";
    const fs::path output = dir / "cut.AD3";
    writeFile(input, part);
    fs::remove(output);
    const test::InProcess r = runInProcess({"-E3", input.string()});
    WaveInfo wave;
    const WaveError verdict = readWaveInfo(part, wave);
    if (verdict == WaveError::none) {
      EXPECT_EQ(r.exitCode, 0);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(fs::file_size(output), 10 + 3 * ((wave.sampleCount - 1 + 7) / 8));
    } else {
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(r.out, messageFor(failureOf(verdict), input.string()));
      EXPECT_FALSE(fs::exists(output));
    }
    EXPECT_EQ(readFile(input), part);
  }
}

// Device files cut at every byte: each is truncated or, for code 5, of a
// length that fits neither PCM format, and leaves nothing behind.
TEST(Faults, TruncatedDeviceFilesAtEveryByte) {
  TempDir dir;
  writeFile(dir / "a.wav", test::makeWave16(test::speechLikeSamples(21, 3), 8000));
  for (const std::string sw : {"-E4", "-E3", "-E2", "-E1", "-E16", "-E12", "-E8"}) {
    ASSERT_EQ(runInProcess({sw, (dir / "a.wav").string(), (dir / "full.bin").string()}).exitCode,
              0);
    const Bytes full = readFile(dir / "full.bin");
    for (std::size_t length = 0; length < full.size(); ++length) {
      const Bytes part(full.begin(), full.begin() + static_cast<long>(length));
      writeFile(dir / "cut.bin", part);
      const test::InProcess r = runInProcess({"-D", (dir / "cut.bin").string()});
      // A PCM12 file cut to the PCM8 length of its count is a PCM8 file:
      // code 5 cannot tell them apart otherwise.
      if (full[1] == 5 && length == loadLe32(&full[2]) + 8u) {
        EXPECT_EQ(r.exitCode, 0) << sw << " " << length;
        fs::remove(dir / "cut.bin.wav");
        continue;
      }
      EXPECT_EQ(r.exitCode, 1) << sw << " " << length;
      const bool codeFive = length >= 2 && full[1] == 5;
      const Failure cause =
          length > 0 && codeFive && length >= 8 ? Failure::ambiguousLength : Failure::truncated;
      EXPECT_EQ(r.out, messageFor(cause, (dir / "cut.bin").string())) << sw << " " << length;
      EXPECT_FALSE(fs::exists(dir / "cut.bin.wav"));
    }
  }
}

TEST(Faults, OutputIsInputThroughADirectoryLink) {
  if (!test::kPlatform.symlinks) GTEST_SKIP() << "no symbolic links here";
  TempDir dir;
  const Bytes wav = test::makeWave16(test::speechLikeSamples(50, 4));
  fs::create_directory(dir / "real");
  writeFile(dir / "real/v.wav", wav);
  fs::create_directory_symlink("real", dir / "alias");
  const test::RunResult r = runProgram({"-E16", "real/v.wav", "alias/v.wav"}, {dir.path});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, messageFor(Failure::outputIsInput, "alias/v.wav"));
  EXPECT_EQ(readFile(dir / "real/v.wav"), wav);
}

}  // namespace
}  // namespace korvane
