// The stream header, the seed sample and the PCM payloads: worked bytes,
// lengths at every packing boundary, and every byte of a buffer written.
#include <gtest/gtest.h>

#include "convert/convert.h"
#include "support.h"

namespace korvane {
namespace {

using test::Bytes;
using test::makeWave;
using test::makeWave16;

Bytes encode(Format format, const Bytes& file) {
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(file, wave), WaveError::none);
  return encodeStream(format, wave);
}

Bytes tail(const Bytes& stream, std::size_t from) {
  return Bytes(stream.begin() + static_cast<long>(from), stream.end());
}

TEST(StreamHeader, HalfRateKeepsLowSixteenBits) {
  const struct {
    std::uint32_t rate;
    std::uint16_t half;
  } cases[] = {{22050, 11025}, {11025, 5512}, {176400, 22664}, {16000, 8000}, {1, 0}};
  for (const auto& c : cases) {
    const Bytes s = encode(Format::pcm16, makeWave16({0}, c.rate));
    EXPECT_EQ(s[6] | (s[7] << 8), c.half) << c.rate;
  }
  const Bytes s = encode(Format::pcm16, makeWave16({0}, 22050));
  EXPECT_EQ(s[6], 0x11);
  EXPECT_EQ(s[7], 0x2B);
}

TEST(StreamHeader, FormatCodesAndCounts) {
  const struct {
    Format format;
    std::uint8_t code;
    std::uint32_t count;
  } cases[] = {{Format::adpcm4, 4, 5}, {Format::adpcm3, 3, 4}, {Format::adpcm2, 2, 4},
               {Format::wfm, 1, 4},    {Format::pcm16, 16, 5}, {Format::pcm12, 5, 5},
               {Format::pcm8, 5, 5}};
  const Bytes file = makeWave16({1, 2, 3, 4, 5});
  for (const auto& c : cases) {
    const Bytes s = encode(c.format, file);
    EXPECT_EQ(s[0], 0);
    EXPECT_EQ(s[1], c.code);
    EXPECT_EQ(s[2] | (s[3] << 8) | (s[4] << 16) | (s[5] << 24), c.count);
  }
}

TEST(StreamHeader, SeedSampleInOffsetForm) {
  const struct {
    std::int32_t sample;
    std::uint8_t lo, hi, pcm8;
  } cases[] = {{-32768, 0x00, 0x00, 0x00}, {-1, 0xFF, 0x7F, 0x7F},    {0, 0x00, 0x80, 0x80},
               {1, 0x01, 0x80, 0x80},      {32767, 0xFF, 0xFF, 0xFF}, {-20000, 0xE0, 0x31, 0x31}};
  for (const auto& c : cases) {
    const Bytes file = makeWave16({c.sample});
    for (const Format f : {Format::adpcm4, Format::adpcm3, Format::adpcm2, Format::wfm,
                           Format::pcm16, Format::pcm12}) {
      const Bytes s = encode(f, file);
      ASSERT_EQ(s.size(), 10u);
      EXPECT_EQ(s[8], c.lo) << c.sample;
      EXPECT_EQ(s[9], c.hi) << c.sample;
    }
    const Bytes s = encode(Format::pcm8, file);
    ASSERT_EQ(s.size(), 9u);
    EXPECT_EQ(s[8], c.pcm8);
  }
}

// The stream is exactly as long as its layout says, for every sample count
// around every packing unit.
TEST(StreamHeader, LengthsForSmallCounts) {
  for (std::uint32_t n = 1; n <= 40; ++n) {
    const Bytes file = makeWave16(test::randomSamples(n, n));
    const std::uint64_t codes = n - 1;
    const std::pair<Format, std::uint64_t> cases[] = {
        {Format::adpcm4, 10 + n / 2},
        {Format::adpcm3, 10 + 3 * ((codes + 7) / 8)},
        {Format::adpcm2, 10 + (codes + 3) / 4},
        {Format::wfm, 10 + (codes + 7) / 8},
        {Format::pcm16, 2 * n + 8},
        {Format::pcm12, n == 1 ? 10 : (n % 2 == 0 ? 3 * n / 2 + 9 : (3 * n + 19) / 2)},
        {Format::pcm8, n + 8},
    };
    for (const auto& [format, length] : cases) {
      EXPECT_EQ(streamLength(format, n), length) << n;
      EXPECT_EQ(encode(format, file).size(), length) << n;
    }
  }
}

// A caller's buffer may hold anything: every byte of the stream must be
// written, so two buffers filled differently end up the same.
TEST(StreamHeader, EveryByteOfTheBufferIsWritten) {
  const Format formats[] = {Format::adpcm4, Format::adpcm3, Format::adpcm2, Format::wfm,
                            Format::pcm16,  Format::pcm12,  Format::pcm8};
  std::vector<std::uint32_t> lengths;
  for (std::uint32_t n = 1; n <= 40; ++n)
    lengths.push_back(n);
  lengths.push_back(10007);
  for (const std::uint32_t n : lengths) {
    const Bytes file = makeWave16(test::speechLikeSamples(n, n));
    WaveInfo wave;
    ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
    for (const Format format : formats) {
      for (const int level : {0, 1}) {
        Bytes zeros(streamLength(format, n), 0x00);
        Bytes ones(zeros.size(), 0xFF);
        encodeStreamInto(format, wave, zeros, level);
        encodeStreamInto(format, wave, ones, level);
        ASSERT_EQ(zeros, ones) << static_cast<int>(format) << ", N " << n << ", level " << level;
        ASSERT_EQ(zeros, encodeStream(format, wave, level));
      }
    }
  }
}

TEST(StreamHeader, LengthsDoNotWrapForHugeCounts) {
  EXPECT_EQ(streamLength(Format::pcm16, 0xFFFFFFFFu), 8 + 2 * 0xFFFFFFFFull);
  EXPECT_EQ(streamLength(Format::pcm12, 0xFFFFFFFFu), 10 + (3 * 0xFFFFFFFFull - 1) / 2);
  EXPECT_EQ(streamLength(Format::pcm8, 0xFFFFFFFFu), 8 + 0xFFFFFFFFull);
}

TEST(Pcm12, WorkedExample) {
  const Bytes file = makeWave16({0, 11200, -28112, -15008, -1904}, 22050);
  EXPECT_EQ(encode(Format::pcm12, file),
            (Bytes{0x00, 0x05, 0x05, 0x00, 0x00, 0x00, 0x11, 0x2B, 0x00, 0x80, 0xA0, 0xBC, 0x23,
                   0x41, 0x56, 0x89, 0x07}));
  const Bytes four = makeWave16({0, 11200, -28112, -15008}, 22050);
  EXPECT_EQ(encode(Format::pcm12, four), (Bytes{0x00, 0x05, 0x04, 0x00, 0x00, 0x00, 0x11, 0x2B,
                                                0x00, 0x80, 0xA0, 0xBC, 0x23, 0x41, 0x56}));
}

TEST(Pcm12, PairsAndFlushAtBoundaries) {
  // Values in offset form 0x8000, 0x1230, 0x4560, 0x7890, 0xABC0, 0xDEF0.
  const std::vector<std::int32_t> samples = {
      0, 0x1230 - 0x8000, 0x4560 - 0x8000, 0x7890 - 0x8000, 0xABC0 - 0x8000, 0xDEF0 - 0x8000};
  const struct {
    std::size_t n;
    Bytes payload;
  } cases[] = {
      {1, {}},
      {2, {0x10, 0x23}},
      {3, {0x10, 0x23, 0x56, 0x04}},
      {4, {0x10, 0x23, 0x56, 0x74, 0x89}},
      {5, {0x10, 0x23, 0x56, 0x74, 0x89, 0xBC, 0x0A}},
      {6, {0x10, 0x23, 0x56, 0x74, 0x89, 0xBC, 0xDA, 0xEF}},
  };
  for (const auto& c : cases) {
    const std::vector<std::int32_t> part(samples.begin(), samples.begin() + static_cast<long>(c.n));
    EXPECT_EQ(tail(encode(Format::pcm12, makeWave16(part)), 10), c.payload) << c.n;
  }
}

TEST(Pcm16, TopBitInvertedOn16BitInput) {
  const std::vector<std::int32_t> samples = {0, -1, 32767, -32768, 0x1234};
  EXPECT_EQ(tail(encode(Format::pcm16, makeWave16(samples)), 8),
            (Bytes{0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF, 0x00, 0x00, 0x34, 0x92}));
}

TEST(Pcm16, EightBitInputBecomesZeroAndTheByte) {
  const Bytes data = {0x00, 0x7F, 0x80, 0xFF};
  EXPECT_EQ(tail(encode(Format::pcm16, makeWave(data, 8, 8000)), 8),
            (Bytes{0x00, 0x00, 0x00, 0x7F, 0x00, 0x80, 0x00, 0xFF}));
}

TEST(Pcm8, EightBitInputIsCopiedAndSixteenBitTruncated) {
  const Bytes data = {0x00, 0x7F, 0x80, 0xFF, 0x12};
  EXPECT_EQ(tail(encode(Format::pcm8, makeWave(data, 8, 8000)), 8), data);
  EXPECT_EQ(tail(encode(Format::pcm8, makeWave16({-1, 255, -256, 256})), 8),
            (Bytes{0x7F, 0x80, 0x7F, 0x81}));
}

// A 9-bit sample 0x0123 is 291 * 128 = 37248, beyond the 16-bit range; its
// offset form 0x11180 keeps its low 16, 12 and 8 bits by format.
TEST(Pcm, OutOfRangeSamplesKeepLowBits) {
  const Bytes nineBit = makeWave({0x00, 0x00, 0x23, 0x01}, 9, 8000);
  EXPECT_EQ(tail(encode(Format::pcm16, nineBit), 10), (Bytes{0x80, 0x11}));
  EXPECT_EQ(tail(encode(Format::pcm8, nineBit), 9), (Bytes{0x11}));
  EXPECT_EQ(tail(encode(Format::pcm12, nineBit), 10), (Bytes{0x10, 0x18}));
}

}  // namespace
}  // namespace korvane
