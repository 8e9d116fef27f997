#include "wav/any_wave.h"

#include <algorithm>
#include <cstring>

namespace korvane {
namespace {

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

// The GUID of an extensible sub-format after its first two bytes (the tag).
constexpr std::uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool holds(std::span<const std::uint8_t> f, std::uint64_t at, std::uint64_t length) {
  return at <= f.size() && length <= f.size() - at;
}

// Reads the fmt chunk's contents into wave; false when they make no sense.
WaveError readFormat(std::span<const std::uint8_t> fmt, AnyWave& wave) {
  if (fmt.size() < 16) return WaveError::notWave;
  std::uint16_t tag = static_cast<std::uint16_t>(loadLe16(&fmt[0]));
  wave.channels = static_cast<std::uint16_t>(loadLe16(&fmt[2]));
  wave.sampleRate = loadLe32(&fmt[4]);
  wave.bitsPerSample = static_cast<std::uint16_t>(loadLe16(&fmt[14]));
  if (tag == kTagExtensible) {
    if (fmt.size() < 40 || std::memcmp(&fmt[26], kGuidTail, sizeof kGuidTail) != 0) {
      return WaveError::notPcm;
    }
    tag = static_cast<std::uint16_t>(loadLe16(&fmt[24]));
  }
  if (tag != kTagPcm && tag != kTagFloat) return WaveError::notPcm;
  if (wave.channels == 0 || wave.sampleRate == 0) return WaveError::notWave;
  wave.isFloat = tag == kTagFloat;
  const unsigned bits = wave.bitsPerSample;
  const bool fits = wave.isFloat ? (bits == 32 || bits == 64) : (bits >= 1 && bits <= 32);
  if (!fits) return WaveError::bitsNotSupported;
  wave.containerBytes = static_cast<std::uint16_t>((bits + 7) / 8);
  return WaveError::none;
}

// One sample of one channel at p, full scale +-1.
float valueAt(const AnyWave& wave, const std::uint8_t* p) {
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

WaveError readAnyWave(std::span<const std::uint8_t> file, AnyWave& result) {
  if (!holds(file, 0, 4) || std::memcmp(file.data(), "RIFF", 4) != 0) return WaveError::notRiff;
  if (!holds(file, 8, 4) || std::memcmp(file.data() + 8, "WAVE", 4) != 0) return WaveError::notWave;
  AnyWave wave;
  bool haveFormat = false;
  for (std::uint64_t at = 12; holds(file, at, 8);) {
    const std::uint8_t* chunk = file.data() + at;
    const std::uint64_t size = loadLe32(chunk + 4);
    at += 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (!holds(file, at, size)) return WaveError::notWave;
      if (const WaveError e = readFormat(
              file.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(size)), wave);
          e != WaveError::none) {
        return e;
      }
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return WaveError::notWave;
      // A size past the end (streaming recorders) counts what is there.
      const std::uint64_t present = std::min<std::uint64_t>(size, file.size() - at);
      const std::uint64_t frameBytes = std::uint64_t{wave.containerBytes} * wave.channels;
      wave.frames = present / frameBytes;
      if (wave.frames == 0) return WaveError::noSamples;
      wave.data = file.data() + at;
      result = wave;
      return WaveError::none;
    }
    at += size + (size & 1);
  }
  return WaveError::noDataChunk;
}

void mixToMono(const AnyWave& wave, std::span<float> mono) {
  const std::size_t step = wave.containerBytes;
  const std::size_t channels = wave.channels;
  const std::uint8_t* p = wave.data;
  if (!wave.isFloat && step == 2) {
    // The common case, 16-bit PCM: whole-number sums, one scaling (stereo
    // written out, so that the loop vectorises).
    const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
    const std::size_t n = mono.size();
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

}  // namespace korvane
