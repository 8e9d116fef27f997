#include "wav/any_wave.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvane {
namespace {

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagMsAdpcm = 2;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagALaw = 6;
constexpr std::uint16_t kTagMuLaw = 7;
constexpr std::uint16_t kTagIma = 0x11;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

// The most of a fmt chunk that says anything: Microsoft ADPCM's table of up
// to 256 coefficient pairs after 22 bytes.
constexpr std::size_t kLongestFormat = 22 + 4 * 256;

// The GUID of an extensible sub-format after its first two bytes (the tag).
constexpr std::uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool holds(const ByteSource& f, std::uint64_t at, std::uint64_t length) {
  return at <= f.size && length <= f.size - at;
}

// Reads the fmt chunk's contents into wave; false when they make no sense.
WaveError readFormat(std::span<const std::uint8_t> fmt, AnyWave& wave) {
  if (fmt.size() < 16) return WaveError::notWave;
  std::uint16_t tag = static_cast<std::uint16_t>(loadLe16(&fmt[0]));
  wave.channels = static_cast<std::uint16_t>(loadLe16(&fmt[2]));
  wave.sampleRate = loadLe32(&fmt[4]);
  wave.blockAlign = static_cast<std::uint16_t>(loadLe16(&fmt[12]));
  wave.bitsPerSample = static_cast<std::uint16_t>(loadLe16(&fmt[14]));
  if (tag == kTagExtensible) {
    if (fmt.size() < 40 || std::memcmp(&fmt[26], kGuidTail, sizeof kGuidTail) != 0) {
      return WaveError::notPcm;
    }
    tag = static_cast<std::uint16_t>(loadLe16(&fmt[24]));
  }
  const unsigned bits = wave.bitsPerSample;
  bool fits = false;
  switch (tag) {
    case kTagPcm:
      wave.coding = WaveCoding::pcm;
      fits = bits >= 1 && bits <= 32;
      break;
    case kTagFloat:
      wave.coding = WaveCoding::floating;
      fits = bits == 32 || bits == 64;
      break;
    case kTagMuLaw:
    case kTagALaw:
      wave.coding = tag == kTagMuLaw ? WaveCoding::muLaw : WaveCoding::aLaw;
      fits = bits == 8;
      break;
    case kTagIma:
      wave.coding = WaveCoding::ima;
      fits = bits == 4;
      break;
    case kTagMsAdpcm: {
      wave.coding = WaveCoding::msAdpcm;
      fits = bits == 4;
      if (fmt.size() < 22 || wave.channels > 2) return WaveError::notWave;
      const std::size_t pairs = std::min<std::size_t>(loadLe16(&fmt[20]), (fmt.size() - 22) / 4);
      wave.coefficients.clear();
      for (std::size_t k = 0; k < pairs; ++k) {
        wave.coefficients.push_back({static_cast<std::int16_t>(loadLe16(&fmt[22 + 4 * k])),
                                     static_cast<std::int16_t>(loadLe16(&fmt[24 + 4 * k]))});
      }
      if (wave.coefficients.empty()) return WaveError::notWave;
      break;
    }
    default:
      return WaveError::notPcm;
  }
  if (wave.channels == 0 || wave.sampleRate == 0) return WaveError::notWave;
  wave.isFloat = wave.coding == WaveCoding::floating;
  if (!fits) return WaveError::bitsNotSupported;
  if (wave.blocks()) {
    wave.framesPerBlock = wave.coding == WaveCoding::ima
                              ? imaSamplesIn(wave.blockAlign, wave.channels)
                              : msAdpcmSamplesIn(wave.blockAlign, wave.channels);
    if (wave.framesPerBlock == 0) return WaveError::notWave;
    wave.containerBytes = 2;  // as decoded
  } else {
    wave.containerBytes = static_cast<std::uint16_t>((bits + 7) / 8);
  }
  return WaveError::none;
}

// One sample of one channel at p, full scale +-1.
float valueAt(const AnyWave& wave, const std::uint8_t* p) {
  if (wave.coding == WaveCoding::muLaw) return static_cast<float>(expandMuLaw(*p)) / 32768.0f;
  if (wave.coding == WaveCoding::aLaw) return static_cast<float>(expandALaw(*p)) / 32768.0f;
  if (wave.isFloat) {
    if (wave.containerBytes == 4) {
      const std::uint32_t bits = loadLe32(p);
      float v;
      std::memcpy(&v, &bits, sizeof v);
      return v;
    }
    const std::uint64_t bits = loadLe32(p) | std::uint64_t{loadLe32(p + 4)} << 32;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return static_cast<float>(v);
  }
  switch (wave.containerBytes) {
    case 1:
      return static_cast<float>(int{p[0]} - 128) / 128.0f;
    case 2:
      return static_cast<float>(static_cast<std::int16_t>(loadLe16(p))) / 32768.0f;
    case 3: {
      const std::uint32_t u = loadLe16(p) | std::uint32_t{p[2]} << 16;
      return static_cast<float>(static_cast<std::int32_t>(u << 8) >> 8) / 8388608.0f;
    }
    default:
      return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(loadLe32(p))) /
                                2147483648.0);
  }
}

}  // namespace

WaveError readAnyWave(const ByteSource& file, AnyWave& result) {
  std::uint8_t head[12] = {};
  if (!holds(file, 0, 4) || !readBytes(file, 0, std::span(head, 4)) ||
      (std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0 &&
       std::memcmp(head, "BW64", 4) != 0)) {
    return WaveError::notRiff;
  }
  std::uint64_t longData = 0;  // the data size a ds64 chunk gives, where there is one
  if (!holds(file, 8, 4) || !readBytes(file, 8, std::span(head + 8, 4)) ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    return WaveError::notWave;
  }
  AnyWave wave;
  wave.file = file;
  bool haveFormat = false;
  for (std::uint64_t at = 12; holds(file, at, 8);) {
    std::uint8_t chunk[8];
    if (!readBytes(file, at, chunk)) return WaveError::noDataChunk;
    const std::uint64_t size = loadLe32(chunk + 4);
    at += 8;
    if (std::memcmp(chunk, "ds64", 4) == 0 && holds(file, at, 16)) {
      std::uint8_t sizes[16];
      if (!readBytes(file, at, sizes)) return WaveError::notWave;
      longData = loadLe32(sizes + 8) | std::uint64_t{loadLe32(sizes + 12)} << 32;
    } else if (std::memcmp(chunk, "fmt ", 4) == 0) {
      // Only the part of a fmt chunk that says anything is read.
      if (!holds(file, at, size)) return WaveError::notWave;
      std::uint8_t fmt[kLongestFormat] = {};
      const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof fmt));
      if (!readBytes(file, at, std::span(fmt, length))) return WaveError::notWave;
      if (const WaveError e = readFormat(std::span(fmt, length), wave); e != WaveError::none) {
        return e;
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return WaveError::notWave;
      // A size past the end (streaming recorders, a ds64 larger than the
      // file) counts what is there.
      const std::uint64_t claimed = size == 0xFFFFFFFF && longData != 0 ? longData : size;
      const std::uint64_t present = std::min<std::uint64_t>(claimed, file.size - at);
      wave.dataBytes = present;
      wave.claimedBytes = claimed;
      wave.rf64 = std::memcmp(head, "RIFF", 4) != 0;
      if (wave.blocks()) {
        const std::uint64_t rest = present % wave.blockAlign;
        wave.frames = present / wave.blockAlign * wave.framesPerBlock +
                      (wave.coding == WaveCoding::ima ? imaSamplesIn(rest, wave.channels)
                                                      : msAdpcmSamplesIn(rest, wave.channels));
      } else {
        wave.frames = present / frameBytes(wave);
      }
      if (wave.frames == 0) return WaveError::noSamples;
      wave.dataStart = at;
      result = wave;
      return WaveError::none;
    }
    at += size + (size & 1);
  }
  return WaveError::noDataChunk;
}

namespace {

// Frames from .. from + mono.size() - 1 of an ADPCM wave, all inside it,
// decoded a block at a time and mixed.
bool readBlocks(const AnyWave& wave, std::uint64_t from, std::span<float> mono,
                std::vector<std::uint8_t>& bytes) {
  std::vector<std::int16_t> decoded(wave.framesPerBlock * wave.channels);
  bool ok = true;
  for (std::size_t done = 0; done < mono.size();) {
    const std::uint64_t frame = from + done;
    const std::uint64_t block = frame / wave.framesPerBlock;
    const std::uint64_t start = block * wave.blockAlign;
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(wave.blockAlign, wave.dataBytes - start));
    bytes.resize(length);
    ok = readBytes(wave.file, wave.dataStart + start, bytes) && ok;
    if (wave.coding == WaveCoding::ima)
      decodeImaBlock(bytes, wave.channels, decoded);
    else
      decodeMsAdpcmBlock(bytes, wave.channels, wave.coefficients, decoded);
    const auto first = static_cast<std::size_t>(frame - block * wave.framesPerBlock);
    const std::size_t n = std::min<std::size_t>(wave.framesPerBlock - first, mono.size() - done);
    const float scale = 1.0f / (32768.0f * static_cast<float>(wave.channels));
    for (std::size_t i = 0; i < n; ++i) {
      std::int32_t sum = 0;
      for (std::size_t c = 0; c < wave.channels; ++c)
        sum += decoded[(first + i) * wave.channels + c];
      mono[done + i] = static_cast<float>(sum) * scale;
    }
    done += n;
  }
  return ok;
}

}  // namespace

void mixToMono(const AnyWave& wave, const std::uint8_t* bytes, std::span<float> mono) {
  const std::size_t step = wave.containerBytes;
  const std::size_t channels = wave.channels;
  const std::uint8_t* p = bytes;
  if (!wave.isFloat && step == 2) {
    // The common case, 16-bit PCM: whole-number sums, one scaling (mono and
    // stereo written out, so that the loops vectorise).
    const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
    const std::size_t n = mono.size();
    if (channels == 1) {
      for (std::size_t i = 0; i < n; ++i)
        mono[i] = static_cast<float>(static_cast<std::int16_t>(loadLe16(p + 2 * i))) * scale;
      return;
    }
    if (channels == 2) {
      for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t sum = static_cast<std::int16_t>(loadLe16(p + 4 * i)) +
                                 static_cast<std::int16_t>(loadLe16(p + 4 * i + 2));
        mono[i] = static_cast<float>(sum) * scale;
      }
      return;
    }
    for (float& out : mono) {
      std::int32_t sum = 0;
      for (std::size_t c = 0; c < channels; ++c, p += 2)
        sum += static_cast<std::int16_t>(loadLe16(p));
      out = static_cast<float>(sum) * scale;
    }
    return;
  }
  if (channels == 1) {
    for (float& out : mono) {
      out = valueAt(wave, p);
      p += step;
    }
    return;
  }
  for (float& out : mono) {
    double sum = 0;
    for (std::size_t c = 0; c < channels; ++c, p += step)
      sum += valueAt(wave, p);
    out = static_cast<float>(sum / static_cast<double>(channels));
  }
}

bool readMono(const AnyWave& wave, std::int64_t first, std::span<float> mono,
              std::vector<std::uint8_t>& bytes) {
  // Silence before the first frame and after the last.
  const auto frames = static_cast<std::int64_t>(wave.frames);
  const std::int64_t from = std::clamp<std::int64_t>(first, 0, frames);
  const std::int64_t to =
      std::clamp<std::int64_t>(first + static_cast<std::int64_t>(mono.size()), 0, frames);
  const auto count = static_cast<std::size_t>(to > from ? to - from : 0);
  const auto before = std::min(static_cast<std::size_t>(from - first), mono.size() - count);
  std::fill(mono.begin(), mono.begin() + static_cast<long>(before), 0.0f);
  std::fill(mono.begin() + static_cast<long>(before + count), mono.end(), 0.0f);
  if (count == 0) return true;
  if (wave.blocks()) {
    return readBlocks(wave, static_cast<std::uint64_t>(from), mono.subspan(before, count), bytes);
  }
  const std::size_t step = frameBytes(wave);
  const std::uint64_t at = wave.dataStart + static_cast<std::uint64_t>(from) * step;
  const std::uint8_t* p = nullptr;
  bool ok = true;
  if (wave.file.inMemory()) {
    p = wave.file.memory + at;
  } else {
    bytes.resize(count * step);
    ok = readBytes(wave.file, at, bytes);
    p = bytes.data();
  }
  mixToMono(wave, p, mono.subspan(before, count));
  return ok;
}

ReadLimit waveReadLimit(const ByteSource& arrived, bool tolerant) {
  using Kind = ReadLimit::Kind;
  // The readers take in a whole head at once; a file's first four bytes
  // already say whether it can be one.
  std::array<std::uint8_t, 4> tag{};
  if (readBytes(arrived, 0, tag) && std::memcmp(tag.data(), "RIFF", 4) != 0 &&
      !(tolerant &&
        (std::memcmp(tag.data(), "RF64", 4) == 0 || std::memcmp(tag.data(), "BW64", 4) == 0))) {
    return {Kind::refused};
  }
  const ArrivedBytes exactBytes(arrived, kLongestRiff);
  const ArrivedBytes anyBytes(arrived, kLongestRiff);
  WaveInfo exact;
  AnyWave any;
  const WaveError exactError = readWaveInfo(exactBytes.file(), exact);
  const WaveError anyError = readAnyWave(anyBytes.file(), any);
  if (tolerant ? anyBytes.wanted() : exactBytes.wanted()) return {Kind::readOn};
  if (tolerant && anyError == WaveError::none && any.rf64) {
    // Its sizes are the ds64 chunk's: read to the end of the data it gives.
    return {Kind::upTo, any.dataStart + any.claimedBytes};
  }
  if ((tolerant ? anyError : exactError) == WaveError::none) {
    const std::uint64_t dataStart = tolerant ? any.dataStart : exact.dataStart;
    std::array<std::uint8_t, 4> size{};
    (void)readBytes(arrived, dataStart - 4, size);
    const std::uint32_t dataSize = loadLe32(size.data());
    // A streaming recorder leaves the size 0 or 0xFFFFFFFF: the data goes on
    // as far as the stream does.
    const std::uint64_t openAt = (tolerant ? anyBytes : exactBytes).openSizeAt();
    if (openAt == dataStart - 4 || dataSize == 0xFFFFFFFF) {
      return {Kind::upTo, dataStart + 0xFFFFFFFF, true, openAt == dataStart - 4 ? openAt : 0};
    }
    return {Kind::upTo, dataStart + dataSize};
  }
  // Refused: the tolerant reader may say why, from the header and a frame.
  if (tolerant) return {Kind::refused};
  if (anyBytes.wanted()) return {Kind::readOn};
  if (anyError == WaveError::none) {
    const std::uint64_t openAt = anyBytes.openSizeAt() == any.dataStart - 4 ? any.dataStart - 4 : 0;
    return {Kind::upTo, any.dataStart + frameBytes(any), false, openAt};
  }
  return {Kind::refused};
}

}  // namespace korvane
