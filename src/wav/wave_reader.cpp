#include "wav/wave_reader.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvane {
namespace {

// The fixed header's bytes: the RIFF header, the fmt chunk's head, and the
// sub-format of an extensible fmt chunk where it would stand.
constexpr std::size_t kFixedHeaderBytes = 36;
constexpr std::size_t kSubFormatOffset = 44;
constexpr std::size_t kHeadBytes = kSubFormatOffset + 16;

// KSDATAFORMAT_SUBTYPE_PCM, the sub-format GUID of extensible PCM files, as stored.
constexpr std::array<std::uint8_t, 16> kPcmSubFormat = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::uint32_t kExtensibleFmtBytes = 40;

// The first bytes of the file, as many as there are up to kHeadBytes.
struct Head {
  std::array<std::uint8_t, kHeadBytes> bytes{};
  std::size_t size = 0;

  // A missing tag is a mismatching tag.
  bool tagAt(std::size_t at, const char (&tag)[5]) const {
    return at + 4 <= size && std::memcmp(&bytes[at], tag, 4) == 0;
  }
  std::uint16_t le16(std::size_t at) const {
    return static_cast<std::uint16_t>(loadLe16(&bytes[at]));
  }
  std::uint32_t le32(std::size_t at) const { return loadLe32(&bytes[at]); }
};

bool isExtensiblePcm(const Head& head, std::uint32_t fmtSize) {
  return fmtSize >= kExtensibleFmtBytes && head.size >= kSubFormatOffset + kPcmSubFormat.size() &&
         std::equal(kPcmSubFormat.begin(), kPcmSubFormat.end(),
                    head.bytes.begin() + kSubFormatOffset);
}

}  // namespace

WaveError readWaveInfo(const ByteSource& file, WaveInfo& info) {
  Head head;
  head.size = static_cast<std::size_t>(std::min<std::uint64_t>(file.size, kHeadBytes));
  if (!readBytes(file, 0, std::span(head.bytes).first(head.size))) return WaveError::notRiff;
  if (!head.tagAt(0, "RIFF")) return WaveError::notRiff;
  if (!head.tagAt(8, "WAVE") || !head.tagAt(12, "fmt ")) return WaveError::notWave;
  if (head.size < kFixedHeaderBytes) return WaveError::notWave;

  const std::uint32_t fmtSize = head.le32(16);
  WaveInfo w;
  w.file = file;
  w.formatTag = head.le16(20);
  w.channels = head.le16(22);
  w.sampleRate = head.le32(24);
  w.byteRate = head.le32(28);
  w.blockAlign = head.le16(32);
  w.bitsPerSample = head.le16(34);
  if (w.formatTag == kFormatExtensible && isExtensiblePcm(head, fmtSize)) w.formatTag = kFormatPcm;
  if (w.formatTag != kFormatPcm) return WaveError::notPcm;
  if (w.channels != 1) return WaveError::notMono;
  if (w.bitsPerSample == 0 || w.bitsPerSample > 32) return WaveError::bitsNotSupported;

  // The scan starts fmtSize bytes after the fmt contents begin, whatever fmtSize
  // is, and steps over each chunk by its stored size without pad bytes.
  std::uint64_t at = 20 + std::uint64_t{fmtSize};
  for (;;) {
    std::array<std::uint8_t, 8> chunk{};
    if (at > file.size || file.size - at < 8 || !readBytes(file, at, chunk)) {
      return WaveError::noDataChunk;
    }
    w.dataTag = loadLe32(&chunk[0]);
    w.dataSize = loadLe32(&chunk[4]);
    at += 8;
    if (w.dataTag == kDataTag) break;
    at += w.dataSize;
  }

  // Streaming recorders leave the size unfinished (often 0xFFFFFFFF): count
  // only the whole containers actually present.
  const std::uint64_t present = std::min<std::uint64_t>(w.dataSize, file.size - at);
  w.sampleCount = static_cast<std::uint32_t>(present / containerBytes(w.bitsPerSample));
  if (w.sampleCount == 0) return WaveError::noSamples;

  w.dataStart = at;
  w.cursor = at;
  info = w;
  return WaveError::none;
}

void nextSamples(WaveInfo& info, std::span<std::int32_t> samples) {
  const unsigned bits = info.bitsPerSample;
  const std::size_t step = containerBytes(bits);
  if (info.file.inMemory()) {
    convertSamples(info.file.memory + info.cursor, bits, samples);
    info.cursor += step * samples.size();
    return;
  }
  std::array<std::uint8_t, 4096> bytes;
  const std::size_t piece = bytes.size() / step;
  for (std::size_t done = 0; done < samples.size(); done += piece) {
    const std::size_t n = std::min(piece, samples.size() - done);
    (void)readBytes(info.file, info.cursor, std::span(bytes).first(n * step));
    convertSamples(bytes.data(), bits, samples.subspan(done, n));
    info.cursor += step * n;
  }
}

void SampleReader::next(std::span<std::int32_t> samples) {
  if (wave_.file.inMemory()) {
    nextSamples(wave_, samples);
    return;
  }
  const unsigned bits = wave_.bitsPerSample;
  const std::size_t step = containerBytes(bits);
  if (!buffer_) {
    // No more than the wave holds: a short input takes little memory.
    const std::uint64_t end = wave_.cursor + std::uint64_t{wave_.sampleCount} * step;
    bufferSize_ = static_cast<std::size_t>(
        std::min<std::uint64_t>(kReadBytes, std::max<std::uint64_t>(end - wave_.cursor, step)));
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(bufferSize_);
  }
  std::size_t done = 0;
  while (done < samples.size()) {
    const std::uint64_t at = wave_.cursor;
    if (at < bufferAt_ || at + step > bufferAt_ + held_) {
      // Refill from the cursor on, as far as the buffer and the file go.
      bufferAt_ = at;
      held_ = static_cast<std::size_t>(
          std::min<std::uint64_t>(bufferSize_, wave_.file.size > at ? wave_.file.size - at : 0));
      held_ -= held_ % step;
      if (held_ == 0) {  // past the end: nothing to read, as zeros
        std::fill(samples.begin() + static_cast<long>(done), samples.end(), 0);
        return;
      }
      (void)readBytes(wave_.file, at, std::span(buffer_.get(), held_));
    }
    const std::size_t inBuffer = static_cast<std::size_t>(bufferAt_ + held_ - at) / step;
    const std::size_t n = std::min(inBuffer, samples.size() - done);
    convertSamples(buffer_.get() + (at - bufferAt_), bits, samples.subspan(done, n));
    wave_.cursor += step * n;
    done += n;
  }
}

}  // namespace korvane
