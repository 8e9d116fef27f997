// Search quality and speed: for each level, the mean SNR gain of the searched
// ADPCM and WFM streams over the greedy encoder across the recordings given,
// and the speed as a multiple of real time on one core, in process.
// --try SETTING (repeated) measures settings instead of levels; --formats 42
// runs only those code widths (4, 3, 2, and 1 for WFM).
//   korvane_search_quality [--levels A-B] [--try SETTING ...] [--formats 4321] recording.wav ...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "coders/codecs.h"
#include "convert/convert.h"
#include "decoder/decoder.h"
#include "quality/fidelity.h"
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
  std::vector<korvane::SearchLevel> tries;
  std::vector<std::string> names;
  std::string formatDigits = "4321";
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--try" && a + 1 < argc) {
      // look:DEPTH,WIDTH[,COMMIT[,BUDGET]], beam:BEAM,SPREAD,MERGEBITS[,x] (x: with the extremes)
      // or both:DEPTH,WIDTH,COMMIT,BEAM,SPREAD,MERGEBITS
      const std::string setting = argv[++a];
      unsigned v[6] = {};
      std::sscanf(setting.c_str() + 5, "%u,%u,%u,%u,%u,%u", &v[0], &v[1], &v[2], &v[3], &v[4],
                  &v[5]);
      korvane::SearchLevel l{};
      if (setting.rfind("both:", 0) == 0) {
        l = korvane::lookahead(v[0], v[1], v[2]);
        l.beam = v[3];
        l.spread = v[4];
        l.mergeBits = v[5];
        l.extremes = true;
      } else if (setting.rfind("look:", 0) == 0) {
        l = korvane::lookahead(v[0], v[1], std::max(v[2], 1u));
        if (v[3] > 0) l.budget = v[3];
      } else {
        l = {.beam = v[0], .spread = v[1], .mergeBits = v[2], .extremes = setting.back() == 'x'};
      }
      tries.push_back(l);
      names.push_back(setting);
      continue;
    }
    if (arg == "--formats" && a + 1 < argc) {
      formatDigits = argv[++a];  // code widths to run, of 4321
      continue;
    }
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
  double seconds = 0;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    seconds += recordings[i].wave.sampleCount / double(recordings[i].wave.sampleRate);
    for (const Format f : formats) {
      greedy[i].push_back(snrOf(korvane::encodeStream(f, recordings[i].wave), recordings[i].wave));
    }
  }

  std::printf("%zu recordings, %.1f s of audio\n\n", recordings.size(), seconds);
  std::printf(
      "| Level | AD4 gain | AD3 gain | AD2 gain | WFM gain | AD4 speed | AD3 speed | AD2 speed | "
      "WFM speed |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  const korvane::PayloadSearch searches[] = {korvane::searchPayload<korvane::AdpcmCodec<4>>,
                                             korvane::searchPayload<korvane::AdpcmCodec<3>>,
                                             korvane::searchPayload<korvane::AdpcmCodec<2>>,
                                             korvane::searchPayload<korvane::WfmCodec>};
  const int rows = tries.empty() ? last - first + 1 : static_cast<int>(tries.size());
  for (int row = 0; row < rows; ++row) {
    const int level = first + row;
    double gain[4] = {};
    double spent[4] = {};
    for (std::size_t i = 0; i < recordings.size(); ++i) {
      for (std::size_t f = 0; f < 4; ++f) {
        if (formatDigits.find("4321"[f]) == std::string::npos) continue;
        const korvane::SearchLevel& settings =
            tries.empty()
                ? korvane::searchLevelOf(korvane::factsOf(formats[f]).bitsPerSample, level)
                : tries[static_cast<std::size_t>(row)];
        const auto start = std::chrono::steady_clock::now();
        auto stream = korvane::encodeStream(formats[f], recordings[i].wave, 0);
        korvane::WaveInfo wave = recordings[i].wave;
        const std::int32_t seed = korvane::nextSample(wave);
        const std::size_t payload =
            korvane::kStreamHeaderBytes + korvane::factsOf(formats[f]).seedBytes;
        std::span<std::uint8_t> all(stream);
        const korvane::ByteSink sink = korvane::memorySink(all);
        searches[f](wave, seed, {&sink, payload}, settings, nullptr);
        spent[f] += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        gain[f] += snrOf(stream, recordings[i].wave) - greedy[i][f];
      }
    }
    if (tries.empty()) {
      std::printf("| %d%s |", level, level == korvane::kDefaultSearchLevel ? " (default)" : "");
    } else {
      std::printf("| %s |", names[static_cast<std::size_t>(row)].c_str());
    }
    for (const double g : gain)
      std::printf(" %+.2f dB |", g / static_cast<double>(recordings.size()));
    for (const double s : spent)
      std::printf(s > 0 ? " %.0fx |" : " |", seconds / s);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
