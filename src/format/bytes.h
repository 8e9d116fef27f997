// Little-endian fields, assembled from and split into bytes one at a time, so
// that no struct is ever laid over file bytes.
#pragma once

#include <cstdint>

namespace korvane {

[[nodiscard]] constexpr std::uint32_t loadLe16(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8);
}

[[nodiscard]] constexpr std::uint32_t loadLe32(const std::uint8_t* p) {
  return loadLe16(p) | (loadLe16(p + 2) << 16);
}

// Stores the low `bytes` bytes of value, lowest first; returns the end.
constexpr std::uint8_t* storeLe(std::uint8_t* out, std::uint32_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i)
    *out++ = static_cast<std::uint8_t>(value >> (8 * i));
  return out;
}

}  // namespace korvane
