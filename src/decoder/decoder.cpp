#include "decoder/decoder.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "codec/pcm.h"
#include "vector/tables.h"

namespace korvane {
namespace {

// A player fills out (kCodePiece samples at most) with the next samples after
// the seed from bytes, the payload from where they begin. Every call but the
// last starts a whole number of groups into the payload.
using Player = void (*)(DecodeCursor& cursor, const std::uint8_t* bytes,
                        std::span<std::int16_t> out);

// The codec state is worked on in a local copy, kept in registers: the stores
// of the output could otherwise alias it.
template <unsigned Bits>
void playAdpcm(DecodeCursor& c, const std::uint8_t* bytes, std::span<std::int16_t> out) {
  constexpr CodeLayout kLayout = kAdpcmCodes<Bits>;
  std::array<std::uint8_t, kCodePiece> codes{};  // cleared: GCC cannot see unpackCodes fill it
  const std::span<std::uint8_t> piece = std::span(codes).first(out.size());
  unpackCodes<kLayout>(bytes, piece);
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

void playWfm(DecodeCursor& c, const std::uint8_t* bytes, std::span<std::int16_t> out) {
  std::array<std::uint8_t, kCodePiece> decisions;
  const std::span<std::uint8_t> piece = std::span(decisions).first(out.size());
  unpackWfm(bytes, piece);
  WfmState state = c.wfm;
  for (std::size_t j = 0; j < piece.size(); ++j) {
    applyWfmDecision(state, piece[j]);
    out[j] = sampleOfOffset(state.estimate);
  }
  c.wfm = state;
}

void playPcm16(DecodeCursor&, const std::uint8_t* bytes, std::span<std::int16_t> out) {
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = sampleOfOffset(loadLe16(bytes + 2 * j));
}

// The piece begins with an odd sample, the first of a pair (codec/pcm.h).
void playPcm12(DecodeCursor&, const std::uint8_t* bytes, std::span<std::int16_t> out) {
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = unpackPcm12(bytes, j + 1);
}

void playPcm8(DecodeCursor&, const std::uint8_t* bytes, std::span<std::int16_t> out) {
  for (std::size_t j = 0; j < out.size(); ++j)
    out[j] = sampleOfOffset(std::uint32_t{bytes[j]} << 8);
}

// Where in the payload code k begins, k a multiple of kCodePiece.
std::uint64_t codeOffset(Format format, std::uint64_t k) {
  return format == Format::pcm12 ? 3 * k / 2 : factsOf(format).payloadBytes(k);
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

DecodeError openStream(const ByteSource& file, DecodeCursor& cursor) {
  std::array<std::uint8_t, kStreamHeaderBytes> head{};
  const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(file.size, head.size()));
  if (got == 0) return DecodeError::truncated;
  (void)readBytes(file, 0, std::span(head).first(got));
  if (head[0] != 0) return DecodeError::notDeviceFile;
  if (got < kStreamHeaderBytes) return DecodeError::truncated;

  const StreamHeader header = loadStreamHeader(head);
  StreamShape shape;
  if (const StreamMatch match = matchStream(header, file.size, shape);
      match != StreamMatch::found) {
    return kMatchErrors[static_cast<std::size_t>(match)];
  }
  if (shape.sampleCount > kMaxWaveSamples) return DecodeError::tooLong;

  DecodeCursor c;
  c.info = {shape.format, static_cast<std::uint32_t>(shape.sampleCount), 2u * header.halfRate};
  std::array<std::uint8_t, 2> seed{};
  const std::size_t seedBytes = factsOf(shape.format).seedBytes;
  (void)readBytes(file, kStreamHeaderBytes, std::span(seed).first(seedBytes));
  c.file = file;
  c.payloadStart = kStreamHeaderBytes + seedBytes;
  c.seed = loadSeed(shape.format, seed.data());
  c.adpcm = {c.seed, 0};
  c.wfm = seedWfm(c.seed);
  cursor = c;
  return DecodeError::none;
}

ReadLimit streamReadLimit(const ByteSource& arrived) {
  using Kind = ReadLimit::Kind;
  std::array<std::uint8_t, kStreamHeaderBytes> head{};
  if (arrived.size == 0) return {Kind::readOn};
  (void)readBytes(arrived, 0, std::span(head).first(1));
  if (head[0] != 0) return {Kind::refused};
  if (arrived.size < kStreamHeaderBytes) return {Kind::readOn};
  (void)readBytes(arrived, 0, head);
  const StreamHeader header = loadStreamHeader(head);
  const std::uint64_t longest = longestStream(header);
  if (longest == 0) return {Kind::refused};
  // The byte past it tells a stream of exactly that length from a longer file.
  StreamShape shape;
  if (matchStream(header, longest, shape) == StreamMatch::found &&
      shape.sampleCount > kMaxWaveSamples) {
    return {Kind::tooLong};
  }
  return {Kind::upTo, longest + 1};
}

std::size_t decodeSamples(DecodeCursor& cursor, std::span<std::int16_t> out) {
  const std::uint32_t codes = cursor.info.sampleCount - 1;
  const std::size_t count = std::min<std::size_t>(codes - cursor.decoded, out.size());
  if (count == 0) return 0;
  // The payload of all of them at once: where it lies in memory, else read
  // into a buffer this thread keeps.
  const Format format = cursor.info.format;
  const std::uint64_t from = codeOffset(format, cursor.decoded);
  // To the byte that ends the last code: a PCM12 piece's last sample shares
  // its last byte with the next piece's first.
  const std::uint64_t to = factsOf(format).payloadBytes(cursor.decoded + count);
  const std::uint8_t* bytes = nullptr;
  if (cursor.file.inMemory()) {
    bytes = cursor.file.memory + cursor.payloadStart + from;
  } else {
    thread_local std::vector<std::uint8_t> buffer;
    buffer.resize(static_cast<std::size_t>(to - from));
    (void)readBytes(cursor.file, cursor.payloadStart + from, buffer);
    bytes = buffer.data();
  }
  const Player play = kPlayers[static_cast<std::size_t>(format)].play;
  for (std::size_t done = 0; done < count; done += kCodePiece) {
    const std::size_t n = std::min(kCodePiece, count - done);
    play(cursor, bytes + (codeOffset(format, cursor.decoded) - from), out.subspan(done, n));
    cursor.decoded += static_cast<std::uint32_t>(n);
  }
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
  // Decoded in as many whole pieces as out holds, the stream read once.
  thread_local std::vector<std::int16_t> samples;
  samples.resize(out.size() / (2 * kCodePiece) * kCodePiece);
  const std::size_t count = decodeSamples(cursor, samples);
  // Two bytes a sample, low byte first, in a loop the compiler vectorizes.
  for (std::size_t j = 0; j < count; ++j) {
    const auto v = static_cast<std::uint16_t>(samples[j]);
    out[2 * j] = static_cast<std::uint8_t>(v);
    out[2 * j + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  return 2 * count;
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
