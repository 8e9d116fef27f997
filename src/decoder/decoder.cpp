#include "decoder/decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "wav/wave_writer.h"

namespace korvane {
namespace {

bool formatOfCode(std::uint8_t code, Format& format) {
  switch (code) {
    case 4:
      format = Format::adpcm4;
      return true;
    case 3:
      format = Format::adpcm3;
      return true;
    case 2:
      format = Format::adpcm2;
      return true;
    case 1:
      format = Format::wfm;
      return true;
    case 16:
      format = Format::pcm16;
      return true;
    case 5:
      format = Format::pcm12;  // or PCM8: the length decides
      return true;
    default:
      return false;
  }
}

std::int16_t fromOffset(std::uint32_t value) {
  return static_cast<std::int16_t>(static_cast<std::int32_t>(value & 0xFFFFu) - 0x8000);
}

// The payload position of code `first` is a whole number of groups in, since
// every call but the last decodes a multiple of kCodePiece codes.
// The codec state is worked on in a local copy, kept in registers: the
// stores of the output could otherwise alias it.
template <unsigned Bits>
void decodeAdpcm(DecodeCursor& c, std::span<std::int16_t> out) {
  constexpr CodeLayout kLayout = kAdpcmLayout<Bits>;
  std::array<std::uint8_t, kCodePiece> codes;
  const std::span<std::uint8_t> piece = std::span(codes).first(out.size());
  unpackCodes<kLayout>(c.payload + packedBytes(kLayout, c.decoded), piece);
  AdpcmState state = c.adpcm;
  for (std::size_t j = 0; j < piece.size(); ++j) {
    out[j] = static_cast<std::int16_t>(reconstructAdpcm<Bits>(state, piece[j]));
  }
  c.adpcm = state;
}

// Decision g sits in byte g / 8 at bit 7 - g % 8, except in a final partial
// byte of r decisions, which holds them in its low r bits.
void decodeWfm(DecodeCursor& c, std::span<std::int16_t> out) {
  const std::uint32_t decisions = c.info.sampleCount - 1;
  const std::uint32_t fullBytes = decisions / 8;
  const unsigned partial = decisions % 8;
  WfmState state = c.wfm;
  std::size_t j = 0;
  // Whole bytes first (pieces start on a byte), then the bits of a partial one.
  for (std::uint32_t byte = c.decoded / 8; j + 8 <= out.size() && byte < fullBytes; ++byte) {
    const unsigned bits = c.payload[byte];
    for (int bit = 7; bit >= 0; --bit) {
      applyWfmDecision(state, (bits >> bit) & 1u);
      out[j++] = fromOffset(state.estimate);
    }
  }
  for (; j < out.size(); ++j) {
    const std::uint32_t g = c.decoded + static_cast<std::uint32_t>(j);
    const std::uint32_t byte = g / 8;
    const unsigned top = byte < fullBytes ? 7u : partial - 1u;
    applyWfmDecision(state, (c.payload[byte] >> (top - g % 8)) & 1u);
    out[j] = fromOffset(state.estimate);
  }
  c.wfm = state;
}

// PCM12 after the seed: an odd sample i has its high nibble in the high half of
// byte 3(i - 1)/2 and its low byte next; an even sample has its low byte at
// 3i/2 - 1 and its high nibble in the low half of the byte after.
std::int16_t pcm12Sample(const std::uint8_t* payload, std::uint64_t i) {
  std::uint32_t v = 0;
  if (i & 1) {
    const std::uint64_t at = 3 * (i - 1) / 2;
    v = (std::uint32_t{payload[at]} >> 4) << 8 | payload[at + 1];
  } else {
    const std::uint64_t at = 3 * i / 2 - 1;
    v = (std::uint32_t{payload[at + 1]} & 0xFu) << 8 | payload[at];
  }
  return fromOffset(v << 4);
}

}  // namespace

DecodeError openStream(std::span<const std::uint8_t> file, DecodeCursor& cursor) {
  if (file.empty()) return DecodeError::truncated;
  if (file[0] != 0) return DecodeError::notDeviceFile;
  if (file.size() < kStreamHeaderBytes) return DecodeError::truncated;

  Format format;
  if (!formatOfCode(file[1], format)) return DecodeError::unknownFormat;
  const std::uint64_t n = std::uint64_t{loadLe32(&file[2])} + layoutOf(format).countBelowN;
  if (n == 0) return DecodeError::noSamples;
  if (file[1] == 5) {
    if (file.size() == streamLength(Format::pcm8, n)) {
      format = Format::pcm8;
    } else if (file.size() != streamLength(Format::pcm12, n)) {
      return DecodeError::ambiguousLength;
    }
  } else if (file.size() < streamLength(format, n)) {
    return DecodeError::truncated;
  }
  if (n > kMaxWaveSamples) return DecodeError::tooLong;

  DecodeCursor c;
  c.info = {format, static_cast<std::uint32_t>(n), 2u * loadLe16(&file[6])};
  const std::size_t seedBytes = layoutOf(format).seedBytes;
  c.payload = file.data() + kStreamHeaderBytes + seedBytes;
  c.seed = fromOffset(seedBytes == 1 ? std::uint32_t{file[8]} << 8 : loadLe16(&file[8]));
  c.adpcm = {c.seed, 0};
  c.wfm = seedWfm(c.seed);
  cursor = c;
  return DecodeError::none;
}

std::size_t decodeSamples(DecodeCursor& cursor, std::span<std::int16_t> out) {
  const std::uint32_t left = cursor.info.sampleCount - 1 - cursor.decoded;
  const std::size_t count = std::min<std::size_t>(left, out.size());
  const std::span<std::int16_t> piece = out.first(count);
  const std::uint8_t* payload = cursor.payload;
  const std::uint64_t first = cursor.decoded;
  switch (cursor.info.format) {
    case Format::adpcm4:
      decodeAdpcm<4>(cursor, piece);
      break;
    case Format::adpcm3:
      decodeAdpcm<3>(cursor, piece);
      break;
    case Format::adpcm2:
      decodeAdpcm<2>(cursor, piece);
      break;
    case Format::wfm:
      decodeWfm(cursor, piece);
      break;
    case Format::pcm16:
      for (std::size_t j = 0; j < count; ++j)
        piece[j] = fromOffset(loadLe16(payload + 2 * (first + j)));
      break;
    case Format::pcm12:
      for (std::size_t j = 0; j < count; ++j)
        piece[j] = pcm12Sample(payload, first + j + 1);
      break;
    case Format::pcm8:
      for (std::size_t j = 0; j < count; ++j)
        piece[j] = fromOffset(std::uint32_t{payload[first + j]} << 8);
      break;
  }
  cursor.decoded += static_cast<std::uint32_t>(count);
  return count;
}

std::vector<std::uint8_t> decodeToWave(DecodeCursor cursor) {
  std::vector<std::uint8_t> wave(
      static_cast<std::size_t>(decodedWaveLength(cursor.info.sampleCount)));
  decodeToWaveInto(cursor, wave);
  return wave;
}

void decodeToWaveInto(DecodeCursor cursor, std::span<std::uint8_t> wave) {
  const std::uint32_t n = cursor.info.sampleCount;
  storeWaveHeader(wave.first<kWaveHeaderBytes>(), cursor.info.sampleRate, n);
  std::uint8_t* out = wave.data() + kWaveHeaderBytes;
  auto store = [&out](std::int16_t s) {
    const auto u = static_cast<std::uint16_t>(s);
    *out++ = static_cast<std::uint8_t>(u);
    *out++ = static_cast<std::uint8_t>(u >> 8);
  };
  store(cursor.seed);
  std::array<std::int16_t, kCodePiece> piece;
  while (const std::size_t count = decodeSamples(cursor, piece)) {
    for (std::size_t j = 0; j < count; ++j)
      store(piece[j]);
  }
}

Fidelity measureFidelity(WaveInfo input, DecodeCursor played) {
  Fidelity f;
  auto add = [&f](std::int32_t x, std::int16_t y) {
    const double s = std::clamp(x, -32768, 32767);
    f.signalEnergy += s * s;
    f.errorEnergy += (s - y) * (s - y);
  };
  add(nextSample(input), played.seed);
  std::array<std::int16_t, kCodePiece> piece;
  while (const std::size_t count = decodeSamples(played, piece)) {
    for (std::size_t j = 0; j < count; ++j)
      add(nextSample(input), piece[j]);
  }
  return f;
}

double snrDb(const Fidelity& fidelity) {
  if (fidelity.errorEnergy == 0) return std::numeric_limits<double>::infinity();
  if (fidelity.signalEnergy == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(fidelity.signalEnergy / fidelity.errorEnergy);
}

unsigned bitsPerSampleOf(Format format) {
  static constexpr std::array<unsigned, kFormatCount> kBits = {4, 3, 2, 1, 16, 12, 8};
  return kBits[static_cast<std::size_t>(format)];
}

const char* nameOf(Format format) {
  static constexpr std::array<const char*, kFormatCount> kNames = {"AD4",   "AD3",   "AD2", "WFM",
                                                                   "PCM16", "PCM12", "PCM8"};
  return kNames[static_cast<std::size_t>(format)];
}

}  // namespace korvane
