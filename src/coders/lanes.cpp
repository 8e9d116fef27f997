#include "coders/lanes.h"

#include <algorithm>
#include <array>
#include <memory>
#include <span>

#include "coders/codecs.h"
#include "coders/greedy.h"
#include "coders/meeting.h"

namespace korvane {
namespace {

// The guessing ends (and the rest of the input is coded serially) after a
// window of which the serial coder coded more than one part in this many (on
// speech it codes one part in five to fifty, on white noise nine in ten).
constexpr std::size_t kMostSerial = 2;

// Memory that the coder fills before it reads it: not cleared first (on
// some machines the first touch of fresh memory costs as much as coding).
template <class T>
class Buffer {
 public:
  explicit Buffer(std::size_t count)
      : data_(std::make_unique_for_overwrite<T[]>(count)), size_(count) {}
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::span<T> span() { return {data_.get(), size_}; }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_;
};

template <class C>
struct Speculation {
  using State = typename C::State;

  Speculation(std::size_t chunkLength, const VectorKernels& kernels)
      : lanes(C::lanes(kernels)),
        chunk(chunkLength),
        window(chunkLength * kLaneCount),
        reach(std::max(chunkLength / 4 / kCheckpointEvery, std::size_t{1}) * kCheckpointEvery),
        samples(C::kWarmUp + window),
        x(samples.span().subspan(C::kWarmUp)),
        firsts(window / kCheckpointEvery),
        seconds(window / kCheckpointEvery),
        repairCodes(window),
        repairFirsts(window / kCheckpointEvery),
        repairSeconds(window / kCheckpointEvery) {
    std::fill_n(samples.data(), C::kWarmUp, 0);
  }

  // Shorter chunks for the last window of an input (the buffers stay).
  void shorten(std::size_t chunkLength) {
    chunk = chunkLength;
    window = chunkLength * kLaneCount;
    reach = std::min(reach, chunk);
  }

  // Whether the state s is the one a run left at checkpoint `at`.
  static bool isAt(const State& s, const std::int32_t* first, const std::int32_t* second,
                   std::size_t at) {
    return C::first(s) == first[at] && C::second(s) == second[at];
  }

  // Codes one whole window of x from state into codes; returns how many
  // samples the serial coder coded.
  std::size_t codeWindow(State& state, std::uint64_t codesBefore, std::uint8_t* codes) {
    // Every chunk from a guess, the first from the true state. The guesses
    // are made warm: from the samples before their chunk (the first lane's
    // are not used, and read the zeros before the window).
    LaneRun guessed{x.data(), chunk,         chunk,          {},      {},     codes,
                    chunk,    firsts.data(), seconds.data(), nullptr, nullptr};
    const std::size_t warm = std::min(C::kWarmUp, chunk / 2 / kCheckpointEvery * kCheckpointEvery);
    LaneRun warming{x.data() - warm,
                    warm,
                    chunk,
                    {},
                    {},
                    repairCodes.data(),
                    warm,
                    repairFirsts.data(),
                    repairSeconds.data(),
                    nullptr,
                    nullptr};
    for (std::size_t j = 0; j < kLaneCount; ++j) {
      const std::size_t base = j * chunk - warm;
      const State start = j == 0 ? state : C::guess(x[base - 1], codesBefore + base);
      warming.startFirst[j] = guessed.startFirst[j] = C::first(start);
      warming.startSecond[j] = guessed.startSecond[j] = C::second(start);
    }
    if (warm > 0) {
      run(warming);
      const std::size_t end = (warm / kCheckpointEvery - 1) * kLaneCount;
      for (std::size_t j = 1; j < kLaneCount; ++j) {
        guessed.startFirst[j] = repairFirsts[end + j];
        guessed.startSecond[j] = repairSeconds[end + j];
      }
    }
    run(guessed);
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
    run(repairs);

    std::size_t serial = 0;
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
      serial += chunk - repaired;  // at most; less where the run meets
      while (!meets && repaired < chunk) {
        codes[base + repaired] = C::step(s, x[base + repaired]);
        ++repaired;
        if (repaired % kCheckpointEvery == 0) {
          meets = isAt(s, firsts.data(), seconds.data(),
                       (repaired / kCheckpointEvery - 1) * kLaneCount + j);
        }
      }
      meetings[j] = repaired;
      serial -= chunk - repaired;
      if (!meets) {
        state = s;
        continue;
      }
      state = C::of(firsts[last + j], seconds[last + j]);
    }
    // The next window's repair run reaches as far as all but the last few
    // chunks of this one needed.
    std::sort(meetings.begin() + 1, meetings.end());
    reach = std::clamp(meetings[kLaneCount - kLaneCount / 8] / kCheckpointEvery * kCheckpointEvery,
                       4 * kCheckpointEvery, chunk);
    return serial;
  }

  void run(LaneRun& lanesRun) const {
    C::giveTables(lanesRun);
    lanes(lanesRun);
  }

  LaneKernel lanes;
  std::size_t chunk;
  std::size_t window;
  std::size_t reach;             // samples of the repair run
  Buffer<std::int32_t> samples;  // zeros, then the window's samples
  std::span<std::int32_t> x;     // the window's samples
  Buffer<std::int32_t> firsts;
  Buffer<std::int32_t> seconds;
  Buffer<std::uint8_t> repairCodes;
  Buffer<std::int32_t> repairFirsts;
  Buffer<std::int32_t> repairSeconds;
};

}  // namespace

template <class C>
LaneResult<typename C::State> encodeInLanes(const WaveInfo& wave, typename C::State start,
                                            PayloadOut out, const LanePlan& plan) {
  const std::uint64_t total = wave.sampleCount - 1;
  const std::uint64_t within = std::max(
      (plan.meetWithin != 0 ? plan.meetWithin : C::kMeetWithin) / kMeetingStep * kMeetingStep,
      kMeetingStep);
  if (!plan.codeUnmet) {
    typename C::State a = start;
    typename C::State b = C::other(start);
    runUntilMet<C>(wave, a, b, std::min(within, total), nullptr);
    if (!C::same(a, b)) return {start, false};
  }
  // Two windows at least; shorter inputs gain nothing.
  const std::size_t fit = static_cast<std::size_t>(std::min<std::uint64_t>(
      total / (2 * kLaneCount) / kCheckpointEvery * kCheckpointEvery, C::kChunkLength));
  const std::size_t chunk = plan.chunkLength != 0 ? plan.chunkLength : fit;
  const bool pays = plan.kernels->lanesPay && chunk >= C::kShortestChunk;
  if ((plan.chunkLength == 0 && !pays) || total < 2 * chunk * kLaneCount) {
    return {encodeGreedy<C>(wave, start, out), true};
  }
  typename C::State state = start;
  typename C::Packer packer;
  StreamWriter writer(out);

  // The true run beside a run from another state, its codes kept (where the
  // caller has not made sure they meet).
  std::uint64_t done = 0;
  bool meets = true;
  const std::size_t window = chunk * kLaneCount;
  Buffer<std::uint8_t> codes(window);
  if (plan.codeUnmet) {
    const auto meeting = static_cast<std::size_t>(std::min<std::uint64_t>(within, window));
    typename C::State other = C::other(start);
    done = runUntilMet<C>(wave, state, other, meeting, codes.data());
    meets = C::same(state, other);
    packInto<C>(writer, packer, codes.span().first(static_cast<std::size_t>(done)));
  }
  if (!meets) {
    (void)writer.flush();
    const std::size_t at = static_cast<std::size_t>(done * C::kBits / 8);
    return {encodeGreedy<C>(partOf(wave, done, total - done), state, out.after(at)), true};
  }
  SampleReader reader(partOf(wave, done, total - done));
  Speculation<C> s(chunk, *plan.kernels);

  bool speculating = true;
  while (done < total && writer.ok()) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(total - done, s.window));
    // The rest of the input in a last window of shorter chunks, where they
    // are not too short to meet in.
    const std::size_t shorter = n / kLaneCount / kCheckpointEvery * kCheckpointEvery;
    if (speculating && n < s.window && shorter >= std::max(chunk / 4, kCheckpointEvery)) {
      s.shorten(shorter);
      n = s.window;
    }
    reader.next(std::span(s.x).first(n));
    if (speculating && n == s.window) {
      const std::size_t serial = s.codeWindow(state, done, codes.data());
      speculating = serial <= s.window / kMostSerial;
    } else {
      for (std::size_t i = 0; i < n; ++i)
        codes[i] = C::step(state, s.x[i]);
    }
    packInto<C>(writer, packer, codes.span().first(n));
    done += n;
  }
  return {state, true};
}

template LaneResult<AdpcmState> encodeInLanes<AdpcmCodec<4>>(const WaveInfo&, AdpcmState,
                                                             PayloadOut, const LanePlan&);
template LaneResult<AdpcmState> encodeInLanes<AdpcmCodec<3>>(const WaveInfo&, AdpcmState,
                                                             PayloadOut, const LanePlan&);
template LaneResult<AdpcmState> encodeInLanes<AdpcmCodec<2>>(const WaveInfo&, AdpcmState,
                                                             PayloadOut, const LanePlan&);
template LaneResult<WfmState> encodeInLanes<WfmCodec>(const WaveInfo&, WfmState, PayloadOut,
                                                      const LanePlan&);

}  // namespace korvane
