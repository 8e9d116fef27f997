// The device stream shared by all seven formats, and the encoder frame.
//
// Every stream, little-endian throughout:
//   offset 0  1 byte   0x00
//   offset 1  1 byte   format code: 4 AD4, 3 AD3, 2 AD2, 1 WFM, 16 PCM16, 5 PCM12 and PCM8
//   offset 2  4 bytes  count: N for AD4 and the PCM formats, N - 1 for AD3, AD2 and WFM
//   offset 6  2 bytes  halfRate: the low 16 bits of sampleRate >> 1
//   offset 8  the seed sample, sample 0 in offset form (s + 0x8000): 2 bytes, 1 for PCM8
//   then      the payload: samples 1 to N - 1, packed as the format says
//
// The frame parses nothing itself: it takes an accepted WaveInfo, allocates
// the exact stream once, stores header and seed and lets the format's payload
// coder fill the rest from the samples after the seed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "search/search.h"
#include "wav/wave_reader.h"

namespace korvane {

enum class Format : std::uint8_t { adpcm4, adpcm3, adpcm2, wfm, pcm16, pcm12, pcm8 };
inline constexpr std::size_t kFormatCount = 7;

struct StreamHeader {
  std::uint8_t formatCode = 0;
  std::uint32_t count = 0;
  std::uint16_t halfRate = 0;
};

inline constexpr std::size_t kStreamHeaderBytes = 8;

// What the frame needs to know of each format, indexed by Format.
struct FormatLayout {
  std::uint8_t formatCode;
  std::uint8_t countBelowN;  // count = N - countBelowN
  std::uint8_t seedBytes;
};

inline constexpr std::array<FormatLayout, kFormatCount> kFormatLayouts = {{
    {4, 0, 2},   // adpcm4
    {3, 1, 2},   // adpcm3
    {2, 1, 2},   // adpcm2
    {1, 1, 2},   // wfm
    {16, 0, 2},  // pcm16
    {5, 0, 2},   // pcm12
    {5, 0, 1},   // pcm8
}};

[[nodiscard]] constexpr const FormatLayout& layoutOf(Format format) {
  return kFormatLayouts[static_cast<std::size_t>(format)];
}

// Exact byte length of the stream for sampleCount >= 1 samples.
[[nodiscard]] std::uint64_t streamLength(Format format, std::uint64_t sampleCount);

[[nodiscard]] constexpr std::uint16_t halfRateOf(std::uint32_t sampleRate) {
  return static_cast<std::uint16_t>(sampleRate >> 1);
}

// Offset form of a sample, kept to 16 bits: 0x0000 is -32768, 0x8000 silence.
[[nodiscard]] constexpr std::uint16_t offsetForm(std::int32_t sample) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(sample) + 0x8000u);
}

void storeStreamHeader(const StreamHeader& header, std::span<std::uint8_t, kStreamHeaderBytes> out);

// Builds the whole stream for an accepted, unread wave (sampleCount >= 1)
// into stream, which must be streamLength(format, wave.sampleCount) bytes;
// every byte of it is written. searchLevel 1 to 9 chooses the ADPCM and WFM
// codes by search; 0, and every level for the PCM formats, encodes as always.
// progress, when given, counts the samples a search has encoded.
void encodeStreamInto(Format format, WaveInfo wave, std::span<std::uint8_t> stream,
                      int searchLevel = 0, EncodeProgress* progress = nullptr);

// The same, into a buffer of its own.
[[nodiscard]] std::vector<std::uint8_t> encodeStream(Format format, WaveInfo wave,
                                                     int searchLevel = 0,
                                                     EncodeProgress* progress = nullptr);

// Payload coders: each takes samples 1 to N - 1 from wave and fills payload,
// which holds exactly the bytes after the seed sample.
void encodePcm16(WaveInfo& wave, std::span<std::uint8_t> payload);
void encodePcm12(WaveInfo& wave, std::span<std::uint8_t> payload);
void encodePcm8(WaveInfo& wave, std::span<std::uint8_t> payload);

}  // namespace korvane
