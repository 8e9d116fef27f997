#include <gtest/gtest.h>

#include "codec/wfm.h"
#include "convert/convert.h"
#include "support.h"

namespace korvane {
namespace {

using test::Bytes;
using test::makeWave16;

Bytes encodeWfmSamples(const std::vector<std::int32_t>& samples) {
  const Bytes file = makeWave16(samples, 8000);
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(file, wave), WaveError::none);
  return encodeStream(Format::wfm, wave);
}

Bytes header(std::uint32_t count) {
  return {0x00, 0x01, static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8), 0, 0,
          0xA0, 0x0F};
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Wfm, SilenceTable) {
  const struct {
    std::uint32_t before;
    unsigned decision;
    std::uint8_t history;
    std::uint32_t step;
    std::uint32_t after;
  } rows[] = {
      {32768, 0, 0x00, 23, 32791}, {32791, 1, 0x01, 20, 32771}, {32771, 1, 0x03, 21, 32750},
      {32750, 0, 0x06, 19, 32769}, {32769, 1, 0x0D, 19, 32750}, {32750, 0, 0x1A, 16, 32766},
      {32766, 0, 0x34, 18, 32784}, {32784, 1, 0x69, 16, 32768}, {32768, 0, 0xD2, 16, 32784},
      {32784, 1, 0xA5, 16, 32768}, {32768, 0, 0x4A, 16, 32784},
  };
  WfmState state = seedWfm(0);
  int row = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "sample " << ++row);
    EXPECT_EQ(state.estimate, r.before);
    EXPECT_EQ(quantizeWfm(state, 32768), r.decision);
    EXPECT_EQ(state.history, r.history);
    EXPECT_EQ(state.step, r.step);
    EXPECT_EQ(state.estimate, r.after);
  }
  EXPECT_EQ(encodeWfmSamples(std::vector<std::int32_t>(12, 0)),
            cat(header(11), {0x00, 0x80, 0x69, 0x4A}));
}

TEST(Wfm, PatternIndexSharesComplements) {
  // Each history's low four bits and their complement select the same factor.
  for (unsigned h = 0; h < 16; ++h) {
    WfmState a;
    a.history = static_cast<std::uint8_t>(h >> 1);
    a.step = 320;
    WfmState b;
    b.history = static_cast<std::uint8_t>((~h & 0xF) >> 1);
    b.step = 320;
    applyWfmDecision(a, h & 1);
    applyWfmDecision(b, ~h & 1);
    EXPECT_EQ(a.step, b.step) << h;
  }
  WfmState run;
  run.step = 320;
  applyWfmDecision(run, 0);
  EXPECT_EQ(run.step, 320u * 46 / 32);
  WfmState alternate;
  alternate.history = 0x02;  // ..010, then 1: pattern 0101
  alternate.step = 320;
  applyWfmDecision(alternate, 1);
  EXPECT_EQ(alternate.step, 320u * 26 / 32);
}

TEST(Wfm, SilenceFiles) {
  const struct {
    std::size_t n;
    Bytes decisionBytes;
  } cases[] = {{9, {0x69}}, {16, {0x69, 0xAA}}, {17, {0x69, 0x55}}};
  for (const auto& c : cases) {
    EXPECT_EQ(encodeWfmSamples(std::vector<std::int32_t>(c.n, 0)),
              cat(cat(header(static_cast<std::uint32_t>(c.n - 1)), {0x00, 0x80}), c.decisionBytes))
        << c.n;
  }
}

TEST(Wfm, SmallFiles) {
  EXPECT_EQ(encodeWfmSamples({0, 5000, -5000}), cat(header(2), {0x00, 0x80, 0x01}));
  EXPECT_EQ(encodeWfmSamples({0}), cat(header(0), {0x00, 0x80}));
  EXPECT_EQ(encodeWfmSamples({0, -100}), cat(header(1), {0x00, 0x80, 0x01}));
  EXPECT_EQ(encodeWfmSamples({0, 100}), cat(header(1), {0x00, 0x80, 0x00}));
  const Bytes seeded = encodeWfmSamples({-20000});
  EXPECT_EQ(seeded[8], 0xE0);
  EXPECT_EQ(seeded[9], 0x31);
}

TEST(Wfm, FullScaleRise) {
  const std::uint32_t steps[] = {23,  33,  47,   67,   96,   138,  198,  284,  408,
                                 586, 842, 1210, 1739, 2499, 3592, 5163, 7421, 8191};
  WfmState state = seedWfm(-32768);
  EXPECT_EQ(state.estimate, 0u);
  for (int d = 1; d <= 30; ++d) {
    const std::uint32_t before = state.estimate;
    quantizeWfm(state, 65535);
    EXPECT_EQ(state.history, 0) << d;
    EXPECT_EQ(state.step, d <= 18 ? steps[d - 1] : 8191u) << d;
    if (d < 23) {
      EXPECT_LT(state.estimate, 65535u) << d;
      EXPECT_EQ(state.estimate, before + state.step) << d;
    } else {
      EXPECT_EQ(state.estimate, 65535u) << d;
    }
  }
  const Bytes file = encodeWfmSamples(std::vector<std::int32_t>{-32768, 32767, 32767, 32767});
  EXPECT_EQ(file, cat(header(3), {0x00, 0x00, 0x00}));
}

TEST(Wfm, FullScaleFall) {
  WfmState state = seedWfm(32767);
  for (int d = 1; d <= 25; ++d) {
    const std::uint32_t before = state.estimate;
    quantizeWfm(state, 0);
    EXPECT_EQ(state.history & 1u, 1u) << d;
    if (d == 25) {
      EXPECT_EQ(before, 4154u);
      EXPECT_EQ(state.step, 8191u);
    }
  }
  EXPECT_EQ(state.estimate, 0u);
  quantizeWfm(state, 0);  // equal to the estimate: decides 0, moves up by the new step
  EXPECT_EQ(state.history & 1u, 0u);
  EXPECT_GT(state.estimate, 0u);
  EXPECT_EQ(state.estimate, state.step);

  std::vector<std::int32_t> fall(26, -32768);
  fall[0] = 32767;
  const Bytes file = encodeWfmSamples(fall);
  EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 13), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// A seed beyond 16 bits (1-bit input) stores its low 16 bits in offset form
// while the estimate starts at the whole value and is worked off by 1 decisions.
TEST(Wfm, OutOfRangeSeed) {
  const Bytes oneBit = test::makeWave({0xFF, 0x80, 0x80, 0x80}, 1, 8000);
  WaveInfo wave;
  ASSERT_EQ(readWaveInfo(oneBit, wave), WaveError::none);
  const Bytes file = encodeStream(Format::wfm, wave);
  const std::uint32_t estimate = 127u * 32768u + 32768u;
  EXPECT_EQ(seedWfm(127 * 32768).estimate, estimate);
  EXPECT_EQ(file[8], static_cast<std::uint8_t>(estimate));
  EXPECT_EQ(file[9], static_cast<std::uint8_t>(estimate >> 8));
  EXPECT_EQ(file[10], 0x07);
}

// A player that starts from the stored seed and replays the bits holds the
// encoder's estimate after every decision.
void expectPlayerFollowsEncoder(const std::vector<std::int32_t>& samples) {
  const Bytes file = encodeWfmSamples(samples);
  const std::size_t decisions = samples.size() - 1;
  ASSERT_EQ(file.size(), 10 + (decisions + 7) / 8);
  WfmState encoder = seedWfm(samples[0]);
  WfmState player = seedWfm((file[8] | (file[9] << 8)) - 0x8000);
  for (std::size_t i = 0; i < decisions; ++i) {
    quantizeWfm(encoder, offsetForm(samples[i + 1]));
    const std::size_t byte = 10 + i / 8;
    const bool lastPartial = byte == file.size() - 1 && decisions % 8 != 0;
    const unsigned position = lastPartial ? static_cast<unsigned>(decisions % 8 - 1 - i % 8)
                                          : static_cast<unsigned>(7 - i % 8);
    applyWfmDecision(player, (file[byte] >> position) & 1u);
    ASSERT_EQ(player.estimate, encoder.estimate) << i;
    ASSERT_EQ(player.step, encoder.step) << i;
  }
}

TEST(Wfm, PlayerFollowsEncoder) {
  for (std::size_t n = 1; n <= 40; ++n) {
    SCOPED_TRACE(n);
    expectPlayerFollowsEncoder(test::randomSamples(n, static_cast<std::uint32_t>(n)));
    expectPlayerFollowsEncoder(test::speechLikeSamples(n, static_cast<std::uint32_t>(n)));
  }
  expectPlayerFollowsEncoder(test::speechLikeSamples(100001, 3));
  expectPlayerFollowsEncoder(test::randomSamples(20001, 4));
}

}  // namespace
}  // namespace korvane
