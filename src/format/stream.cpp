#include "format/stream.h"

#include <algorithm>

namespace korvane {
namespace {

// Formats that share a code must agree on its count rule, or the count could
// not be read before the format is known.
constexpr bool sharedCodesAgreeOnCount() {
  for (const FormatFacts& a : kFormats) {
    for (const FormatFacts& b : kFormats) {
      if (a.formatCode == b.formatCode && a.countBelowN != b.countBelowN) return false;
    }
  }
  return true;
}
static_assert(sharedCodesAgreeOnCount());

}  // namespace

void storeStreamHeader(const StreamHeader& header,
                       std::span<std::uint8_t, kStreamHeaderBytes> out) {
  out[0] = 0;
  out[1] = header.formatCode;
  storeLe(&out[2], header.count, 4);
  storeLe(&out[6], header.halfRate, 2);
}

StreamHeader loadStreamHeader(std::span<const std::uint8_t, kStreamHeaderBytes> in) {
  return {in[1], loadLe32(&in[2]), static_cast<std::uint16_t>(loadLe16(&in[6]))};
}

void storeSeed(Format format, std::int32_t seed, std::uint8_t* out) {
  const std::uint16_t stored = offsetForm(seed);
  if (factsOf(format).seedBytes == 1) {
    out[0] = static_cast<std::uint8_t>(stored >> 8);
  } else {
    storeLe(out, stored, 2);
  }
}

std::int16_t loadSeed(Format format, const std::uint8_t* in) {
  return sampleOfOffset(factsOf(format).seedBytes == 1 ? std::uint32_t{in[0]} << 8 : loadLe16(in));
}

StreamMatch matchStream(const StreamHeader& header, std::uint64_t fileBytes, StreamShape& shape) {
  int sharing = 0;
  const FormatFacts* first = nullptr;
  for (const FormatFacts& f : kFormats) {
    if (f.formatCode != header.formatCode) continue;
    if (first == nullptr) first = &f;
    ++sharing;
  }
  if (first == nullptr) return StreamMatch::unknownCode;
  const std::uint64_t n = std::uint64_t{header.count} + first->countBelowN;
  if (n == 0) return StreamMatch::noSamples;
  for (std::size_t i = 0; i < kFormatCount; ++i) {
    const auto format = static_cast<Format>(i);
    if (kFormats[i].formatCode != header.formatCode) continue;
    const std::uint64_t length = streamLength(format, n);
    if (sharing > 1 ? fileBytes == length : fileBytes >= length) {
      shape = {format, n};
      return StreamMatch::found;
    }
  }
  return sharing > 1 ? StreamMatch::ambiguousLength : StreamMatch::truncated;
}

std::uint64_t longestStream(const StreamHeader& header) {
  std::uint64_t longest = 0;
  for (std::size_t i = 0; i < kFormatCount; ++i) {
    const FormatFacts& f = kFormats[i];
    const std::uint64_t n = std::uint64_t{header.count} + f.countBelowN;
    if (f.formatCode != header.formatCode || n == 0) continue;
    longest = std::max(longest, streamLength(static_cast<Format>(i), n));
  }
  return longest;
}

}  // namespace korvane
