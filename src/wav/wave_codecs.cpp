#include "wav/wave_codecs.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace korvane {
namespace {

constexpr std::array<std::int16_t, 89> kImaSteps = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::array<int, 16> kImaIndexSteps = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                -1, -1, -1, -1, 2, 4, 6, 8};

constexpr std::array<int, 16> kMsAdaptation = {230, 230, 230, 230, 307, 409, 512, 614,
                                               768, 614, 512, 409, 307, 230, 230, 230};

std::int16_t clamp16(int v) {
  return static_cast<std::int16_t>(std::clamp(v, -32768, 32767));
}

std::int16_t loadSigned16(const std::uint8_t* p) {
  return static_cast<std::int16_t>(p[0] | p[1] << 8);
}

struct ImaChannel {
  int predictor = 0;
  int index = 0;
};

// One 4-bit code: the step's bits added as the IMA description sums them.
std::int16_t imaNibble(ImaChannel& c, unsigned code) {
  const int step = kImaSteps[static_cast<std::size_t>(c.index)];
  int diff = step >> 3;
  if ((code & 1) != 0) diff += step >> 2;
  if ((code & 2) != 0) diff += step >> 1;
  if ((code & 4) != 0) diff += step;
  c.predictor = clamp16((code & 8) != 0 ? c.predictor - diff : c.predictor + diff);
  c.index = std::clamp(c.index + kImaIndexSteps[code], 0, 88);
  return static_cast<std::int16_t>(c.predictor);
}

}  // namespace

std::int16_t expandMuLaw(std::uint8_t code) {
  const unsigned u = ~code & 0xFFu;
  const int magnitude = ((static_cast<int>(u & 0x0F) << 3) + 0x84) << ((u & 0x70) >> 4);
  return static_cast<std::int16_t>((u & 0x80) != 0 ? 0x84 - magnitude : magnitude - 0x84);
}

std::int16_t expandALaw(std::uint8_t code) {
  const unsigned a = code ^ 0x55u;
  int magnitude = static_cast<int>(a & 0x0F) << 4;
  const unsigned segment = (a & 0x70) >> 4;
  magnitude += segment == 0 ? 8 : 0x108;
  if (segment > 1) magnitude <<= segment - 1;
  return static_cast<std::int16_t>((a & 0x80) != 0 ? magnitude : -magnitude);
}

std::size_t imaSamplesIn(std::size_t bytes, unsigned channels) {
  const std::size_t header = 4 * std::size_t{channels};
  if (channels == 0 || bytes < header) return 0;
  // Codes come in groups of four bytes a channel (eight samples).
  return 1 + (bytes - header) / header * 8;
}

std::size_t msAdpcmSamplesIn(std::size_t bytes, unsigned channels) {
  const std::size_t header = 7 * std::size_t{channels};
  if (channels == 0 || bytes < header) return 0;
  return 2 + (bytes - header) * 2 / channels;
}

void decodeImaBlock(std::span<const std::uint8_t> block, unsigned channels,
                    std::span<std::int16_t> out) {
  const std::size_t frames = imaSamplesIn(block.size(), channels);
  if (frames == 0) return;
  std::vector<ImaChannel> state(channels);
  for (unsigned c = 0; c < channels; ++c) {
    state[c].predictor = loadSigned16(&block[4 * c]);
    state[c].index = std::min<int>(block[4 * c + 2], 88);
    out[c] = static_cast<std::int16_t>(state[c].predictor);
  }
  // Then per group: four bytes of channel 0, four of channel 1, ...; each
  // byte's low code first.
  std::size_t at = 4 * std::size_t{channels};
  for (std::size_t group = 0; 1 + 8 * group < frames; ++group) {
    for (unsigned c = 0; c < channels; ++c) {
      for (std::size_t k = 0; k < 4; ++k, ++at) {
        const std::uint8_t byte = block[at];
        const std::size_t frame = 1 + 8 * group + 2 * k;
        ImaChannel& s = state[c];
        out[frame * channels + c] = imaNibble(s, byte & 0x0Fu);
        out[(frame + 1) * channels + c] = imaNibble(s, byte >> 4);
      }
    }
  }
}

void decodeMsAdpcmBlock(std::span<const std::uint8_t> block, unsigned channels,
                        std::span<const MsCoefficients> coefficients, std::span<std::int16_t> out) {
  const std::size_t frames = msAdpcmSamplesIn(block.size(), channels);
  if (frames == 0 || coefficients.empty()) return;
  struct Channel {
    MsCoefficients pair;
    int delta = 0;
    int sample1 = 0;
    int sample2 = 0;
  };
  std::array<Channel, 2> state{};  // Microsoft ADPCM has one or two channels
  for (unsigned c = 0; c < channels; ++c) {
    Channel& s = state[c];
    s.pair = coefficients[std::min<std::size_t>(block[c], coefficients.size() - 1)];
    s.delta = loadSigned16(&block[channels + 2 * c]);
    s.sample1 = loadSigned16(&block[3 * channels + 2 * c]);
    s.sample2 = loadSigned16(&block[5 * channels + 2 * c]);
    out[c] = static_cast<std::int16_t>(s.sample2);
    out[channels + c] = static_cast<std::int16_t>(s.sample1);
  }
  // Two codes a byte, the high one first; with two channels, one each.
  const auto decode = [](Channel& s, unsigned code) {
    const int signedCode = (code & 8) != 0 ? static_cast<int>(code) - 16 : static_cast<int>(code);
    const int predicted = (s.sample1 * s.pair.first + s.sample2 * s.pair.second) >> 8;
    const std::int16_t sample = clamp16(predicted + signedCode * s.delta);
    // A broken block can grow the step without end: held where the
    // products stay inside an int.
    s.delta = std::clamp((kMsAdaptation[code] * s.delta) >> 8, 16, INT_MAX / 768);
    s.sample2 = s.sample1;
    s.sample1 = sample;
    return sample;
  };
  std::size_t at = 7 * std::size_t{channels};
  for (std::size_t i = 2 * channels; i < frames * channels; i += 2, ++at) {
    const std::uint8_t byte = block[at];
    out[i] = decode(state[i % channels], byte >> 4);
    out[i + 1] = decode(state[(i + 1) % channels], byte & 0x0Fu);
  }
}

}  // namespace korvane
