#include "convert/convert.h"

#include <array>

#include "encoders/encoders.h"
#include "fast/parts.h"

namespace korvane {
namespace {

struct Coders {
  PayloadCoder greedy;   // null where the greedy coder runs in parts (fast/parts.h)
  PayloadSearch search;  // null where there is nothing to search
};

// Indexed by Format.
constexpr std::array<Coders, kFormatCount> kCoders = {{
    {nullptr, searchAdpcm4},
    {nullptr, searchAdpcm3},
    {nullptr, searchAdpcm2},
    {nullptr, searchWfm},
    {encodePcm16, nullptr},
    {encodePcm12, nullptr},
    {encodePcm8, nullptr},
}};

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
  } else if (codersOf(format).greedy != nullptr) {
    codersOf(format).greedy(wave, seed, payload);
  } else {
    encodeGreedyInParts(format, wave, seed, payload, {threads});
  }
}

}  // namespace korvane
