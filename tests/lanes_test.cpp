// The fast paths write the serial coder's bytes and play the serial
// player's samples: the lane coder for every width, every kind of signal,
// input widths, lengths and chunk cuts, on every vector path this CPU has;
// the cut in two parts; the lane player.
#include <random>

#include <gtest/gtest.h>

#include "coders/codecs.h"
#include "coders/greedy.h"
#include "coders/lanes.h"
#include "coders/parts.h"
#include "convert/convert.h"
#include "decoder/decoder.h"
#include "support.h"

namespace korvane {
namespace {

using test::Bytes;

// x as a file of bits-bit samples.
Bytes waveOf(const std::vector<std::int32_t>& x, int bits) {
  Bytes data;
  for (const std::int32_t s : x) {
    const std::int32_t v = s >> (16 - std::min(bits, 16));
    if (bits == 8) data.push_back(static_cast<std::uint8_t>(v + 128));
    for (int b = 0; bits > 8 && b < bits / 8; ++b)
      data.push_back(static_cast<std::uint8_t>((bits == 24 ? s << 8 : s) >> (8 * b)));
  }
  return test::makeWave(data, static_cast<std::uint16_t>(bits), 16000);
}

// The greedy coders, serial, in lanes and in parts, from the seed's state.
struct GreedyCoder {
  Format format;
  void (*serial)(const WaveInfo&, std::int32_t, std::span<std::uint8_t>);
  void (*lanes)(const WaveInfo&, std::int32_t, std::span<std::uint8_t>, const LanePlan&);
  void (*parts)(const WaveInfo&, std::int32_t, std::span<std::uint8_t>, const PartPlan&);
};

// A payload in memory, as the coders write it.
struct InMemory {
  explicit InMemory(std::span<std::uint8_t> p) : bytes(p), sink(memorySink(bytes)) {}
  std::span<std::uint8_t> bytes;
  ByteSink sink;
  PayloadOut out() const { return {&sink, 0}; }
};

template <class C>
constexpr GreedyCoder coderOf() {
  return {
      C::kFormat,
      [](const WaveInfo& w, std::int32_t seed, std::span<std::uint8_t> p) {
        encodeGreedy<C>(w, C::start(seed), InMemory(p).out());
      },
      [](const WaveInfo& w, std::int32_t seed, std::span<std::uint8_t> p, const LanePlan& plan) {
        encodeInLanes<C>(w, C::start(seed), InMemory(p).out(), plan);
      },
      [](const WaveInfo& w, std::int32_t seed, std::span<std::uint8_t> p, const PartPlan& plan) {
        encodeInParts<C>(w, C::start(seed), InMemory(p).out(), plan);
      }};
}

const GreedyCoder kGreedyCoders[] = {coderOf<AdpcmCodec<4>>(), coderOf<AdpcmCodec<3>>(),
                                     coderOf<AdpcmCodec<2>>(), coderOf<WfmCodec>()};

// The payload of every greedy coder in lanes, against the serial coder's.
void expectSameBytes(const Bytes& file, VectorPath path, std::size_t chunk) {
  WaveInfo wave;
  ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
  const std::int32_t seed = nextSample(wave);
  for (const GreedyCoder& coder : kGreedyCoders) {
    const auto length = static_cast<std::size_t>(streamLength(coder.format, wave.sampleCount));
    Bytes serial(length, 0xA5);
    coder.serial(wave, seed, serial);
    Bytes lanes(length, 0xA5);
    coder.lanes(wave, seed, lanes, {&kernelsOf(path), chunk});
    ASSERT_EQ(lanes, serial) << factsOf(coder.format).name << ", path " << nameOf(path)
                             << ", chunk " << chunk;
  }
}

TEST(LaneCoder, WritesTheSerialCodersBytes) {
  std::mt19937 random(7);
  for (int kind = 0; kind < test::kSignalKinds; ++kind) {
    for (const int bits : {16, 8, 24}) {
      for (const std::size_t chunk : {std::size_t{64}, std::size_t{208}}) {
        SCOPED_TRACE(testing::Message() << "signal " << kind << ", " << bits << "-bit input");
        // From two windows up, at every offset a window can end on.
        const std::size_t n = 2 * chunk * 32 + random() % (3 * chunk * 32);
        const Bytes file = waveOf(test::signalOf(kind, n, static_cast<std::uint32_t>(n)), bits);
        for (const VectorPath path : kVectorPaths) {
          if (canRun(path)) expectSameBytes(file, path, chunk);
        }
      }
    }
  }
}

// The format's own chunk length and the whole program: the bundled recording
// made long enough to be coded in lanes.
TEST(LaneCoder, LongSpeechThroughEveryWidth) {
  const Bytes file = test::makeWave16(test::speechLikeSamples(600000, 3));
  WaveInfo wave;
  ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
  for (const Format format : {Format::adpcm4, Format::adpcm3, Format::adpcm2}) {
    const Bytes fast = encodeStream(format, wave);
    // The serial coder on the same samples, behind the same header and seed.
    Bytes serial(fast.size());
    WaveInfo again = wave;
    std::copy(fast.begin(), fast.begin() + 10, serial.begin());
    const std::int32_t seed = nextSample(again);
    kGreedyCoders[static_cast<std::size_t>(format)].serial(again, seed,
                                                           std::span(serial).subspan(10));
    EXPECT_EQ(fast, serial) << factsOf(format).name;
  }
}

// Coded in two parts on two threads, every greedy format writes the bytes of
// one coder run from the seed: where the runs meet at once, late, or never
// within the samples allowed (the rest then coded again), at odd lengths.
TEST(PartCoder, WritesTheOneRunsBytes) {
  std::mt19937 random(5);
  for (int kind = 0; kind < test::kSignalKinds; ++kind) {
    for (const int bits : {16, 8, 24}) {
      const std::size_t n = 300 + random() % 30000;
      const Bytes file = waveOf(test::signalOf(kind, n, static_cast<std::uint32_t>(n)), bits);
      WaveInfo wave;
      ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
      const std::int32_t seed = nextSample(wave);
      for (const GreedyCoder& coder : kGreedyCoders) {
        const Format format = coder.format;
        const auto length = static_cast<std::size_t>(streamLength(format, wave.sampleCount));
        Bytes serial(length, 0xA5);
        coder.serial(wave, seed, serial);
        for (const std::uint64_t within : {64u, 640u, 1u << 20}) {
          Bytes parts(length, 0xA5);
          coder.parts(wave, seed, parts, {2, 256, within});
          EXPECT_EQ(parts, serial) << factsOf(format).name << ", signal " << kind << ", " << bits
                                   << "-bit, " << n << " samples, meeting within " << within;
        }
      }
    }
  }
}

// The lane players give the portable player's samples, on every path this
// CPU has: random codes drive both chains into every clamp, coded speech
// keeps them inside; streams of every width and of lengths around the
// vector widths and the 4096-code piece.
TEST(LanePlayer, PlaysThePortablePlayersSamples) {
  std::mt19937 random(11);
  const auto expectSamePlay = [](const Bytes& stream, const std::string& what) {
    DecodeCursor portable;
    ASSERT_EQ(openStream(stream, portable), DecodeError::none);
    portable.kernels = &kernelsOf(VectorPath::portable);
    const Bytes expected = decodeToWave(portable);
    for (const VectorPath path : kVectorPaths) {
      if (!canRun(path)) continue;
      DecodeCursor lanes = portable;
      lanes.kernels = &kernelsOf(path);
      EXPECT_EQ(decodeToWave(lanes), expected) << what << ", path " << nameOf(path);
    }
  };
  for (const Format format : {Format::adpcm4, Format::adpcm3, Format::adpcm2}) {
    for (const std::uint32_t n : {2u, 9u, 16u, 17u, 33u, 4097u, 4113u, 20000u}) {
      for (const unsigned bias : {0x00u, 0x55u, 0xFFu}) {
        Bytes stream(static_cast<std::size_t>(streamLength(format, n)));
        for (std::uint8_t& b : stream)
          b = static_cast<std::uint8_t>(random() | (random() % 4 == 0 ? bias : 0u));
        stream[0] = 0;
        stream[1] = factsOf(format).formatCode;
        const std::uint32_t count = n - factsOf(format).countBelowN;
        for (int i = 0; i < 4; ++i)
          stream[2 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(count >> (8 * i));
        expectSamePlay(stream, std::string(factsOf(format).name) + " N = " + std::to_string(n) +
                                   " bias " + std::to_string(bias));
      }
      const Bytes file = test::makeWave16(test::speechLikeSamples(n, n));
      WaveInfo wave;
      ASSERT_EQ(readWaveInfo(file, wave), WaveError::none);
      expectSamePlay(encodeStream(format, wave),
                     std::string(factsOf(format).name) + " speech N = " + std::to_string(n));
    }
  }
}

}  // namespace
}  // namespace korvane
