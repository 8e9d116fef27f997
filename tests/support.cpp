#include "support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <stdexcept>

#include "app/run.h"

namespace korvane::test {

void putLe16(Bytes& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLe32(Bytes& out, std::uint32_t value) {
  putLe16(out, value & 0xFFFF);
  putLe16(out, value >> 16);
}

void putTag(Bytes& out, const char* tag) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(tag[i]));
}

Bytes waveHeader(std::uint16_t tag, std::uint16_t channels, std::uint16_t bitsPerSample,
                 std::uint32_t sampleRate, std::uint32_t dataBytes) {
  Bytes out;
  const std::uint32_t frame = channels * ((bitsPerSample + 7u) / 8u);
  putTag(out, "RIFF");
  putLe32(out, 36 + dataBytes);
  putTag(out, "WAVE");
  putTag(out, "fmt ");
  putLe32(out, 16);
  putLe16(out, tag);
  putLe16(out, channels);
  putLe32(out, sampleRate);
  putLe32(out, sampleRate * frame);
  putLe16(out, frame);
  putLe16(out, bitsPerSample);
  putTag(out, "data");
  putLe32(out, dataBytes);
  return out;
}

Bytes makeWave(const Bytes& data, std::uint16_t bitsPerSample, std::uint32_t sampleRate) {
  Bytes out = waveHeader(1, 1, bitsPerSample, sampleRate, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes makeWave16(const std::vector<std::int32_t>& samples, std::uint32_t sampleRate) {
  Bytes data;
  for (const std::int32_t s : samples)
    putLe16(data, static_cast<std::uint32_t>(s) & 0xFFFF);
  return makeWave(data, 16, sampleRate);
}

std::vector<std::int32_t> samplesOf(const Bytes& file) {
  WaveInfo wave;
  if (readWaveInfo(file, wave) != WaveError::none) throw std::runtime_error("not accepted");
  std::vector<std::int32_t> samples(wave.sampleCount);
  for (auto& s : samples)
    s = nextSample(wave);
  return samples;
}

std::vector<std::int32_t> randomSamples(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::int32_t> dist(-32768, 32767);
  std::vector<std::int32_t> samples(count);
  for (auto& s : samples)
    s = dist(rng);
  return samples;
}

// Voiced sound: a few harmonics of a gliding pitch under a syllable envelope,
// with a little noise; exercises small and large steps alike.
std::vector<std::int32_t> speechLikeSamples(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 300.0);
  std::vector<std::int32_t> samples(count);
  double phase = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    const double pitch = 120.0 + 40.0 * std::sin(2 * std::numbers::pi * 1.3 * t);
    phase += 2 * std::numbers::pi * pitch / 16000.0;
    const double envelope = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3.0 * t);
    double v = 0;
    for (int h = 1; h <= 6; ++h)
      v += std::sin(h * phase) / h;
    v = 14000.0 * envelope * v + noise(rng);
    samples[i] = static_cast<std::int32_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
  }
  return samples;
}

std::vector<std::int32_t> signalOf(int kind, std::size_t n, std::uint32_t seed) {
  std::vector<std::int32_t> x;
  switch (kind) {
    case 0:
      return speechLikeSamples(n, seed);
    case 1:
      return randomSamples(n, seed);
    case 2:  // speech driven far past full scale, clipped
      for (const std::int32_t s : speechLikeSamples(n, seed))
        x.push_back(std::clamp(s * 8, -32768, 32767));
      return x;
    case 3:  // DC after a step
      x.assign(n, 12345);
      x[0] = -20000;
      return x;
    case 4:  // a full-scale square wave
      for (std::size_t i = 0; i < n; ++i)
        x.push_back((i / 37) % 2 ? 32767 : -32768);
      return x;
    default:  // silence, then speech
      x.assign(n / 3, 0);
      for (const std::int32_t s : speechLikeSamples(n - n / 3, seed))
        x.push_back(s);
      return x;
  }
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void writeSparse(const std::filesystem::path& path, const Bytes& header, std::uint64_t dataBytes) {
  writeFile(path, header);
  std::filesystem::resize_file(path, header.size() + dataBytes);
}

std::vector<std::string> folderNames(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir() {
  static std::mt19937_64 random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "korvane-test-%016llx",
                  static_cast<unsigned long long>(random()));
    path = std::filesystem::temp_directory_path() / name;
    if (std::filesystem::create_directory(path)) return;
  }
  throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path, ignored);
}

const std::string kUsage =
    "KORVANE V2.0     DATE : 2006.9"
    "KORVANE -Command Input [Output]\n"
    "Command : -E4  Encode PCM -> ADPCM(4-BIT)\n"
    "          -E3  Encode PCM -> ADPCM(3-BIT)\n"
    "          -E2  Encode PCM -> ADPCM(2-BIT)\n"
    "          -E1  Encode PCM -> TORVEL WFM\n"
    "          -E16 Encode PCM -> PCM16\n"
    "          -E12 Encode PCM -> PCM12\n"
    "          -E8  Encode PCM -> PCM8\n";

InProcess runInProcess(const std::vector<std::string>& args) {
  Console console;
  InProcess result;
  console.outText = &result.out;
  console.keyWaitEnabled = false;
  result.exitCode = runKorvane(args, console);
  result.keyWaits = console.keyWaits;
  return result;
}

}  // namespace korvane::test
