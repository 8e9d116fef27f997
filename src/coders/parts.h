// The greedy coders of a long input on two threads. The greedy coder is a
// function of its state and its input alone, so the input is cut in two and
// the second part is coded on a second thread from a guessed start state
// while the first is coded from the seed. Then the true coder runs from the
// first part's end into the second beside the guessed run, only until their
// states are equal, and from there the second thread's codes are the true
// ones. Where they have not met after a while, the true coder codes the rest
// itself. The bytes are those of one coder run from the seed.
#pragma once

#include <cstdint>
#include <span>

#include "format/sink.h"
#include "wav/wave_reader.h"

namespace korvane {

// How an input is cut: the threads to use (two at most), and, for tests, the
// length from which an input is cut and the samples the runs may take to
// meet (0: the format's own).
struct PartPlan {
  unsigned threads = 2;
  std::uint64_t splitFrom = 0;
  std::uint64_t meetWithin = 0;
};

// The greedy coder of codec C (coders/codecs.h) from a state, with the
// contract of its serial coder (encodeGreedy). Instantiated for
// AdpcmCodec<4>, <3>, <2> and WfmCodec.
template <class C>
void encodeInParts(const WaveInfo& wave, typename C::State start, PayloadOut out,
                   const PartPlan& plan);

}  // namespace korvane
