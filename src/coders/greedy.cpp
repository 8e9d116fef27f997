// The greedy coders of the adapting codecs (.AD4, .AD3, .AD2, .WFM): one code
// per sample after the seed.
#include "coders/greedy.h"

#include "coders/codecs.h"

namespace korvane {

template <class C>
typename C::State encodeGreedy(const WaveInfo& wave, typename C::State state, PayloadOut out) {
  std::array<std::uint8_t, kCodePiece> codes;
  typename C::Packer packer;
  StreamWriter writer(out);
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty() && writer.ok(); samples = pieces.next()) {
    for (std::size_t i = 0; i < samples.size(); ++i)
      codes[i] = C::step(state, samples[i]);
    writer.commit(packer.pack(std::span(codes).first(samples.size()), writer.room(kCodePiece)));
  }
  return state;
}

template AdpcmState encodeGreedy<AdpcmCodec<4>>(const WaveInfo&, AdpcmState, PayloadOut);
template AdpcmState encodeGreedy<AdpcmCodec<3>>(const WaveInfo&, AdpcmState, PayloadOut);
template AdpcmState encodeGreedy<AdpcmCodec<2>>(const WaveInfo&, AdpcmState, PayloadOut);
template WfmState encodeGreedy<WfmCodec>(const WaveInfo&, WfmState, PayloadOut);

}  // namespace korvane
