// The input rules of platform.h, written once over the operating system's
// calls (os.h): a file on disk is read where it is asked; a stream is read
// once, as far as its limit says, and kept.
#include <algorithm>
#include <array>
#include <new>

#include "platform/os.h"
#include "platform/platform.h"

namespace korvane {
namespace {

constexpr std::size_t kPiece = std::size_t{1} << 16;

bool fillFromFile(const void* context, std::uint64_t offset, std::span<std::uint8_t> out) {
  const auto& bytes = *static_cast<const InputBytes*>(context);
  if (os::readAt(bytes.file.handle, offset, out)) return true;
  const_cast<InputBytes&>(bytes).failed.store(true);
  return false;
}

ByteSource fileSource(const InputBytes& bytes, std::uint64_t length) {
  return {nullptr, length, &bytes, fillFromFile};
}

// Keeps what arrives: in memory until that would pass kHeldInMemory, then in
// a scratch file (or, where none can be made, in memory still).
struct Keeper {
  InputBytes& bytes;
  std::uint64_t total = 0;
  bool spilled = false;

  bool keep(std::span<const std::uint8_t> piece) {
    if (!spilled && bytes.held.size() + piece.size() > kHeldInMemory) {
      const std::intptr_t scratch = os::makeScratch();
      if (scratch != os::kNoHandle) {
        bytes.file.handle = scratch;
        spilled = true;
        if (!os::writeAll(scratch, bytes.held)) return false;
        std::vector<std::uint8_t>().swap(bytes.held);
      }
    }
    if (spilled && !os::writeAll(bytes.file.handle, piece)) return false;
    if (!spilled) bytes.held.insert(bytes.held.end(), piece.begin(), piece.end());
    total += piece.size();
    return true;
  }

  // Writes 0xFFFFFFFF over the four bytes at offset.
  bool reopen(std::uint64_t offset) {
    constexpr std::array<std::uint8_t, 4> kOpen = {0xFF, 0xFF, 0xFF, 0xFF};
    if (spilled) return os::writeAt(bytes.file.handle, offset, kOpen);
    std::copy(kOpen.begin(), kOpen.end(), bytes.held.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }

  [[nodiscard]] ByteSource arrived(std::uint64_t length) const {
    return spilled ? fileSource(bytes, length)
                   : memorySource(std::span(bytes.held).first(static_cast<std::size_t>(length)));
  }
};

InputRead readStream(InputFile& input, InputBytes& bytes, const ReadLimiter& limit) {
  using Kind = ReadLimit::Kind;
  Keeper keeper{bytes};
  ReadLimit judged;
  std::array<std::uint8_t, kPiece> piece;
  for (;;) {
    std::size_t ask = piece.size();
    if (judged.kind == Kind::upTo) {
      if (keeper.total >= judged.length) break;
      ask = static_cast<std::size_t>(std::min<std::uint64_t>(ask, judged.length - keeper.total));
    }
    const long long got = os::readSome(input.handle, std::span(piece).first(ask));
    if (got < 0) return InputRead::failed;
    if (got == 0) break;
    if (!keeper.keep(std::span(piece).first(static_cast<std::size_t>(got)))) {
      return InputRead::failed;
    }
    if (judged.kind == Kind::readOn) {
      judged = limit(keeper.arrived(keeper.total));
      if (judged.kind == Kind::tooLong) return InputRead::tooLong;
      if (judged.kind == Kind::refused) break;
    }
  }
  std::uint64_t length = keeper.total;
  if (judged.kind == Kind::upTo && length >= judged.length) {
    // Whether more follows, where more makes the input too long.
    std::uint8_t one = 0;
    if (judged.pastIsTooLong &&
        (length > judged.length || os::readSome(input.handle, {&one, 1}) > 0)) {
      return InputRead::tooLong;
    }
    length = judged.length;
  }
  // A size left open is kept as "as far as the stream goes".
  if (judged.openSizeAt != 0 && judged.openSizeAt + 4 <= length &&
      !keeper.reopen(judged.openSizeAt)) {
    return InputRead::failed;
  }
  bytes.source = keeper.arrived(length);
  return InputRead::read;
}

}  // namespace

InputRead readInput(InputFile& input, InputBytes& bytes, const ReadLimiter& limit) {
  std::uint64_t length = 0;
  if (os::inputLength(input.handle, length)) {
    bytes.file = input;
    input = InputFile{};
    bytes.source = fileSource(bytes, length);
    return InputRead::read;
  }
  InputRead result = InputRead::failed;
  try {
    result = readStream(input, bytes, limit);
  } catch (const std::bad_alloc&) {
    result = InputRead::failed;
  }
  closeInput(input);
  return result;
}

InputBytes::~InputBytes() {
  closeInput(file);
}

}  // namespace korvane
