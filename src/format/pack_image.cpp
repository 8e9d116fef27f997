#include "format/pack_image.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "format/bytes.h"

namespace korvane {
namespace {

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}();

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
  crc = ~crc;
  for (const std::uint8_t byte : bytes)
    crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool layOutImage(std::span<const std::uint32_t> lengths, std::uint32_t align,
                 std::vector<PackEntry>& entries, std::uint32_t& imageLength) {
  if (lengths.empty() || lengths.size() > kPackMostPrompts || align == 0 ||
      align > kPackMostAlign || (align & (align - 1)) != 0) {
    return false;
  }
  entries.clear();
  std::uint64_t at = kPackHeaderBytes + 8 * std::uint64_t{lengths.size()};
  for (const std::uint32_t length : lengths) {
    at = (at + align - 1) / align * align;
    entries.push_back({static_cast<std::uint32_t>(at), length});
    at += length;
    if (at > 0xFFFFFFFFu) return false;
  }
  imageLength = static_cast<std::uint32_t>(at);
  return true;
}

std::vector<std::uint8_t> buildImage(std::span<const std::span<const std::uint8_t>> streams,
                                     std::uint32_t align) {
  std::vector<std::uint32_t> lengths;
  for (const auto& stream : streams) {
    if (stream.size() > 0xFFFFFFFFu) return {};
    lengths.push_back(static_cast<std::uint32_t>(stream.size()));
  }
  std::vector<PackEntry> entries;
  std::uint32_t length = 0;
  if (!layOutImage(lengths, align, entries, length)) return {};
  std::vector<std::uint8_t> image(length, 0xFF);
  std::copy(std::begin(kPackMagic), std::end(kPackMagic), image.begin());
  storeLe(&image[4], kPackVersion, 2);
  storeLe(&image[6], static_cast<std::uint32_t>(streams.size()), 2);
  storeLe(&image[8], length, 4);
  storeLe(&image[12], 0, 4);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    storeLe(&image[kPackHeaderBytes + 8 * i], entries[i].offset, 4);
    storeLe(&image[kPackHeaderBytes + 8 * i + 4], entries[i].length, 4);
    std::copy(streams[i].begin(), streams[i].end(), image.begin() + entries[i].offset);
  }
  storeLe(&image[12], crc32(image), 4);
  return image;
}

bool readImage(std::span<const std::uint8_t> image, std::vector<PackEntry>& entries) {
  entries.clear();
  if (image.size() < kPackHeaderBytes || std::memcmp(image.data(), kPackMagic, 4) != 0 ||
      loadLe16(&image[4]) != kPackVersion || loadLe32(&image[8]) != image.size()) {
    return false;
  }
  const std::uint32_t count = loadLe16(&image[6]);
  const std::uint64_t indexEnd = kPackHeaderBytes + 8 * std::uint64_t{count};
  if (count == 0 || indexEnd > image.size()) return false;
  std::array<std::uint8_t, 4> zero{};
  std::uint32_t crc = crc32(image.first(12));
  crc = crc32(zero, crc);
  crc = crc32(image.subspan(16), crc);
  if (crc != loadLe32(&image[12])) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    const PackEntry entry{loadLe32(&image[kPackHeaderBytes + 8 * i]),
                          loadLe32(&image[kPackHeaderBytes + 8 * i + 4])};
    if (entry.offset < indexEnd || std::uint64_t{entry.offset} + entry.length > image.size()) {
      return false;
    }
    entries.push_back(entry);
  }
  return true;
}

}  // namespace korvane
