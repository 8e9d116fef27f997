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

// How far to read an input that arrives as a stream (a pipe, a device),
// judged from the bytes that have arrived: on, while its header is not yet
// whole; then up to `length`, past which nothing is of use (or, with
// `pastIsTooLong`, the input is too long); or not at all, where the bytes so
// far are refused whatever follows (tooLong: as too long). Where openSizeAt
// is not 0, the four bytes there (a size left 0 by a recorder that could not
// go back to it) are kept as 0xFFFFFFFF: "as far as the stream goes".
struct ReadLimit {
  enum class Kind : std::uint8_t { readOn, upTo, refused, tooLong } kind = Kind::readOn;
  std::uint64_t length = 0;
  bool pastIsTooLong = false;
  std::uint64_t openSizeAt = 0;
};

// The bytes of a stream that have arrived, seen as a file of `longest`
// bytes: a read past them fails and sets wanted. A header read through it
// that sets no wanted is decided by the bytes there are. A chunk header read
// whole ("data", size 0: a recorder that could not go back to fill it in)
// reads as size 0xFFFFFFFF, and openSizeAt() tells where its size lies.
class ArrivedBytes {
 public:
  ArrivedBytes(const ByteSource& arrived, std::uint64_t longest)
      : arrived_(arrived), longest_(longest) {}
  ArrivedBytes(const ArrivedBytes&) = delete;
  ArrivedBytes& operator=(const ArrivedBytes&) = delete;

  [[nodiscard]] ByteSource file() const { return {nullptr, longest_, this, fill}; }
  [[nodiscard]] bool wanted() const { return wanted_; }
  [[nodiscard]] std::uint64_t openSizeAt() const { return openSizeAt_; }

 private:
  static bool fill(const void* self, std::uint64_t offset, std::span<std::uint8_t> out) {
    const auto& a = *static_cast<const ArrivedBytes*>(self);
    if (offset > a.arrived_.size || out.size() > a.arrived_.size - offset) {
      a.wanted_ = true;
      return false;
    }
    if (!readBytes(a.arrived_, offset, out)) return false;
    constexpr std::uint8_t kOpenData[8] = {'d', 'a', 't', 'a', 0, 0, 0, 0};
    if (out.size() == 8 && std::memcmp(out.data(), kOpenData, 8) == 0) {
      std::memset(out.data() + 4, 0xFF, 4);
      a.openSizeAt_ = offset + 4;
    }
    return true;
  }

  ByteSource arrived_;
  std::uint64_t longest_;
  mutable bool wanted_ = false;
  mutable std::uint64_t openSizeAt_ = 0;
};

}  // namespace korvane
