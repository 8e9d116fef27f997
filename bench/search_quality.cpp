// Search quality and speed: for each level, the mean SNR gain of the searched
// ADPCM and WFM streams over the greedy encoder across the recordings given,
// and the speed as a multiple of real time at 16 kHz on one core.
//   korvane_search_quality [--levels A-B] recording.wav ...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "decoder/decoder.h"
#include "search/search.h"

namespace {

using korvane::Format;

struct Recording {
  std::string name;
  std::vector<std::uint8_t> bytes;
  korvane::WaveInfo wave;
};

double snrOf(const std::vector<std::uint8_t>& stream, const korvane::WaveInfo& wave) {
  korvane::DecodeCursor played;
  if (korvane::openStream(stream, played) != korvane::DecodeError::none) return 0;
  return korvane::snrDb(korvane::measureFidelity(wave, played));
}

}  // namespace

int main(int argc, char** argv) {
  int first = 0;
  int last = korvane::kMaxSearchLevel;
  std::vector<Recording> recordings;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--levels" && a + 1 < argc) {
      const std::string range = argv[++a];
      first = std::atoi(range.c_str());
      const auto dash = range.find('-');
      last = dash == std::string::npos ? first : std::atoi(range.c_str() + dash + 1);
      continue;
    }
    std::ifstream in(arg, std::ios::binary);
    Recording r{arg, std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {}), {}};
    if (korvane::readWaveInfo(r.bytes, r.wave) != korvane::WaveError::none) {
      std::fprintf(stderr, "%s : not an accepted WAV file\n", arg.c_str());
      return 1;
    }
    recordings.push_back(std::move(r));
  }
  if (recordings.empty()) {
    std::fprintf(stderr, "usage: korvane_search_quality [--levels A-B] recording.wav ...\n");
    return 2;
  }

  const Format formats[] = {Format::adpcm4, Format::adpcm3, Format::adpcm2, Format::wfm};
  std::vector<std::vector<double>> greedy(recordings.size());
  double samples = 0;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    samples += recordings[i].wave.sampleCount;
    for (const Format f : formats) {
      greedy[i].push_back(snrOf(korvane::encodeStream(f, recordings[i].wave), recordings[i].wave));
    }
  }

  std::printf("%zu recordings, %.1f s of audio\n\n", recordings.size(), samples / 16000.0);
  std::printf(
      "| Level | Beam | AD4 gain | AD3 gain | AD2 gain | WFM gain | AD4 speed | AD3 speed | AD2 "
      "speed | WFM speed |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (int level = first; level <= last; ++level) {
    double gain[4] = {};
    double seconds[4] = {};
    for (std::size_t i = 0; i < recordings.size(); ++i) {
      for (std::size_t f = 0; f < 4; ++f) {
        const auto start = std::chrono::steady_clock::now();
        const auto stream = korvane::encodeStream(formats[f], recordings[i].wave, level);
        seconds[f] +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        gain[f] += snrOf(stream, recordings[i].wave) - greedy[i][f];
      }
    }
    std::printf("| %d%s | %u |", level, level == korvane::kDefaultSearchLevel ? " (default)" : "",
                korvane::searchLevelOf(level).beam);
    for (const double g : gain)
      std::printf(" %+.2f dB |", g / static_cast<double>(recordings.size()));
    for (const double s : seconds)
      std::printf(" %.0fx |", samples / s / 16000.0);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
