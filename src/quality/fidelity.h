// What the player reproduces against the input, over samples 0 to N - 1 with
// the input clamped to the 16-bit range: squared error in all, and per frame
// of kFidelityFrame samples for the segmental SNR, which leaves out frames
// quieter than kQuietFrameDbfs (a final short frame counts as it stands).
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoder.h"
#include "wav/wave_reader.h"

namespace korvane {

inline constexpr std::size_t kFidelityFrame = 256;
inline constexpr double kQuietFrameDbfs = -50.0;
inline constexpr double kFullScale = 32768.0;

struct Fidelity {
  double signalEnergy = 0;
  double errorEnergy = 0;
  std::uint64_t samples = 0;
  double frameSnrSum = 0;  // over the frames loud enough to count
  std::uint64_t frames = 0;
};

[[nodiscard]] Fidelity measureFidelity(const WaveInfo& input, DecodeCursor played);

// 10 log10(signal / error) in dB; infinite when nothing was lost.
[[nodiscard]] double snrDb(const Fidelity& fidelity);

// The RMS of the error relative to full scale, in dB; minus infinity when nothing was lost.
[[nodiscard]] double noiseDbfs(const Fidelity& fidelity);

// The mean SNR of the frames that count; NaN when no frame does.
[[nodiscard]] double segmentalSnrDb(const Fidelity& fidelity);

}  // namespace korvane
