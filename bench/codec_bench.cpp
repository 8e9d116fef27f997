// Speed of the codec core: ns per sample of every encoder, of the player of
// every format and of every search level, and bytes per second of the
// reader, on ten seconds of speech at 16 kHz and on a ten-minute input (the
// bundled recording repeated). A bare greedy IMA loop written here, the
// straightforward way, is the yardstick for the 4-bit encoder.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/adpcm.h"
#include "convert/convert.h"
#include "decoder/decoder.h"
#include "search/search.h"
#include "wav/wave_reader.h"

namespace {

using korvane::Format;

// The bundled recording's samples, repeated to `seconds` at 16 kHz, as a WAV file.
std::vector<std::uint8_t> speechWave(double seconds) {
  std::ifstream in(KORVANE_EXAMPLE, std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), {});
  korvane::WaveInfo wave;
  if (korvane::readWaveInfo(file, wave) != korvane::WaveError::none) std::abort();
  const std::size_t want = static_cast<std::size_t>(seconds * 16000);
  const auto start = static_cast<std::ptrdiff_t>(wave.dataStart);
  std::vector<std::uint8_t> out(file.begin(), file.begin() + start);
  const std::uint8_t* data = file.data() + start;
  for (std::size_t i = 0; i < want; ++i) {
    const std::size_t k = i % wave.sampleCount;
    out.push_back(data[2 * k]);
    out.push_back(data[2 * k + 1]);
  }
  const auto dataBytes = static_cast<std::uint32_t>(2 * want);
  const std::size_t sizeAt = static_cast<std::size_t>(wave.dataStart) - 4;
  for (std::size_t b = 0; b < 4; ++b)
    out[sizeAt + b] = static_cast<std::uint8_t>(dataBytes >> (8 * b));
  return out;
}

const std::vector<std::uint8_t>& input(int which) {
  static const std::vector<std::uint8_t> tenSeconds = speechWave(10);
  static const std::vector<std::uint8_t> tenMinutes = speechWave(600);
  return which == 0 ? tenSeconds : tenMinutes;
}

korvane::WaveInfo waveOf(const std::vector<std::uint8_t>& file) {
  korvane::WaveInfo wave;
  if (korvane::readWaveInfo(file, wave) != korvane::WaveError::none) std::abort();
  return wave;
}

void perSample(benchmark::State& state, std::uint64_t samples) {
  state.counters["ns/sample"] =
      benchmark::Counter(static_cast<double>(samples) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

constexpr const char* kInputNames[] = {"10s", "10min"};

void encode(benchmark::State& state, Format format, int which, int level) {
  const korvane::WaveInfo wave = waveOf(input(which));
  for (auto _ : state)
    benchmark::DoNotOptimize(korvane::encodeStream(format, wave, level).data());
  perSample(state, wave.sampleCount);
}

void decode(benchmark::State& state, Format format, int which) {
  const korvane::WaveInfo wave = waveOf(input(which));
  const std::vector<std::uint8_t> stream = korvane::encodeStream(format, wave);
  korvane::DecodeCursor cursor;
  if (korvane::openStream(stream, cursor) != korvane::DecodeError::none) std::abort();
  for (auto _ : state)
    benchmark::DoNotOptimize(korvane::decodeToWave(cursor).data());
  perSample(state, wave.sampleCount);
}

void readAll(benchmark::State& state, int which) {
  const std::vector<std::uint8_t>& file = input(which);
  for (auto _ : state) {
    korvane::WaveInfo wave = waveOf(file);
    std::int32_t sum = 0;
    for (std::uint32_t i = 0; i < wave.sampleCount; ++i)
      sum += korvane::nextSample(wave);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(file.size()) * state.iterations());
}

// The textbook greedy IMA ADPCM loop over 16-bit samples, branches and all:
// what a straightforward C encoder of the same arithmetic costs.
void bareIma(benchmark::State& state, int which) {
  const korvane::WaveInfo wave = waveOf(input(which));
  const auto* samples = reinterpret_cast<const std::int16_t*>(wave.file.memory + wave.dataStart);
  std::vector<std::uint8_t> out(wave.sampleCount / 2 + 1);
  static constexpr int kIndex[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
  for (auto _ : state) {
    int predictor = samples[0];
    int index = 0;
    std::uint8_t* p = out.data();
    for (std::uint32_t i = 1; i < wave.sampleCount; ++i) {
      const int step = korvane::kStepTable[static_cast<std::size_t>(index)];
      int diff = samples[i] - predictor;
      int code = 0;
      if (diff < 0) {
        code = 8;
        diff = -diff;
      }
      int delta = step >> 3;
      if (diff >= step) {
        code |= 4;
        diff -= step;
        delta += step;
      }
      if (diff >= step >> 1) {
        code |= 2;
        diff -= step >> 1;
        delta += step >> 1;
      }
      if (diff >= step >> 2) {
        code |= 1;
        delta += step >> 2;
      }
      predictor += (code & 8) ? -delta : delta;
      if (predictor > 32767) predictor = 32767;
      if (predictor < -32768) predictor = -32768;
      index += kIndex[code];
      if (index < 0) index = 0;
      if (index > 88) index = 88;
      if (i & 1) {
        *p = static_cast<std::uint8_t>(code);
      } else {
        *p++ |= static_cast<std::uint8_t>(code << 4);
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  perSample(state, wave.sampleCount);
}

constexpr std::array<std::pair<Format, const char*>, korvane::kFormatCount> kFormats = {{
    {Format::adpcm4, "AD4"},
    {Format::adpcm3, "AD3"},
    {Format::adpcm2, "AD2"},
    {Format::wfm, "WFM"},
    {Format::pcm16, "PCM16"},
    {Format::pcm12, "PCM12"},
    {Format::pcm8, "PCM8"},
}};

// Search levels run on the ten seconds, and the faster half on ten minutes too.
const bool kRegistered = [] {
  for (int which = 0; which < 2; ++which) {
    const std::string in = kInputNames[which];
    benchmark::RegisterBenchmark(("read/" + in).c_str(), readAll, which);
    benchmark::RegisterBenchmark(("bare_ima_loop/" + in).c_str(), bareIma, which);
    for (const auto& [format, name] : kFormats) {
      benchmark::RegisterBenchmark(("encode/" + std::string(name) + "/" + in).c_str(), encode,
                                   format, which, 0);
    }
    for (const auto& [format, name] : kFormats) {
      benchmark::RegisterBenchmark(("decode/" + std::string(name) + "/" + in).c_str(), decode,
                                   format, which);
    }
  }
  for (int which = 0; which < 2; ++which) {
    for (int level = 1; level <= korvane::kMaxSearchLevel; ++level) {
      if (which == 1 && level > korvane::kDefaultSearchLevel) continue;
      for (int f = 0; f < 4; ++f) {
        const std::string name = std::string("search/") + std::to_string(level) + "/" +
                                 kFormats[static_cast<std::size_t>(f)].second + "/" +
                                 kInputNames[which];
        benchmark::RegisterBenchmark(name.c_str(), encode,
                                     kFormats[static_cast<std::size_t>(f)].first, which, level)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
      }
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
