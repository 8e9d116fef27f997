#include "fast/fast_adpcm.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/adpcm.h"
#include "encoders/encoders.h"
#include "fast/lane_run.h"

namespace korvane {
namespace {

// Chunk lengths from where the runs meet on speech: the 4-bit coder after a
// median of about 400 samples (nine in ten by 2,500), the 3-bit after 1,400
// (6,200), the 2-bit after 4,600 (15,000). Most repairs then run in the
// second lane run, which reaches about as far as seven in eight needed.
// Shorter inputs get shorter chunks, down to kShortestChunk, where that still
// paid (the 4-bit coder only: 30 s of speech, 9.5 -> 8.4 ms a run).
template <unsigned Bits>
constexpr std::size_t kChunkLength = Bits == 4   ? 4096
                                     : Bits == 3 ? 8192
                                                 : 16384;
template <unsigned Bits>
constexpr std::size_t kShortestChunk = Bits == 4 ? 1024 : kChunkLength<Bits>;

// The guessing ends (and the rest of the input is coded serially) after a
// window in which fewer of its chunks than this met their guessed runs.
constexpr std::size_t kFewestMeetings = kLaneCount / 4;

template <unsigned Bits>
struct Speculation {
  explicit Speculation(std::size_t chunkLength)
      : chunk(chunkLength),
        window(chunkLength * kLaneCount),
        reach(std::max(chunkLength / 4 / kCheckpointEvery, std::size_t{1}) * kCheckpointEvery),
        x(window),
        predictors(window / kCheckpointEvery),
        indices(window / kCheckpointEvery),
        repairCodes(window),
        repairPredictors(window / kCheckpointEvery),
        repairIndices(window / kCheckpointEvery) {}

  // Codes one whole window of x from state into codes; returns how many
  // chunks met their guessed runs.
  std::size_t codeWindow(AdpcmState& state, std::uint64_t codesBefore, std::uint8_t* codes) {
    // Every chunk from a guess, the first from the true state.
    LaneRun guessed{x.data(),
                    chunk,
                    chunk,
                    {},
                    {},
                    codes,
                    chunk,
                    predictors.data(),
                    indices.data(),
                    &kVectorTables<Bits>};
    for (std::size_t j = 0; j < kLaneCount; ++j) {
      const std::size_t base = j * chunk;
      const AdpcmState start =
          j == 0 ? state : guessAdpcmState<Bits>(x[base - 1], codesBefore + base);
      guessed.startPredictors[j] = start.predictor;
      guessed.startIndices[j] = start.stepIndex;
    }
    runLanesAvx512(guessed);
    // The start of every chunk again, from the end state of the chunk before
    // in the guessed run: the true start wherever that chunk met. The repairs
    // then run in lanes too, and only what this run does not reach is serial.
    const std::size_t last = (chunk / kCheckpointEvery - 1) * kLaneCount;
    LaneRun repairs{x.data(),
                    reach,
                    chunk,
                    {},
                    {},
                    repairCodes.data(),
                    reach,
                    repairPredictors.data(),
                    repairIndices.data(),
                    &kVectorTables<Bits>};
    for (std::size_t j = 0; j < kLaneCount; ++j) {
      repairs.startPredictors[j] = j == 0 ? state.predictor : predictors[last + j - 1];
      repairs.startIndices[j] = j == 0 ? state.stepIndex : indices[last + j - 1];
    }
    runLanesAvx512(repairs);

    std::size_t met = 1;
    std::array<std::size_t, kLaneCount> meetings{};
    state = {predictors[last], static_cast<std::int8_t>(indices[last])};
    for (std::size_t j = 1; j < kLaneCount; ++j) {
      const std::size_t base = j * chunk;
      // The true coder runs until its state is the guessed run's at a
      // checkpoint; its codes replace the guessed run's up to there.
      std::size_t repaired = 0;
      bool meets = false;
      AdpcmState s = state;
      if (s.predictor == repairs.startPredictors[j] && s.stepIndex == repairs.startIndices[j]) {
        while (!meets && repaired < reach) {
          const std::size_t at = repaired / kCheckpointEvery * kLaneCount + j;
          s = {repairPredictors[at], static_cast<std::int8_t>(repairIndices[at])};
          repaired += kCheckpointEvery;
          meets = s.predictor == predictors[at] && s.stepIndex == indices[at];
        }
        std::copy_n(&repairCodes[j * reach], repaired, &codes[base]);
      }
      while (!meets && repaired < chunk) {
        codes[base + repaired] = quantizeAdpcm<Bits>(s, x[base + repaired]);
        ++repaired;
        if (repaired % kCheckpointEvery == 0) {
          const std::size_t at = (repaired / kCheckpointEvery - 1) * kLaneCount + j;
          meets = s.predictor == predictors[at] && s.stepIndex == indices[at];
        }
      }
      meetings[j] = repaired;
      if (!meets) {
        state = s;
        continue;
      }
      ++met;
      state = {predictors[last + j], static_cast<std::int8_t>(indices[last + j])};
    }
    // The next window's repair run reaches as far as all but the last few
    // chunks of this one needed.
    std::sort(meetings.begin() + 1, meetings.end());
    reach = std::clamp(meetings[kLaneCount - kLaneCount / 8] / kCheckpointEvery * kCheckpointEvery,
                       4 * kCheckpointEvery, chunk);
    return met;
  }

  std::size_t chunk;
  std::size_t window;
  std::size_t reach;  // samples of the repair run
  std::vector<std::int32_t> x;
  std::vector<std::int32_t> predictors;
  std::vector<std::int32_t> indices;
  std::vector<std::uint8_t> repairCodes;
  std::vector<std::int32_t> repairPredictors;
  std::vector<std::int32_t> repairIndices;
};

}  // namespace

CoderPath bestCoderPath() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") ? CoderPath::avx512 : CoderPath::serial;
}

template <unsigned Bits>
AdpcmState encodeAdpcmPlanned(const WaveInfo& wave, AdpcmState start,
                              std::span<std::uint8_t> payload, const LanePlan& plan) {
  const std::uint64_t total = wave.sampleCount - 1;
  // Two windows at least; shorter inputs gain nothing.
  const std::size_t fit = static_cast<std::size_t>(std::min<std::uint64_t>(
      total / (2 * kLaneCount) / kCheckpointEvery * kCheckpointEvery, kChunkLength<Bits>));
  const std::size_t chunk = plan.chunkLength != 0 ? plan.chunkLength : fit;
  if (plan.path == CoderPath::serial || (plan.chunkLength == 0 && chunk < kShortestChunk<Bits>) ||
      total < 2 * chunk * kLaneCount) {
    return encodeAdpcmFrom<Bits>(wave, start, payload);
  }
  Speculation<Bits> s(chunk);
  std::vector<std::uint8_t> codes(s.window);
  WaveInfo reader = wave;
  AdpcmState state = start;
  std::uint8_t* out = payload.data();
  bool speculating = true;
  for (std::uint64_t done = 0; done < total;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(total - done, s.window));
    nextSamples(reader, std::span(s.x).first(n));
    if (speculating && n == s.window) {
      speculating = s.codeWindow(state, done, codes.data()) >= kFewestMeetings;
    } else {
      for (std::size_t i = 0; i < n; ++i)
        codes[i] = quantizeAdpcm<Bits>(state, s.x[i]);
    }
    out = packCodes<kAdpcmCodes<Bits>>(std::span(codes).first(n), out);
    done += n;
  }
  return state;
}

template AdpcmState encodeAdpcmPlanned<4>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>,
                                          const LanePlan&);
template AdpcmState encodeAdpcmPlanned<3>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>,
                                          const LanePlan&);
template AdpcmState encodeAdpcmPlanned<2>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>,
                                          const LanePlan&);

}  // namespace korvane
