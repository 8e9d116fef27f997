#include "convert/convert.h"

#include <array>

#include "encoders/encoders.h"
#include "fast/fast_adpcm.h"

namespace korvane {
namespace {

struct Coders {
  PayloadCoder greedy;
  PayloadSearch search;  // null where there is nothing to search
};

// Indexed by Format.
constexpr std::array<Coders, kFormatCount> kCoders = {{
    {encodeAdpcm4Fast, searchAdpcm4},
    {encodeAdpcm3Fast, searchAdpcm3},
    {encodeAdpcm2, searchAdpcm2},  // its lanes meet too late to pay: see fast/fast_adpcm.h
    {encodeWfm, searchWfm},
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
                      EncodeProgress* progress) {
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
    codersOf(format).greedy(wave, seed, payload);
  }
}

}  // namespace korvane
