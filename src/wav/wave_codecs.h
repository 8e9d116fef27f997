// The compressed codings a WAV file may hold, decoded as their public
// descriptions define them: G.711 mu-law and A-law (ITU-T G.711, one byte a
// sample), IMA ADPCM (the IMA's 4-bit coding in Microsoft's blocks) and
// Microsoft ADPCM (its blocks, adaptation table and coefficient pairs).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

// The 16-bit linear value of a G.711 byte.
[[nodiscard]] std::int16_t expandMuLaw(std::uint8_t code);
[[nodiscard]] std::int16_t expandALaw(std::uint8_t code);

// Samples of a channel in a whole block of blockAlign bytes, and in a block
// cut short to bytes (0 where not even its header is there).
[[nodiscard]] std::size_t imaSamplesIn(std::size_t bytes, unsigned channels);
[[nodiscard]] std::size_t msAdpcmSamplesIn(std::size_t bytes, unsigned channels);

// Decodes one block (whole or cut short) into out, channels interleaved,
// imaSamplesIn(block.size(), channels) frames of them.
void decodeImaBlock(std::span<const std::uint8_t> block, unsigned channels,
                    std::span<std::int16_t> out);

// A Microsoft ADPCM coefficient pair, scaled by 256.
struct MsCoefficients {
  std::int16_t first = 0;
  std::int16_t second = 0;
};

// The seven pairs every Microsoft ADPCM file starts its table with.
inline constexpr std::array<MsCoefficients, 7> kMsStandardCoefficients = {
    {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}}};

// Decodes one block likewise, msAdpcmSamplesIn(block.size(), channels)
// frames; a predictor index past the table takes its last pair.
void decodeMsAdpcmBlock(std::span<const std::uint8_t> block, unsigned channels,
                        std::span<const MsCoefficients> coefficients, std::span<std::int16_t> out);

}  // namespace korvane
