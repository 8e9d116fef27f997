// The bytes of an input as the readers take them: all in memory, or read on
// demand, from any offset and any thread (a file read a piece at a time).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

namespace korvane {

struct ByteSource {
  const std::uint8_t* memory = nullptr;  // every byte, where they are all in memory
  std::uint64_t size = 0;                // bytes there are
  // Where set, fills out with the bytes from offset on, inside size; false
  // where they cannot be had (the file shrank, a read failed).
  const void* context = nullptr;
  bool (*fill)(const void* context, std::uint64_t offset, std::span<std::uint8_t> out) = nullptr;

  [[nodiscard]] bool inMemory() const { return fill == nullptr; }
};

[[nodiscard]] inline ByteSource memorySource(std::span<const std::uint8_t> bytes) {
  return {bytes.data(), bytes.size(), nullptr, nullptr};
}

// Copies the bytes from offset on into out; false where they do not all lie
// inside the source or cannot be had (out is then zeros).
[[nodiscard]] inline bool readBytes(const ByteSource& source, std::uint64_t offset,
                                    std::span<std::uint8_t> out) {
  if (out.empty()) return true;
  const bool inside = offset <= source.size && out.size() <= source.size - offset;
  if (inside && source.inMemory()) {
    std::memcpy(out.data(), source.memory + offset, out.size());
    return true;
  }
  if (inside && !source.inMemory() && source.fill(source.context, offset, out)) return true;
  std::memset(out.data(), 0, out.size());
  return false;
}

}  // namespace korvane
