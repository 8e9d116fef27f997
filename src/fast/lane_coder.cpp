#include "fast/lane_coder.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "encoders/encoders.h"
#include "fast/lane_run.h"

namespace korvane {
namespace {

// How the lane coder sees a greedy coder: its state as two 32-bit values a
// lane, its guess, its serial step and coder, its kernel and its packing.
//
// Chunk lengths come from where the runs meet on speech: the 4-bit coder
// after a median of about 400 samples (nine in ten by 2,500), the 3-bit
// after 1,400 (6,200), the 2-bit after 4,600 (15,000), WFM after about
// 12,000. Most repairs then run in the second lane run, which reaches about
// as far as seven in eight chunks of the window before needed. Shorter
// inputs get shorter chunks, down to kShortestChunk, where that still paid
// (the 4-bit coder only: 30 s of speech, 9.5 -> 8.4 ms a run).
template <unsigned Bits>
struct AdpcmLanes {
  using State = AdpcmState;
  static constexpr std::size_t kChunkLength = Bits == 4 ? 4096 : Bits == 3 ? 8192 : 16384;
  static constexpr std::size_t kShortestChunk = Bits == 4 ? 1024 : kChunkLength;

  static State guess(std::int32_t previous, std::uint64_t codesBefore) {
    return guessAdpcmState<Bits>(previous, codesBefore);
  }
  static std::uint8_t step(State& s, std::int32_t x) { return quantizeAdpcm<Bits>(s, x); }
  static std::int32_t first(const State& s) { return s.predictor; }
  static std::int32_t second(const State& s) { return s.stepIndex; }
  static State of(std::int32_t first, std::int32_t second) {
    return {first, static_cast<std::int8_t>(second)};
  }
  static State serial(const WaveInfo& wave, State start, std::span<std::uint8_t> payload) {
    return encodeAdpcmFrom<Bits>(wave, start, payload);
  }
  static void run(LaneRun& run) {
    run.adpcm = &kVectorTables<Bits>;
    runAdpcmLanesAvx512(run);
  }
  struct Packer {
    std::uint8_t* pack(std::span<const std::uint8_t> codes, std::uint8_t* out) {
      return packCodes<kAdpcmCodes<Bits>>(codes, out);
    }
  };
};

struct WfmLanes {
  using State = WfmState;
  static constexpr std::size_t kChunkLength = 32768;
  static constexpr std::size_t kShortestChunk = kChunkLength;

  static State guess(std::int32_t previous, std::uint64_t) { return guessWfmState(previous); }
  static std::uint8_t step(State& s, std::int32_t x) {
    return static_cast<std::uint8_t>(quantizeWfm(s, offsetForm(x)));
  }
  static std::int32_t first(const State& s) { return static_cast<std::int32_t>(s.estimate); }
  static std::int32_t second(const State& s) {
    return static_cast<std::int32_t>(s.step | std::uint32_t{s.history} << 16);
  }
  static State of(std::int32_t first, std::int32_t second) {
    const auto packed = static_cast<std::uint32_t>(second);
    return {static_cast<std::uint32_t>(first), packed & 0xFFFFu,
            static_cast<std::uint8_t>(packed >> 16)};
  }
  static State serial(const WaveInfo& wave, State start, std::span<std::uint8_t> payload) {
    return encodeWfmFrom(wave, start, payload);
  }
  static void run(LaneRun& run) {
    run.wfm = &kWfmVectorTables;
    runWfmLanesAvx512(run);
  }
  struct Packer {
    std::uint8_t history = 0;
    std::uint8_t* pack(std::span<const std::uint8_t> decisions, std::uint8_t* out) {
      return packWfm(decisions, out, history);
    }
  };
};

// The guessing ends (and the rest of the input is coded serially) after a
// window in which fewer of its chunks than this met their guessed runs.
constexpr std::size_t kFewestMeetings = kLaneCount / 4;

template <class C>
struct Speculation {
  using State = typename C::State;

  explicit Speculation(std::size_t chunkLength)
      : chunk(chunkLength),
        window(chunkLength * kLaneCount),
        reach(std::max(chunkLength / 4 / kCheckpointEvery, std::size_t{1}) * kCheckpointEvery),
        x(window),
        firsts(window / kCheckpointEvery),
        seconds(window / kCheckpointEvery),
        repairCodes(window),
        repairFirsts(window / kCheckpointEvery),
        repairSeconds(window / kCheckpointEvery) {}

  // Whether the state s is the one a run left at checkpoint `at`.
  static bool isAt(const State& s, const std::int32_t* first, const std::int32_t* second,
                   std::size_t at) {
    return C::first(s) == first[at] && C::second(s) == second[at];
  }

  // Codes one whole window of x from state into codes; returns how many
  // chunks met their guessed runs.
  std::size_t codeWindow(State& state, std::uint64_t codesBefore, std::uint8_t* codes) {
    // Every chunk from a guess, the first from the true state.
    LaneRun guessed{x.data(), chunk,         chunk,          {},      {},     codes,
                    chunk,    firsts.data(), seconds.data(), nullptr, nullptr};
    for (std::size_t j = 0; j < kLaneCount; ++j) {
      const std::size_t base = j * chunk;
      const State start = j == 0 ? state : C::guess(x[base - 1], codesBefore + base);
      guessed.startFirst[j] = C::first(start);
      guessed.startSecond[j] = C::second(start);
    }
    C::run(guessed);
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
                    repairFirsts.data(),
                    repairSeconds.data(),
                    nullptr,
                    nullptr};
    for (std::size_t j = 0; j < kLaneCount; ++j) {
      repairs.startFirst[j] = j == 0 ? C::first(state) : firsts[last + j - 1];
      repairs.startSecond[j] = j == 0 ? C::second(state) : seconds[last + j - 1];
    }
    C::run(repairs);

    std::size_t met = 1;
    std::array<std::size_t, kLaneCount> meetings{};
    state = C::of(firsts[last], seconds[last]);
    for (std::size_t j = 1; j < kLaneCount; ++j) {
      const std::size_t base = j * chunk;
      // The true coder runs until its state is the guessed run's at a
      // checkpoint; its codes replace the guessed run's up to there.
      std::size_t repaired = 0;
      bool meets = false;
      State s = state;
      if (isAt(s, repairs.startFirst, repairs.startSecond, j)) {
        while (!meets && repaired < reach) {
          const std::size_t at = repaired / kCheckpointEvery * kLaneCount + j;
          s = C::of(repairFirsts[at], repairSeconds[at]);
          repaired += kCheckpointEvery;
          meets = isAt(s, firsts.data(), seconds.data(), at);
        }
        std::copy_n(&repairCodes[j * reach], repaired, &codes[base]);
      }
      while (!meets && repaired < chunk) {
        codes[base + repaired] = C::step(s, x[base + repaired]);
        ++repaired;
        if (repaired % kCheckpointEvery == 0) {
          meets = isAt(s, firsts.data(), seconds.data(),
                       (repaired / kCheckpointEvery - 1) * kLaneCount + j);
        }
      }
      meetings[j] = repaired;
      if (!meets) {
        state = s;
        continue;
      }
      ++met;
      state = C::of(firsts[last + j], seconds[last + j]);
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
  std::vector<std::int32_t> firsts;
  std::vector<std::int32_t> seconds;
  std::vector<std::uint8_t> repairCodes;
  std::vector<std::int32_t> repairFirsts;
  std::vector<std::int32_t> repairSeconds;
};

template <class C>
typename C::State encodePlanned(const WaveInfo& wave, typename C::State start,
                                std::span<std::uint8_t> payload, const LanePlan& plan) {
  const std::uint64_t total = wave.sampleCount - 1;
  // Two windows at least; shorter inputs gain nothing.
  const std::size_t fit = static_cast<std::size_t>(std::min<std::uint64_t>(
      total / (2 * kLaneCount) / kCheckpointEvery * kCheckpointEvery, C::kChunkLength));
  const std::size_t chunk = plan.chunkLength != 0 ? plan.chunkLength : fit;
  if (plan.path == CoderPath::serial || (plan.chunkLength == 0 && chunk < C::kShortestChunk) ||
      total < 2 * chunk * kLaneCount) {
    return C::serial(wave, start, payload);
  }
  Speculation<C> s(chunk);
  std::vector<std::uint8_t> codes(s.window);
  WaveInfo reader = wave;
  typename C::State state = start;
  typename C::Packer packer;
  std::uint8_t* out = payload.data();
  bool speculating = true;
  for (std::uint64_t done = 0; done < total;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(total - done, s.window));
    nextSamples(reader, std::span(s.x).first(n));
    if (speculating && n == s.window) {
      speculating = s.codeWindow(state, done, codes.data()) >= kFewestMeetings;
    } else {
      for (std::size_t i = 0; i < n; ++i)
        codes[i] = C::step(state, s.x[i]);
    }
    out = packer.pack(std::span(codes).first(n), out);
    done += n;
  }
  return state;
}

}  // namespace

CoderPath bestCoderPath() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") ? CoderPath::avx512 : CoderPath::serial;
}

template <unsigned Bits>
AdpcmState encodeAdpcmPlanned(const WaveInfo& wave, AdpcmState start,
                              std::span<std::uint8_t> payload, const LanePlan& plan) {
  return encodePlanned<AdpcmLanes<Bits>>(wave, start, payload, plan);
}

template AdpcmState encodeAdpcmPlanned<4>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>,
                                          const LanePlan&);
template AdpcmState encodeAdpcmPlanned<3>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>,
                                          const LanePlan&);
template AdpcmState encodeAdpcmPlanned<2>(const WaveInfo&, AdpcmState, std::span<std::uint8_t>,
                                          const LanePlan&);

WfmState encodeWfmPlanned(const WaveInfo& wave, WfmState start, std::span<std::uint8_t> payload,
                          const LanePlan& plan) {
  return encodePlanned<WfmLanes>(wave, start, payload, plan);
}

}  // namespace korvane
