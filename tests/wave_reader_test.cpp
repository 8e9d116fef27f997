#include <gtest/gtest.h>

#include "support.h"
#include "wav/wave_reader.h"

namespace korvane {
namespace {

using test::Bytes;
using test::makeWave;
using test::putLe16;
using test::putLe32;
using test::putTag;

// A header built field by field, so each case can break exactly one thing.
struct HeaderSpec {
  const char* riff = "RIFF";
  const char* wave = "WAVE";
  const char* fmt = "fmt ";
  std::uint32_t fmtSize = 16;
  std::uint16_t formatTag = 1;
  std::uint16_t channels = 1;
  std::uint16_t bits = 16;
  Bytes fmtExtra;  // bytes after the sixteen standard fmt bytes
  Bytes between;   // chunks between fmt and data
  const char* dataTag = "data";
  std::int64_t dataSize = -1;  // -1: the real size
  Bytes data = {0x34, 0x12};
};

Bytes build(const HeaderSpec& h) {
  Bytes out;
  putTag(out, h.riff);
  putLe32(out, 1234);  // never looked at
  putTag(out, h.wave);
  putTag(out, h.fmt);
  putLe32(out, h.fmtSize);
  putLe16(out, h.formatTag);
  putLe16(out, h.channels);
  putLe32(out, 16000);
  putLe32(out, 32000);
  putLe16(out, 2);
  putLe16(out, h.bits);
  out.insert(out.end(), h.fmtExtra.begin(), h.fmtExtra.end());
  out.insert(out.end(), h.between.begin(), h.between.end());
  putTag(out, h.dataTag);
  putLe32(out, h.dataSize < 0 ? static_cast<std::uint32_t>(h.data.size())
                              : static_cast<std::uint32_t>(h.dataSize));
  out.insert(out.end(), h.data.begin(), h.data.end());
  return out;
}

Bytes chunk(const char* tag, const Bytes& contents) {
  Bytes out;
  putTag(out, tag);
  putLe32(out, static_cast<std::uint32_t>(contents.size()));
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

const Bytes kPcmGuid = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

Bytes extensibleTail(const Bytes& guid) {
  Bytes out;
  putLe16(out, 22);  // cbSize
  putLe16(out, 16);  // valid bits
  putLe32(out, 4);   // channel mask
  out.insert(out.end(), guid.begin(), guid.end());
  return out;
}

struct HeaderCase {
  const char* name;
  Bytes file;
  WaveError error;
  std::uint32_t sampleCount;
};

std::vector<HeaderCase> headerCases() {
  std::vector<HeaderCase> cases;
  auto add = [&](const char* name, const HeaderSpec& h, WaveError e, std::uint32_t n = 0) {
    cases.push_back({name, build(h), e, n});
  };
  HeaderSpec h;
  add("plain", h, WaveError::none, 1);
  h = {};
  h.riff = "RIFX";
  add("rifx", h, WaveError::notRiff);
  h = {};
  h.wave = "AVI ";
  add("not_wave_form", h, WaveError::notWave);
  h = {};
  h.fmt = "JUNK";
  add("junk_before_fmt", h, WaveError::notWave);
  h = {};
  h.formatTag = 3;
  add("float", h, WaveError::notPcm);
  h = {};
  h.formatTag = 3;
  h.channels = 2;
  add("stereo_float_is_pcm_message", h, WaveError::notPcm);
  h = {};
  h.channels = 2;
  add("stereo", h, WaveError::notMono);
  h = {};
  h.channels = 0;
  add("no_channels", h, WaveError::notMono);
  h = {};
  h.bits = 0;
  add("bits_0", h, WaveError::bitsNotSupported);
  h = {};
  h.bits = 33;
  add("bits_33", h, WaveError::bitsNotSupported);
  h = {};
  h.fmtSize = 18;
  h.fmtExtra = {0, 0};
  add("fmt_18", h, WaveError::none, 1);
  h = {};
  h.fmtSize = 17;
  h.fmtExtra = {0};
  add("fmt_odd_no_pad", h, WaveError::none, 1);
  h = {};
  h.between = chunk("LIST", {1, 2, 3, 4});
  add("list_chunk_skipped", h, WaveError::none, 1);
  h = {};
  h.between = chunk("DATA", {1, 2, 3, 4, 5, 6});
  add("upper_case_data_skipped", h, WaveError::none, 1);
  h = {};
  h.dataTag = "fact";
  add("no_data_chunk", h, WaveError::noDataChunk);
  h = {};
  h.between = chunk("LIST", {1, 2, 3, 4});
  h.between[4] = 0xFF;  // size points far past the end
  add("chunk_size_past_end", h, WaveError::noDataChunk);
  h = {};
  h.between = chunk("odd!", {1, 2, 3});
  h.between.push_back(0);  // the pad byte a writer adds, which the scan does not skip
  add("odd_chunk_misaligns_scan", h, WaveError::noDataChunk);
  h = {};
  h.data = {};
  add("empty_data", h, WaveError::noSamples);
  h = {};
  h.data = {0x01};
  add("data_shorter_than_a_sample", h, WaveError::noSamples);
  h = {};
  h.dataSize = 0xFFFFFFFF;
  h.data = {1, 2, 3, 4, 5};
  add("streamed_size_counts_present_samples", h, WaveError::none, 2);
  h = {};
  h.data = Bytes(1001, 0);
  add("data_1001_bytes_16_bit", h, WaveError::none, 500);
  h = {};
  h.bits = 12;
  h.data = Bytes(1001, 0);
  add("12_bit_counts_containers", h, WaveError::none, 500);
  h = {};
  h.bits = 20;
  h.data = Bytes(10, 0);
  add("20_bit_counts_containers", h, WaveError::none, 3);
  h = {};
  h.bits = 32;
  h.data = Bytes(9, 0);
  add("32_bit", h, WaveError::none, 2);
  h = {};
  h.bits = 8;
  h.data = Bytes(7, 0x80);
  add("8_bit", h, WaveError::none, 7);
  h = {};
  h.formatTag = 0xFFFE;
  h.fmtSize = 40;
  h.fmtExtra = extensibleTail(kPcmGuid);
  add("extensible_pcm", h, WaveError::none, 1);
  h = {};
  h.formatTag = 0xFFFE;
  h.fmtSize = 40;
  Bytes floatGuid = kPcmGuid;
  floatGuid[0] = 0x03;
  h.fmtExtra = extensibleTail(floatGuid);
  add("extensible_float", h, WaveError::notPcm);
  h = {};
  h.formatTag = 0xFFFE;
  h.fmtSize = 38;
  h.fmtExtra = extensibleTail(kPcmGuid);
  h.fmtExtra.resize(22);
  add("extensible_short_fmt", h, WaveError::notPcm);

  // Files cut short: each test whose bytes are missing fails as that test.
  const Bytes full = build({});
  auto cut = [&](const char* name, std::size_t length, WaveError e) {
    cases.push_back({name, Bytes(full.begin(), full.begin() + static_cast<long>(length)), e, 0});
  };
  cut("empty_file", 0, WaveError::notRiff);
  cut("riff_cut", 3, WaveError::notRiff);
  cut("ten_bytes", 10, WaveError::notWave);
  cut("fmt_tag_cut", 14, WaveError::notWave);
  cut("header_cut_at_20", 20, WaveError::notWave);
  cut("header_cut_at_35", 35, WaveError::notWave);
  cut("header_without_chunks", 36, WaveError::noDataChunk);
  cut("data_size_cut", 42, WaveError::noDataChunk);
  cut("data_chunk_header_only", 44, WaveError::noSamples);
  return cases;
}

TEST(WaveReader, HeaderCases) {
  for (const HeaderCase& c : headerCases()) {
    SCOPED_TRACE(c.name);
    WaveInfo info;
    const WaveError error = readWaveInfo(c.file, info);
    EXPECT_EQ(error, c.error);
    if (error == WaveError::none) {
      EXPECT_EQ(info.sampleCount, c.sampleCount);
      EXPECT_EQ(info.formatTag, 1);
      EXPECT_EQ(info.channels, 1);
      EXPECT_EQ(info.dataTag, kDataTag);
      EXPECT_EQ(info.cursor, info.dataStart);
      EXPECT_LE(
          info.dataStart + std::uint64_t{info.sampleCount} * containerBytes(info.bitsPerSample),
          c.file.size());
    }
  }
}

TEST(WaveReader, EveryTruncationOfAValidFileIsRejectedOrInBounds) {
  const Bytes full = makeWave(Bytes(40, 0x11), 16, 8000);
  for (std::size_t length = 0; length < full.size(); ++length) {
    const Bytes part(full.begin(), full.begin() + static_cast<long>(length));
    WaveInfo info;
    if (readWaveInfo(part, info) == WaveError::none) {
      EXPECT_EQ(info.sampleCount, (length - 44) / 2) << length;
    } else {
      EXPECT_LE(length, 45u);
    }
  }
}

TEST(WaveReader, RecordFields) {
  HeaderSpec h;
  h.data = Bytes(6, 0);
  const Bytes file = build(h);
  WaveInfo info;
  ASSERT_EQ(readWaveInfo(file, info), WaveError::none);
  EXPECT_EQ(info.sampleRate, 16000u);
  EXPECT_EQ(info.byteRate, 32000u);
  EXPECT_EQ(info.blockAlign, 2);
  EXPECT_EQ(info.bitsPerSample, 16);
  EXPECT_EQ(info.dataSize, 6u);
  EXPECT_EQ(info.dataStart, 44u);
}

struct SampleCase {
  std::uint16_t bits;
  Bytes bytes;
  std::int32_t value;
};

TEST(WaveReader, NextSampleWorkedValues) {
  const SampleCase cases[] = {
      {8, {0x80}, 0},
      {8, {0x00}, -32768},
      {8, {0xFF}, 32512},
      {4, {0x81}, 1 << 12},
      {16, {0x34, 0x12}, 0x1234},
      {16, {0xFF, 0xFF}, -1},
      {16, {0x00, 0x80}, -32768},
      {12, {0x01, 0x00}, 16},
      {24, {0x56, 0x34, 0x12}, 0x1234},
      {24, {0xFF, 0xFF, 0xFF}, -1},
      {24, {0x00, 0x00, 0x80}, -32768},
      {20, {0x01, 0x00, 0x00}, 0},  // 16 >> 8 drops the low bits
      {20, {0x00, 0x10, 0x00}, 256},
      {32, {0x00, 0x00, 0x34, 0x12}, 0x1234},
      {32, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
      {32, {0x00, 0x00, 0x00, 0x80}, -32768},
      {25, {0x00, 0x00, 0x00, 0x01}, -32768},  // bit 24 is a 25-bit sample's sign
      {25, {0x00, 0x00, 0x00, 0x02}, 0},       // bits beyond the sample width shift out
      {25, {0x00, 0x00, 0xFF, 0x00}, 0x7F80},  // left-aligned by 7, then >> 16
  };
  for (const SampleCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits");
    Bytes data = c.bytes;
    data.insert(data.end(), c.bytes.begin(), c.bytes.end());
    const Bytes file = makeWave(data, c.bits, 8000);
    WaveInfo info;
    ASSERT_EQ(readWaveInfo(file, info), WaveError::none);
    ASSERT_EQ(info.sampleCount, 2u);
    EXPECT_EQ(nextSample(info), c.value);
    EXPECT_EQ(info.cursor - info.dataStart, c.bytes.size());
    EXPECT_EQ(nextSample(info), c.value);
  }
}

// A file read on demand, as a file on disk is: fill counts its calls.
struct OnDemand {
  const Bytes& bytes;
  int fills = 0;
  static bool fill(const void* context, std::uint64_t offset, std::span<std::uint8_t> out) {
    auto& self = *const_cast<OnDemand*>(static_cast<const OnDemand*>(context));
    ++self.fills;
    std::copy_n(self.bytes.begin() + static_cast<long>(offset), out.size(), out.begin());
    return true;
  }
  ByteSource source() const { return {nullptr, bytes.size(), this, fill}; }
};

// nextSamples, and a SampleReader from memory or on demand, hand out what as
// many nextSample calls would, for every width, in pieces that cross the
// reader's buffer; the reader reads a long file in few large reads.
TEST(WaveReader, EveryWayOfReadingGivesTheSameSamples) {
  for (std::uint16_t bits = 1; bits <= 32; ++bits) {
    SCOPED_TRACE(testing::Message() << bits << " bits");
    Bytes data(containerBytes(bits) * 70001);
    for (std::size_t i = 0; i < data.size(); ++i)
      data[i] = static_cast<std::uint8_t>(i * 73 + 11);
    const Bytes file = makeWave(data, bits, 8000);
    WaveInfo one;
    ASSERT_EQ(readWaveInfo(file, one), WaveError::none);
    WaveInfo many = one;
    OnDemand disk{file};
    WaveInfo read;
    ASSERT_EQ(readWaveInfo(disk.source(), read), WaveError::none);
    ASSERT_EQ(read.sampleCount, one.sampleCount);
    SampleReader fromMemory(one);
    SampleReader fromDisk(read);
    std::vector<std::int32_t> expected;
    for (std::uint32_t i = 0; i < one.sampleCount; ++i)
      expected.push_back(nextSample(one));
    const std::size_t cuts[] = {5, 4096, 65536, 333};
    std::vector<std::vector<std::int32_t>> got(3, std::vector<std::int32_t>(expected.size()));
    for (std::size_t at = 0, k = 0; at < expected.size(); at += cuts[k++ % 4]) {
      const std::size_t n = std::min(cuts[k % 4], expected.size() - at);
      nextSamples(many, std::span(got[0]).subspan(at, n));
      fromMemory.next(std::span(got[1]).subspan(at, n));
      fromDisk.next(std::span(got[2]).subspan(at, n));
    }
    for (const std::vector<std::int32_t>& g : got)
      EXPECT_TRUE(g == expected);
    EXPECT_EQ(many.cursor, one.cursor);
    EXPECT_LE(disk.fills, static_cast<int>(3 + data.size() / 16384));  // the header: two
  }
}

}  // namespace
}  // namespace korvane
