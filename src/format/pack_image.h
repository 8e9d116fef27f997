// A prompt set in one image, as a flash chip holds it: a 16-byte header, an
// index of offset and length a prompt, then the device streams in prompt
// order, each at a multiple of the alignment, the gaps 0xFF (erased flash).
// All fields little-endian:
//   offset 0   4 bytes  magic "KVPK"
//   offset 4   2 bytes  version, 1
//   offset 6   2 bytes  prompt count N, 1 to 65535
//   offset 8   4 bytes  image length in bytes
//   offset 12  4 bytes  CRC-32 of the whole image with these four bytes as zero
//   offset 16  8 N      a prompt: its stream's offset from the image start, its length
// The image ends with the last stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

inline constexpr std::uint8_t kPackMagic[4] = {'K', 'V', 'P', 'K'};
inline constexpr std::uint16_t kPackVersion = 1;
inline constexpr std::size_t kPackHeaderBytes = 16;
inline constexpr std::size_t kPackMostPrompts = 65535;
inline constexpr std::uint32_t kPackMostAlign = 65536;

struct PackEntry {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
};

// CRC-32 as zlib computes it (reflected, polynomial 0xEDB88320), continued from crc.
[[nodiscard]] std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Where each stream goes; false where the count is 0 or past 65535, align is
// no power of two up to 65536, or the image would pass 4 GiB.
[[nodiscard]] bool layOutImage(std::span<const std::uint32_t> lengths, std::uint32_t align,
                               std::vector<PackEntry>& entries, std::uint32_t& imageLength);

// The whole image of the streams; empty where layOutImage says no.
[[nodiscard]] std::vector<std::uint8_t> buildImage(
    std::span<const std::span<const std::uint8_t>> streams, std::uint32_t align);

// The index of an image, checked: magic, version, count, length, CRC, and
// every entry inside the image after the index. False for anything else.
[[nodiscard]] bool readImage(std::span<const std::uint8_t> image, std::vector<PackEntry>& entries);

}  // namespace korvane
