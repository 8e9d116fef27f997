// Where the bytes of a stream go as they are made: pieces at their offsets,
// from any thread, in any order; a piece may be written again over an
// earlier one (codes a coder made again). A write that fails makes put
// return false, and the coders stop where they easily can.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace korvane {

struct ByteSink {
  void* context = nullptr;
  bool (*write)(void* context, std::uint64_t offset, std::span<const std::uint8_t> bytes) = nullptr;

  bool put(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
    return bytes.empty() || write(context, offset, bytes);
  }
};

// A sink into a buffer in memory; a piece outside it fails.
[[nodiscard]] inline ByteSink memorySink(std::span<std::uint8_t>& buffer) {
  return {&buffer, [](void* context, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
            auto& to = *static_cast<std::span<std::uint8_t>*>(context);
            if (offset > to.size() || bytes.size() > to.size() - offset) return false;
            std::memcpy(to.data() + offset, bytes.data(), bytes.size());
            return true;
          }};
}

// The part of a stream a coder writes: a sink, and where the part begins in
// the stream.
struct PayloadOut {
  const ByteSink* sink = nullptr;
  std::uint64_t start = 0;

  [[nodiscard]] PayloadOut after(std::uint64_t bytes) const { return {sink, start + bytes}; }
};

// Bytes written one after another from the start of a part: gathered in a
// buffer of bounded size and handed to the sink in large pieces.
class StreamWriter {
 public:
  static constexpr std::size_t kBytes = std::size_t{1} << 15;

  explicit StreamWriter(const PayloadOut& out) : out_(out) {}
  ~StreamWriter() { (void)flush(); }
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  // Room for up to `bytes` (at most kBytes) more; commit says how far it was filled.
  [[nodiscard]] std::uint8_t* room(std::size_t bytes) {
    if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBytes);
    if (held_ + bytes > kBytes) (void)flush();
    return buffer_.get() + held_;
  }
  void commit(const std::uint8_t* end) { held_ = static_cast<std::size_t>(end - buffer_.get()); }

  // Hands what is held to the sink; false once a write failed.
  bool flush() {
    if (held_ > 0) ok_ = out_.sink->put(out_.start + written_, {buffer_.get(), held_}) && ok_;
    written_ += held_;
    held_ = 0;
    return ok_;
  }
  [[nodiscard]] bool ok() const { return ok_; }

 private:
  PayloadOut out_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t held_ = 0;
  std::uint64_t written_ = 0;
  bool ok_ = true;
};

}  // namespace korvane
