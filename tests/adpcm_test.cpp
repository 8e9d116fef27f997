#include <gtest/gtest.h>

#include "codec/adpcm.h"
#include "convert/convert.h"
#include "support.h"

namespace korvane {
namespace {

using test::Bytes;
using test::makeWave16;

Format formatOfWidth(unsigned bits) {
  return bits == 4 ? Format::adpcm4 : bits == 3 ? Format::adpcm3 : Format::adpcm2;
}

Bytes encodeSamples(unsigned bits, const std::vector<std::int32_t>& samples) {
  const Bytes file = makeWave16(samples, 16000);
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(file, wave), WaveError::none);
  return encodeStream(formatOfWidth(bits), wave);
}

struct Traced {
  std::vector<std::uint8_t> codes;
  std::vector<AdpcmState> states;  // after each code
};

Traced trace(unsigned bits, const std::vector<std::int32_t>& samples) {
  Traced t;
  AdpcmState state{samples[0], 0};
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const std::uint8_t code = bits == 4   ? quantizeAdpcm4(state, samples[i])
                              : bits == 3 ? quantizeAdpcm3(state, samples[i])
                                          : quantizeAdpcm2(state, samples[i]);
    t.codes.push_back(code);
    t.states.push_back(state);
  }
  return t;
}

std::vector<std::int32_t> repeat(std::int32_t first, std::size_t count, std::int32_t value) {
  std::vector<std::int32_t> v(1, first);
  v.insert(v.end(), count, value);
  return v;
}

std::vector<std::int32_t> join(std::vector<std::int32_t> a, const std::vector<std::int32_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct WorkedCase {
  const char* name;
  unsigned bits;
  std::vector<std::int32_t> samples;
  std::vector<std::uint8_t> codes;          // empty: not checked
  std::vector<std::pair<int, int>> states;  // (predictor, stepIndex) after each code
  Bytes file;                               // the whole file, or its end when tailOnly
  bool tailOnly = false;
};

const std::vector<WorkedCase>& workedCases() {
  static const std::vector<WorkedCase> cases = {
      {"ad4_one_sample", 4, {0}, {}, {}, {0x00, 0x04, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80}},
      {"ad4_two_samples",
       4,
       {0, 7},
       {4},
       {{7, 2}},
       {0x00, 0x04, 0x02, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x04}},
      {"ad4_equal_threshold_and_lower_clamp",
       4,
       {0, 7, 3, -1, 0},
       {4, 10, 9, 1},
       {{7, 2}, {2, 1}, {-1, 0}, {0, 0}},
       {0x00, 0x04, 0x05, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0xA4, 0x19}},
      {"ad4_lone_last_code",
       4,
       {0, 7, 3, -1, 0, 100},
       {4, 10, 9, 1, 7},
       {{7, 2}, {2, 1}, {-1, 0}, {0, 0}, {11, 8}},
       {0x00, 0x04, 0x06, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0xA4, 0x19, 0x07}},
      {"ad4_falling",
       4,
       {0, -1000, -1000, -1000, -1000},
       {15, 15, 15, 15},
       {{-11, 8}, {-41, 16}, {-104, 24}, {-240, 32}},
       {0x00, 0x80, 0xFF, 0xFF},
       true},
      {"ad4_clamps",
       4,
       repeat(-32768, 14, 32767),
       {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 1, 0, 0},
       {{},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {-7729, 80},
        {20937, 88},
        {32767, 87},
        {32767, 86},
        {32767, 85}},
       {0x00, 0x04, 0x0F, 0, 0, 0, 0x40, 0x1F, 0x00, 0x00, 0x77, 0x77, 0x77, 0x77, 0x77, 0x17,
        0x00}},
      {"ad3_one_sample", 3, {0}, {}, {}, {0x00, 0x03, 0x00, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80}},
      {"ad2_one_sample", 2, {0}, {}, {}, {0x00, 0x02, 0x00, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80}},
      {"ad2_two_samples",
       2,
       {0, 1000},
       {1},
       {{10, 5}},
       {0x00, 0x02, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x40}},
      {"ad3_two_samples",
       3,
       {0, 1000},
       {3},
       {{11, 7}},
       {0x00, 0x03, 0x01, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00, 0x00, 0x60}},
      {"ad2_nine_zeros",
       2,
       std::vector<std::int32_t>(9, 0),
       {0, 2, 0, 2, 0, 2, 0, 2},
       {{3, 0}, {0, 0}, {3, 0}, {0, 0}, {3, 0}, {0, 0}, {3, 0}, {0, 0}},
       {0x00, 0x80, 0x88, 0x88},
       true},
      {"ad3_nine_zeros",
       3,
       std::vector<std::int32_t>(9, 0),
       {0, 4, 0, 4, 0, 4, 0, 4},
       {{1, 0}, {0, 0}, {1, 0}, {0, 0}, {1, 0}, {0, 0}, {1, 0}, {0, 0}},
       {0x00, 0x80, 0x20, 0x08, 0x82},
       true},
      {"ad3_equal_thresholds",
       3,
       {0, 7, 3, -1, 0},
       {2, 5, 4, 0},
       {{8, 3}, {1, 1}, {-1, 0}, {0, 0}},
       {0x00, 0x03, 0x04, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x00, 0xA0, 0x12}},
      {"ad2_full_byte",
       2,
       {0, 7, 3, -1, 0},
       {1, 2, 2, 0},
       {{10, 5}, {4, 2}, {0, 0}, {3, 0}},
       {0x00, 0x02, 0x04, 0, 0, 0, 0x40, 0x1F, 0x00, 0x80, 0x29}},
      {"ad2_rising_ramp",
       2,
       {0, 1000, 2000, 3000, 4000, -4000},
       {1, 1, 1, 1, 3},
       {},
       {0x00, 0x80, 0x55, 0xC0},
       true},
      {"ad3_rising_ramp",
       3,
       {0, 1000, 2000, 3000, 4000, -4000},
       {3, 3, 3, 3, 7},
       {{11, 7}, {35, 14}, {84, 21}, {179, 28}, {-7, 35}},
       {0x00, 0x80, 0x00, 0xB6, 0xED},
       true},
      {"ad2_clamps",
       2,
       join(repeat(-32768, 17, 32767), {-32768, 32767}),
       {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3, 1},
       {{},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {27699, 85},
        {-9235, 88},
        {32767, 88}},
       {0x00, 0x02, 0x13, 0, 0, 0, 0x40, 0x1F, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x74}},
      {"ad3_clamps",
       3,
       join(repeat(-32768, 13, 32767), {-32768, 32767}),
       {3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 2, 7, 3},
       {{},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {},
        {8492, 84},
        {32767, 87},
        {-19372, 88},
        {32767, 88}},
       {0x00, 0x03, 0x0F, 0, 0, 0, 0x40, 0x1F, 0x00, 0x00, 0xDB, 0xB6, 0x6D, 0xD8, 0x36, 0x7D}},
  };
  return cases;
}

TEST(Adpcm, WorkedExamples) {
  for (const WorkedCase& c : workedCases()) {
    SCOPED_TRACE(c.name);
    const Traced t = trace(c.bits, c.samples);
    if (!c.codes.empty()) {
      EXPECT_EQ(t.codes, c.codes);
    }
    ASSERT_LE(c.states.size(), t.states.size());
    for (std::size_t i = 0; i < c.states.size(); ++i) {
      if (c.states[i] == std::pair<int, int>{}) continue;  // not given
      EXPECT_EQ(t.states[i].predictor, c.states[i].first) << "code " << i;
      EXPECT_EQ(t.states[i].stepIndex, c.states[i].second) << "code " << i;
    }
    const Bytes file = encodeSamples(c.bits, c.samples);
    if (c.tailOnly) {
      ASSERT_GE(file.size(), c.file.size());
      EXPECT_EQ(Bytes(file.end() - static_cast<long>(c.file.size()), file.end()), c.file);
    } else {
      EXPECT_EQ(file, c.file);
    }
  }
}

TEST(Adpcm, StepTableAnchors) {
  EXPECT_EQ(kStepTable.size(), 89u);
  const std::pair<int, int> anchors[] = {{0, 7},     {8, 16},    {16, 34},    {24, 73},
                                         {32, 157},  {40, 337},  {48, 724},   {56, 1552},
                                         {64, 3327}, {72, 7132}, {80, 15289}, {88, 32767}};
  for (const auto& [index, step] : anchors) {
    EXPECT_EQ(kStepTable[static_cast<std::size_t>(index)], step) << index;
  }
  for (std::size_t i = 1; i < kStepTable.size(); ++i)
    EXPECT_GT(kStepTable[i], kStepTable[i - 1]);
}

// At step 7 the deltas are sums of separately shifted steps (4 and 11 for the
// 3-bit magnitudes 1 and 3, where one product would give 5 and 12).
TEST(Adpcm, DeltasAtSmallestStep) {
  const struct {
    unsigned bits;
    std::uint8_t code;
    int delta;
  } cases[] = {{4, 0, 0},  {4, 4, 7},   {4, 7, 11}, {4, 8, 0},  {3, 0, 1},  {3, 1, 4},  {3, 2, 8},
               {3, 3, 11}, {3, 7, -11}, {2, 0, 3},  {2, 1, 10}, {2, 2, -3}, {2, 3, -10}};
  for (const auto& c : cases) {
    AdpcmState state{100, 0};
    const std::int32_t p = c.bits == 4   ? reconstructAdpcm4(state, c.code)
                           : c.bits == 3 ? reconstructAdpcm3(state, c.code)
                                         : reconstructAdpcm2(state, c.code);
    EXPECT_EQ(p - 100, c.delta) << c.bits << "-bit code " << int{c.code};
  }
}

// Codes read back bit by bit from where the layout puts the code of sample k,
// independently of the packing code.
std::vector<std::uint8_t> readCodes(unsigned bits, const Bytes& file, std::size_t codeCount) {
  std::vector<std::uint8_t> codes;
  for (std::size_t k = 1; k <= codeCount; ++k) {
    unsigned code = 0;
    if (bits == 4) {
      const std::uint8_t byte = file[10 + (k - 1) / 2];
      code = (k % 2 == 1) ? byte & 0xF : byte >> 4;
    } else {
      const std::size_t perGroup = bits == 3 ? 8 : 4;
      const std::size_t groupBytes = bits == 3 ? 3 : 1;
      const std::size_t g = (k - 1) / perGroup;
      const std::size_t inGroup = std::min(perGroup, codeCount - g * perGroup);
      const std::size_t j = (k - 1) % perGroup + (perGroup - inGroup);
      std::uint32_t v = 0;
      for (std::size_t b = 0; b < groupBytes; ++b)
        v |= std::uint32_t{file[10 + g * groupBytes + b]} << (8 * b);
      code = (v >> (j * bits)) & ((1u << bits) - 1);
    }
    codes.push_back(static_cast<std::uint8_t>(code));
  }
  return codes;
}

// A player from the stored seed and stepIndex 0 holds, after each unpacked
// code, the predictor the encoder held.
void expectPlayerFollowsEncoder(unsigned bits, const std::vector<std::int32_t>& samples) {
  const Bytes file = encodeSamples(bits, samples);
  const std::size_t codeCount = samples.size() - 1;
  const std::vector<std::uint8_t> codes = readCodes(bits, file, codeCount);
  const Traced t = trace(bits, samples);
  ASSERT_EQ(codes, t.codes);
  AdpcmState player{(file[8] | (file[9] << 8)) - 0x8000, 0};
  for (std::size_t i = 0; i < codeCount; ++i) {
    const std::int32_t p = bits == 4   ? reconstructAdpcm4(player, codes[i])
                           : bits == 3 ? reconstructAdpcm3(player, codes[i])
                                       : reconstructAdpcm2(player, codes[i]);
    ASSERT_EQ(p, t.states[i].predictor) << i;
    ASSERT_EQ(player.stepIndex, t.states[i].stepIndex) << i;
  }
  // Unused bits of a partial last byte or group are zero.
  if (bits != 4) {
    const std::size_t perGroup = bits == 3 ? 8 : 4;
    const std::size_t r = codeCount % perGroup;
    if (r != 0) {
      const std::size_t groupBytes = bits == 3 ? 3 : 1;
      std::uint32_t v = 0;
      for (std::size_t b = 0; b < groupBytes; ++b)
        v |= std::uint32_t{file[file.size() - groupBytes + b]} << (8 * b);
      EXPECT_EQ(v & ((1u << ((perGroup - r) * bits)) - 1), 0u);
    }
  } else if (codeCount % 2 == 1) {
    EXPECT_EQ(file.back() >> 4, 0);
  }
}

TEST(Adpcm, PlayerFollowsEncoderForEveryShortLength) {
  for (const unsigned bits : {4u, 3u, 2u}) {
    for (std::size_t n = 1; n <= 40; ++n) {
      SCOPED_TRACE(testing::Message() << bits << "-bit, N = " << n);
      expectPlayerFollowsEncoder(bits, test::randomSamples(n, static_cast<std::uint32_t>(n)));
      expectPlayerFollowsEncoder(bits, test::speechLikeSamples(n, static_cast<std::uint32_t>(n)));
    }
  }
}

TEST(Adpcm, PlayerFollowsEncoderOnLongInput) {
  for (const unsigned bits : {4u, 3u, 2u}) {
    SCOPED_TRACE(testing::Message() << bits << "-bit");
    expectPlayerFollowsEncoder(bits, test::speechLikeSamples(100003, 7));
    expectPlayerFollowsEncoder(bits, test::randomSamples(3 * kCodePiece + 5, 9));
  }
}

// Narrow input widths deliver values beyond 16 bits; the arithmetic takes
// them in 32 bits and the clamps bring the predictor back into range.
TEST(Adpcm, OutOfRangeSamplesStayInRange) {
  const Bytes oneBit = test::makeWave({0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xFF}, 1, 8000);
  WaveInfo wave;
  ASSERT_EQ(readWaveInfo(oneBit, wave), WaveError::none);
  const std::vector<std::int32_t> samples = test::samplesOf(oneBit);
  EXPECT_EQ(samples[0], 127 * 32768);
  for (const unsigned bits : {4u, 3u, 2u}) {
    const Traced t = trace(bits, samples);
    for (const AdpcmState& s : t.states) {
      EXPECT_GE(s.predictor, -32768);
      EXPECT_LE(s.predictor, 32767);
    }
    const Bytes file = encodeStream(formatOfWidth(bits), wave);
    EXPECT_EQ(file.size(), streamLength(formatOfWidth(bits), 6));
  }
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// The quantizers as first described: one step, half a step, a quarter step,
// each tested on what the last left over, every test inclusive.
unsigned referenceCode(unsigned bits, std::int32_t step, std::int32_t diff) {
  unsigned code = 0;
  const unsigned sign = 1u << (bits - 1);
  if (diff < 0) {
    code = sign;
    diff = -diff;
  }
  std::int32_t part = step;
  for (unsigned bit = sign >> 1; bit != 0; bit >>= 1, part >>= 1) {
    if (diff >= part) {
      code |= bit;
      diff -= part;
    }
  }
  return code;
}

TEST(Adpcm, QuantizersMatchTheSequentialTestsEverywhere) {
  std::vector<std::int32_t> diffs;
  for (std::int32_t d = -70000; d <= 70000; ++d)
    diffs.push_back(d);
  for (const std::int32_t d : {-4194304, -4161536, -100000, 100000, 4161536, 4194304}) {
    diffs.push_back(d);
  }
  for (const unsigned bits : {4u, 3u, 2u}) {
    for (int index = 0; index <= kMaxStepIndex; ++index) {
      const std::int32_t step = kStepTable[static_cast<std::size_t>(index)];
      // Every difference from predictor 0; a sparser set from both clamps.
      for (const std::int32_t predictor : {0, -32768, 32767}) {
        const std::size_t stride = predictor == 0 ? 1 : 97;
        for (std::size_t k = 0; k < diffs.size(); k += stride) {
          const std::int32_t diff = diffs[k];
          const AdpcmState before{predictor, static_cast<std::int8_t>(index)};
          AdpcmState state = before;
          const std::int32_t sample = predictor + diff;
          const unsigned code = bits == 4   ? quantizeAdpcm4(state, sample)
                                : bits == 3 ? quantizeAdpcm3(state, sample)
                                            : quantizeAdpcm2(state, sample);
          ASSERT_EQ(code, referenceCode(bits, step, diff))
              << bits << "-bit, index " << index << ", difference " << diff;
          // The state moves exactly as the player's reconstruction moves it.
          AdpcmState played = before;
          const auto c = static_cast<std::uint8_t>(code);
          bits == 4 ? reconstructAdpcm4(played, c)
                    : (bits == 3 ? reconstructAdpcm3(played, c) : reconstructAdpcm2(played, c));
          ASSERT_EQ(state.predictor, played.predictor) << bits << "-bit, index " << index;
          ASSERT_EQ(state.stepIndex, played.stepIndex) << bits << "-bit, index " << index;
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvane
