#include "fast/parts.h"

#include <algorithm>
#include <array>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "encoders/encoders.h"
#include "fast/lane_coder.h"

namespace korvane {
namespace {

// The runs are compared every kMeetingStep samples, a whole number of bytes
// of codes in every format.
constexpr std::uint64_t kMeetingStep = 64;

// One coder as the parts see it: its state, its step, its guess, its coder of
// a whole part, and its packing. From speech, the runs of the 4-bit coder
// meet after a median of about 400 samples (the worst some 6,000), the 3-bit
// after 1,300 (18,000), the 2-bit after 3,400 (35,000), WFM after 12,000
// (100,000 and more, and on noise often never); inputs are cut from a length
// where a part is many times that.
template <unsigned Bits>
struct AdpcmParts {
  using State = AdpcmState;
  static constexpr unsigned kBits = Bits;
  static constexpr std::uint64_t kSplitFrom = Bits == 2 ? 1u << 18 : 1u << 17;
  static constexpr std::uint64_t kMeetWithin = 1u << 16;

  static State guess(std::int32_t previous, std::uint64_t codesBefore) {
    return guessAdpcmState<Bits>(previous, codesBefore);
  }
  static std::uint8_t step(State& s, std::int32_t x) { return quantizeAdpcm<Bits>(s, x); }
  static bool same(const State& a, const State& b) {
    return a.predictor == b.predictor && a.stepIndex == b.stepIndex;
  }
  // A guess of the same 2-bit index class (see guessAdpcmState).
  static State otherGuess(std::int32_t previous, std::uint64_t codesBefore) {
    State s = guess(previous, codesBefore);
    s.stepIndex = static_cast<std::int8_t>(s.stepIndex + 40);
    return s;
  }
  static State code(const WaveInfo& wave, State start, std::span<std::uint8_t> payload,
                    const LanePlan& plan) {
    return encodeAdpcmPlanned<Bits>(wave, start, payload, plan);
  }
  static void pack(std::span<const std::uint8_t> codes, std::uint8_t* out) {
    packCodes<kAdpcmCodes<Bits>>(codes, out);
  }
};

struct WfmParts {
  using State = WfmState;
  static constexpr unsigned kBits = 1;
  static constexpr std::uint64_t kSplitFrom = 1u << 19;
  static constexpr std::uint64_t kMeetWithin = 1u << 17;

  static State guess(std::int32_t previous, std::uint64_t) { return guessWfmState(previous); }
  static std::uint8_t step(State& s, std::int32_t x) {
    return static_cast<std::uint8_t>(quantizeWfm(s, offsetForm(x)));
  }
  static bool same(const State& a, const State& b) {
    return a.estimate == b.estimate && a.step == b.step && a.history == b.history;
  }
  static State otherGuess(std::int32_t previous, std::uint64_t) {
    return {offsetForm(previous), 1024, 0x55};
  }
  static State code(const WaveInfo& wave, State start, std::span<std::uint8_t> payload,
                    const LanePlan& plan) {
    return encodeWfmPlanned(wave, start, payload, plan);
  }
  static void pack(std::span<const std::uint8_t> decisions, std::uint8_t* out) {
    std::uint8_t history = 0;
    packWfm(decisions, out, history);
  }
};

// The wave of `count` samples after the first `skip` samples after the cursor.
WaveInfo partOf(const WaveInfo& wave, std::uint64_t skip, std::uint64_t count) {
  WaveInfo part = wave;
  part.cursor += skip * containerBytes(wave.bitsPerSample);
  part.sampleCount = static_cast<std::uint32_t>(count + 1);
  return part;
}

// Steps the runs from a and b over the samples of reader, kMeetingStep at a
// time, until their states are equal or `limit` samples are done; returns the
// samples done. The codes of run a go to codes, when given.
template <class C>
std::uint64_t runUntilMet(WaveInfo reader, typename C::State& a, typename C::State& b,
                          std::uint64_t limit, std::vector<std::uint8_t>* codes) {
  std::array<std::int32_t, kMeetingStep> x;
  std::uint64_t done = 0;
  while (done < limit && !C::same(a, b)) {
    const std::size_t n = static_cast<std::size_t>(std::min(kMeetingStep, limit - done));
    nextSamples(reader, std::span(x).first(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t code = C::step(a, x[i]);
      if (codes != nullptr) codes->push_back(code);
      C::step(b, x[i]);
    }
    done += n;
  }
  return done;
}

template <class C>
void encodeInParts(const WaveInfo& wave, typename C::State start, std::span<std::uint8_t> payload,
                   const PartPlan& plan) {
  const std::uint64_t total = wave.sampleCount - 1;
  const std::uint64_t splitFrom = plan.splitFrom != 0 ? plan.splitFrom : C::kSplitFrom;
  if (plan.threads < 2 || total < std::max<std::uint64_t>(splitFrom, 4 * kMeetingStep)) {
    C::code(wave, start, payload, LanePlan{});
    return;
  }
  const std::uint64_t first = total / 2 / kMeetingStep * kMeetingStep;
  const std::uint64_t second = total - first;
  const std::size_t split = static_cast<std::size_t>(first * C::kBits / 8);
  WaveInfo before = partOf(wave, first - 1, 1);
  const std::int32_t previous = nextSample(before);
  const WaveInfo later = partOf(wave, first, second);
  const std::uint64_t within = plan.meetWithin != 0 ? plan.meetWithin : C::kMeetWithin;
  const std::uint64_t limit = std::min(second, within / kMeetingStep * kMeetingStep);

  // The second part is coded only where two runs from different guesses meet
  // soon: then the true run most likely meets them too. Where they do not
  // (WFM on noise), the second thread's work would be thrown away.
  const typename C::State guessed = C::guess(previous, first);
  bool coded = false;
  const auto codeLater = [&] {
    typename C::State one = guessed;
    typename C::State other = C::otherGuess(previous, first);
    runUntilMet<C>(later, one, other, limit, nullptr);
    if (!C::same(one, other)) return;
    C::code(later, guessed, payload.subspan(split), LanePlan{});
    coded = true;
  };
  std::thread helper;
  try {
    helper = std::thread(codeLater);
  } catch (const std::system_error&) {
    codeLater();  // no thread to be had: the same bytes, one part after the other
  }
  typename C::State truth =
      C::code(partOf(wave, 0, first), start, payload.first(split), LanePlan{});
  if (helper.joinable()) helper.join();
  if (!coded) {
    C::code(later, truth, payload.subspan(split), LanePlan{CoderPath::serial, 0});
    return;
  }
  // The true run beside the guessed one until they meet; where they do not,
  // the rest is coded again.
  std::vector<std::uint8_t> codes;
  typename C::State guess = guessed;
  const std::uint64_t done = runUntilMet<C>(later, truth, guess, limit, &codes);
  C::pack(codes, payload.data() + split);
  if (!C::same(truth, guess) && done < second) {
    C::code(partOf(wave, first + done, second - done), truth,
            payload.subspan(split + static_cast<std::size_t>(done * C::kBits / 8)), LanePlan{});
  }
}

}  // namespace

void encodeGreedyInParts(Format format, const WaveInfo& wave, std::int32_t seed,
                         std::span<std::uint8_t> payload, const PartPlan& plan) {
  switch (format) {
    case Format::adpcm4:
      return encodeInParts<AdpcmParts<4>>(wave, {seed, 0}, payload, plan);
    case Format::adpcm3:
      return encodeInParts<AdpcmParts<3>>(wave, {seed, 0}, payload, plan);
    case Format::adpcm2:
      return encodeInParts<AdpcmParts<2>>(wave, {seed, 0}, payload, plan);
    case Format::wfm:
      return encodeInParts<WfmParts>(wave, seedWfm(seed), payload, plan);
    default:
      return;
  }
}

}  // namespace korvane
