#include "convert/convert.h"

#include <array>
#include <iterator>

#include "coders/codecs.h"
#include "coders/greedy.h"
#include "coders/parts.h"

namespace korvane {
namespace {

// A format's greedy coder, which a long input's adapting codec may run on
// `threads` threads, and its search (null where there is nothing to search).
using GreedyCoder = void (*)(const WaveInfo& wave, std::int32_t seed, PayloadOut out,
                             unsigned threads);

struct Coders {
  Format format;
  GreedyCoder greedy;
  PayloadSearch search;
};

template <class C>
void greedyInParts(const WaveInfo& wave, std::int32_t seed, PayloadOut out, unsigned threads) {
  encodeInParts<C>(wave, C::start(seed), out, {threads});
}

template <class C>
constexpr Coders adapting() {
  return {C::kFormat, greedyInParts<C>, searchPayload<C>};
}

template <Format F>
void pcm(const WaveInfo& wave, std::int32_t, PayloadOut out, unsigned threads) {
  encodePcm(F, wave, out, threads);
}

// Indexed by Format: a missing or misplaced row does not compile.
constexpr Coders kCoders[] = {
    adapting<AdpcmCodec<4>>(),
    adapting<AdpcmCodec<3>>(),
    adapting<AdpcmCodec<2>>(),
    adapting<WfmCodec>(),
    {Format::pcm16, pcm<Format::pcm16>, nullptr},
    {Format::pcm12, pcm<Format::pcm12>, nullptr},
    {Format::pcm8, pcm<Format::pcm8>, nullptr},
};
static_assert(std::size(kCoders) == kFormatCount);
static_assert([] {
  for (std::size_t i = 0; i < kFormatCount; ++i) {
    if (kCoders[i].format != static_cast<Format>(i)) return false;
  }
  return true;
}());

const Coders& codersOf(Format format) {
  return kCoders[static_cast<std::size_t>(format)];
}

}  // namespace

bool isSearched(Format format, int searchLevel) {
  return searchLevel > 0 && codersOf(format).search != nullptr;
}

std::vector<std::uint8_t> encodeStream(Format format, WaveInfo wave, int searchLevel,
                                       EncodeProgress* progress) {
  std::vector<std::uint8_t> stream(
      static_cast<std::size_t>(streamLength(format, wave.sampleCount)));
  encodeStreamInto(format, wave, stream, searchLevel, progress);
  return stream;
}

void encodeStreamInto(Format format, WaveInfo wave, std::span<std::uint8_t> all, int searchLevel,
                      EncodeProgress* progress, unsigned threads) {
  const ByteSink sink = memorySink(all);
  (void)encodeStreamTo(format, wave, sink, searchLevel, progress, threads);
}

bool encodeStreamTo(Format format, WaveInfo wave, const ByteSink& sink, int searchLevel,
                    EncodeProgress* progress, unsigned threads) {
  const FormatFacts& facts = factsOf(format);
  std::array<std::uint8_t, kStreamHeaderBytes + 2> start;
  storeStreamHeader(
      {facts.formatCode, wave.sampleCount - facts.countBelowN, halfRateOf(wave.sampleRate)},
      std::span(start).first<kStreamHeaderBytes>());
  const std::int32_t seed = nextSample(wave);
  storeSeed(format, seed, &start[kStreamHeaderBytes]);
  if (!sink.put(0, std::span(start).first(kStreamHeaderBytes + facts.seedBytes))) return false;
  const PayloadOut payload{&sink, kStreamHeaderBytes + facts.seedBytes};
  if (isSearched(format, searchLevel)) {
    codersOf(format).search(wave, seed, payload, searchLevelOf(facts.bitsPerSample, searchLevel),
                            progress);
  } else {
    codersOf(format).greedy(wave, seed, payload, threads);
  }
  return true;
}

}  // namespace korvane
