#include "decoder/decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "codec/pcm.h"
#include "decoder/scan.h"

namespace korvane {
namespace {

// A player fills out with the next out.size() samples after the seed. Every
// call but the last asks for a multiple of kCodePiece, so the next code
// starts a whole number of groups into the payload.
using Player = void (*)(DecodeCursor& cursor, std::span<std::int16_t> out);

// The codec state is worked on in a local copy, kept in registers: the stores
// of the output could otherwise alias it.
template <unsigned Bits>
void playAdpcm(DecodeCursor& c, std::span<std::int16_t> out) {
  constexpr CodeLayout kLayout = kAdpcmCodes<Bits>;
  std::array<std::uint8_t, kCodePiece> codes;
  const std::span<std::uint8_t> piece = std::span(codes).first(out.size());
  unpackCodes<kLayout>(c.payload + packedBytes(kLayout, c.decoded), piece);
  AdpcmState state = c.adpcm;
  std::size_t j = 0;
  if (c.path != VectorPath::serial) {
    std::int32_t index = state.stepIndex;
    if (c.path == VectorPath::avx512) {
      j = piece.size() / 16 * 16;
      playAdpcmAvx512(kVectorTables<Bits>, piece.data(), j, state.predictor, index, out.data());
    } else {
      j = piece.size() / 8 * 8;
      playAdpcmAvx2(kVectorTables<Bits>, piece.data(), j, state.predictor, index, out.data());
    }
    state.stepIndex = static_cast<std::int8_t>(index);
  }
  for (; j < piece.size(); ++j)
    out[j] = static_cast<std::int16_t>(reconstructAdpcm<Bits>(state, piece[j]));
  c.adpcm = state;
}

void playWfm(DecodeCursor& c, std::span<std::int16_t> out) {
  std::array<std::uint8_t, kCodePiece> decisions;
  const std::span<std::uint8_t> piece = std::span(decisions).first(out.size());
  unpackWfm(c.payload + c.decoded / 8, piece);
  WfmState state = c.wfm;
  for (std::size_t j = 0; j < piece.size(); ++j) {
    applyWfmDecision(state, piece[j]);
    out[j] = sampleOfOffset(state.estimate);
  }
  c.wfm = state;
}

void playPcm16(DecodeCursor& c, std::span<std::int16_t> out) {
  const std::uint8_t* in = c.payload + 2 * std::uint64_t{c.decoded};
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = sampleOfOffset(loadLe16(in + 2 * j));
}

void playPcm12(DecodeCursor& c, std::span<std::int16_t> out) {
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = unpackPcm12(c.payload, c.decoded + j + 1);
}

void playPcm8(DecodeCursor& c, std::span<std::int16_t> out) {
  const std::uint8_t* in = c.payload + c.decoded;
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = sampleOfOffset(std::uint32_t{in[j]} << 8);
}

// Indexed by Format.
constexpr std::array<Player, kFormatCount> kPlayers = {
    playAdpcm<4>, playAdpcm<3>, playAdpcm<2>, playWfm, playPcm16, playPcm12, playPcm8,
};

// Indexed by StreamMatch.
constexpr std::array<DecodeError, 5> kMatchErrors = {
    DecodeError::none,      DecodeError::unknownFormat,   DecodeError::noSamples,
    DecodeError::truncated, DecodeError::ambiguousLength,
};

}  // namespace

DecodeError openStream(std::span<const std::uint8_t> file, DecodeCursor& cursor) {
  if (file.empty()) return DecodeError::truncated;
  if (file[0] != 0) return DecodeError::notDeviceFile;
  if (file.size() < kStreamHeaderBytes) return DecodeError::truncated;

  const StreamHeader header = loadStreamHeader(file.first<kStreamHeaderBytes>());
  StreamShape shape;
  if (const StreamMatch match = matchStream(header, file.size(), shape);
      match != StreamMatch::found) {
    return kMatchErrors[static_cast<std::size_t>(match)];
  }
  if (shape.sampleCount > kMaxWaveSamples) return DecodeError::tooLong;

  DecodeCursor c;
  c.info = {shape.format, static_cast<std::uint32_t>(shape.sampleCount), 2u * header.halfRate};
  const std::uint8_t* seed = file.data() + kStreamHeaderBytes;
  c.payload = seed + factsOf(shape.format).seedBytes;
  c.seed = loadSeed(shape.format, seed);
  c.adpcm = {c.seed, 0};
  c.wfm = seedWfm(c.seed);
  static const VectorPath kPath = bestVectorPath();
  c.path = kPath;
  cursor = c;
  return DecodeError::none;
}

std::size_t decodeSamples(DecodeCursor& cursor, std::span<std::int16_t> out) {
  const std::uint32_t left = cursor.info.sampleCount - 1 - cursor.decoded;
  const std::size_t count = std::min<std::size_t>(left, out.size());
  kPlayers[static_cast<std::size_t>(cursor.info.format)](cursor, out.first(count));
  cursor.decoded += static_cast<std::uint32_t>(count);
  return count;
}

std::vector<std::uint8_t> decodeToWave(DecodeCursor cursor) {
  std::vector<std::uint8_t> wave(
      static_cast<std::size_t>(decodedWaveLength(cursor.info.sampleCount)));
  decodeToWaveInto(cursor, wave);
  return wave;
}

std::array<std::uint8_t, kWaveStartBytes> waveStart(const DecodeCursor& cursor) {
  std::array<std::uint8_t, kWaveStartBytes> start;
  storeWaveHeader(std::span(start).first<kWaveHeaderBytes>(), cursor.info.sampleRate,
                  cursor.info.sampleCount);
  storeLe(&start[kWaveHeaderBytes], static_cast<std::uint16_t>(cursor.seed), 2);
  return start;
}

std::size_t nextWaveBytes(DecodeCursor& cursor, std::span<std::uint8_t> out) {
  std::array<std::int16_t, kCodePiece> piece;
  std::size_t written = 0;
  while (written + 2 * kCodePiece <= out.size()) {
    const std::size_t count = decodeSamples(cursor, piece);
    if (count == 0) break;
    // Two bytes a sample, low byte first, in a loop the compiler vectorizes.
    std::uint8_t* to = out.data() + written;
    for (std::size_t j = 0; j < count; ++j) {
      const auto v = static_cast<std::uint16_t>(piece[j]);
      to[2 * j] = static_cast<std::uint8_t>(v);
      to[2 * j + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    written += 2 * count;
  }
  return written;
}

void decodeToWaveInto(DecodeCursor cursor, std::span<std::uint8_t> wave) {
  const auto start = waveStart(cursor);
  std::copy(start.begin(), start.end(), wave.begin());
  // Whole pieces in place; the last, short of a whole kCodePiece, through room for one.
  constexpr std::size_t kPieceBytes = 2 * kCodePiece;
  std::span<std::uint8_t> rest = wave.subspan(kWaveStartBytes);
  while (!rest.empty()) {
    std::size_t n = 0;
    if (rest.size() >= kPieceBytes) {
      n = nextWaveBytes(cursor, rest.first(rest.size() / kPieceBytes * kPieceBytes));
    } else {
      std::array<std::uint8_t, kPieceBytes> last;
      n = std::min(nextWaveBytes(cursor, last), rest.size());
      std::copy_n(last.begin(), n, rest.begin());
    }
    if (n == 0) break;
    rest = rest.subspan(n);
  }
}

namespace {

double ratioDb(double signal, double error) {
  if (error == 0) return std::numeric_limits<double>::infinity();
  if (signal == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / error);
}

// Adds up one frame at a time into the whole.
struct FidelityCounter {
  Fidelity whole;
  double frameSignal = 0;
  double frameError = 0;
  std::size_t frameLength = 0;

  void add(std::int32_t x, std::int16_t y) {
    const double s = std::clamp(x, -32768, 32767);
    const double e = s - y;
    frameSignal += s * s;
    frameError += e * e;
    if (++frameLength == kFidelityFrame) endFrame();
  }

  void endFrame() {
    if (frameLength == 0) return;
    const double quiet = kFullScale * kFullScale * std::pow(10.0, kQuietFrameDbfs / 10.0) *
                         static_cast<double>(frameLength);
    if (frameSignal >= quiet) {
      whole.frameSnrSum += ratioDb(frameSignal, frameError);
      ++whole.frames;
    }
    whole.signalEnergy += frameSignal;
    whole.errorEnergy += frameError;
    whole.samples += frameLength;
    frameSignal = frameError = 0;
    frameLength = 0;
  }
};

}  // namespace

Fidelity measureFidelity(WaveInfo input, DecodeCursor played) {
  FidelityCounter counter;
  counter.add(nextSample(input), played.seed);
  std::array<std::int16_t, kCodePiece> piece;
  while (const std::size_t count = decodeSamples(played, piece)) {
    for (std::size_t j = 0; j < count; ++j)
      counter.add(nextSample(input), piece[j]);
  }
  counter.endFrame();
  return counter.whole;
}

double snrDb(const Fidelity& fidelity) {
  return ratioDb(fidelity.signalEnergy, fidelity.errorEnergy);
}

double noiseDbfs(const Fidelity& fidelity) {
  if (fidelity.errorEnergy == 0) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(fidelity.errorEnergy / static_cast<double>(fidelity.samples) /
                           (kFullScale * kFullScale));
}

double segmentalSnrDb(const Fidelity& fidelity) {
  if (fidelity.frames == 0) return std::numeric_limits<double>::quiet_NaN();
  return fidelity.frameSnrSum / static_cast<double>(fidelity.frames);
}

}  // namespace korvane
