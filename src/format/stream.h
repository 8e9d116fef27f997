// The device stream shared by all seven formats, and every fact about each
// format in one table: adding a format is one row here plus its own coder
// (encoders/, search/) and player (decoder/).
//
// Every stream, little-endian throughout:
//   offset 0  1 byte   0x00
//   offset 1  1 byte   format code
//   offset 2  4 bytes  count: N - countBelowN, N the number of samples
//   offset 6  2 bytes  halfRate: the low 16 bits of sampleRate >> 1
//   offset 8  the seed sample, sample 0 in offset form (s + 0x8000): 2 bytes
//             low byte first, or for a 1-byte seed its high byte alone
//   then      the payload: samples 1 to N - 1, packed as the format's codec says
//
// halfRate drops the low bit of an odd rate and keeps 16 bits: the devices
// read it so, and stored files depend on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "format/bytes.h"

namespace korvane {

enum class Format : std::uint8_t { adpcm4, adpcm3, adpcm2, wfm, pcm16, pcm12, pcm8 };
inline constexpr std::size_t kFormatCount = 7;

// How fixed-size codes lie in a payload: groups of codesPerGroup codes in
// groupBytes bytes; a partial last group still takes groupBytes bytes.
struct CodeLayout {
  unsigned bits;
  unsigned codesPerGroup;
  unsigned groupBytes;
  bool partialAtTop;  // a partial last group holds its codes in its top bits
};

inline constexpr CodeLayout kAdpcm4Codes = {4, 2, 1, false};
inline constexpr CodeLayout kAdpcm3Codes = {3, 8, 3, true};
inline constexpr CodeLayout kAdpcm2Codes = {2, 4, 1, true};
inline constexpr CodeLayout kWfmCodes = {1, 8, 1, false};
inline constexpr CodeLayout kPcm16Codes = {16, 1, 2, false};
inline constexpr CodeLayout kPcm8Codes = {8, 1, 1, false};

// Payload bytes that hold codeCount codes.
[[nodiscard]] constexpr std::uint64_t packedBytes(const CodeLayout& layout,
                                                  std::uint64_t codeCount) {
  return (codeCount + layout.codesPerGroup - 1) / layout.codesPerGroup * layout.groupBytes;
}

template <CodeLayout L>
constexpr std::uint64_t groupedPayloadBytes(std::uint64_t codeCount) {
  return packedBytes(L, codeCount);
}

// PCM12 pairs its samples after the first (codec/pcm.h): sample 1 takes two
// bytes, each later pair three, an unpaired last sample two.
constexpr std::uint64_t pcm12PayloadBytes(std::uint64_t codeCount) {
  return codeCount == 0 ? 0 : (3 * codeCount + 2) / 2;
}

struct FormatFacts {
  const char* name;        // in reports
  const char* switchName;  // that encodes it, upper case
  const char* extension;   // of a derived output name
  std::uint8_t formatCode;
  std::uint8_t countBelowN;  // the header's count is N - countBelowN
  std::uint8_t seedBytes;
  std::uint8_t bitsPerSample;                              // nominal payload bits per sample
  std::uint64_t (*payloadBytes)(std::uint64_t codeCount);  // bytes after the seed for N - 1 codes
};

// Indexed by Format. PCM12 and PCM8 share the code 5, as the devices have it:
// rows that share a code are told apart by the exact stream length.
inline constexpr std::array<FormatFacts, kFormatCount> kFormats = {{
    {"AD4", "-E4", ".AD4", 4, 0, 2, 4, groupedPayloadBytes<kAdpcm4Codes>},
    {"AD3", "-E3", ".AD3", 3, 1, 2, 3, groupedPayloadBytes<kAdpcm3Codes>},
    {"AD2", "-E2", ".AD2", 2, 1, 2, 2, groupedPayloadBytes<kAdpcm2Codes>},
    {"WFM", "-E1", ".WFM", 1, 1, 2, 1, groupedPayloadBytes<kWfmCodes>},
    {"PCM16", "-E16", ".PCM", 16, 0, 2, 16, groupedPayloadBytes<kPcm16Codes>},
    {"PCM12", "-E12", ".PCM", 5, 0, 2, 12, pcm12PayloadBytes},
    {"PCM8", "-E8", ".PCM", 5, 0, 1, 8, groupedPayloadBytes<kPcm8Codes>},
}};

[[nodiscard]] constexpr const FormatFacts& factsOf(Format format) {
  return kFormats[static_cast<std::size_t>(format)];
}

inline constexpr std::size_t kStreamHeaderBytes = 8;

// Exact byte length of the stream for sampleCount >= 1 samples.
[[nodiscard]] constexpr std::uint64_t streamLength(Format format, std::uint64_t sampleCount) {
  const FormatFacts& f = factsOf(format);
  return kStreamHeaderBytes + f.seedBytes + f.payloadBytes(sampleCount - 1);
}

struct StreamHeader {
  std::uint8_t formatCode = 0;
  std::uint32_t count = 0;
  std::uint16_t halfRate = 0;
};

[[nodiscard]] constexpr std::uint16_t halfRateOf(std::uint32_t sampleRate) {
  return static_cast<std::uint16_t>(sampleRate >> 1);
}

// Whether the header can hold the rate: its half must fit 16 bits and not be
// 0, so 2 Hz is the lowest and 131071 Hz the highest (it plays at 131070).
[[nodiscard]] constexpr bool headerHoldsRate(std::uint32_t sampleRate) {
  return sampleRate >> 1 >= 1 && sampleRate >> 1 <= 0xFFFF;  // half rate 0 plays nothing
}

// Offset form of a sample, kept to 16 bits: 0x0000 is -32768, 0x8000 silence.
[[nodiscard]] constexpr std::uint16_t offsetForm(std::int32_t sample) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(sample) + 0x8000u);
}

// The sample of an offset-form value; only its low 16 bits count.
[[nodiscard]] constexpr std::int16_t sampleOfOffset(std::uint32_t value) {
  return static_cast<std::int16_t>(static_cast<std::int32_t>(value & 0xFFFFu) - 0x8000);
}

void storeStreamHeader(const StreamHeader& header, std::span<std::uint8_t, kStreamHeaderBytes> out);
[[nodiscard]] StreamHeader loadStreamHeader(std::span<const std::uint8_t, kStreamHeaderBytes> in);

// The seed as stored: its offset form, or that form's high byte for a 1-byte seed.
void storeSeed(Format format, std::int32_t seed, std::uint8_t* out);
[[nodiscard]] std::int16_t loadSeed(Format format, const std::uint8_t* in);

// What a player makes of a header: the format of a file of fileBytes bytes.
enum class StreamMatch : std::uint8_t {
  found,
  unknownCode,      // no format has this code
  noSamples,        // the count leaves no sample, not even the seed
  truncated,        // shorter than the stream the header describes
  ambiguousLength,  // a shared code, and the length fits none of its formats exactly
};

struct StreamShape {
  Format format = Format::pcm16;
  std::uint64_t sampleCount = 0;
};

// A code that one format has allows padding after its stream; a code that
// several share needs the exact length of one of them.
[[nodiscard]] StreamMatch matchStream(const StreamHeader& header, std::uint64_t fileBytes,
                                      StreamShape& shape);

// The longest stream a header can describe, among the formats with its code;
// 0 where matchStream refuses it at any length (no such code, no samples).
[[nodiscard]] std::uint64_t longestStream(const StreamHeader& header);

}  // namespace korvane
