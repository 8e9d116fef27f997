// The tolerant reader, for recordings straight from an editor, a recorder or
// a phone system: RIFF/WAVE, and RF64/BW64 with their ds64 sizes, with the
// chunks in any order (the fmt chunk anywhere before the data chunk, odd
// sizes padded as RIFF says); PCM of 1 to 32 bits, IEEE float of 32 or 64
// bits, WAVE_FORMAT_EXTENSIBLE with either, G.711 mu-law and A-law, IMA ADPCM
// and Microsoft ADPCM; any number of channels and any rate. Samples are read
// as WAV defines them, left justified in their containers, and mixed to mono
// as the mean of all channels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wav/source.h"
#include "wav/wave_codecs.h"
#include "wav/wave_reader.h"

namespace korvane {

enum class WaveCoding : std::uint8_t { pcm, floating, muLaw, aLaw, ima, msAdpcm };

struct AnyWave {
  ByteSource file;
  std::uint64_t dataStart = 0;  // offset of the first frame
  std::uint64_t frames = 0;     // whole frames present
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
  std::uint16_t bitsPerSample = 0;
  std::uint16_t containerBytes = 0;  // of one sample of one channel
  bool isFloat = false;
  WaveCoding coding = WaveCoding::pcm;
  // The ADPCM codings: blocks of blockAlign bytes, framesPerBlock frames each.
  std::uint16_t blockAlign = 0;
  std::uint64_t framesPerBlock = 0;
  std::uint64_t dataBytes = 0;     // of the data chunk present
  std::uint64_t claimedBytes = 0;  // of the data chunk as the header gives them (RF64: its ds64)
  bool rf64 = false;               // RF64 or BW64
  std::vector<MsCoefficients> coefficients;
  [[nodiscard]] bool blocks() const {
    return coding == WaveCoding::ima || coding == WaveCoding::msAdpcm;
  }
};

// Parses the header of a whole file; every read stays inside it. The causes
// are the exact reader's: notRiff, notWave (no WAVE, no fmt before the data,
// a broken fmt), notPcm (none of the codings above), bitsNotSupported,
// noDataChunk, noSamples.
[[nodiscard]] WaveError readAnyWave(const ByteSource& file, AnyWave& wave);

[[nodiscard]] inline std::size_t frameBytes(const AnyWave& wave) {
  return std::size_t{wave.containerBytes} * wave.channels;
}

// The mean of the channels of each of mono.size() frames at bytes, full
// scale +-1 (codings with one byte a sample or more; not the ADPCM blocks).
void mixToMono(const AnyWave& wave, const std::uint8_t* bytes, std::span<float> mono);

// Frames first .. first + mono.size() - 1 mixed to mono, silence for frames
// outside the wave; bytes is kept from call to call. False where a read failed.
bool readMono(const AnyWave& wave, std::int64_t first, std::span<float> mono,
              std::vector<std::uint8_t>& bytes);

// The most bytes a RIFF file can hold: its size field counts all but 8.
inline constexpr std::uint64_t kLongestRiff = 8 + std::uint64_t{0xFFFFFFFF};

// How far to read a WAV file that arrives as a stream, for the exact reader
// or, with tolerant, the tolerant one: up to the end of its data chunk
// (whose size 0xFFFFFFFF, a streaming recorder's, marks more as too long);
// not at all once its header is refused. Where the exact reader refuses a
// file the tolerant one reads, one frame of it is read, which is enough to
// say why.
[[nodiscard]] ReadLimit waveReadLimit(const ByteSource& arrived, bool tolerant);

}  // namespace korvane
