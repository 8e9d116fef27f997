// Linear PCM payloads. Every value is the sample's offset form (s + 0x8000,
// 16 bits), cut down to the format's width by dropping low bits, not rounding:
//   PCM16  each sample's offset form, low byte first.
//   PCM8   the high byte of each sample's offset form.
//   PCM12  v = offset form >> 4, its low byte L and high nibble H. Sample 1,
//          the first after the seed, takes [H1 << 4] [L1]; each later pair
//          (i even, i + 1) takes [Li] [Hi | H(i+1) << 4] [L(i+1)]; an unpaired
//          last sample ends in [L] [H].
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "format/stream.h"

namespace korvane {

[[nodiscard]] constexpr unsigned pcm12Value(std::int32_t sample) {
  return unsigned{offsetForm(sample)} >> 4;
}

// PCM12 packing runs across pieces: the index of the next sample, and the high
// nibble an even sample leaves for its partner.
struct Pcm12Packer {
  std::uint64_t index = 1;
  unsigned pending = 0;
};

inline std::uint8_t* packPcm12(Pcm12Packer& packer, std::span<const std::int32_t> samples,
                               std::uint8_t* out) {
  for (const std::int32_t sample : samples) {
    const unsigned v = pcm12Value(sample);
    if (packer.index++ & 1) {
      *out++ = static_cast<std::uint8_t>(packer.pending | (v >> 8) << 4);
      *out++ = static_cast<std::uint8_t>(v);
    } else {
      *out++ = static_cast<std::uint8_t>(v);
      packer.pending = v >> 8;
    }
  }
  return out;
}

// Ends the payload: an unpaired last sample (an even one) still owes its nibble.
inline std::uint8_t* finishPcm12(const Pcm12Packer& packer, std::uint8_t* out) {
  const std::uint64_t last = packer.index - 1;
  if (last >= 2 && last % 2 == 0) *out++ = static_cast<std::uint8_t>(packer.pending);
  return out;
}

// Sample i >= 1 of a PCM12 payload: an odd sample has its high nibble in the
// high half of byte 3(i - 1)/2 and its low byte next; an even sample has its
// low byte at 3i/2 - 1 and its high nibble in the low half of the byte after.
[[nodiscard]] inline std::int16_t unpackPcm12(const std::uint8_t* payload, std::uint64_t i) {
  std::uint32_t v = 0;
  if (i & 1) {
    const std::uint64_t at = 3 * (i - 1) / 2;
    v = (std::uint32_t{payload[at]} >> 4) << 8 | payload[at + 1];
  } else {
    const std::uint64_t at = 3 * i / 2 - 1;
    v = (std::uint32_t{payload[at + 1]} & 0xFu) << 8 | payload[at];
  }
  return sampleOfOffset(v << 4);
}

}  // namespace korvane
