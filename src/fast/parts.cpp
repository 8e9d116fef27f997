#include "fast/parts.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "encoders/encoders.h"
#include "fast/fast_adpcm.h"

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
  static State code(const WaveInfo& wave, State start, std::span<std::uint8_t> payload) {
    return encodeAdpcmPlanned<Bits>(wave, start, payload, LanePlan{});
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

  static State guess(std::int32_t previous, std::uint64_t) {
    State s;
    s.estimate = offsetForm(previous);
    return s;
  }
  static std::uint8_t step(State& s, std::int32_t x) {
    return static_cast<std::uint8_t>(quantizeWfm(s, offsetForm(x)));
  }
  static bool same(const State& a, const State& b) {
    return a.estimate == b.estimate && a.step == b.step && a.history == b.history;
  }
  static State code(const WaveInfo& wave, State start, std::span<std::uint8_t> payload) {
    return encodeWfmFrom(wave, start, payload);
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

template <class C>
void encodeInParts(const WaveInfo& wave, typename C::State start, std::span<std::uint8_t> payload,
                   const PartPlan& plan) {
  const std::uint64_t total = wave.sampleCount - 1;
  const std::uint64_t splitFrom = plan.splitFrom != 0 ? plan.splitFrom : C::kSplitFrom;
  if (plan.threads < 2 || total < std::max<std::uint64_t>(splitFrom, 4 * kMeetingStep)) {
    C::code(wave, start, payload);
    return;
  }
  const std::uint64_t first = total / 2 / kMeetingStep * kMeetingStep;
  const std::uint64_t second = total - first;
  const std::size_t split = static_cast<std::size_t>(first * C::kBits / 8);
  WaveInfo before = partOf(wave, first - 1, 1);
  const typename C::State guessed = C::guess(nextSample(before), first);
  const WaveInfo later = partOf(wave, first, second);
  const auto codeLater = [&] { C::code(later, guessed, payload.subspan(split)); };
  std::thread helper;
  try {
    helper = std::thread(codeLater);
  } catch (const std::system_error&) {
    codeLater();  // no thread to be had: the same bytes, one part after the other
  }
  typename C::State truth = C::code(partOf(wave, 0, first), start, payload.first(split));
  if (helper.joinable()) helper.join();

  // The true run beside the guessed one until they meet.
  const std::uint64_t within = plan.meetWithin != 0 ? plan.meetWithin : C::kMeetWithin;
  const std::uint64_t limit = std::min(second, within / kMeetingStep * kMeetingStep);
  std::vector<std::uint8_t> codes;
  std::vector<std::int32_t> x(static_cast<std::size_t>(kMeetingStep));
  WaveInfo reader = later;
  typename C::State guess = guessed;
  std::uint64_t done = 0;
  while (done < limit && !C::same(truth, guess)) {
    const std::size_t n = static_cast<std::size_t>(std::min(kMeetingStep, second - done));
    nextSamples(reader, std::span(x).first(n));
    for (std::size_t i = 0; i < n; ++i) {
      codes.push_back(C::step(truth, x[i]));
      C::step(guess, x[i]);
    }
    done += n;
  }
  C::pack(codes, payload.data() + split);
  if (done < second && !C::same(truth, guess)) {
    C::code(partOf(wave, first + done, second - done), truth,
            payload.subspan(split + static_cast<std::size_t>(done * C::kBits / 8)));
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
