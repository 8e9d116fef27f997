// Recordings straight from an editor: the tolerant reader, mixing, the
// resampler's filter measured with sine tones, levelling and clipping, and
// the hints the exact reader's refusals now carry.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include <gtest/gtest.h>

#include "resample/resample.h"
#include "support.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::putLe16;
using test::putLe32;
using test::putTag;
using test::readFile;
using test::runProgram;
using test::TempDir;
using test::writeFile;

std::vector<float> tone(double hz, std::uint32_t rate, std::size_t count, double amplitude) {
  std::vector<float> x(count);
  for (std::size_t n = 0; n < count; ++n)
    x[n] = static_cast<float>(amplitude *
                              std::sin(2 * std::numbers::pi * hz * static_cast<double>(n) / rate));
  return x;
}

// A least-squares fit of a sine at hz over the middle half of y: the level it
// has, and the RMS of what is left, both relative to amplitude / sqrt(2), in dB.
struct Measured {
  double levelDb;
  double residueDb;
};

Measured measure(const std::vector<float>& y, double hz, std::uint32_t rate, double amplitude) {
  const std::size_t from = y.size() / 4;
  const std::size_t to = 3 * y.size() / 4;
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (std::size_t n = from; n < to; ++n) {
    const double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
    const double s = std::sin(w), c = std::cos(w);
    ss += s * s, cc += c * c, sc += s * c, ys += y[n] * s, yc += y[n] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = det == 0 ? 0 : (ys * cc - yc * sc) / det;
  const double b = det == 0 ? 0 : (yc * ss - ys * sc) / det;
  double residue = 0;
  for (std::size_t n = from; n < to; ++n) {
    const double w = 2 * std::numbers::pi * hz * static_cast<double>(n) / rate;
    const double e = y[n] - a * std::sin(w) - b * std::cos(w);
    residue += e * e;
  }
  const double reference = amplitude / std::sqrt(2.0);
  return {20 * std::log10(std::hypot(a, b) / amplitude),
          10 * std::log10(residue / static_cast<double>(to - from)) - 20 * std::log10(reference)};
}

// Passband tones up to 0.9 of the lower Nyquist frequency keep their level
// within 0.1 dB and gain nothing else 100 dB up (no images, no aliases);
// tones at or above the output's Nyquist frequency are gone, 100 dB down.
TEST(Resample, SineTonesMeetTheFilterTargets) {
  const struct {
    std::uint32_t from, to;
  } pairs[] = {{44100, 8000},  {48000, 16000}, {8000, 16000},
               {22050, 11025}, {48000, 6000},  {44100, 7999}};  // the last through blended rows
  constexpr double kAmplitude = 0.5;
  for (const auto& p : pairs) {
    SCOPED_TRACE(testing::Message() << p.from << " -> " << p.to);
    const double band = std::min(p.from, p.to) / 2.0;
    for (const double fraction : {0.05, 0.31, 0.62, 0.9}) {
      const double hz = fraction * band;
      const Measured m = measure(resample(tone(hz, p.from, p.from, kAmplitude), p.from, p.to), hz,
                                 p.to, kAmplitude);
      EXPECT_LE(std::fabs(m.levelDb), 0.01) << hz << " Hz";
      EXPECT_LE(m.residueDb, -100) << hz << " Hz";
    }
    if (p.to > p.from) continue;
    // Such a tone could only come out folded back, so all that comes out counts.
    for (const double fraction : {1.0, 1.3, 0.97 * p.from / 2.0 / band}) {
      const double hz = fraction * band;
      const std::vector<float> y = resample(tone(hz, p.from, p.from, kAmplitude), p.from, p.to);
      double power = 0;
      for (std::size_t n = y.size() / 4; n < 3 * y.size() / 4; ++n)
        power += double{y[n]} * y[n];
      const double leak = 10 * std::log10(power / static_cast<double>(y.size() / 2) + 1e-30) -
                          20 * std::log10(kAmplitude / std::sqrt(2.0));
      EXPECT_LE(leak, -100) << hz << " Hz";
    }
  }
}

TEST(Resample, LengthsAndEdges) {
  EXPECT_EQ(resample(std::vector<float>(48000, 0.25f), 48000, 16000).size(), 16000u);
  EXPECT_EQ(resample(std::vector<float>(1, 0.25f), 8000, 16000).size(), 2u);
  EXPECT_EQ(resample(std::vector<float>(10, 0.25f), 44100, 8000).size(), 2u);
  // Threads and vector paths share the work and change no bit.
  const std::vector<float> speech = tone(440, 48000, 48000 * 20, 0.4);
  const std::vector<float> one = resample(speech, 48000, 8000, 1, kernelsOf(VectorPath::portable));
  EXPECT_EQ(resample(speech, 48000, 8000, 2), one);
  for (const VectorPath path : kVectorPaths) {
    if (canRun(path)) {
      EXPECT_EQ(resample(speech, 48000, 8000, 1, kernelsOf(path)), one) << nameOf(path);
    }
  }
  // An odd ratio goes through blended filter rows; DC still passes at level.
  const std::vector<float> dc = resample(std::vector<float>(44100, 0.25f), 44100, 7999);
  EXPECT_NEAR(dc[dc.size() / 2], 0.25f, 1e-5);
}

// A WAV file of any layout, built from its parts.
// A RIFF/WAVE file of the fmt chunk's contents and the data, with the chunks
// in before between WAVE and fmt.
Bytes riffWave(const Bytes& fmt, const Bytes& data, const Bytes& before = {}) {
  Bytes body;
  putTag(body, "WAVE");
  body.insert(body.end(), before.begin(), before.end());
  putTag(body, "fmt ");
  putLe32(body, static_cast<std::uint32_t>(fmt.size()));
  body.insert(body.end(), fmt.begin(), fmt.end());
  putTag(body, "data");
  putLe32(body, static_cast<std::uint32_t>(data.size()));
  body.insert(body.end(), data.begin(), data.end());
  Bytes file;
  putTag(file, "RIFF");
  putLe32(file, static_cast<std::uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

Bytes anyWave(std::uint16_t tag, std::uint16_t channels, std::uint16_t bits, const Bytes& data,
              const Bytes& before = {}, bool extensible = false) {
  Bytes fmt;
  putLe16(fmt, extensible ? 0xFFFE : tag);
  putLe16(fmt, channels);
  putLe32(fmt, 8000);
  putLe32(fmt, 8000u * channels * ((bits + 7u) / 8u));
  putLe16(fmt, static_cast<std::uint16_t>(channels * ((bits + 7) / 8)));
  putLe16(fmt, bits);
  if (extensible) {
    putLe16(fmt, 22);
    putLe16(fmt, bits);
    putLe32(fmt, 0);
    putLe16(fmt, tag);
    const Bytes guidTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                            0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    fmt.insert(fmt.end(), guidTail.begin(), guidTail.end());
  }
  return riffWave(fmt, data, before);
}

// IEEE floats as a WAV file stores them: their bits, little-endian.
template <class Float, class Bits>
Bytes floatBytes(std::initializer_list<Float> values) {
  Bytes out;
  for (const Float v : values) {
    Bits bits;
    std::memcpy(&bits, &v, sizeof bits);
    for (std::size_t b = 0; b < sizeof bits; ++b)
      out.push_back(static_cast<std::uint8_t>(bits >> (8 * b)));
  }
  return out;
}

Bytes floats(std::initializer_list<float> values) {
  return floatBytes<float, std::uint32_t>(values);
}

Bytes doubles(std::initializer_list<double> values) {
  return floatBytes<double, std::uint64_t>(values);
}

Bytes le16s(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values)
    putLe16(out, static_cast<std::uint16_t>(v));
  return out;
}

// An ADPCM file (tag 0x11 or 2) of blocks of blockAlign bytes, 8000 Hz, the
// fmt chunk's extra bytes after cbSize as given.
Bytes adpcmWave(std::uint16_t tag, std::uint16_t channels, std::uint16_t blockAlign,
                const Bytes& extra, const Bytes& data) {
  Bytes fmt;
  putLe16(fmt, tag);
  putLe16(fmt, channels);
  putLe32(fmt, 8000);
  putLe32(fmt, 4000u * channels);
  putLe16(fmt, blockAlign);
  putLe16(fmt, 4);
  putLe16(fmt, static_cast<std::uint16_t>(extra.size()));
  fmt.insert(fmt.end(), extra.begin(), extra.end());
  return riffWave(fmt, data);
}

// Microsoft ADPCM's fmt extra: samples a block, then the seven standard pairs.
Bytes msExtra(std::uint16_t samplesPerBlock) {
  Bytes extra = le16s({samplesPerBlock, 7});
  for (const auto& [a, b] :
       {std::pair{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}}) {
    const Bytes pair = le16s({a, b});
    extra.insert(extra.end(), pair.begin(), pair.end());
  }
  return extra;
}

// A 16-bit mono file at 8000 Hz as RF64: sizes 0xFFFFFFFF, a ds64 chunk
// whose data size (2^40) is far past the file.
Bytes rf64Wave(const Bytes& samples) {
  Bytes file = test::makeWave16({}, 8000);
  std::copy_n("RF64", 4, file.begin());
  file.resize(file.size() - 8);  // the data chunk's head, written again below
  Bytes ds64;
  putTag(ds64, "ds64");
  putLe32(ds64, 28);
  for (const std::uint32_t v : {0u, 0u, 0u, 256u, 0u, 0u, 0u})
    putLe32(ds64, v);
  file.insert(file.begin() + 12, ds64.begin(), ds64.end());
  putTag(file, "data");
  putLe32(file, 0xFFFFFFFF);
  file.insert(file.end(), samples.begin(), samples.end());
  for (std::size_t i = 4; i < 8; ++i)
    file[i] = 0xFF;
  return file;
}

// The samples of a PCM16 device file after its header and seed: offset form.
std::vector<int> pcm16Samples(const Bytes& stream) {
  std::vector<int> samples;
  for (std::size_t at = 8; at + 1 < stream.size(); at += 2)
    samples.push_back((stream[at] | stream[at + 1] << 8) - 0x8000);
  return samples;
}

// Each layout read at its own rate (no resampling): the mean of the channels,
// rounded to 16 bits, worked out by hand.
TEST(TolerantReader, EveryLayoutReadsToTheMixedSamples) {
  Bytes junk;
  putTag(junk, "JUNK");
  putLe32(junk, 3);  // odd: a pad byte follows
  junk.insert(junk.end(), {1, 2, 3, 0});
  Bytes list;
  putTag(list, "LIST");
  putLe32(list, 4);
  putTag(list, "INFO");
  const struct {
    const char* name;
    Bytes file;
    std::vector<int> samples;
  } cases[] = {
      {"stereo 16-bit", anyWave(1, 2, 16, le16s({1000, 3000, -5, -6})), {2000, -6}},
      {"float 32", anyWave(3, 1, 32, floats({0.5f, -1.0f, 0.25f})), {16384, -32768, 8192}},
      {"float 64", anyWave(3, 1, 64, doubles({-0.5, 0.75})), {-16384, 24576}},
      {"24-bit", anyWave(1, 1, 24, {0x56, 0x34, 0x12, 0x80, 0x00, 0x80}), {4660, -32768}},
      {"6 channels", anyWave(1, 6, 16, le16s({6, 6, 6, 6, 6, 0})), {5}},
      {"extensible float", anyWave(3, 2, 32, floats({0.5f, 0.0f}), {}, true), {8192}},
      {"mu-law", anyWave(7, 1, 8, {0xFF, 0x00, 0x80, 0x7F}), {0, -32124, 32124, 0}},
      {"A-law", anyWave(6, 1, 8, {0xD5, 0x55, 0xAA, 0x2A}), {8, -8, 32256, -32256}},
      // Step 7 from 100: code 7 adds 0+1+3+7, the index rises by 8; then
      // codes 0, 0 and 8 add or take an eighth of their steps (16, 14, 13)...
      // A block cut short after its header holds its first sample alone.
      {"IMA ADPCM, a block and one cut short",
       adpcmWave(0x11, 1, 8, le16s({9}), {100, 0, 0, 0, 0x07, 0x80, 0x00, 0x00, 16, 0, 3, 0, 0xAB}),
       {100, 111, 113, 114, 113, 114, 115, 116, 117, 16}},
      // Sample 2 (50), sample 1 (100), then with the pair (256, 0) and delta
      // 16: 100 + 1 x 16, 116 - 1 x 16.
      {"Microsoft ADPCM",
       adpcmWave(2, 1, 8, msExtra(4), {0, 16, 0, 100, 0, 50, 0, 0x1F}),
       {50, 100, 116, 100}},
      {"RF64 with a ds64 past the file", rf64Wave(le16s({5, -5})), {5, -5}},
      {"JUNK and LIST before fmt",
       anyWave(1, 1, 16, le16s({7, -7}),
               [&] {
                 Bytes b = junk;
                 b.insert(b.end(), list.begin(), list.end());
                 return b;
               }()),
       {7, -7}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "in.wav", c.file);
    const test::RunResult r = runProgram({"-E16", "in.wav", "out.pcm", "--rate=8000"}, {dir.path});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(pcm16Samples(readFile(dir / "out.pcm")), c.samples);
  }
}

// Without the new options the exact reader's message and exit code stay;
// one more line on stderr names the file and the option that reads it.
TEST(TolerantReader, RefusalsNameTheOptionThatReadsTheFile) {
  Bytes junk;
  putTag(junk, "JUNK");
  putLe32(junk, 2);
  junk.insert(junk.end(), {0, 0});
  const struct {
    Bytes file;
    std::string out;
    std::string err;
  } cases[] = {
      {anyWave(1, 2, 16, le16s({1, 2})), "in.wav : is not mono format!\n",
       "korvane: in.wav: 2 channels; --rate=8000 mixes them to mono and converts the file\n"},
      {anyWave(3, 1, 32, floats({0.5f})), "in.wav : is not PCM format!\n",
       "korvane: in.wav: 32-bit float samples; --rate=8000 reads them and converts the file\n"},
      {anyWave(1, 1, 16, le16s({1}), junk), "in.wav : is not WAVE format!\n",
       "korvane: in.wav: chunks in another order; --rate=8000 reads them and converts the file\n"},
      {test::makeWave16({1, 2}, 192000), "in.wav : sample rate not supported!\n",
       "korvane: in.wav: 192000 Hz; --rate=8000 resamples it and converts the file\n"},
      {anyWave(7, 1, 8, {0xFF}), "in.wav : is not PCM format!\n",
       "korvane: in.wav: mu-law (G.711) samples; --rate=8000 reads them and converts the file\n"},
      {anyWave(6, 1, 8, {0xFF}), "in.wav : is not PCM format!\n",
       "korvane: in.wav: A-law (G.711) samples; --rate=8000 reads them and converts the file\n"},
      {adpcmWave(0x11, 1, 8, le16s({9}), Bytes(8, 0)), "in.wav : is not PCM format!\n",
       "korvane: in.wav: IMA ADPCM samples; --rate=8000 reads them and converts the file\n"},
      {adpcmWave(2, 1, 8, msExtra(4), Bytes(8, 0)), "in.wav : is not PCM format!\n",
       "korvane: in.wav: Microsoft ADPCM samples; --rate=8000 reads them and converts the file\n"},
      {rf64Wave(le16s({1})), "in.wav : is not RIFF format!\n",
       "korvane: in.wav: an RF64 file; --rate=8000 reads it and converts the file\n"},
      {[&] {  // fmt first, then an odd-sized chunk with its pad byte
         Bytes b = anyWave(1, 1, 16, le16s({1}));
         b.insert(b.begin() + 36, junk.begin(), junk.end());
         b[36 + 4] = 1;  // one byte, then its pad
         b[4] = static_cast<std::uint8_t>(b.size() - 8);
         return b;
       }(),
       "in.wav : has no data chunk!\n",
       "korvane: in.wav: an odd-sized chunk before the data; --rate=8000 reads it and converts the "
       "file\n"},
      {anyWave(0x55, 1, 16, le16s({1})), "in.wav : is not PCM format!\n",
       "korvane: in.wav: MPEG audio in a .wav name; convert it to PCM first, e.g. with sox or "
       "ffmpeg\n"},
      {anyWave(0x31, 1, 16, le16s({1})), "in.wav : is not PCM format!\n",
       "korvane: in.wav: format tag 0x0031, which nothing here reads; convert it to PCM first, "
       "e.g. with sox or ffmpeg\n"},
      {{'R', 'I', 'F', 'F'}, "in.wav : is not WAVE format!\n", ""},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    writeFile(dir / "in.wav", c.file);
    const test::RunResult r = runProgram({"-E4", "in.wav"}, {dir.path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(test::folderNames(dir.path), std::vector<std::string>{"in.wav"});
  }
}

// Files sox writes in each coding, one and two channels, read as sox itself
// decodes them, sample for sample; and cut short at an odd byte, what is
// there reads as the start of the whole.
TEST(TolerantReader, CodingsDecodeAsSoxDoes) {
  if (std::system("sox --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sox here";
  TempDir dir;
  writeFile(dir / "mono.wav", test::makeWave16(test::speechLikeSamples(20000, 30), 8000));
  const std::string in = "cd '" + dir.path.string() + "' && ";
  ASSERT_EQ(std::system((in + "sox mono.wav -c 2 stereo.wav").c_str()), 0);
  const auto samples = [&](const std::string& name) {
    EXPECT_EQ(runProgram({"-E16", "--rate=8000", name, "out.pcm"}, {dir.path}).exitCode, 0) << name;
    return pcm16Samples(readFile(dir / "out.pcm"));
  };
  for (const char* coding : {"u-law", "a-law", "ima-adpcm", "ms-adpcm"}) {
    for (const char* source : {"mono.wav", "stereo.wav"}) {
      SCOPED_TRACE(std::string(coding) + " " + source);
      const std::string make = in + "sox " + source + " -e " + coding +
                               " coded.wav && sox coded.wav " +
                               "-e signed-integer -b 16 decoded.wav";
      ASSERT_EQ(std::system(make.c_str()), 0);
      const std::vector<int> whole = samples("coded.wav");
      EXPECT_EQ(whole, samples("decoded.wav"));
      Bytes cut = readFile(dir / "coded.wav");
      cut.resize(cut.size() - 333);
      writeFile(dir / "cut.wav", cut);
      const std::vector<int> part = samples("cut.wav");
      ASSERT_LE(part.size(), whole.size());
      EXPECT_GT(part.size(), whole.size() - 700);
      EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
    }
  }
}

TEST(TolerantReader, GainNormaliseAndClipping) {
  TempDir dir;
  writeFile(dir / "in.wav", test::makeWave16({1000, -2000, 30000, 100}, 8000));
  const struct {
    std::vector<std::string> options;
    std::vector<int> samples;
    std::string err;
  } cases[] = {
      {{"--gain=-6.0206"}, {500, -1000, 15000, 50}, ""},
      {{"--gain=6.0206"},
       {2000, -4000, 32767, 200},
       "korvane: in.wav: 1 samples clipped at full scale\n"},
      // The peak, 30000, to -1 dBFS: 32768 x 10^(-1/20) = 29204.65.
      {{"--normalize"}, {973, -1947, 29205, 97}, ""},
      {{"--normalize=0", "--gain=40"},
       {1092, -2185, 32767, 109},
       "korvane: in.wav: 1 samples clipped at full scale\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options[0]);
    std::vector<std::string> args = {"-E16", "in.wav", "out.pcm"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const test::RunResult r = runProgram(args, {dir.path});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(pcm16Samples(readFile(dir / "out.pcm")), c.samples);
    EXPECT_EQ(r.err, c.err);
  }
  for (const std::string bad :
       {"--rate=999", "--rate=131071", "--rate=8k", "--gain=", "--gain=x", "--normalize=3"}) {
    EXPECT_EQ(runProgram({"-E4", "in.wav", bad}, {dir.path}).exitCode, 1) << bad;
  }
}

// sox's very-high-quality resampler as an oracle: the same speech at 16 kHz
// agrees within 25 dB SNR (a check of delay, gain and mixing).
// A long recording is prepared a block at a time, on two threads where one
// file is converted and on one in a batch: the same bytes, and every clipped
// sample counted once.
TEST(TolerantReader, LongRecordingsGiveTheSameBytesOnAnyThreads) {
  TempDir dir;
  Bytes data;
  const std::vector<std::int32_t> speech = test::speechLikeSamples(48000 * 20, 3);
  for (const std::int32_t s : speech) {
    putLe16(data, static_cast<std::uint32_t>(s));
    putLe16(data, static_cast<std::uint32_t>(-s / 2));
  }
  writeFile(dir / "in.wav", anyWave(1, 2, 16, data));  // 8 kHz stereo: 120 s, rate 8000 kept
  for (const char* sw : {"-E16", "-E4"}) {
    SCOPED_TRACE(sw);
    const test::RunResult one =
        runProgram({sw, "in.wav", "one.out", "--rate=16000", "--gain=24"}, {dir.path});
    ASSERT_EQ(one.exitCode, 0) << one.out;
    const test::RunResult batch = runProgram(
        {sw, "--out-dir=b", "--jobs=1", "in.wav", "--rate=16000", "--gain=24"}, {dir.path});
    ASSERT_EQ(batch.exitCode, 0) << batch.out;
    EXPECT_EQ(readFile(dir / "one.out"),
              readFile(dir / (std::string("b/in") + (sw[2] == '1' ? ".PCM" : ".AD4"))));
    EXPECT_EQ(one.err, batch.err);
    EXPECT_NE(one.err.find("samples clipped at full scale"), std::string::npos);
  }
}

TEST(Resample, AgreesWithSoxOnSpeech) {
  if (std::system("sox --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
  TempDir dir;
  std::vector<std::int32_t> speech = test::speechLikeSamples(48000, 11);
  Bytes stereo;
  for (const std::int32_t s : speech) {
    putLe16(stereo, static_cast<std::uint16_t>(s));
    putLe16(stereo, static_cast<std::uint16_t>(s / 2));
  }
  Bytes file = anyWave(1, 2, 16, stereo);
  for (std::size_t i = 0; i < 4; ++i)
    file[24 + i] = static_cast<std::uint8_t>(48000u >> (8 * i));  // the rate
  writeFile(dir / "in.wav", file);
  ASSERT_EQ(runProgram({"-E16", "in.wav", "ours.pcm", "--rate=16000"}, {dir.path}).exitCode, 0);
  const std::string sox = "cd " + dir.path.string() +
                          " && sox in.wav -r 16000 -c 1 -b 16 theirs.wav rate -v 2>/dev/null";
  ASSERT_EQ(std::system(sox.c_str()), 0);
  const std::vector<int> ours = pcm16Samples(readFile(dir / "ours.pcm"));
  const std::vector<std::int32_t> theirs = test::samplesOf(readFile(dir / "theirs.wav"));
  double signal = 0, error = 0;
  for (std::size_t i = 0; i < std::min(ours.size(), theirs.size()); ++i) {
    signal += double(theirs[i]) * theirs[i];
    error += double(ours[i] - theirs[i]) * (ours[i] - theirs[i]);
  }
  EXPECT_GE(10 * std::log10(signal / error), 25);
}

}  // namespace
}  // namespace korvane
