// The linear PCM coders (.PCM): each sample cut to the format's width. The
// samples stand alone, so a long input is coded in two parts on two threads,
// the second from a sample where the payload's bytes begin afresh.
#include <algorithm>
#include <system_error>
#include <thread>

#include "codec/pcm.h"
#include "coders/greedy.h"
#include "coders/meeting.h"

namespace korvane {
namespace {

// Samples first .. first + count - 1 after the seed, from the cursor of
// wave on, into out.
void codePcm(Format format, const WaveInfo& wave, std::uint64_t first, PayloadOut out) {
  StreamWriter writer(out);
  Pcm12Packer packer{first, 0};
  SamplePieces pieces(wave);
  for (auto samples = pieces.next(); !samples.empty(); samples = pieces.next()) {
    const std::size_t n = samples.size();
    std::uint8_t* to = writer.room(2 * kCodePiece);
    switch (format) {
      case Format::pcm16:
        for (std::size_t i = 0; i < n; ++i)
          storeLe(to + 2 * i, offsetForm(samples[i]), 2);
        to += 2 * n;
        break;
      case Format::pcm8:
        for (std::size_t i = 0; i < n; ++i)
          to[i] = static_cast<std::uint8_t>(offsetForm(samples[i]) >> 8);
        to += n;
        break;
      default:
        to = packPcm12(packer, samples, to);
        break;
    }
    writer.commit(to);
    if (!writer.ok()) return;
  }
  if (format == Format::pcm12) writer.commit(finishPcm12(packer, writer.room(1)));
}

}  // namespace

void encodePcm(Format format, const WaveInfo& wave, PayloadOut out, unsigned threads) {
  const std::uint64_t total = wave.sampleCount - 1;
  // Cut after an odd sample, where PCM12 ends a pair.
  const std::uint64_t cut = total / 2 | 1;
  if (threads < 2 || total < (std::uint64_t{1} << 17)) {
    codePcm(format, wave, 1, out);
    return;
  }
  const auto later = [&] {
    codePcm(format, partOf(wave, cut, total - cut), cut + 1,
            out.after(factsOf(format).payloadBytes(cut)));
  };
  std::thread helper;
  try {
    helper = std::thread(later);
  } catch (const std::system_error&) {
    later();  // no thread to be had: one part after the other
  }
  codePcm(format, partOf(wave, 0, cut), 1, out);
  if (helper.joinable()) helper.join();
}

}  // namespace korvane
