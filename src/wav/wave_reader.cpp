#include "wav/wave_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvane {
namespace {

// Field readers over the whole file; callers check the bounds.
std::uint16_t le16(std::span<const std::uint8_t> f, std::size_t at) {
  return static_cast<std::uint16_t>(loadLe16(f.data() + at));
}

std::uint32_t le32(std::span<const std::uint8_t> f, std::size_t at) {
  return loadLe32(f.data() + at);
}

bool holds(std::span<const std::uint8_t> f, std::uint64_t at, std::uint64_t length) {
  return at <= f.size() && length <= f.size() - at;
}

// A missing tag is a mismatching tag.
bool tagAt(std::span<const std::uint8_t> f, std::size_t at, const char (&tag)[5]) {
  return holds(f, at, 4) && std::memcmp(f.data() + at, tag, 4) == 0;
}

// KSDATAFORMAT_SUBTYPE_PCM, the sub-format GUID of extensible PCM files, as stored.
constexpr std::array<std::uint8_t, 16> kPcmSubFormat = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::size_t kFixedHeaderBytes = 36;
constexpr std::size_t kSubFormatOffset = 44;
constexpr std::uint32_t kExtensibleFmtBytes = 40;

bool isExtensiblePcm(std::span<const std::uint8_t> f, std::uint32_t fmtSize) {
  return fmtSize >= kExtensibleFmtBytes && holds(f, kSubFormatOffset, kPcmSubFormat.size()) &&
         std::equal(kPcmSubFormat.begin(), kPcmSubFormat.end(), f.begin() + kSubFormatOffset);
}

}  // namespace

WaveError readWaveInfo(std::span<const std::uint8_t> file, WaveInfo& info) {
  if (!tagAt(file, 0, "RIFF")) return WaveError::notRiff;
  if (!tagAt(file, 8, "WAVE") || !tagAt(file, 12, "fmt ")) return WaveError::notWave;
  if (file.size() < kFixedHeaderBytes) return WaveError::notWave;

  const std::uint32_t fmtSize = le32(file, 16);
  WaveInfo w;
  w.formatTag = le16(file, 20);
  w.channels = le16(file, 22);
  w.sampleRate = le32(file, 24);
  w.byteRate = le32(file, 28);
  w.blockAlign = le16(file, 32);
  w.bitsPerSample = le16(file, 34);
  if (w.formatTag == kFormatExtensible && isExtensiblePcm(file, fmtSize)) w.formatTag = kFormatPcm;
  if (w.formatTag != kFormatPcm) return WaveError::notPcm;
  if (w.channels != 1) return WaveError::notMono;
  if (w.bitsPerSample == 0 || w.bitsPerSample > 32) return WaveError::bitsNotSupported;

  // The scan starts fmtSize bytes after the fmt contents begin, whatever fmtSize
  // is, and steps over each chunk by its stored size without pad bytes.
  std::uint64_t at = 20 + std::uint64_t{fmtSize};
  for (;;) {
    if (!holds(file, at, 8)) return WaveError::noDataChunk;
    w.dataTag = le32(file, static_cast<std::size_t>(at));
    w.dataSize = le32(file, static_cast<std::size_t>(at) + 4);
    at += 8;
    if (w.dataTag == kDataTag) break;
    at += w.dataSize;
  }

  // Streaming recorders leave the size unfinished (often 0xFFFFFFFF): count
  // only the whole containers actually present.
  const std::uint64_t present = std::min<std::uint64_t>(w.dataSize, file.size() - at);
  w.sampleCount = static_cast<std::uint32_t>(present / containerBytes(w.bitsPerSample));
  if (w.sampleCount == 0) return WaveError::noSamples;

  w.dataStart = file.data() + at;
  w.cursor = w.dataStart;
  info = w;
  return WaveError::none;
}

}  // namespace korvane
