// The code search: never worse than the greedy encoder, decodable by the
// unchanged player, and reported truthfully.
#include <algorithm>
#include <cmath>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "convert/convert.h"
#include "decoder/decoder.h"
#include "quality/fidelity.h"
#include "search/lookahead.h"
#include "search/search.h"
#include "search/select.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::makeWave16;

constexpr Format kSearched[] = {Format::adpcm4, Format::adpcm3, Format::adpcm2, Format::wfm};

// Squared error of the decoded stream against the input, both from bytes.
double decodedError(const Bytes& wav, const Bytes& stream) {
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(wav, wave), WaveError::none);
  DecodeCursor played;
  EXPECT_EQ(openStream(stream, played), DecodeError::none);
  EXPECT_EQ(played.info.sampleCount, wave.sampleCount);
  return measureFidelity(wave, played).errorEnergy;
}

Bytes encodeFile(Format format, const Bytes& wav, int level) {
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(wav, wave), WaveError::none);
  return encodeStream(format, wave, level);
}

// The stream of wav with its payload from search at level.
Bytes searchedStream(Format format, PayloadSearch search, const SearchLevel& level,
                     const Bytes& wav) {
  Bytes stream = encodeFile(format, wav, 0);
  WaveInfo wave;
  EXPECT_EQ(readWaveInfo(wav, wave), WaveError::none);
  const std::int32_t first = nextSample(wave);
  std::span<std::uint8_t> all(stream);
  const ByteSink sink = memorySink(all);
  search(wave, first, {&sink, kStreamHeaderBytes + factsOf(format).seedBytes}, level, nullptr);
  return stream;
}

constexpr PayloadSearch kSearches[] = {searchPayload<AdpcmCodec<4>>, searchPayload<AdpcmCodec<3>>,
                                       searchPayload<AdpcmCodec<2>>, searchPayload<WfmCodec>};

std::vector<Bytes> hardInputs() {
  std::vector<Bytes> inputs;
  for (std::size_t n = 1; n <= 40; ++n) {
    inputs.push_back(makeWave16(test::randomSamples(n, static_cast<std::uint32_t>(n))));
    inputs.push_back(makeWave16(test::speechLikeSamples(n, static_cast<std::uint32_t>(n))));
  }
  // Around the block of 4096 codes and its lookahead of 128 samples.
  for (const std::size_t n : {4096u, 4097u, 4098u, 4224u, 4225u, 4226u, 8193u}) {
    inputs.push_back(makeWave16(test::speechLikeSamples(n, static_cast<std::uint32_t>(n))));
  }
  inputs.push_back(makeWave16(std::vector<std::int32_t>(3000, 0)));
  std::vector<std::int32_t> square;
  for (int i = 0; i < 3000; ++i)
    square.push_back((i / 40) % 2 ? 32767 : -32768);
  inputs.push_back(makeWave16(square));
  inputs.push_back(makeWave16(test::randomSamples(6000, 99)));
  // 1-bit input reaches far beyond 16 bits, and its seed too.
  inputs.push_back(test::makeWave(test::Bytes(500, 0xFF), 1, 8000));
  Bytes alternating;
  for (int i = 0; i < 500; ++i)
    alternating.push_back(i % 3 ? 0x00 : 0xFF);
  inputs.push_back(test::makeWave(alternating, 1, 8000));
  return inputs;
}

TEST(Search, NeverWorseThanGreedyAndAlwaysDecodable) {
  const std::vector<Bytes> inputs = hardInputs();
  for (const Format format : kSearched) {
    for (int level = 1; level <= kMaxSearchLevel; ++level) {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (level >= 8 && inputs[i].size() > 2 * 4300) continue;  // the slowest, on short inputs
        SCOPED_TRACE(testing::Message()
                     << factsOf(format).name << " level " << level << " input " << i);
        const Bytes greedy = encodeFile(format, inputs[i], 0);
        const Bytes searched = encodeFile(format, inputs[i], level);
        ASSERT_EQ(searched.size(), greedy.size());
        EXPECT_TRUE(std::equal(greedy.begin(), greedy.begin() + 10, searched.begin()));
        EXPECT_LE(decodedError(inputs[i], searched), decodedError(inputs[i], greedy));
      }
    }
  }
}

// The least total squared error any code sequence reaches on samples after
// the seed, tried one by one with the core's player steps.
template <class State, class Step>
std::uint64_t leastError(const State& s, std::span<const std::int32_t> samples, unsigned codes,
                         Step step) {
  if (samples.empty()) return 0;
  std::uint64_t best = UINT64_MAX;
  for (unsigned c = 0; c < codes; ++c) {
    State next = s;
    const std::int64_t e = samples[0] - step(next, static_cast<std::uint8_t>(c));
    best = std::min(best, static_cast<std::uint64_t>(e * e) +
                              leastError(next, samples.subspan(1), codes, step));
  }
  return best;
}

// A lookahead as deep as the input, trying every code, finds the best codes
// there are: checked against every sequence on short inputs that jump and
// clip.
TEST(Search, AFullLookaheadFindsTheLeastError) {
  const auto adpcm = [](auto reconstruct) {
    return [=](AdpcmState& s, std::uint8_t c) { return reconstruct(s, c); };
  };
  const struct {
    Format format;
    unsigned codes;
    std::size_t length;  // samples after the seed
  } cases[] = {
      {Format::adpcm4, 16, 3},
      {Format::adpcm3, 8, 4},
      {Format::adpcm2, 4, 5},
      {Format::wfm, 2, 10},
  };
  for (const auto& c : cases) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
      std::vector<std::int32_t> samples = test::randomSamples(c.length + 1, seed);
      if (seed % 3 == 0) samples[1] = seed % 2 ? 32767 : -32768;  // clipped
      if (seed % 4 == 0) samples[0] = samples[1] = 30000 + static_cast<std::int32_t>(seed);
      SCOPED_TRACE(testing::Message() << factsOf(c.format).name << " seed " << seed);
      const Bytes wav = makeWave16(samples);
      SearchLevel level = lookahead(static_cast<unsigned>(c.length), c.codes, 1);
      level.budget = 0;
      const Bytes stream =
          searchedStream(c.format, kSearches[static_cast<std::size_t>(c.format)], level, wav);
      const std::int32_t first = samples[0];
      const std::span<const std::int32_t> rest = std::span(samples).subspan(1);
      const std::uint64_t least =
          c.format == Format::wfm
              ? leastError(seedWfm(first), rest, 2,
                           [](WfmState& s, std::uint8_t d) {
                             applyWfmDecision(s, d);
                             return static_cast<std::int32_t>(s.estimate) - 32768;
                           })
          : c.format == Format::adpcm4
              ? leastError(AdpcmState{first, 0}, rest, 16, adpcm(reconstructAdpcm4))
          : c.format == Format::adpcm3
              ? leastError(AdpcmState{first, 0}, rest, 8, adpcm(reconstructAdpcm3))
              : leastError(AdpcmState{first, 0}, rest, 4, adpcm(reconstructAdpcm2));
      EXPECT_EQ(decodedError(wav, stream), static_cast<double>(least));
    }
  }
}

// The lookahead's rows by rank against the core's player step: every code's
// child state, the nearest handed out first, the least error of one code, at
// every step index, near both rails too.
template <unsigned Bits>
void checkFanAgainstTheCore() {
  using Fan = korvane::Fan<AdpcmCodec<Bits>>;
  for (std::int8_t index = 0; index <= kMaxStepIndex; ++index) {
    for (const std::int32_t predictor : {-32768, -32000, -90, 0, 4999, 32700, 32767}) {
      for (const std::int32_t x : {-32768, -20000, -1, 0, 1, 777, 31000, 32767}) {
        SCOPED_TRACE(testing::Message() << Bits << "-bit index " << int{index} << " predictor "
                                        << predictor << " target " << x);
        const AdpcmState s{predictor, index};
        std::uint64_t least = UINT64_MAX;
        Fan fan;
        fan.open(s, x);
        for (int rank = 0; rank < static_cast<int>(Fan::kCodes); ++rank) {
          AdpcmState core = s;
          reconstructAdpcm<Bits>(core, Fan::codeOf(rank));
          const AdpcmState child = fan.child(rank);
          EXPECT_EQ(child.predictor, core.predictor);
          EXPECT_EQ(child.stepIndex, core.stepIndex);
          least = std::min(least, squaredDifference(x, core.predictor));
        }
        std::uint8_t code = 0;
        EXPECT_EQ(Fan::leastError(s, x, code), least);
        AdpcmState coded = s;
        reconstructAdpcm<Bits>(coded, code);
        EXPECT_EQ(squaredDifference(x, coded.predictor), least);
        // Handed out nearest first, at the core's values, each value once.
        std::uint64_t last = 0;
        std::set<std::int32_t> handed;
        for (int rank = fan.next(); rank >= 0; rank = fan.next()) {
          AdpcmState core = s;
          reconstructAdpcm<Bits>(core, Fan::codeOf(rank));
          const std::uint64_t e = squaredDifference(x, fan.output(rank));
          EXPECT_EQ(fan.output(rank), core.predictor);
          EXPECT_EQ(e, handed.empty() ? least : std::max(e, last));
          EXPECT_TRUE(handed.insert(core.predictor).second);
          last = e;
        }
      }
    }
  }
}

// Where a level runs both searches, each block keeps the codes of the one
// that did better on it: on an input of one block, the better of the two
// alone, to the squared error.
TEST(Search, BothSearchesKeepTheBetterOnABlock) {
  const Bytes inputs[] = {makeWave16(test::speechLikeSamples(3000, 8)),
                          makeWave16(test::randomSamples(3000, 9))};
  bool differed = false;
  for (const Format format : kSearched) {
    const SearchLevel both = searchLevelOf(factsOf(format).bitsPerSample, kMaxSearchLevel);
    ASSERT_TRUE(both.beam > 0 && both.depth > 0) << factsOf(format).name;
    SearchLevel look = both;
    look.beam = 0;
    SearchLevel beam = both;
    beam.depth = 0;
    for (const Bytes& wav : inputs) {
      const PayloadSearch search = kSearches[static_cast<std::size_t>(format)];
      const double lookError = decodedError(wav, searchedStream(format, search, look, wav));
      const double beamError = decodedError(wav, searchedStream(format, search, beam, wav));
      EXPECT_EQ(decodedError(wav, searchedStream(format, search, both, wav)),
                std::min(lookError, beamError))
          << factsOf(format).name;
      differed |= lookError != beamError;
    }
  }
  EXPECT_TRUE(differed) << "the inputs tell the two searches apart nowhere";
}

TEST(Search, LookaheadRowsAgreeWithTheCore) {
  checkFanAgainstTheCore<4>();
  checkFanAgainstTheCore<3>();
  checkFanAgainstTheCore<2>();
}

// The beam's selection against a sort: every count of keys a sample can
// hold up to 80, every count to keep, keys in random, rising and falling order.
TEST(Search, KeepSmallestKeepsTheSmallest) {
  std::mt19937_64 random(7);
  for (std::size_t n = 1; n <= 80; ++n) {
    for (std::size_t k = 1; k <= n; ++k) {
      for (int order = 0; order < 3; ++order) {
        std::vector<std::uint64_t> keys(n);
        for (std::size_t i = 0; i < n; ++i)
          keys[i] = (order == 0 ? random() >> 20 : order == 1 ? i : n - i) << 16 | i;
        std::vector<std::uint64_t> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        keepSmallest(keys.data(), n, k);
        std::sort(keys.begin(), keys.begin() + static_cast<long>(k));
        ASSERT_TRUE(std::equal(sorted.begin(), sorted.begin() + static_cast<long>(k), keys.begin()))
            << n << " keys, " << k << " kept, order " << order;
      }
    }
  }
}

TEST(Search, LevelZeroIsTheGreedyEncoder) {
  const Bytes wav = makeWave16(test::speechLikeSamples(5000, 4));
  for (const Format format : kSearched) {
    WaveInfo wave;
    ASSERT_EQ(readWaveInfo(wav, wave), WaveError::none);
    EXPECT_EQ(encodeStream(format, wave, 0), encodeStream(format, wave));
  }
}

TEST(Search, PcmFormatsIgnoreTheLevel) {
  const Bytes wav = makeWave16(test::speechLikeSamples(777, 5));
  for (const Format format : {Format::pcm16, Format::pcm12, Format::pcm8}) {
    EXPECT_EQ(encodeFile(format, wav, kDefaultSearchLevel), encodeFile(format, wav, 0));
  }
}

// A quality floor on the bundled recording, below what the default level
// reaches there, so a search that stops finding better codes is caught.
TEST(Search, DefaultLevelGainsOnTheBundledRecording) {
  const Bytes wav = test::readFile(KORVANE_EXAMPLE);
  const struct {
    Format format;
    double floorDb;
  } floors[] = {
      {Format::adpcm4, 2.0}, {Format::adpcm3, 2.5}, {Format::adpcm2, 2.3}, {Format::wfm, 1.7}};
  for (const auto& f : floors) {
    const double greedy = decodedError(wav, encodeFile(f.format, wav, 0));
    const double searched = decodedError(wav, encodeFile(f.format, wav, kDefaultSearchLevel));
    EXPECT_GE(10 * std::log10(greedy / searched), f.floorDb) << factsOf(f.format).name;
  }
}

TEST(Search, ProgressCountsEverySample) {
  const Bytes wav = makeWave16(test::speechLikeSamples(10000, 6));
  for (const Format format : kSearched) {
    WaveInfo wave;
    ASSERT_EQ(readWaveInfo(wav, wave), WaveError::none);
    EncodeProgress progress;
    (void)encodeStream(format, wave, 2, &progress);
    EXPECT_EQ(progress.samplesDone.load(), 9999u) << factsOf(format).name;
  }
}

TEST(SearchCli, SearchedFilesDecodeToTheReportedSnr) {
  test::TempDir dir;
  test::writeFile(dir / "voice.wav", test::readFile(KORVANE_EXAMPLE));
  const struct {
    const char* sw;
    const char* out;
  } cases[] = {
      {"-E4", "voice.AD4"}, {"-E3", "voice.AD3"}, {"-E2", "voice.AD2"}, {"-E1", "voice.WFM"}};
  for (const auto& c : cases) {
    const test::RunResult r =
        test::runProgram({c.sw, "voice.wav", "--search", "--report"}, {dir.path});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.err, "");  // no progress line where stderr is no terminal
    const Bytes stream = test::readFile(dir / c.out);
    WaveInfo wave;
    const Bytes wav = test::readFile(dir / "voice.wav");
    ASSERT_EQ(readWaveInfo(wav, wave), WaveError::none);
    DecodeCursor played;
    ASSERT_EQ(openStream(stream, played), DecodeError::none);
    char snr[40];
    std::snprintf(snr, sizeof snr, "SNR %.2f dB,", snrDb(measureFidelity(wave, played)));
    EXPECT_NE(r.out.find(snr), std::string::npos) << r.out << " wants " << snr;
    EXPECT_EQ(stream, encodeFile(Format(static_cast<int>(&c - cases)), wav, kDefaultSearchLevel));
  }
}

TEST(SearchCli, LevelsAndValues) {
  test::TempDir dir;
  test::writeFile(dir / "a.wav", makeWave16(test::speechLikeSamples(3000, 7)));
  ASSERT_EQ(test::runProgram({"-E3", "a.wav", "plain.ad3"}, {dir.path}).exitCode, 0);
  ASSERT_EQ(test::runProgram({"-E3", "--search=0", "a.wav", "zero.ad3"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(test::readFile(dir / "zero.ad3"), test::readFile(dir / "plain.ad3"));
  ASSERT_EQ(test::runProgram({"-E3", "--search=9", "a.wav", "nine.ad3"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(test::readFile(dir / "nine.ad3"),
            encodeFile(Format::adpcm3, test::readFile(dir / "a.wav"), 9));
  ASSERT_EQ(test::runProgram({"-E16", "--search", "a.wav", "s.pcm"}, {dir.path}).exitCode, 0);
  ASSERT_EQ(test::runProgram({"-E16", "a.wav", "p.pcm"}, {dir.path}).exitCode, 0);
  EXPECT_EQ(test::readFile(dir / "s.pcm"), test::readFile(dir / "p.pcm"));
  for (const char* bad : {"--search=10", "--search=", "--search=x", "--search=-1"}) {
    const test::RunResult r = test::runProgram({"-E4", "a.wav", "x.ad4", bad}, {dir.path});
    EXPECT_EQ(r.exitCode, 1) << bad;
    EXPECT_EQ(r.out, std::string("Bad Option Value : ") + bad + " !!\n" + test::kUsage);
    EXPECT_FALSE(fs::exists(dir / "x.ad4"));
  }
}

}  // namespace
}  // namespace korvane
