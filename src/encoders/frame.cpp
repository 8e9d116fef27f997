// Stream header, encoder frame and the linear PCM payloads.
#include "encoders/frame.h"

#include "encoders/adpcm.h"
#include "encoders/wfm.h"
#include "search/search.h"

namespace korvane {

std::uint64_t streamLength(Format format, std::uint64_t sampleCount) {
  const std::uint64_t n = sampleCount;
  const std::uint64_t codes = n - 1;
  switch (format) {
    case Format::adpcm4:
      return 10 + n / 2;
    case Format::adpcm3:
      return 10 + 3 * ((codes + 7) / 8);
    case Format::adpcm2:
      return 10 + (codes + 3) / 4;
    case Format::wfm:
      return 10 + (codes + 7) / 8;
    case Format::pcm16:
      return 8 + 2 * n;
    case Format::pcm12:
      return n == 1 ? 10 : 10 + (3 * n - 1) / 2;  // 10 + ceil((3N - 2) / 2)
    case Format::pcm8:
      return 8 + n;
  }
  return 0;
}

void storeStreamHeader(const StreamHeader& header,
                       std::span<std::uint8_t, kStreamHeaderBytes> out) {
  out[0] = 0;
  out[1] = header.formatCode;
  for (std::size_t i = 0; i < 4; ++i)
    out[2 + i] = static_cast<std::uint8_t>(header.count >> (8 * i));
  out[6] = static_cast<std::uint8_t>(header.halfRate);
  out[7] = static_cast<std::uint8_t>(header.halfRate >> 8);
}

std::vector<std::uint8_t> encodeStream(Format format, WaveInfo wave, int searchLevel,
                                       EncodeProgress* progress) {
  std::vector<std::uint8_t> stream(
      static_cast<std::size_t>(streamLength(format, wave.sampleCount)));
  encodeStreamInto(format, wave, stream, searchLevel, progress);
  return stream;
}

void encodeStreamInto(Format format, WaveInfo wave, std::span<std::uint8_t> all, int searchLevel,
                      EncodeProgress* progress) {
  const FormatLayout& layout = layoutOf(format);
  const std::uint32_t n = wave.sampleCount;

  storeStreamHeader({layout.formatCode, n - layout.countBelowN, halfRateOf(wave.sampleRate)},
                    all.first<kStreamHeaderBytes>());

  const std::int32_t seed = nextSample(wave);
  const std::uint16_t stored = offsetForm(seed);
  if (layout.seedBytes == 1) {
    all[8] = static_cast<std::uint8_t>(stored >> 8);
  } else {
    all[8] = static_cast<std::uint8_t>(stored);
    all[9] = static_cast<std::uint8_t>(stored >> 8);
  }

  const std::span<std::uint8_t> payload = all.subspan(kStreamHeaderBytes + layout.seedBytes);
  const SearchLevel& level = searchLevelOf(searchLevel);
  switch (format) {
    case Format::adpcm4:
      searchLevel > 0 ? searchAdpcm4(wave, seed, payload, level, progress)
                      : encodeAdpcm4(wave, seed, payload);
      break;
    case Format::adpcm3:
      searchLevel > 0 ? searchAdpcm3(wave, seed, payload, level, progress)
                      : encodeAdpcm3(wave, seed, payload);
      break;
    case Format::adpcm2:
      searchLevel > 0 ? searchAdpcm2(wave, seed, payload, level, progress)
                      : encodeAdpcm2(wave, seed, payload);
      break;
    case Format::wfm:
      searchLevel > 0 ? searchWfm(wave, seed, payload, level, progress)
                      : encodeWfm(wave, seed, payload);
      break;
    case Format::pcm16:
      encodePcm16(wave, payload);
      break;
    case Format::pcm12:
      encodePcm12(wave, payload);
      break;
    case Format::pcm8:
      encodePcm8(wave, payload);
      break;
  }
}

// PCM16: every sample as its 16-bit offset form, low byte first.
void encodePcm16(WaveInfo& input, std::span<std::uint8_t> payload) {
  WaveInfo wave = input;  // a local cursor stays in a register
  std::uint8_t* out = payload.data();
  for (std::uint32_t i = 1; i < wave.sampleCount; ++i) {
    const std::uint16_t v = offsetForm(nextSample(wave));
    out[0] = static_cast<std::uint8_t>(v);
    out[1] = static_cast<std::uint8_t>(v >> 8);
    out += 2;
  }
  input = wave;
}

// PCM8: the high byte of the offset form, truncated, not rounded.
void encodePcm8(WaveInfo& input, std::span<std::uint8_t> payload) {
  WaveInfo wave = input;  // a local cursor stays in a register
  std::uint8_t* out = payload.data();
  for (std::uint32_t i = 1; i < wave.sampleCount; ++i) {
    *out++ = static_cast<std::uint8_t>((nextSample(wave) + 0x8000) >> 8);
  }
  input = wave;
}

// PCM12: v = (s + 0x8000) >> 4, low byte L and high nibble H. After the seed,
// sample 1 takes [H1 << 4] [L1]; each later pair (i even, i + 1) takes three
// bytes [Li] [Hi | H(i+1) << 4] [L(i+1)]; an unpaired last sample ends in
// [L] [H]. The pending nibble P carries Hi from the even sample to its partner.
void encodePcm12(WaveInfo& input, std::span<std::uint8_t> payload) {
  WaveInfo wave = input;  // a local cursor stays in a register
  std::uint8_t* out = payload.data();
  unsigned pending = 0;
  std::uint32_t i = 1;
  for (; i < wave.sampleCount; ++i) {
    const auto v = static_cast<unsigned>((nextSample(wave) + 0x8000) >> 4) & 0xFFFu;
    if (i & 1) {
      *out++ = static_cast<std::uint8_t>(pending | ((v >> 8) << 4));
      *out++ = static_cast<std::uint8_t>(v);
    } else {
      *out++ = static_cast<std::uint8_t>(v);
      pending = v >> 8;
    }
  }
  if (wave.sampleCount >= 3 && (wave.sampleCount & 1)) *out = static_cast<std::uint8_t>(pending);
  input = wave;
}

}  // namespace korvane
