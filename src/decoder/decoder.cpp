#include "decoder/decoder.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "codec/pcm.h"
#include "vector/tables.h"

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
  std::array<std::uint8_t, kCodePiece> codes{};  // cleared: GCC cannot see unpackCodes fill it
  const std::span<std::uint8_t> piece = std::span(codes).first(out.size());
  unpackCodes<kLayout>(c.payload + packedBytes(kLayout, c.decoded), piece);
  AdpcmState state = c.adpcm;
  std::size_t j = piece.size() / kPlayBlock * kPlayBlock;
  std::int32_t index = state.stepIndex;
  c.kernels->adpcmPlay[adpcmSlot(Bits)](kVectorTables<Bits>, piece.data(), j, state.predictor,
                                        index, out.data());
  state.stepIndex = static_cast<std::int8_t>(index);
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

struct FormatPlayer {
  Format format;
  Player play;
};

// Indexed by Format: a missing or misplaced row does not compile.
constexpr FormatPlayer kPlayers[] = {
    {Format::adpcm4, playAdpcm<4>}, {Format::adpcm3, playAdpcm<3>}, {Format::adpcm2, playAdpcm<2>},
    {Format::wfm, playWfm},         {Format::pcm16, playPcm16},     {Format::pcm12, playPcm12},
    {Format::pcm8, playPcm8},
};
static_assert(std::size(kPlayers) == kFormatCount);
static_assert([] {
  for (std::size_t i = 0; i < kFormatCount; ++i) {
    if (kPlayers[i].format != static_cast<Format>(i)) return false;
  }
  return true;
}());

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
  cursor = c;
  return DecodeError::none;
}

std::size_t decodeSamples(DecodeCursor& cursor, std::span<std::int16_t> out) {
  const std::uint32_t left = cursor.info.sampleCount - 1 - cursor.decoded;
  const std::size_t count = std::min<std::size_t>(left, out.size());
  kPlayers[static_cast<std::size_t>(cursor.info.format)].play(cursor, out.first(count));
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

}  // namespace korvane
