// The one WAV layout this program writes: mono 16-bit PCM, 44-byte header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvane {

inline constexpr std::size_t kWaveHeaderBytes = 44;

// The most samples a 16-bit WAV file can hold (its RIFF size is 32 bits).
inline constexpr std::uint64_t kMaxWaveSamples = (0xFFFFFFFFull - 36) / 2;

// RIFF, WAVE, fmt (PCM, one channel, 16 bits), data: sampleCount <= kMaxWaveSamples.
void storeWaveHeader(std::span<std::uint8_t, kWaveHeaderBytes> out, std::uint32_t sampleRate,
                     std::uint32_t sampleCount);

}  // namespace korvane
