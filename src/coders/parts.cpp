#include "coders/parts.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "coders/codecs.h"
#include "coders/greedy.h"
#include "coders/lanes.h"
#include "coders/meeting.h"

namespace korvane {

template <class C>
void encodeInParts(const WaveInfo& wave, typename C::State start, PayloadOut out,
                   const PartPlan& plan) {
  const std::uint64_t total = wave.sampleCount - 1;
  const std::uint64_t splitFrom = plan.splitFrom != 0 ? plan.splitFrom : C::kSplitFrom;
  const LanePlan lanes{&vectorKernels(), 0, plan.meetWithin};
  if (plan.threads < 2 || total < std::max<std::uint64_t>(splitFrom, 4 * kMeetingStep)) {
    encodeInLanes<C>(wave, start, out, lanes);
    return;
  }
  const std::uint64_t first = total / 2 / kMeetingStep * kMeetingStep;
  const std::uint64_t second = total - first;
  const std::size_t split = static_cast<std::size_t>(first * C::kBits / 8);
  const WaveInfo later = partOf(wave, first, second);
  const std::uint64_t within = plan.meetWithin != 0 ? plan.meetWithin : C::kMeetWithin;

  // The second part from a guess, made on the samples before it: a run from
  // a guess there beside a run from another state; where the two meet before
  // the part, the state they reach at its start is most likely the true one.
  // Where they meet in neither (WFM on noise), the true run would most likely
  // not meet the guess either: the second thread leaves the part, which is
  // then coded after the first.
  typename C::State guessed{};
  bool coded = false;
  const auto codeLater = [&] {
    const std::uint64_t warm = std::min(first - 1, within / kMeetingStep * kMeetingStep);
    WaveInfo before = partOf(wave, first - warm - 1, 1);
    typename C::State one = C::guess(nextSample(before), first - warm);
    typename C::State other = C::other(one);
    const std::uint64_t met = runUntilMet<C>(partOf(wave, first - warm, warm), one, other, warm);
    advance<C>(partOf(wave, first - warm + met, warm - met), one);
    guessed = one;
    LanePlan lanesLater = lanes;
    lanesLater.codeUnmet = C::same(one, other);
    coded = encodeInLanes<C>(later, guessed, out.after(split), lanesLater).coded;
  };
  std::thread helper;
  try {
    helper = std::thread(codeLater);
  } catch (const std::system_error&) {
    codeLater();  // no thread to be had: the same bytes, one part after the other
  }
  typename C::State truth = encodeInLanes<C>(partOf(wave, 0, first), start, out, lanes).end;
  if (helper.joinable()) helper.join();
  if (!coded) {
    encodeGreedy<C>(later, truth, out.after(split));
    return;
  }

  // The true run beside the guessed one until they meet; where they do not,
  // the rest is coded again.
  const std::uint64_t limit = std::min(second, within / kMeetingStep * kMeetingStep);
  std::vector<std::uint8_t> codes(static_cast<std::size_t>(limit));
  typename C::State guess = guessed;
  const std::uint64_t done = runUntilMet<C>(later, truth, guess, limit, codes.data());
  {
    // Over the guessed run's codes, which the second thread has written.
    typename C::Packer packer;
    StreamWriter writer(out.after(split));
    packInto<C>(writer, packer, std::span(codes).first(static_cast<std::size_t>(done)));
  }
  if (!C::same(truth, guess) && done < second) {
    encodeInLanes<C>(partOf(wave, first + done, second - done), truth,
                     out.after(split + done * C::kBits / 8), lanes);
  }
}

template void encodeInParts<AdpcmCodec<4>>(const WaveInfo&, AdpcmState, PayloadOut,
                                           const PartPlan&);
template void encodeInParts<AdpcmCodec<3>>(const WaveInfo&, AdpcmState, PayloadOut,
                                           const PartPlan&);
template void encodeInParts<AdpcmCodec<2>>(const WaveInfo&, AdpcmState, PayloadOut,
                                           const PartPlan&);
template void encodeInParts<WfmCodec>(const WaveInfo&, WfmState, PayloadOut, const PartPlan&);

}  // namespace korvane
