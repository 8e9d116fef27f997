// The device player: rebuilds the samples of a stream in any of the seven
// formats from its header, seed sample and codes, with the encoders' own
// state functions. Sample 0 is the seed; sample k is the state after code k.
//
// The format comes from the header (format/stream.h): byte 0 is 0, then the
// format code; code 5 is PCM12 or PCM8, told apart by the file length, which
// must be exactly that of one of them. Other formats may be followed by
// padding, which is ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/adpcm.h"
#include "codec/wfm.h"
#include "format/stream.h"
#include "vector/kernels.h"
#include "wav/source.h"
#include "wav/wave_reader.h"
#include "wav/wave_writer.h"

namespace korvane {

enum class DecodeError : std::uint8_t {
  none,
  notDeviceFile,    // byte 0 is not 0
  unknownFormat,    // a format code of none of the seven formats
  noSamples,        // a count that leaves no sample, not even the seed
  truncated,        // shorter than its header, seed and codes
  ambiguousLength,  // code 5 with a length fitting neither PCM12 nor PCM8
  tooLong,          // more samples than a WAV file can hold
};

struct StreamInfo {
  Format format = Format::pcm16;
  std::uint32_t sampleCount = 0;  // N, the seed included
  std::uint32_t sampleRate = 0;   // 2 x halfRate
};

// A stream being played: where the next code is and the codec state.
struct DecodeCursor {
  StreamInfo info;
  ByteSource file;                 // the whole stream
  std::uint64_t payloadStart = 0;  // offset of the first byte after the seed
  std::int16_t seed = 0;           // sample 0
  std::uint32_t decoded = 0;       // samples after the seed handed out so far
  AdpcmState adpcm;
  WfmState wfm;
  const VectorKernels* kernels = &vectorKernels();  // the lane players of ADPCM
};

// Checks the stream and readies the cursor; every later read stays inside file.
[[nodiscard]] DecodeError openStream(const ByteSource& file, DecodeCursor& cursor);
[[nodiscard]] inline DecodeError openStream(std::span<const std::uint8_t> file,
                                            DecodeCursor& cursor) {
  return openStream(memorySource(file), cursor);
}

// How far to read a device file that arrives as a stream: refused at its
// first byte or header where openStream refuses it at any length, else up to
// a byte past the longest stream its header describes.
[[nodiscard]] ReadLimit streamReadLimit(const ByteSource& arrived);

// Decodes the next samples after the seed into out, whose size must be a
// multiple of kCodePiece but for the last call; returns how many it wrote (0
// at the end). A stream read on demand is read once a call.
std::size_t decodeSamples(DecodeCursor& cursor, std::span<std::int16_t> out);

// Byte length of the WAV file decodeToWave makes of sampleCount samples.
[[nodiscard]] constexpr std::uint64_t decodedWaveLength(std::uint32_t sampleCount) {
  return kWaveHeaderBytes + 2 * std::uint64_t{sampleCount};
}

// The whole stream as a mono 16-bit WAV file at the stream's sample rate, into
// wave, which must be decodedWaveLength(cursor.info.sampleCount) bytes.
void decodeToWaveInto(DecodeCursor cursor, std::span<std::uint8_t> wave);

// The same file a piece at a time: its header and the seed sample, then the
// samples after the seed, two bytes each, low byte first. nextWaveBytes fills
// out, whose size must be a multiple of 2 * kCodePiece, as far as the stream
// goes and returns the bytes written, 0 at the end.
inline constexpr std::size_t kWaveStartBytes = kWaveHeaderBytes + 2;
[[nodiscard]] std::array<std::uint8_t, kWaveStartBytes> waveStart(const DecodeCursor& cursor);
std::size_t nextWaveBytes(DecodeCursor& cursor, std::span<std::uint8_t> out);

// The same, into a buffer of its own.
[[nodiscard]] std::vector<std::uint8_t> decodeToWave(DecodeCursor cursor);

}  // namespace korvane
