#include "convert/convert.h"

#include <iterator>

#include "coders/codecs.h"
#include "coders/greedy.h"
#include "coders/parts.h"

namespace korvane {
namespace {

// A format's greedy coder, which a long input's adapting codec may run on
// `threads` threads, and its search (null where there is nothing to search).
using GreedyCoder = void (*)(const WaveInfo& wave, std::int32_t seed,
                             std::span<std::uint8_t> payload, unsigned threads);

struct Coders {
  Format format;
  GreedyCoder greedy;
  PayloadSearch search;
};

template <class C>
void greedyInParts(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                   unsigned threads) {
  encodeInParts<C>(wave, C::start(seed), payload, {threads});
}

template <class C>
constexpr Coders adapting() {
  return {C::kFormat, greedyInParts<C>, searchPayload<C>};
}

template <PayloadCoder Coder>
void onOneThread(const WaveInfo& wave, std::int32_t seed, std::span<std::uint8_t> payload,
                 unsigned) {
  Coder(wave, seed, payload);
}

// Indexed by Format: a missing or misplaced row does not compile.
constexpr Coders kCoders[] = {
    adapting<AdpcmCodec<4>>(),
    adapting<AdpcmCodec<3>>(),
    adapting<AdpcmCodec<2>>(),
    adapting<WfmCodec>(),
    {Format::pcm16, onOneThread<encodePcm16>, nullptr},
    {Format::pcm12, onOneThread<encodePcm12>, nullptr},
    {Format::pcm8, onOneThread<encodePcm8>, nullptr},
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
  const FormatFacts& facts = factsOf(format);
  storeStreamHeader(
      {facts.formatCode, wave.sampleCount - facts.countBelowN, halfRateOf(wave.sampleRate)},
      all.first<kStreamHeaderBytes>());
  const std::int32_t seed = nextSample(wave);
  storeSeed(format, seed, &all[kStreamHeaderBytes]);
  const std::span<std::uint8_t> payload = all.subspan(kStreamHeaderBytes + facts.seedBytes);
  if (isSearched(format, searchLevel)) {
    codersOf(format).search(wave, seed, payload, searchLevelOf(facts.bitsPerSample, searchLevel),
                            progress);
  } else {
    codersOf(format).greedy(wave, seed, payload, threads);
  }
}

}  // namespace korvane
