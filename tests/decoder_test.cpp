
#include <cmath>

#include <gtest/gtest.h>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "convert/convert.h"
#include "decoder/decoder.h"
#include "quality/fidelity.h"
#include "support.h"
#include "wav/wave_writer.h"

namespace korvane {
namespace {

using test::Bytes;
using test::makeWave16;

constexpr Format kAllFormats[] = {Format::adpcm4, Format::adpcm3, Format::adpcm2, Format::wfm,
                                  Format::pcm16,  Format::pcm12,  Format::pcm8};

Bytes encode(Format format, const std::vector<std::int32_t>& samples) {
  const Bytes file = makeWave16(samples, 16000);
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(file, wave), WaveError::none);
  return encodeStream(format, wave);
}

// The samples of a stream, decoded in memory a piece at a time; read on
// demand, as a file is, several pieces a call, they must come out the same.
std::vector<std::int32_t> decodeAll(const Bytes& stream) {
  const ByteSource onDemand{
      nullptr, stream.size(), &stream,
      [](const void* context, std::uint64_t offset, std::span<std::uint8_t> out) {
        const auto& bytes = *static_cast<const Bytes*>(context);
        std::copy_n(bytes.begin() + static_cast<long>(offset), out.size(), out.begin());
        return true;
      }};
  std::vector<std::int32_t> outs[2];
  for (int read = 0; read < 2; ++read) {
    DecodeCursor cursor;
    EXPECT_EQ(openStream(read == 0 ? memorySource(stream) : onDemand, cursor), DecodeError::none);
    outs[read].assign(1, cursor.seed);
    std::vector<std::int16_t> piece(read == 0 ? kCodePiece : 3 * kCodePiece);
    while (const std::size_t count = decodeSamples(cursor, piece)) {
      outs[read].insert(outs[read].end(), piece.begin(), piece.begin() + static_cast<long>(count));
    }
  }
  EXPECT_EQ(outs[0], outs[1]);
  return outs[0];
}

// What the encoder held after each sample, computed here from the state
// functions, or the input at the format's precision for the PCM formats.
std::vector<std::int32_t> expectedTrace(Format format, const std::vector<std::int32_t>& x) {
  std::vector<std::int32_t> t(1, x[0]);
  AdpcmState adpcm{x[0], 0};
  WfmState wfm = seedWfm(x[0]);
  for (std::size_t i = 1; i < x.size(); ++i) {
    switch (format) {
      case Format::adpcm4:
        quantizeAdpcm4(adpcm, x[i]);
        t.push_back(adpcm.predictor);
        break;
      case Format::adpcm3:
        quantizeAdpcm3(adpcm, x[i]);
        t.push_back(adpcm.predictor);
        break;
      case Format::adpcm2:
        quantizeAdpcm2(adpcm, x[i]);
        t.push_back(adpcm.predictor);
        break;
      case Format::wfm:
        quantizeWfm(wfm, offsetForm(x[i]));
        t.push_back(static_cast<std::int32_t>(wfm.estimate) - 32768);
        break;
      case Format::pcm16:
        t.push_back(x[i]);
        break;
      case Format::pcm12:
        t.push_back(((x[i] + 0x8000) >> 4 << 4) - 0x8000);
        break;
      case Format::pcm8:
        t.push_back(((x[i] + 0x8000) >> 8 << 8) - 0x8000);
        break;
    }
  }
  if (format == Format::pcm8) t[0] = ((x[0] + 0x8000) >> 8 << 8) - 0x8000;
  return t;
}

TEST(Decoder, RoundTripEqualsEncoderTraceForEveryShortLength) {
  for (const Format format : kAllFormats) {
    for (std::size_t n = 1; n <= 40; ++n) {
      SCOPED_TRACE(testing::Message() << factsOf(format).name << " N = " << n);
      for (const auto& x : {test::randomSamples(n, static_cast<std::uint32_t>(n)),
                            test::speechLikeSamples(n, static_cast<std::uint32_t>(n + 100))}) {
        EXPECT_EQ(decodeAll(encode(format, x)), expectedTrace(format, x));
      }
    }
  }
}

TEST(Decoder, RoundTripOnRealRecordingAndLongInput) {
  const std::vector<std::int32_t> voice = test::samplesOf(test::readFile(KORVANE_EXAMPLE));
  const std::vector<std::int32_t> noise = test::randomSamples(5 * kCodePiece + 3, 11);
  for (const Format format : kAllFormats) {
    SCOPED_TRACE(factsOf(format).name);
    EXPECT_EQ(decodeAll(encode(format, voice)), expectedTrace(format, voice));
    EXPECT_EQ(decodeAll(encode(format, noise)), expectedTrace(format, noise));
  }
}

TEST(Decoder, EveryByteOfTheWaveBufferIsWritten) {
  for (const std::uint32_t n : {1u, 2u, 3u, 17u, 4099u}) {
    const Bytes file = makeWave16(test::speechLikeSamples(n, n));
    WaveInfo wave;
    ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
    const Bytes stream = encodeStream(Format::adpcm3, wave);
    DecodeCursor cursor;
    ASSERT_EQ(openStream(stream, cursor), DecodeError::none);
    Bytes zeros(decodedWaveLength(n), 0x00);
    Bytes ones(zeros.size(), 0xFF);
    decodeToWaveInto(cursor, zeros);
    decodeToWaveInto(cursor, ones);
    ASSERT_EQ(zeros, ones) << n;
    ASSERT_EQ(zeros, decodeToWave(cursor)) << n;
  }
}

TEST(Decoder, WorkedExamplesDecodeToTheirSamples) {
  const struct {
    const char* name;
    Bytes file;
    std::vector<std::int32_t> samples;
  } cases[] = {
      {"ad4", {0x00, 0x04, 0x05, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0xA4, 0x19}, {0, 7, 2, -1, 0}},
      {"ad4_lone",
       {0x00, 0x04, 0x06, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0xA4, 0x19, 0x07},
       {0, 7, 2, -1, 0, 11}},
      {"ad3",
       {0x00, 0x03, 0x04, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00, 0xA0, 0x12},
       {0, 8, 1, -1, 0}},
      {"ad3_lone", {0x00, 0x03, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00, 0x00, 0x60}, {0, 11}},
      {"ad2", {0x00, 0x02, 0x04, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x29}, {0, 10, 4, 0, 3}},
      {"ad2_lone", {0x00, 0x02, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x40}, {0, 10}},
      {"wfm_silence",
       {0x00, 0x01, 0x0B, 0, 0, 0, 0xA0, 0x0F, 0x00, 0x80, 0x69, 0x4A},
       {0, 23, 3, -18, 1, -18, -2, 16, 0, 16, 0, 16}},
      {"wfm_three", {0x00, 0x01, 0x02, 0, 0, 0, 0xA0, 0x0F, 0x00, 0x80, 0x01}, {0, 23, 3}},
      {"pcm12",
       {0x00, 0x05, 0x05, 0x00, 0x00, 0x00, 0x11, 0x2B, 0x00, 0x80, 0xA0, 0xBC, 0x23, 0x41, 0x56,
        0x89, 0x07},
       {0, 11200, -28112, -15008, -1904}},
      {"pcm8", {0x00, 0x05, 0x03, 0, 0, 0, 0x11, 0x2B, 0x80, 0x00, 0xFF}, {0, -32768, 32512}},
      {"pcm16", {0x00, 0x10, 0x02, 0, 0, 0, 0x11, 0x2B, 0x00, 0x80, 0x34, 0x92}, {0, 0x1234}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decodeAll(c.file), c.samples) << c.name;
}

TEST(Decoder, CodeFiveIsToldApartByExactLength) {
  for (std::uint32_t n = 1; n <= 12; ++n) {
    SCOPED_TRACE(n);
    const std::vector<std::int32_t> x = test::randomSamples(n, n + 40);
    const Bytes pcm12 = encode(Format::pcm12, x);
    const Bytes pcm8 = encode(Format::pcm8, x);
    DecodeCursor c;
    ASSERT_EQ(openStream(pcm12, c), DecodeError::none);
    EXPECT_EQ(c.info.format, Format::pcm12);
    ASSERT_EQ(openStream(pcm8, c), DecodeError::none);
    EXPECT_EQ(c.info.format, Format::pcm8);
    for (const Bytes& exact : {pcm12, pcm8}) {
      Bytes longer = exact;
      longer.push_back(0);
      Bytes shorter(exact.begin(), exact.end() - 1);
      if (longer.size() != pcm12.size() && longer.size() != pcm8.size()) {
        EXPECT_EQ(openStream(longer, c), DecodeError::ambiguousLength);
      }
      if (shorter.size() != pcm12.size() && shorter.size() != pcm8.size()) {
        EXPECT_EQ(openStream(shorter, c), DecodeError::ambiguousLength);
      }
    }
  }
}

TEST(Decoder, PaddingIsIgnoredAndShortFilesAreTruncated) {
  for (const Format format :
       {Format::adpcm4, Format::adpcm3, Format::adpcm2, Format::wfm, Format::pcm16}) {
    for (std::size_t n : {1u, 2u, 8u, 9u, 10u, 17u}) {
      SCOPED_TRACE(testing::Message() << factsOf(format).name << " N = " << n);
      const std::vector<std::int32_t> x = test::speechLikeSamples(n, 5);
      const Bytes exact = encode(format, x);
      Bytes padded = exact;
      padded.insert(padded.end(), 5, 0xFF);
      EXPECT_EQ(decodeAll(padded), decodeAll(exact));
      for (std::size_t length = 0; length < exact.size(); ++length) {
        DecodeCursor c;
        const Bytes part(exact.begin(), exact.begin() + static_cast<long>(length));
        EXPECT_EQ(openStream(part, c), DecodeError::truncated) << length;
      }
    }
  }
}

TEST(Decoder, BadInputCauses) {
  const struct {
    const char* name;
    Bytes file;
    DecodeError error;
  } cases[] = {
      {"empty", {}, DecodeError::truncated},
      {"not_device_file",
       {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'},
       DecodeError::notDeviceFile},
      {"short_header", {0x00, 0x04, 0x01}, DecodeError::truncated},
      {"unknown_code",
       {0x00, 0x07, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80},
       DecodeError::unknownFormat},
      {"code_12_is_not_pcm12",
       {0x00, 0x0C, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80},
       DecodeError::unknownFormat},
      {"count_zero_ad4",
       {0x00, 0x04, 0x00, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80},
       DecodeError::noSamples},
      {"count_zero_pcm16",
       {0x00, 0x10, 0x00, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80},
       DecodeError::noSamples},
      {"seed_missing", {0x00, 0x02, 0x00, 0, 0, 0, 0x40, 0x1F, 0x00}, DecodeError::truncated},
      {"codes_missing",
       {0x00, 0x03, 0x02, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00, 0x00},
       DecodeError::truncated},
      {"huge_count_short_file",
       {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x1F, 0x00, 0x80},
       DecodeError::truncated},
      {"code_5_fits_neither",
       {0x00, 0x05, 0x02, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00},
       DecodeError::ambiguousLength},
  };
  for (const auto& c : cases) {
    DecodeCursor cursor;
    EXPECT_EQ(openStream(c.file, cursor), c.error) << c.name;
  }
}

// A WFM stream of 2^32 samples is complete at 10 + 2^29 bytes but cannot fit a
// WAV file. The buffer is untouched but for its header, so it costs no memory.
TEST(Decoder, StreamTooLongForAWavFile) {
  const std::size_t length = 10 + (std::size_t{1} << 29);
  const auto memory = std::make_unique_for_overwrite<std::uint8_t[]>(length);
  std::uint8_t* bytes = memory.get();
  const Bytes head = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x40, 0x1F, 0x00, 0x80};
  std::copy(head.begin(), head.end(), bytes);
  DecodeCursor cursor;
  EXPECT_EQ(openStream(std::span(bytes, length), cursor), DecodeError::tooLong);
  EXPECT_EQ(openStream(std::span(bytes, length - 1), cursor), DecodeError::truncated);
}

TEST(Decoder, WaveOutputIsAPlainMonoSixteenBitFile) {
  const std::vector<std::int32_t> x = test::speechLikeSamples(1000, 2);
  const Bytes stream = encode(Format::adpcm3, x);
  DecodeCursor cursor;
  ASSERT_EQ(openStream(stream, cursor), DecodeError::none);
  const Bytes wav = decodeToWave(cursor);
  ASSERT_EQ(wav.size(), kWaveHeaderBytes + 2 * x.size());
  const Bytes header(wav.begin(), wav.begin() + 44);
  Bytes expected = {'R', 'I', 'F', 'F'};
  test::putLe32(expected, 36 + 2000);
  for (const char c : std::string("WAVEfmt "))
    expected.push_back(static_cast<std::uint8_t>(c));
  test::putLe32(expected, 16);
  test::putLe16(expected, 1);
  test::putLe16(expected, 1);
  test::putLe32(expected, 16000);
  test::putLe32(expected, 32000);
  test::putLe16(expected, 2);
  test::putLe16(expected, 16);
  test::putTag(expected, "data");
  test::putLe32(expected, 2000);
  EXPECT_EQ(header, expected);
  EXPECT_EQ(test::samplesOf(wav), decodeAll(stream));
}

TEST(Decoder, SampleRateIsTwiceHalfRate) {
  const Bytes odd = encode(Format::pcm16, {1, 2});
  Bytes s = odd;
  s[6] = 0x11;  // 11025 -> 22050
  s[7] = 0x2B;
  DecodeCursor c;
  ASSERT_EQ(openStream(s, c), DecodeError::none);
  EXPECT_EQ(c.info.sampleRate, 22050u);
}

TEST(Decoder, FidelityMatchesADirectSum) {
  const std::vector<std::int32_t> x = test::speechLikeSamples(3000, 8);
  const Bytes file = makeWave16(x, 16000);
  WaveInfo wave;
  ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
  for (const Format format : kAllFormats) {
    const Bytes stream = encodeStream(format, wave);
    const std::vector<std::int32_t> y = decodeAll(stream);
    double signal = 0;
    double error = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      signal += double(x[i]) * x[i];
      error += double(x[i] - y[i]) * (x[i] - y[i]);
    }
    DecodeCursor c;
    ASSERT_EQ(openStream(stream, c), DecodeError::none);
    const Fidelity f = measureFidelity(wave, c);
    EXPECT_DOUBLE_EQ(f.signalEnergy, signal);
    EXPECT_DOUBLE_EQ(f.errorEnergy, error);
  }
  EXPECT_TRUE(std::isinf(snrDb({1.0, 0.0})));
  EXPECT_DOUBLE_EQ(snrDb({100.0, 1.0}), 20.0);
}

}  // namespace
}  // namespace korvane
